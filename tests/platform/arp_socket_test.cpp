#include "platform/arp_socket.h"

#include <gtest/gtest.h>

#include <vector>

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

}  // namespace
}  // namespace ordalen
