#include "probes/netbios.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <deque>
#include <random>
#include <thread>

#include "support/loopback_peer.h"
#include "support/node_status.h"

namespace ordalen {
namespace {

using test::BuildNodeStatus;
using test::NameEntry;
using test::NodeStatusAnswer;

constexpr std::array<std::uint8_t, 6> kUnitId = {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e};

NodeStatusAnswer Ws01Answer() {
  NodeStatusAnswer answer;
  answer.names = {{"WS01", 0x00, 0x04}, {"WORKGROUP", 0x00, 0x84}, {"WS01", 0x20, 0x04}};
  answer.unit_id = kUnitId;
  return answer;
}

TEST(NetbiosTest, RequestIsTheFiftyByteNodeStatusQueryForStar) {
  std::vector<std::uint8_t> expected = {0x00, 0x00, 0x00, 0x10, 0x00, 0x01, 0x00, 0x00,
                                        0x00, 0x00, 0x00, 0x00, 0x20, 0x43, 0x4B};
  expected.insert(expected.end(), 30, 0x41);
  expected.insert(expected.end(), {0x00, 0x00, 0x21, 0x00, 0x01});
  const auto request = NodeStatusRequest();
  ASSERT_EQ(expected.size(), 50u);
  EXPECT_EQ(std::vector<std::uint8_t>(request.begin(), request.end()), expected);
}

TEST(NetbiosTest, ParsesUsableAnswers) {
  struct Case {
    const char* what;
    NodeStatusAnswer answer;
    const char* mac;
    const char* computer;
    const char* domain;
  };
  std::vector<Case> cases;
  cases.push_back(
      {"unique, group and statistics", Ws01Answer(), "00:1A:2B:3C:4D:5E", "WS01", "WORKGROUP"});
  {
    NodeStatusAnswer a = Ws01Answer();
    a.names.insert(a.names.begin(), NameEntry{"IS~WS01", 0x00, 0x04});
    cases.push_back(
        {"IS~ name listed first is skipped", a, "00:1A:2B:3C:4D:5E", "WS01", "WORKGROUP"});
  }
  {
    NodeStatusAnswer a = Ws01Answer();
    a.names = {{"IS~ONLY", 0x00, 0x04}, {"LABWG", 0x00, 0x84}};
    cases.push_back({"only an IS~ unique name", a, "00:1A:2B:3C:4D:5E", "", "LABWG"});
  }
  {
    NodeStatusAnswer a = Ws01Answer();
    a.stats_byte15 = 0x01;
    cases.push_back(
        {"statistics byte 15 set: no MAC, still an answer", a, "", "WS01", "WORKGROUP"});
  }
  {
    NodeStatusAnswer a = Ws01Answer();
    a.stats_byte16 = 0x04;  // read as an active unique name, but WS01 came first
    cases.push_back({"statistics byte 16 set: no MAC, names kept", a, "", "WS01", "WORKGROUP"});
  }
  {
    NodeStatusAnswer a;
    a.names = {{"FIRST", 0x00, 0x04},
               {"GROUP1", 0x00, 0x84},
               {"SECOND", 0x00, 0x04},
               {"GROUP2", 0x00, 0x84}};
    a.unit_id = kUnitId;
    cases.push_back(
        {"first unique and first group only", a, "00:1A:2B:3C:4D:5E", "FIRST", "GROUP1"});
  }
  {
    NodeStatusAnswer a;
    a.names = {{"SVC", 0x20, 0x04},
               {"INACTIVE", 0x00, 0x00 | 0x02},
               {"GROUPOFF", 0x00, 0x80},
               {"HOST", 0x00, 0x06 | 0x60},
               {"DOM", 0x00, 0x84 | 0x02}};
    a.unit_id = kUnitId;
    cases.push_back({"suffix, inactive names skipped; other flag bits ignored", a,
                     "00:1A:2B:3C:4D:5E", "HOST", "DOM"});
  }
  {
    NodeStatusAnswer a = Ws01Answer();
    a.names = {{std::string("AB\x01"
                            "C",
                            4),
                0x00, 0x04},
               {"NAME PART", 0x00, 0x84}};
    cases.push_back({"control byte shown as '.', a space ends the name", a, "00:1A:2B:3C:4D:5E",
                     "AB.C", "NAME"});
  }
  {
    NodeStatusAnswer a = Ws01Answer();
    a.flags_byte3 = 0x80;  // RA bit, RCODE 0
    a.ancount = 0x0100;
    cases.push_back(
        {"other header bits and a high ANCOUNT byte", a, "00:1A:2B:3C:4D:5E", "WS01", "WORKGROUP"});
  }
  {
    NodeStatusAnswer a;
    a.names = {{"NOSTATS", 0x00, 0x04}, {"GRP", 0x00, 0x84}, {"PAD", 0x20, 0x04}};
    cases.push_back({"no statistics block", a, "", "NOSTATS", "GRP"});
  }
  {
    NodeStatusAnswer a;
    a.unit_id = kUnitId;
    cases.push_back({"statistics only", a, "00:1A:2B:3C:4D:5E", "", ""});
  }
  {
    NodeStatusAnswer a = Ws01Answer();
    a.names.insert(a.names.begin(),
                   NameEntry{"OLD", 0x00, 0x00});  // inactive, flags 0: taken for statistics
    cases.push_back(
        {"an entry with suffix 0 and flags 0 ends the walk", a, "4F:4C:44:20:20:20", "", ""});
  }

  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto bytes = BuildNodeStatus(c.answer);
    const auto status = ParseStatusResponse(bytes);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(status->MacAddress, c.mac);
    EXPECT_EQ(status->ComputerName, c.computer);
    EXPECT_EQ(status->DomainName, c.domain);
  }
}

TEST(NetbiosTest, RefusesWhatIsNotAnAnswer) {
  struct Case {
    const char* what;
    std::vector<std::uint8_t> bytes;
  };
  std::vector<Case> cases;
  cases.push_back({"empty", {}});
  {
    auto bytes = BuildNodeStatus(Ws01Answer());
    bytes.resize(57);
    cases.push_back({"57 bytes", bytes});
    bytes.resize(12);
    cases.push_back({"header only", bytes});
  }
  {
    NodeStatusAnswer a = Ws01Answer();
    a.flags_byte2 = 0x04;
    cases.push_back({"response bit clear", BuildNodeStatus(a)});
  }
  for (std::uint8_t rcode : {0x01, 0x03, 0x0F}) {
    NodeStatusAnswer a = Ws01Answer();
    a.flags_byte3 = rcode;
    cases.push_back({"RCODE not 0", BuildNodeStatus(a)});
  }
  {
    NodeStatusAnswer a = Ws01Answer();
    a.ancount = 0;
    cases.push_back({"ANCOUNT 0", BuildNodeStatus(a)});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_FALSE(ParseStatusResponse(c.bytes).has_value());
  }
}

TEST(NetbiosTest, StopsAtTheEndOfATruncatedDatagram) {
  NodeStatusAnswer a;
  a.names = {{"FIRST", 0x00, 0x04}, {"SECOND", 0x00, 0x84}};
  a.unit_id = kUnitId;
  const auto full = BuildNodeStatus(a);
  struct Case {
    std::size_t size;
    const char* computer;
    const char* domain;
    const char* mac;
  } cases[] = {
      {57 + 1, "", "", ""},            // one byte of the first entry
      {57 + 10, "", "", ""},           // inside the first entry
      {57 + 18, "", "", ""},           // the first entry ends exactly at the end: not looked at
      {57 + 19, "FIRST", "", ""},      // the first entry and one byte more
      {57 + 18 + 9, "FIRST", "", ""},  // inside the second entry
      {57 + 36 + 5, "FIRST", "SECOND", ""},  // inside the unit id
      {57 + 36 + 19, "FIRST", "SECOND", "00:1A:2B:3C:4D:5E"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    const auto status = ParseStatusResponse(std::span<const std::uint8_t>(full.data(), c.size));
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(status->ComputerName, c.computer);
    EXPECT_EQ(status->DomainName, c.domain);
    EXPECT_EQ(status->MacAddress, c.mac);
  }
}

TEST(NetbiosTest, ArbitraryBytesNeverReadOutsideTheDatagram) {
  std::mt19937 random(20240601);
  const auto valid = BuildNodeStatus(Ws01Answer());
  int answers = 0;
  for (int round = 0; round < 3000; ++round) {
    std::vector<std::uint8_t> bytes;
    if (round % 2 == 0) {
      bytes.resize(random() % 520);
      for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
      if (bytes.size() > 8) bytes[2] |= 0x80, bytes[3] &= 0xF0, bytes[7] |= 1;
    } else {
      bytes = valid;
      bytes.resize(random() % (valid.size() + 1));
      for (int flips = 0; flips < 4 && !bytes.empty(); ++flips) {
        bytes[random() % bytes.size()] = static_cast<std::uint8_t>(random());
      }
    }
    if (const auto status = ParseStatusResponse(bytes)) {
      ++answers;
      EXPECT_TRUE(status->MacAddress.empty() || status->MacAddress.size() == 17);
      EXPECT_LE(status->ComputerName.size(), 15u);
      EXPECT_LE(status->DomainName.size(), 15u);
    }
  }
  EXPECT_GT(answers, 100);  // the sweep reached the entry walk, not only the header checks
}

TEST(NetbiosTest, LocalPortIsTheJobBlockPlusTheSlot) {
  struct Case {
    const char* job;
    int slot;
    std::optional<std::uint16_t> port;
  } cases[] = {
      {"3", 0, 35600},          {"", 0, 34100},           {"job", 7, 34107},       {"3", 11, 35611},
      {"12abc", 1, 40101},      {"62", 255, 65355},       {"63", 0, std::nullopt}, {"-68", 0, 100},
      {"-69", 0, std::nullopt}, {"4294967299", 0, 35600},  // wraps like atoi
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.job << " slot " << c.slot);
    EXPECT_EQ(NetbiosLocalPort(c.job, c.slot), c.port);
  }
}

// A socket that hands out scripted datagrams, one script step per poll.
class ScriptedSocket : public DatagramSocket {
 public:
  struct Incoming {
    std::vector<std::uint8_t> bytes;
    std::uint32_t from_address = 0;
    std::uint16_t from_port = kNetbiosNamePort;
    int error = 0;  // a failed receive instead of a datagram
  };

  bool SendTo(std::span<const std::uint8_t> data, std::uint16_t port,
              const std::string& address_text, OsError* error) override {
    sent.emplace_back(data.begin(), data.end());
    sent_to = address_text;
    sent_port = port;
    if (send_error != 0) {
      error->code = send_error;
      return false;
    }
    return true;
  }

  std::optional<ReceivedDatagram> ReceiveFrom(std::span<std::uint8_t> buffer,
                                              OsError* error) override {
    ++receives;
    *error = OsError{};
    if (flood) return ReceivedDatagram{60, 0x0A000063, kNetbiosNamePort};
    if (polls.empty() || polls.front().empty()) return std::nullopt;  // nothing waiting this poll
    Incoming in = std::move(polls.front().front());
    polls.front().pop_front();
    if (in.error != 0) {
      error->code = in.error;
      return std::nullopt;
    }
    const std::size_t n = std::min(buffer.size(), in.bytes.size());
    std::copy_n(in.bytes.begin(), n, buffer.begin());
    return ReceivedDatagram{n, in.from_address, in.from_port};
  }

  // Moves to the next poll's datagrams (called from the sleep between polls).
  void NextPoll() {
    if (!polls.empty()) polls.pop_front();
  }

  std::deque<std::deque<Incoming>> polls;
  std::vector<std::vector<std::uint8_t>> sent;
  std::string sent_to;
  std::uint16_t sent_port = 0;
  int send_error = 0;
  bool flood = false;
  int receives = 0;
};

TEST(NetbiosTest, QueryTakesOnlyTheQueriedHostsAnswer) {
  constexpr std::uint32_t kHost = 0x0A000005;  // 10.0.0.5
  const auto good = BuildNodeStatus(Ws01Answer());
  NodeStatusAnswer forged_answer = Ws01Answer();
  forged_answer.names[0].name = "FORGED";
  const auto forged = BuildNodeStatus(forged_answer);
  const std::vector<std::uint8_t> runt(40, 0x84);

  using In = ScriptedSocket::Incoming;
  struct Case {
    const char* what;
    std::deque<std::deque<In>> polls;
    int send_error;
    int result;
    int error;
    int sleeps;
    const char* name;
  };
  const Case cases[] = {
      {"answer in the first poll", {{In{good, kHost}}}, 0, 1, 0, 0, "WS01"},
      {"answer in the fourth poll", {{}, {}, {}, {In{good, kHost}}}, 0, 1, 0, 3, "WS01"},
      {"other hosts and ports are read and dropped in the same poll",
       {{In{forged, 0x0A000006}, In{forged, kHost, 138}, In{forged, 0x0A000006, 137},
         In{good, kHost}}},
       0,
       1,
       0,
       0,
       "WS01"},
      {"a late answer from the slot's previous host is dropped",
       {{In{forged, 0x0A000004}}, {In{good, kHost}}},
       0,
       1,
       0,
       1,
       "WS01"},
      {"a short datagram from the host: poll again",
       {{In{runt, kHost}}, {In{good, kHost}}},
       0,
       1,
       0,
       1,
       "WS01"},
      {"only strangers answer",
       {{In{forged, 0x0A000006}}, {In{forged, kHost, 5000}}},
       0,
       0,
       0,
       20,
       ""},
      {"nobody answers", {}, 0, 0, 0, 20, ""},
      {"send fails: no polls", {{In{good, kHost}}}, ENETUNREACH, 0, ENETUNREACH, 0, ""},
      {"receive fails, then the answer",
       {{In{{}, 0, 0, EIO}}, {In{good, kHost}}},
       0,
       1,
       0,
       1,
       "WS01"},
      {"receive keeps failing", {{In{{}, 0, 0, EIO}}, {In{{}, 0, 0, EIO}}}, 0, 0, EIO, 20, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScriptedSocket socket;
    socket.polls = c.polls;
    socket.send_error = c.send_error;
    int sleeps = 0;
    NodeStatus answer;
    answer.ComputerName = "stale";
    OsError error{OsErrorKind::kOpen, -1, "stale"};
    const bool result = RunNetbiosQuery(
        socket, kHost,
        [&](std::chrono::milliseconds wait) {
          EXPECT_EQ(wait, std::chrono::milliseconds(100));
          ++sleeps;
          socket.NextPoll();
        },
        answer, error);
    EXPECT_EQ(result, c.result == 1);
    EXPECT_EQ(error.code, c.error);
    EXPECT_EQ(sleeps, c.sleeps);
    EXPECT_EQ(answer.ComputerName, c.name);
    ASSERT_EQ(socket.sent.size(), 1u);
    const auto request = NodeStatusRequest();
    EXPECT_EQ(socket.sent[0], std::vector<std::uint8_t>(request.begin(), request.end()));
    EXPECT_EQ(socket.sent_to, "10.0.0.5");
    EXPECT_EQ(socket.sent_port, 137);
  }
}

TEST(NetbiosTest, AFloodOfStrangersCannotHoldTheQuery) {
  ScriptedSocket socket;
  socket.flood = true;
  int sleeps = 0;
  NodeStatus answer;
  OsError error;
  EXPECT_FALSE(RunNetbiosQuery(
      socket, 0x0A000005, [&](std::chrono::milliseconds) { ++sleeps; }, answer, error));
  EXPECT_EQ(sleeps, kNetbiosPolls);
  EXPECT_EQ(socket.receives, kNetbiosPolls * kDatagramsPerPoll);
}

// Real sockets on loopback: 127.0.0.1 and 127.0.0.2 are both addresses of lo.
class NetbiosLoopbackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (test::NoNetworkNamespace()) GTEST_SKIP() << "no network namespace of our own";
  }
};

TEST_F(NetbiosLoopbackTest, AnswerFromTheHostIsTakenAndStrangersAreNot) {
  const std::uint16_t local_port = test::FreeUdpPort();
  test::UdpPeer service("127.0.0.1", 137);
  test::UdpPeer stranger("127.0.0.2", 137);
  test::UdpPeer other_port("127.0.0.1", 0);
  NodeStatusAnswer forged_answer = Ws01Answer();
  forged_answer.names[0].name = "FORGED";
  const auto forged = BuildNodeStatus(forged_answer);

  std::vector<std::uint8_t> request_seen;
  std::string request_from;
  std::thread responder([&] {
    const auto request = service.Receive(std::chrono::milliseconds(3000));
    if (!request) return;
    request_seen = request->bytes;
    request_from = request->from_address + ":" + std::to_string(request->from_port);
    // Strangers get in first; the host's own answer comes last.
    stranger.SendTo(forged, "127.0.0.1", request->from_port);
    other_port.SendTo(forged, "127.0.0.1", request->from_port);
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    service.SendTo(BuildNodeStatus(Ws01Answer()), "127.0.0.1", request->from_port);
  });
  NodeStatus answer;
  OsError error{OsErrorKind::kOpen, -1, "stale"};
  const auto started = std::chrono::steady_clock::now();
  const bool result = NetbiosQuery(0x7F000001, local_port, answer, error);
  const auto took = std::chrono::steady_clock::now() - started;
  responder.join();

  EXPECT_TRUE(result);
  EXPECT_EQ(error.code, 0);
  EXPECT_EQ(answer.ComputerName, "WS01");
  EXPECT_EQ(answer.DomainName, "WORKGROUP");
  EXPECT_EQ(answer.MacAddress, "00:1A:2B:3C:4D:5E");
  const auto request = NodeStatusRequest();
  EXPECT_EQ(request_seen, std::vector<std::uint8_t>(request.begin(), request.end()));
  EXPECT_EQ(request_from, "127.0.0.1:" + std::to_string(local_port));
  EXPECT_LT(took, std::chrono::milliseconds(1000));
}

TEST_F(NetbiosLoopbackTest, SilentHostCostsTwentyPollsWithoutAnError) {
  NodeStatus answer;
  OsError error{OsErrorKind::kOpen, -1, "stale"};
  const auto started = std::chrono::steady_clock::now();
  // Nothing listens on 127.0.0.2:137; the port-unreachable reply is no answer either.
  const bool result = NetbiosQuery(0x7F000002, test::FreeUdpPort(), answer, error);
  const auto took = std::chrono::steady_clock::now() - started;
  EXPECT_FALSE(result);
  EXPECT_EQ(error.code, 0);
  EXPECT_GE(took, std::chrono::milliseconds(1900));
  EXPECT_LT(took, std::chrono::milliseconds(3000));
}

TEST_F(NetbiosLoopbackTest, LocalPortInUseFailsAtOnceWithItsError) {
  test::UdpPeer holder("0.0.0.0", 0);
  NodeStatus answer;
  OsError error;
  const auto started = std::chrono::steady_clock::now();
  EXPECT_FALSE(NetbiosQuery(0x7F000001, holder.port(), answer, error));
  EXPECT_EQ(error.code, EADDRINUSE);
  EXPECT_EQ(error.kind, OsErrorKind::kBind);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(500));
}

}  // namespace
}  // namespace ordalen
