#include "platform/arp_socket.h"

#include <gtest/gtest.h>
#include <net/if.h>

#include <chrono>
#include <fstream>
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

// A reply from `sender_address` / `sender_mac` to us; fields can be spoiled after.
Bytes Reply(std::uint32_t sender_address = kTarget, std::uint16_t operation = 2) {
  Bytes b{0x00,
          0x01,
          0x08,
          0x00,
          6,
          4,
          static_cast<std::uint8_t>(operation >> 8),
          static_cast<std::uint8_t>(operation)};
  b.insert(b.end(), kTheirMac.begin(), kTheirMac.end());
  for (int i = 0; i < 4; ++i)
    b.push_back(static_cast<std::uint8_t>(sender_address >> (24 - 8 * i)));
  b.insert(b.end(), kOurMac.begin(), kOurMac.end());
  b.insert(b.end(), {10, 77, 1, 2});
  return b;
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

}  // namespace
}  // namespace ordalen
