#include "platform/icmp.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "base/text.h"
#include "support/private_netns.h"
#include "support/process.h"

namespace ordalen {
namespace {

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

constexpr std::uint32_t kTarget = 0x0A000005;  // 10.0.0.5
constexpr std::uint32_t kUs = 0x0A000001;      // 10.0.0.1
constexpr std::uint16_t kId = 0x1234;
constexpr std::uint16_t kSeq = 0x0042;

void PutU32(Bytes& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
}

// An IPv4 header (with `options` extra 32-bit words) in front of `body`.
Bytes Ipv4(std::uint32_t src, std::uint32_t dst, std::uint8_t ttl, const Bytes& body,
           int options = 0, std::uint8_t protocol = 1) {
  const std::size_t header = 20 + 4 * static_cast<std::size_t>(options);
  Bytes b(header, 0);
  b[0] = static_cast<std::uint8_t>(0x40 | (header / 4));
  const std::size_t total = header + body.size();
  b[2] = static_cast<std::uint8_t>(total >> 8);
  b[3] = static_cast<std::uint8_t>(total);
  b[8] = ttl;
  b[9] = protocol;
  PutU32(b, 12, src);
  PutU32(b, 16, dst);
  b.insert(b.end(), body.begin(), body.end());
  return b;
}

Bytes OurRequest(std::uint16_t id = kId, std::uint16_t seq = kSeq) {
  const auto payload = EchoPayload();
  return BuildEchoRequest(id, seq, payload);
}

// Our request turned into its reply (type 0) with the checksum mended.
Bytes Reply(std::uint16_t id = kId, std::uint16_t seq = kSeq, Bytes payload = {}) {
  if (payload.empty()) {
    const auto p = EchoPayload();
    payload.assign(p.begin(), p.end());
  }
  Bytes b = BuildEchoRequest(id, seq, payload);
  b[0] = 0;
  b[2] = b[3] = 0;
  const std::uint16_t sum = InternetChecksum(b);
  b[2] = static_cast<std::uint8_t>(sum >> 8);
  b[3] = static_cast<std::uint8_t>(sum);
  return b;
}

// An ICMP error of `type` quoting `quoted_ip` (an IP packet we sent).
Bytes IcmpError(std::uint8_t type, const Bytes& quoted_ip) {
  Bytes b{type, 1, 0, 0, 0, 0, 0, 0};
  b.insert(b.end(), quoted_ip.begin(),
           quoted_ip.begin() + std::min<std::size_t>(quoted_ip.size(), 28));
  return b;
}

EchoExpect Expect(const std::array<std::uint8_t, kEchoPayloadSize>& payload) {
  EchoExpect e;
  e.target = kTarget;
  e.id = kId;
  e.seq = kSeq;
  e.payload = payload;
  return e;
}

TEST(EchoRequestTest, CarriesThePayloadAndAValidChecksum) {
  const auto payload = EchoPayload();
  const std::string text(payload.begin(), payload.begin() + 11);
  EXPECT_EQ(text, "Data Buffer");
  for (std::size_t i = 11; i < payload.size(); ++i) EXPECT_EQ(payload[i], 0) << i;

  const Bytes request = OurRequest();
  ASSERT_EQ(request.size(), 40u);
  EXPECT_EQ(request[0], 8);
  EXPECT_EQ(request[1], 0);
  EXPECT_EQ(request[4] << 8 | request[5], kId);
  EXPECT_EQ(request[6] << 8 | request[7], kSeq);
  EXPECT_EQ(InternetChecksum(request), 0);
}

TEST(EchoRequestTest, ChecksumFollowsRfc1071) {
  // The worked example of RFC 1071: the sum of these words is 0xDDF2.
  const Bytes words{0x00, 0x01, 0xF2, 0x03, 0xF4, 0xF5, 0xF6, 0xF7};
  EXPECT_EQ(InternetChecksum(words), static_cast<std::uint16_t>(~0xDDF2));
  const Bytes odd{0x01};
  EXPECT_EQ(InternetChecksum(odd), static_cast<std::uint16_t>(~0x0100));
}

TEST(MatchRawIcmpTest, AcceptsOnlyOurReplyFromTheAddressAsked) {
  const auto payload = EchoPayload();
  const EchoExpect expect = Expect(payload);
  const Bytes sent_ip = Ipv4(kUs, kTarget, 64, OurRequest());
  Bytes bad_sum = Reply();
  bad_sum[3] ^= 0x01;
  Bytes other_payload(32, 0);
  struct Case {
    const char* what;
    Bytes packet;
    EchoVerdict verdict;
    int ttl;
  } cases[] = {
      {"our reply", Ipv4(kTarget, kUs, 64, Reply()), EchoVerdict::kReply, 64},
      {"TTL 128", Ipv4(kTarget, kUs, 128, Reply()), EchoVerdict::kReply, 128},
      {"TTL 255", Ipv4(kTarget, kUs, 255, Reply()), EchoVerdict::kReply, 255},
      {"TTL 0", Ipv4(kTarget, kUs, 0, Reply()), EchoVerdict::kReply, 0},
      {"IP options", Ipv4(kTarget, kUs, 60, Reply(), 2), EchoVerdict::kReply, 60},
      {"another host's reply", Ipv4(0x0A000006, kUs, 64, Reply()), EchoVerdict::kUnrelated, 0},
      {"another identifier", Ipv4(kTarget, kUs, 64, Reply(kId + 1)), EchoVerdict::kUnrelated, 0},
      {"another sequence", Ipv4(kTarget, kUs, 64, Reply(kId, kSeq + 1)), EchoVerdict::kUnrelated,
       0},
      {"another payload", Ipv4(kTarget, kUs, 64, Reply(kId, kSeq, other_payload)),
       EchoVerdict::kUnrelated, 0},
      {"bad checksum", Ipv4(kTarget, kUs, 64, bad_sum), EchoVerdict::kUnrelated, 0},
      {"an echo request", Ipv4(kTarget, kUs, 64, OurRequest()), EchoVerdict::kUnrelated, 0},
      {"not ICMP", Ipv4(kTarget, kUs, 64, Reply(), 0, 17), EchoVerdict::kUnrelated, 0},
      {"unreachable quoting ours", Ipv4(0x0A0000FE, kUs, 64, IcmpError(3, sent_ip)),
       EchoVerdict::kError, 0},
      {"time exceeded quoting ours", Ipv4(0x0A0000FE, kUs, 64, IcmpError(11, sent_ip)),
       EchoVerdict::kError, 0},
      {"unreachable for another address",
       Ipv4(0x0A0000FE, kUs, 64, IcmpError(3, Ipv4(kUs, 0x0A000006, 64, OurRequest()))),
       EchoVerdict::kUnrelated, 0},
      {"unreachable for another sequence",
       Ipv4(0x0A0000FE, kUs, 64, IcmpError(3, Ipv4(kUs, kTarget, 64, OurRequest(kId, kSeq + 1)))),
       EchoVerdict::kUnrelated, 0},
      {"unreachable for UDP",
       Ipv4(0x0A0000FE, kUs, 64, IcmpError(3, Ipv4(kUs, kTarget, 64, OurRequest(), 0, 17))),
       EchoVerdict::kUnrelated, 0},
      {"redirect quoting ours", Ipv4(0x0A0000FE, kUs, 64, IcmpError(5, sent_ip)),
       EchoVerdict::kUnrelated, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const EchoMatch m = MatchRawIcmp(c.packet, expect);
    EXPECT_EQ(m.verdict, c.verdict);
    if (c.verdict == EchoVerdict::kReply) {
      EXPECT_EQ(m.ttl, c.ttl);
    }
  }
}

TEST(MatchRawIcmpTest, MalformedHeadersAndEveryCutAreNoReply) {
  const auto payload = EchoPayload();
  const EchoExpect expect = Expect(payload);
  const Bytes good = Ipv4(kTarget, kUs, 64, Reply());
  ASSERT_EQ(MatchRawIcmp(good, expect).verdict, EchoVerdict::kReply);
  for (std::size_t n = 0; n < good.size(); ++n) {
    EXPECT_NE(MatchRawIcmp(std::span(good.data(), n), expect).verdict, EchoVerdict::kReply) << n;
  }
  const Bytes error = Ipv4(0x0A0000FE, kUs, 64, IcmpError(3, Ipv4(kUs, kTarget, 64, OurRequest())));
  for (std::size_t n = 0; n < error.size(); ++n) {
    EXPECT_EQ(MatchRawIcmp(std::span(error.data(), n), expect).verdict, EchoVerdict::kUnrelated)
        << n;
  }
  Bytes short_ihl = good;
  short_ihl[0] = 0x44;
  EXPECT_EQ(MatchRawIcmp(short_ihl, expect).verdict, EchoVerdict::kUnrelated);
  Bytes long_ihl = good;
  long_ihl[0] = 0x4F;  // 60 bytes of header: more than the packet holds before the reply's end
  EXPECT_NE(MatchRawIcmp(long_ihl, expect).verdict, EchoVerdict::kReply);
  Bytes v6 = good;
  v6[0] = 0x65;
  EXPECT_EQ(MatchRawIcmp(v6, expect).verdict, EchoVerdict::kUnrelated);
}

TEST(MatchDatagramIcmpTest, ReplyWithTheSystemsTtl) {
  const auto payload = EchoPayload();
  const EchoExpect expect = Expect(payload);
  struct Case {
    const char* what;
    std::uint32_t source;
    int ttl;
    EchoVerdict verdict;
    int expected_ttl;
  } cases[] = {
      {"reply", kTarget, 64, EchoVerdict::kReply, 64},
      {"no TTL reported", kTarget, -1, EchoVerdict::kReply, 0},
      {"from another address", kUs, 64, EchoVerdict::kUnrelated, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const EchoMatch m = MatchDatagramIcmp(Reply(), c.source, c.ttl, expect);
    EXPECT_EQ(m.verdict, c.verdict);
    EXPECT_EQ(m.ttl, c.expected_ttl);
  }
}

TEST(QuotesOurEchoTest, ChecksDestinationIdentifierAndSequence) {
  const auto payload = EchoPayload();
  const EchoExpect expect = Expect(payload);
  EXPECT_TRUE(QuotesOurEcho(OurRequest(), kTarget, expect));
  EXPECT_FALSE(QuotesOurEcho(OurRequest(), kUs, expect));
  EXPECT_FALSE(QuotesOurEcho(OurRequest(kId, kSeq + 1), kTarget, expect));
  EXPECT_FALSE(QuotesOurEcho(OurRequest(kId + 1), kTarget, expect));
  EXPECT_FALSE(QuotesOurEcho(Reply(), kTarget, expect));
  const Bytes request = OurRequest();
  EXPECT_FALSE(QuotesOurEcho(std::span(request.data(), 7), kTarget, expect));
}

TEST(EchoSequenceOfTest, TheSequenceOfAReplyOrOfTheRequestAnErrorQuotes) {
  const Bytes sent_ip = Ipv4(kUs, kTarget, 64, OurRequest(kId, 0x4242));
  Bytes cut = IcmpError(3, sent_ip);
  cut.resize(8 + 20 + 7);
  struct Case {
    const char* what;
    Bytes icmp;
    std::optional<std::uint16_t> seq;
  } cases[] = {
      {"echo reply", Reply(kId, 0x1234), 0x1234},
      {"echo request", OurRequest(kId, 0x0007), 0x0007},
      {"unreachable quoting a request", IcmpError(3, sent_ip), 0x4242},
      {"time exceeded quoting a request", IcmpError(11, sent_ip), 0x4242},
      {"redirect", IcmpError(5, sent_ip), std::nullopt},
      {"unreachable quoting UDP", IcmpError(3, Ipv4(kUs, kTarget, 64, OurRequest(), 0, 17)),
       std::nullopt},
      {"unreachable quoting a reply", IcmpError(3, Ipv4(kUs, kTarget, 64, Reply())), std::nullopt},
      {"unreachable cut inside the quoted request", cut, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(EchoSequenceOf(c.icmp), c.seq);
    EXPECT_EQ(EchoSequenceOfRaw(Ipv4(kTarget, kUs, 64, c.icmp)), c.seq);
    EXPECT_EQ(EchoSequenceOfRaw(Ipv4(kTarget, kUs, 64, c.icmp, 1)), c.seq);  // IP options
  }
  EXPECT_EQ(EchoSequenceOfRaw(Ipv4(kTarget, kUs, 64, Reply(), 0, 17)), std::nullopt);
  const Bytes reply = Reply(kId, 0x1234);
  for (std::size_t n = 0; n < 8; ++n)
    EXPECT_EQ(EchoSequenceOf(std::span(reply.data(), n)), std::nullopt) << n;
}

TEST(BuildIpv4EchoTest, AnIpv4PacketOurMatcherTakesForTheRequestSent) {
  const auto payload = EchoPayload();
  const std::vector<std::uint8_t> p = BuildIpv4Echo(kUs, kTarget, 100, 0xBEEF, kId, kSeq, payload);
  ASSERT_EQ(p.size(), 20u + 8u + payload.size());
  EXPECT_EQ(p[0], 0x45);
  EXPECT_EQ(p[2] << 8 | p[3], static_cast<int>(p.size()));
  EXPECT_EQ(p[4] << 8 | p[5], 0xBEEF);
  EXPECT_EQ(p[6], 0x40);  // don't fragment
  EXPECT_EQ(p[8], 100);
  EXPECT_EQ(p[9], 1);
  EXPECT_EQ(InternetChecksum(std::span(p.data(), 20)), 0);
  EXPECT_EQ(Bytes(p.begin() + 20, p.end()), OurRequest());
  EXPECT_EQ(Bytes(p.begin() + 12, p.begin() + 20), (Bytes{10, 0, 0, 1, 10, 0, 0, 5}));
  // An error quoting it is about our request.
  const Bytes error = Ipv4(0x0A0000FE, kUs, 64, IcmpError(3, Bytes(p.begin(), p.end())));
  EXPECT_EQ(MatchRawIcmp(error, Expect(payload)).verdict, EchoVerdict::kError);
}

TEST(Ipv4PacketToTest, OnlyAWholeWellFormedPacketForUsCutToItsLength) {
  const auto payload = EchoPayload();
  const Bytes packet = BuildIpv4Echo(kTarget, kUs, 64, 7, kId, kSeq, payload);
  // Sets the header checksum right again after a change.
  const auto rechecked = [](Bytes b) {
    const std::size_t header = static_cast<std::size_t>(b[0] & 0x0F) * 4;
    b[10] = b[11] = 0;
    const std::uint16_t sum = InternetChecksum(std::span(b.data(), header));
    b[10] = static_cast<std::uint8_t>(sum >> 8);
    b[11] = static_cast<std::uint8_t>(sum);
    return b;
  };
  Bytes padded = packet;
  padded.resize(packet.size() + 18, 0);
  Bytes with_option = Ipv4(kTarget, kUs, 64, Bytes(packet.begin() + 20, packet.end()), 1);
  Bytes bad_checksum = packet;
  bad_checksum[8] ^= 1;  // the TTL, after the checksum was taken
  Bytes more_fragments = packet;
  more_fragments[6] |= 0x20;
  Bytes offset = packet;
  offset[7] = 1;
  Bytes version6 = packet;
  version6[0] = 0x65;
  Bytes total_too_small = packet;
  total_too_small[2] = 0;
  total_too_small[3] = 19;
  struct Case {
    const char* what;
    Bytes frame;
    std::uint32_t own;
    std::optional<std::size_t> kept;
  } cases[] = {
      {"as sent", packet, kUs, packet.size()},
      {"in a padded frame", padded, kUs, packet.size()},
      {"with an option", rechecked(with_option), kUs, with_option.size()},
      {"for another address", packet, kUs + 1, std::nullopt},
      {"wrong header checksum", bad_checksum, kUs, std::nullopt},
      {"more fragments", rechecked(more_fragments), kUs, std::nullopt},
      {"a later fragment", rechecked(offset), kUs, std::nullopt},
      {"not IPv4", rechecked(version6), kUs, std::nullopt},
      {"total below the header", rechecked(total_too_small), kUs, std::nullopt},
      {"cut short", Bytes(packet.begin(), packet.end() - 1), kUs, std::nullopt},
      {"header cut", Bytes(packet.begin(), packet.begin() + 19), kUs, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto kept = Ipv4PacketTo(c.frame, c.own);
    ASSERT_EQ(kept.has_value(), c.kept.has_value());
    if (!kept) continue;
    EXPECT_EQ(kept->data(), c.frame.data());
    EXPECT_EQ(kept->size(), *c.kept);
  }
}

// The rest talks to the kernel of the test's own namespace.
class EchoKernelTest : public ::testing::TestWithParam<IcmpSocketKind> {
 protected:
  void SetUp() override {
    ORDALEN_REQUIRE_PRIVATE_NETNS();
    // Lets this process open datagram ICMP sockets (per namespace).
    ASSERT_TRUE(test::NetnsShell("echo '0 2147483647' > /proc/sys/net/ipv4/ping_group_range"));
  }
};

constexpr std::uint32_t kLoopback = 0x7F000001;

TEST_P(EchoKernelTest, LoopbackAnswersWithTheSystemTtl) {
  struct Case {
    int default_ttl;
  } cases[] = {{64}, {128}, {255}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.default_ttl);
    ASSERT_TRUE(test::NetnsShell("echo " + std::to_string(c.default_ttl) +
                                 " > /proc/sys/net/ipv4/ip_default_ttl"));
    OsError error;
    const auto ttl = SendEchoOn(GetParam(), kLoopback, 1000ms, &error);
    EXPECT_EQ(error.code, 0) << error.message;
    ASSERT_TRUE(ttl.has_value());
    EXPECT_EQ(*ttl, c.default_ttl);
  }
  ASSERT_TRUE(test::NetnsShell("echo 64 > /proc/sys/net/ipv4/ip_default_ttl"));
}

TEST_P(EchoKernelTest, ConcurrentRequestsEachGetTheirOwnReply) {
  // Every request of a raw socket sees every reply of the machine: each must
  // still take only its own.
  constexpr int kWorkers = 32;
  std::atomic<int> answered{0};
  std::vector<std::thread> workers;
  for (int i = 0; i < kWorkers; ++i) {
    workers.emplace_back([&, i] {
      OsError error;
      if (SendEchoOn(GetParam(), kLoopback + static_cast<std::uint32_t>(i % 4), 2000ms, &error))
        ++answered;
    });
  }
  for (auto& t : workers) t.join();
  EXPECT_EQ(answered.load(), kWorkers);
}

TEST_P(EchoKernelTest, UnreachableQuotingOurRequestEndsTheWaitAtOnce) {
  // A card whose neighbour lookups fail after 100 ms: the system then answers our
  // request with "host unreachable", long before the time-out.
  ASSERT_TRUE(test::NetnsShell(
      "ip link show oe0 >/dev/null 2>&1 || { ip link add oe0 type veth peer name oe1 && "
      "ip addr add 10.99.0.1/24 dev oe0 && ip link set oe0 up && ip link set oe1 up && "
      "echo 1 > /proc/sys/net/ipv4/neigh/oe0/mcast_solicit && "
      "echo 100 > /proc/sys/net/ipv4/neigh/oe0/retrans_time_ms; }"));
  const auto start = std::chrono::steady_clock::now();
  OsError error;
  const auto ttl = SendEchoOn(GetParam(), 0x0A630005 /* 10.99.0.5 */, 3000ms, &error);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_FALSE(ttl.has_value());
  EXPECT_EQ(error.code, 0) << error.message;
  EXPECT_LT(took, 1500ms);
}

TEST_P(EchoKernelTest, SilentHostEndsAtTheTimeout) {
  // Neighbour lookups on this card take the system's default 3 s to fail, so
  // nothing comes back before our time-out.
  ASSERT_TRUE(test::NetnsShell(
      "ip link show os0 >/dev/null 2>&1 || { ip link add os0 type veth peer name os1 && "
      "ip addr add 10.98.0.1/24 dev os0 && ip link set os0 up && ip link set os1 up; }"));
  OsError error;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(SendEchoOn(GetParam(), 0x0A620005 /* 10.98.0.5 */, 300ms, &error).has_value());
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(error.code, 0) << error.message;
  EXPECT_GE(took, 290ms);
  EXPECT_LT(took, 1000ms);
}

TEST_P(EchoKernelTest, NoRouteIsNoReplyNotAnError) {
  OsError error;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(SendEchoOn(GetParam(), 0xC0000201 /* 192.0.2.1 */, 300ms, &error).has_value());
  EXPECT_EQ(error.code, 0) << error.message;
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1000ms);
}

// An IPv4 packet as a card receives it: header checksum filled in, and the
// ICMP message behind it given its own checksum.
Bytes OnTheWire(std::uint32_t src, std::uint32_t dst, std::uint8_t ttl, Bytes icmp) {
  icmp[2] = icmp[3] = 0;
  const std::uint16_t icmp_sum = InternetChecksum(icmp);
  icmp[2] = static_cast<std::uint8_t>(icmp_sum >> 8);
  icmp[3] = static_cast<std::uint8_t>(icmp_sum);
  Bytes b = Ipv4(src, dst, ttl, icmp);
  const std::uint16_t sum = InternetChecksum(std::span(b.data(), 20));
  b[10] = static_cast<std::uint8_t>(sum >> 8);
  b[11] = static_cast<std::uint8_t>(sum);
  return b;
}

std::uint32_t U32At(const Bytes& b, std::size_t at) {
  return static_cast<std::uint32_t>(b[at]) << 24 | static_cast<std::uint32_t>(b[at + 1]) << 16 |
         static_cast<std::uint32_t>(b[at + 2]) << 8 | b[at + 3];
}

// What the system sent out of a TUN card: one echo request.
struct SentEcho {
  std::uint32_t source = 0;
  std::uint32_t target = 0;
  std::uint16_t id = 0;
  std::uint16_t seq = 0;
  Bytes packet;  // as sent, IP header first
};

// The far side of a TUN card "ot0": reads every echo request the system sends
// out of it and writes what `answer` makes of it back in, as if from the wire,
// on a thread of its own (at most 30 s).
class TunPeer {
 public:
  using Answer = std::function<std::vector<Bytes>(const SentEcho&)>;
  explicit TunPeer(Answer answer) : answer_(std::move(answer)) {
    fd_.reset(::open("/dev/net/tun", O_RDWR | O_CLOEXEC));
    if (!fd_) return;
    ifreq ifr{};
    ifr.ifr_flags = IFF_TUN | IFF_NO_PI;
    std::strncpy(ifr.ifr_name, "ot0", IFNAMSIZ - 1);
    if (::ioctl(fd_.get(), TUNSETIFF, &ifr) != 0) {
      fd_.reset();
      return;
    }
    thread_ = std::thread([this] { Loop(); });
  }
  ~TunPeer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  TunPeer(const TunPeer&) = delete;
  TunPeer& operator=(const TunPeer&) = delete;
  [[nodiscard]] bool ok() const { return fd_.valid(); }
  [[nodiscard]] int requests() const { return requests_; }

 private:
  void Loop() {
    const auto limit = std::chrono::steady_clock::now() + 30s;
    Bytes buf(2048);
    while (!stop_ && std::chrono::steady_clock::now() < limit) {
      pollfd p{fd_.get(), POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      const ssize_t n = ::read(fd_.get(), buf.data(), buf.size());
      if (n < 28 || (buf[0] >> 4) != 4 || buf[9] != 1) continue;
      const std::size_t ihl = static_cast<std::size_t>(buf[0] & 0x0F) * 4;
      if (static_cast<std::size_t>(n) < ihl + 8 || buf[ihl] != 8) continue;
      SentEcho e;
      e.source = U32At(buf, 12);
      e.target = U32At(buf, 16);
      e.id = static_cast<std::uint16_t>(buf[ihl + 4] << 8 | buf[ihl + 5]);
      e.seq = static_cast<std::uint16_t>(buf[ihl + 6] << 8 | buf[ihl + 7]);
      e.packet.assign(buf.begin(), buf.begin() + n);
      ++requests_;
      for (const Bytes& out : answer_(e)) {
        if (::write(fd_.get(), out.data(), out.size()) != static_cast<ssize_t>(out.size())) break;
      }
    }
  }

  Answer answer_;
  UniqueFd fd_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<int> requests_{0};
};

// Echo probers on a socket of each kind.
class EchoProberTest : public ::testing::TestWithParam<IcmpSocketKind> {
 protected:
  void SetUp() override {
    ORDALEN_REQUIRE_PRIVATE_NETNS();
    // Lets this process open datagram ICMP sockets (per namespace).
    ASSERT_TRUE(test::NetnsShell("echo '0 2147483647' > /proc/sys/net/ipv4/ping_group_range"));
  }
  std::optional<EchoProber> Open(std::chrono::milliseconds timeout,
                                 const std::vector<InterfaceAddress>& interfaces) {
    OsError error;
    std::optional<EchoProber> prober = EchoProber::Open(timeout, interfaces, GetParam(), &error);
    EXPECT_TRUE(prober.has_value()) << error.message;
    if (prober) {
      EXPECT_EQ(prober->kind(), GetParam());
    }
    return prober;
  }
  // Runs `prober` until nothing is in flight (20 s at most).
  static std::vector<EchoProber::Ended> RunToEnd(EchoProber& prober) {
    std::vector<EchoProber::Ended> ended;
    OsError error;
    const auto limit = std::chrono::steady_clock::now() + 20s;
    while (prober.InFlight() > 0 && std::chrono::steady_clock::now() < limit)
      prober.Run(ProbeClock::now() + 100ms, ended, &error);
    EXPECT_EQ(error.code, 0) << error.message;
    return ended;
  }
};

TEST_P(EchoProberTest, ThousandsInFlightNeverTakeAnotherRequestsAnswer) {
  // 4094 requests out of the TUN card at once. Its far side answers every 64th
  // address (TTL 77, and three copies), refuses every 64th but 14 with an
  // "unreachable" quoting the request, and for every request forges what could
  // be mistaken for an answer: a reply from the next address, a reply with other
  // data, one with another identifier, an "unreachable" for the next address.
  constexpr std::uint32_t kTunNet = 0x0A5E0000;  // 10.94.0.0/20
  constexpr std::uint32_t kRouter = 0xC0000201;  // 192.0.2.1, a hop away
  const auto answers = [](std::uint32_t a) { return (a & 0x3F) == 7; };
  const auto refuses = [](std::uint32_t a) { return (a & 0x3F) == 21; };
  // A datagram socket is told of no error: its refused requests wait too.
  const bool errors_end_early = GetParam() == IcmpSocketKind::kRaw;
  TunPeer peer([&](const SentEcho& e) {
    Bytes other_data(kEchoPayloadSize, 0x5A);
    Bytes quote_next = e.packet;
    PutU32(quote_next, 16, e.target + 1);  // the request as if sent to the next address
    std::vector<Bytes> out = {
        OnTheWire(e.target + 1, e.source, 64, Reply(e.id, e.seq)),
        OnTheWire(e.target, e.source, 64, Reply(e.id, e.seq, other_data)),
        OnTheWire(e.target, e.source, 64, Reply(static_cast<std::uint16_t>(e.id ^ 0x0101), e.seq)),
        OnTheWire(kRouter, e.source, 64, IcmpError(3, quote_next)),
    };
    if (answers(e.target)) {
      for (int i = 0; i < 4; ++i)
        out.push_back(OnTheWire(e.target, e.source, 77, Reply(e.id, e.seq)));
    }
    if (refuses(e.target)) out.push_back(OnTheWire(kRouter, e.source, 64, IcmpError(3, e.packet)));
    return out;
  });
  ASSERT_TRUE(peer.ok()) << "no TUN card";
  // Room on the card for every request at once (a full queue drops them).
  ASSERT_TRUE(test::NetnsShell(
      "ip link set ot0 txqueuelen 8192 && ip addr add 10.94.0.1/20 dev ot0 && ip link set ot0 up"));
  std::optional<EchoProber> prober = Open(2000ms, {});  // every target through the system
  ASSERT_TRUE(prober.has_value());

  std::map<int, std::uint32_t> asked;
  for (std::uint32_t a = kTunNet + 2; a < kTunNet + 0x0FFF; ++a) {
    const int tag = static_cast<int>(a - kTunNet);
    asked[tag] = a;
    prober->Start(a, tag);
  }
  ASSERT_EQ(prober->InFlight(), 4093u);
  const std::vector<EchoProber::Ended> ended = RunToEnd(*prober);
  ASSERT_EQ(ended.size(), asked.size());
  std::set<int> seen;
  std::size_t first_timeout = ended.size();
  std::size_t last_early = 0;
  for (std::size_t i = 0; i < ended.size(); ++i) {
    const EchoProber::Ended& e = ended[i];
    ASSERT_TRUE(seen.insert(e.tag).second) << "tag " << e.tag << " ended twice";
    const std::uint32_t target = asked.at(e.tag);
    SCOPED_TRACE(IpText(target));
    EXPECT_EQ(e.ttl, answers(target) ? std::optional(77) : std::nullopt);
    if (answers(target) || (errors_end_early && refuses(target))) {
      last_early = i;
    } else {
      first_timeout = std::min(first_timeout, i);
    }
  }
  // The answered and the refused end before the first time-out, none after.
  EXPECT_LT(last_early, first_timeout);
  EXPECT_EQ(peer.requests(), 4093);
  const WireStats stats = prober->Stats();
  EXPECT_EQ(stats.sent, 4093u);
  EXPECT_GT(stats.unmatched, 3u * 4093u / 2u);
  EXPECT_EQ(stats.dropped, 0u);
}

// Packets the card has sent, from this namespace's /proc/net/dev.
long SentOn(const std::string& name) {
  std::ifstream in("/proc/net/dev");
  std::string line;
  while (std::getline(in, line)) {
    const auto colon = line.find(':');
    if (colon == std::string::npos || std::string(TrimSpace(line.substr(0, colon))) != name)
      continue;
    std::istringstream fields(line.substr(colon + 1));
    long value = -1;
    for (int i = 0; i < 10; ++i) fields >> value;  // the 10th number: packets sent
    return value;
  }
  return -1;
}

TEST_P(EchoProberTest, OnLinkTargetsAreAskedByArpAndSentFramesTheNeighbourTableNeverSees) {
  // Our card oa0 (10.95.0.9) faces oa1, whose kernel holds .5 and .6 and takes
  // frames from our address (accept_local: in this one namespace it is local).
  ASSERT_TRUE(test::NetnsShell(
      "ip link add oa0 type veth peer name oa1 && "
      "echo 1 > /proc/sys/net/ipv6/conf/oa0/disable_ipv6 && "
      "echo 1 > /proc/sys/net/ipv6/conf/oa1/disable_ipv6 && "
      "ip link set oa0 address 02:00:00:00:0b:00 && ip link set oa1 address 02:00:00:00:0b:01 && "
      "ip addr add 10.95.0.9/32 dev oa0 && ip addr add 10.95.0.5/24 dev oa1 && "
      "ip addr add 10.95.0.6/24 dev oa1 && echo 1 > /proc/sys/net/ipv4/conf/oa1/accept_local && "
      "echo 0 > /proc/sys/net/ipv4/conf/all/rp_filter && "
      "echo 0 > /proc/sys/net/ipv4/conf/oa1/rp_filter && "
      "echo 0 > /proc/sys/net/ipv4/conf/oa0/rp_filter && "
      "ip link set oa0 up && ip link set oa1 up && "
      "for i in $(seq 40); do ip -o link show oa0 | grep -q 'state UP' && break; sleep 0.05; "
      "done"));
  InterfaceAddress card;
  card.name = "oa0";
  card.index = static_cast<int>(if_nametoindex("oa0"));
  card.up = true;
  card.kind = LinkKind::kEthernet;
  card.mac = std::array<std::uint8_t, 6>{0x02, 0, 0, 0, 0x0b, 0x00};
  card.address = 0x0A5F0009;
  card.mask = 0xFFFFFF00;
  std::optional<EchoProber> prober = Open(600ms, {card});
  ASSERT_TRUE(prober.has_value());
  EXPECT_TRUE(prober->OnLinkByFrames());
  const long sent_before = SentOn("oa0");
  for (int host = 1; host <= 60; ++host)
    prober->Start(0x0A5F0000 + static_cast<std::uint32_t>(host), host);
  const std::vector<EchoProber::Ended> ended = RunToEnd(*prober);
  ASSERT_EQ(ended.size(), 60u);
  for (const EchoProber::Ended& e : ended) {
    // .5 and .6 answer our frames; .9, our own address, answers through the system.
    const bool answers = e.tag == 5 || e.tag == 6 || e.tag == 9;
    EXPECT_EQ(e.ttl.has_value(), answers) << e.tag;
  }
  // On the wire: one ARP request for each answering neighbour and two for each
  // silent one, an echo request only to those that answered ARP.
  EXPECT_EQ(SentOn("oa0") - sent_before, 2 * 1 + 57 * 2 + 2);
  // The system resolved nothing on our card: no neighbour entry for any target.
  const test::ProcessResult neigh = test::RunProcess({"ip", "neigh", "show", "dev", "oa0"}, 10s);
  EXPECT_EQ(TrimSpace(neigh.out), "") << neigh.out;
  // The card's ARP and reply sockets, and a raw ICMP socket's own filter.
  EXPECT_EQ(prober->Stats().filtered_sockets, GetParam() == IcmpSocketKind::kRaw ? 3u : 2u);
}

INSTANTIATE_TEST_SUITE_P(BothKinds, EchoProberTest,
                         ::testing::Values(IcmpSocketKind::kDatagram, IcmpSocketKind::kRaw),
                         [](const auto& param_info) {
                           return param_info.param == IcmpSocketKind::kDatagram ? "Datagram"
                                                                                : "Raw";
                         });

INSTANTIATE_TEST_SUITE_P(BothKinds, EchoKernelTest,
                         ::testing::Values(IcmpSocketKind::kDatagram, IcmpSocketKind::kRaw),
                         [](const auto& param_info) {
                           return param_info.param == IcmpSocketKind::kDatagram ? "Datagram"
                                                                                : "Raw";
                         });

}  // namespace
}  // namespace ordalen
