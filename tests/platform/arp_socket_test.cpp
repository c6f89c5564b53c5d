#include "platform/arp_socket.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "base/text.h"
#include "support/private_netns.h"

namespace ordalen {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kTarget = 0x0A4D010A;  // 10.77.1.10
constexpr MacBytes kOurMac{0x02, 0x00, 0x00, 0x00, 0x00, 0x02};
constexpr MacBytes kTheirMac{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};

// An Ethernet/IPv4 ARP packet of `operation` with these sender and target fields.
Bytes ArpPacket(std::uint16_t operation, const MacBytes& sender_mac, std::uint32_t sender,
                const MacBytes& target_mac, std::uint32_t target) {
  Bytes b{0x00,
          0x01,
          0x08,
          0x00,
          6,
          4,
          static_cast<std::uint8_t>(operation >> 8),
          static_cast<std::uint8_t>(operation)};
  const auto put_address = [&b](std::uint32_t a) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(a >> (24 - 8 * i)));
  };
  b.insert(b.end(), sender_mac.begin(), sender_mac.end());
  put_address(sender);
  b.insert(b.end(), target_mac.begin(), target_mac.end());
  put_address(target);
  return b;
}

// A reply from `sender_address` / `sender_mac` to us; fields can be spoiled after.
Bytes Reply(std::uint32_t sender_address = kTarget, std::uint16_t operation = 2) {
  return ArpPacket(operation, kTheirMac, sender_address, kOurMac, 0x0A4D0102);
}

TEST(ArpRequestTest, NamesTheCardAsSenderAndAsksForTheTarget) {
  const auto p = BuildArpRequest(kOurMac, 0x0A4D0102, kTarget);
  const Bytes expected{0x00, 0x01, 0x08, 0x00, 6,    4,    0x00, 0x01,  // Ethernet, IPv4, request
                       0x02, 0x00, 0x00, 0x00, 0x00, 0x02,              // our MAC
                       10,   77,   1,    2,                             // our address
                       0,    0,    0,    0,    0,    0,                 // asked for
                       10,   77,   1,    10};
  EXPECT_EQ(Bytes(p.begin(), p.end()), expected);
}

TEST(ParseArpReplyTest, OnlyAnEthernetIpv4ReplyFromTheTarget) {
  Bytes padded = Reply();
  padded.resize(46, 0);  // Ethernet minimum-frame padding
  struct Case {
    const char* what;
    Bytes packet;
    bool accepted;
  } cases[] = {
      {"reply", Reply(), true},
      {"padded reply", padded, true},
      {"a request", Reply(kTarget, 1), false},
      {"reply from another address", Reply(kTarget + 1), false},
      {"RARP reply", Reply(kTarget, 4), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto mac = ParseArpReply(c.packet, kTarget);
    EXPECT_EQ(mac.has_value(), c.accepted);
    if (mac) {
      EXPECT_EQ(*mac, kTheirMac);
    }
  }
  struct Spoil {
    const char* what;
    std::size_t at;
    std::uint8_t value;
  } spoils[] = {
      {"hardware type", 1, 6},
      {"protocol type", 2, 0x86},
      {"hardware length", 4, 8},
      {"protocol length", 5, 16},
  };
  for (const auto& s : spoils) {
    SCOPED_TRACE(s.what);
    Bytes b = Reply();
    b[s.at] = s.value;
    EXPECT_FALSE(ParseArpReply(b, kTarget).has_value());
  }
  const Bytes good = Reply();
  for (std::size_t n = 0; n < good.size(); ++n) {
    EXPECT_FALSE(ParseArpReply(std::span(good.data(), n), kTarget).has_value()) << n;
  }
}

// The kernel of the test's own namespace: a veth pair, our requests leaving on
// oa0, an address of the kernel's own on oa1 that answers them.
class ArpKernelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ORDALEN_REQUIRE_PRIVATE_NETNS();
    ASSERT_TRUE(test::NetnsShell(
        "ip link add oa0 type veth peer name oa1 && "
        "echo 1 > /proc/sys/net/ipv6/conf/oa0/disable_ipv6 && "
        "echo 1 > /proc/sys/net/ipv6/conf/oa1/disable_ipv6 && "
        "ip link set oa0 address 02:00:00:00:0a:00 && ip link set oa1 address 02:00:00:00:0a:01 && "
        "ip addr add 10.97.0.5/24 dev oa1 && ip link set oa0 up && ip link set oa1 up && "
        // Frames sent before the pair reports carrier are dropped: wait for it (2 s at most).
        "for i in $(seq 40); do ip -o link show oa0 | grep -q 'state UP' && break; sleep 0.05; "
        "done"));
    sender_.interface_index = Index("oa0");
    sender_.mac = {0x02, 0, 0, 0, 0x0a, 0x00};
    sender_.address = 0x0A610009;  // 10.97.0.9, held by no card
    ASSERT_GT(sender_.interface_index, 0);
  }
  static int Index(const char* name) { return static_cast<int>(if_nametoindex(name)); }
  // Packets the card has sent, from this namespace's /proc/net/dev (sysfs may
  // show another namespace).
  static long Sent(const std::string& name) {
    std::ifstream in("/proc/net/dev");
    std::string line;
    while (std::getline(in, line)) {
      const auto colon = line.find(':');
      if (colon == std::string::npos) continue;
      std::istringstream fields(line.substr(colon + 1));
      if (std::string(TrimSpace(line.substr(0, colon))) != name) continue;
      long value = -1;
      for (int i = 0; i < 10; ++i) fields >> value;  // the 10th number: packets sent
      return value;
    }
    return -1;
  }
  ArpSender sender_;
  const ArpTiming timing_{3, std::chrono::milliseconds(500), std::chrono::milliseconds(1500)};
};

TEST_F(ArpKernelTest, AnAnsweringAddressGivesItsCardsMacAtOnce) {
  OsError error;
  const auto start = std::chrono::steady_clock::now();
  const auto mac = AskArp(sender_, 0x0A610005, timing_, &error);
  // Well before a second request would go out.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(450));
  EXPECT_EQ(error.code, 0) << error.message;
  ASSERT_TRUE(mac.has_value());
  EXPECT_EQ(*mac, (MacBytes{0x02, 0, 0, 0, 0x0a, 0x01}));
}

TEST_F(ArpKernelTest, ASilentAddressGetsThreeRequestsAndTheFullWait) {
  const long before = Sent("oa0");
  OsError error;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(AskArp(sender_, 0x0A610006, timing_, &error).has_value());
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(error.code, 0) << error.message;
  EXPECT_GE(took, std::chrono::milliseconds(1490));
  EXPECT_LT(took, std::chrono::milliseconds(1800));
  EXPECT_EQ(Sent("oa0") - before, 3);
}

TEST_F(ArpKernelTest, AGoneCardIsAnErrorNotSilence) {
  OsError error;
  ArpSender gone = sender_;
  gone.interface_index = 999999;
  EXPECT_FALSE(AskArp(gone, 0x0A610005, timing_, &error).has_value());
  EXPECT_NE(error.code, 0);
}

using namespace std::chrono_literals;

constexpr std::uint32_t kNet = 0x0A610000;                // 10.97.0.0/24 and beyond
constexpr MacBytes kPeerCard{0x02, 0, 0, 0, 0x0a, 0x01};  // oa1

// Runs `prober` until nothing is in flight (10 s at most); what ended, in order.
std::vector<ArpProber::Ended> RunToEnd(ArpProber& prober, OsError* error) {
  std::vector<ArpProber::Ended> ended;
  const auto limit = std::chrono::steady_clock::now() + 10s;
  while (prober.InFlight() > 0 && std::chrono::steady_clock::now() < limit)
    prober.Run(ProbeClock::now() + 100ms, ended, error);
  return ended;
}

TEST_F(ArpKernelTest, ManyRequestsInFlightEachEndWithTheAnswerOfTheirOwnTarget) {
  // oa1 answers for .5 (its address), .6 and .7; nobody for the rest.
  ASSERT_TRUE(
      test::NetnsShell("ip addr add 10.97.0.6/24 dev oa1 && ip addr add 10.97.0.7/24 dev oa1"));
  OsError error;
  std::optional<ArpProber> prober = ArpProber::Open(sender_, &error);
  ASSERT_TRUE(prober.has_value()) << error.message;
  const ArpTiming timing{2, 200ms, 400ms};
  std::map<int, std::uint32_t> asked;  // tag -> target
  for (int host = 1; host <= 250; ++host) {
    const std::uint32_t target = kNet + static_cast<std::uint32_t>(host);
    asked[1000 + host] = target;
    ASSERT_TRUE(prober->Start(target, 1000 + host, timing));
  }
  EXPECT_FALSE(prober->Start(kNet + 5, 1, timing));  // already in flight
  const auto start = std::chrono::steady_clock::now();
  const std::vector<ArpProber::Ended> ended = RunToEnd(*prober, &error);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(error.code, 0) << error.message;
  ASSERT_EQ(ended.size(), asked.size());
  std::map<int, std::optional<MacBytes>> got;
  for (const ArpProber::Ended& e : ended) {
    EXPECT_TRUE(got.emplace(e.tag, e.mac).second) << "tag " << e.tag << " ended twice";
    EXPECT_EQ(e.target, asked[e.tag]);
  }
  for (const auto& [tag, target] : asked) {
    const bool answers = target >= kNet + 5 && target <= kNet + 7;
    EXPECT_EQ(got[tag], answers ? std::optional(kPeerCard) : std::nullopt) << (target & 0xFF);
  }
  // All at once: one wait, not one after the other (250 x 400 ms).
  EXPECT_LT(took, 3s);
  const WireStats stats = prober->Stats();
  EXPECT_EQ(stats.sent, 3u + 247u * 2u);
  EXPECT_EQ(stats.received, 3u);
  EXPECT_EQ(stats.filtered_sockets, 1u);
}

// A peer on oa1 that sends frames of its own making to oa0.
class FrameSender {
 public:
  explicit FrameSender(const char* card)
      : fd_(::socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, 0)),
        index_(static_cast<int>(if_nametoindex(card))) {}
  bool ok() const { return fd_.valid() && index_ > 0; }
  void Send(const MacBytes& to, const Bytes& packet) {
    sockaddr_ll ll{};
    ll.sll_family = AF_PACKET;
    ll.sll_protocol = htons(ETH_P_ARP);
    ll.sll_ifindex = index_;
    ll.sll_halen = 6;
    std::copy(to.begin(), to.end(), ll.sll_addr);
    ASSERT_EQ(::sendto(fd_.get(), packet.data(), packet.size(), 0,
                       reinterpret_cast<const sockaddr*>(&ll), sizeof ll),
              static_cast<ssize_t>(packet.size()));
  }

 private:
  UniqueFd fd_;
  int index_;
};

TEST_F(ArpKernelTest, ForgedAndFloodedRepliesEndOnlyTheRequestTheySpeakFor) {
  OsError error;
  std::optional<ArpProber> prober = ArpProber::Open(sender_, &error);
  ASSERT_TRUE(prober.has_value()) << error.message;
  FrameSender peer("oa1");
  ASSERT_TRUE(peer.ok());
  // 100 silent addresses, .100 to .199, each asked once.
  for (int host = 100; host < 200; ++host)
    ASSERT_TRUE(prober->Start(kNet + static_cast<std::uint32_t>(host), host, {1, 500ms, 500ms}));
  std::vector<ArpProber::Ended> ended;
  prober->Run(ProbeClock::now(), ended, &error);  // the requests go out
  ASSERT_TRUE(ended.empty());

  const MacBytes liar{0x02, 0, 0, 0, 0x0b, 0xAA};
  const MacBytes first{0x02, 0, 0, 0, 0x0b, 0xBB};
  const MacBytes later{0x02, 0, 0, 0, 0x0b, 0xCC};
  const MacBytes other_station{0x02, 0, 0, 0, 0x0a, 0x77};
  const MacBytes broadcast{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  struct Burst {
    const char* what;
    int copies;
    MacBytes to;
    Bytes packet;
  } bursts[] = {
      {"replies for addresses nobody asked", 2000, sender_.mac,
       ArpPacket(2, liar, kNet + 0x0100 + 7, sender_.mac, sender_.address)},
      {"a reply for .150 to another station (the bridge floods it)", 50, other_station,
       ArpPacket(2, liar, kNet + 150, other_station, kNet + 77)},
      {"requests naming .170 as their sender", 100, broadcast,
       ArpPacket(1, liar, kNet + 170, MacBytes{}, kNet + 171)},
      {"the first reply for .160", 1, sender_.mac,
       ArpPacket(2, first, kNet + 160, sender_.mac, sender_.address)},
      {"copies with another MAC for .160", 200, sender_.mac,
       ArpPacket(2, later, kNet + 160, sender_.mac, sender_.address)},
  };
  for (const Burst& b : bursts) {
    SCOPED_TRACE(b.what);
    for (int i = 0; i < b.copies; ++i) {
      peer.Send(b.to, b.packet);
      // Read as we go, as the sweep's loop does, so the queue never overflows.
      if (i % 100 == 99) prober->Run(ProbeClock::now(), ended, &error);
    }
  }
  const std::vector<ArpProber::Ended> rest = RunToEnd(*prober, &error);
  ended.insert(ended.end(), rest.begin(), rest.end());
  EXPECT_EQ(error.code, 0) << error.message;
  ASSERT_EQ(ended.size(), 100u);
  for (const ArpProber::Ended& e : ended) {
    EXPECT_EQ(e.target, kNet + static_cast<std::uint32_t>(e.tag));
    EXPECT_EQ(e.mac, e.tag == 160 ? std::optional(first) : std::nullopt) << e.tag;
  }
  // Only replies to this station reached the queue; all but one ended nothing.
  const WireStats stats = prober->Stats();
  EXPECT_EQ(stats.received, 2000u + 1u + 200u);
  EXPECT_EQ(stats.unmatched, 2000u + 200u);
  EXPECT_EQ(stats.dropped, 0u);
}

}  // namespace
}  // namespace ordalen
