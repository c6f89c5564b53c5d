#include "platform/icmp.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "support/private_netns.h"

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

INSTANTIATE_TEST_SUITE_P(BothKinds, EchoKernelTest,
                         ::testing::Values(IcmpSocketKind::kDatagram, IcmpSocketKind::kRaw),
                         [](const auto& info) {
                           return info.param == IcmpSocketKind::kDatagram ? "Datagram" : "Raw";
                         });

}  // namespace
}  // namespace ordalen
