#include "platform/interfaces.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "support/private_netns.h"

namespace ordalen {
namespace {

const InterfaceAddress* Find(const std::vector<InterfaceAddress>& list, std::uint32_t address) {
  const auto it =
      std::ranges::find_if(list, [&](const InterfaceAddress& a) { return a.address == address; });
  return it == list.end() ? nullptr : &*it;
}

TEST(InterfaceListTest, ReadsTheKernelsCards) {
  ORDALEN_REQUIRE_PRIVATE_NETNS();
  ASSERT_TRUE(test::NetnsShell(
      "ip link add oi0 type veth peer name oi1 && ip link set oi0 address 02:aa:bb:cc:dd:01 && "
      "ip addr add 10.55.1.2/24 dev oi0 && ip addr add 10.55.2.2/16 dev oi0 label oi0:x && "
      "ip link set oi0 up && ip addr add 10.56.0.1/24 dev oi1"));  // oi1 stays down
  OsError error;
  const auto list = ListInterfaceAddresses(&error);
  ASSERT_TRUE(list.has_value()) << error.message;

  struct Want {
    std::uint32_t address;
    const char* name;
    std::uint32_t mask;
    bool up;
    LinkKind kind;
  } want[] = {
      {0x7F000001, "lo", 0xFF000000, true, LinkKind::kOther},
      {0x0A370102, "oi0", 0xFFFFFF00, true, LinkKind::kEthernet},
      {0x0A370202, "oi0", 0xFFFF0000, true, LinkKind::kEthernet},
      {0x0A380001, "oi1", 0xFFFFFF00, false, LinkKind::kEthernet},
  };
  for (const auto& w : want) {
    SCOPED_TRACE(w.name);
    const InterfaceAddress* a = Find(*list, w.address);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->name, w.name);
    EXPECT_EQ(a->mask, w.mask);
    EXPECT_EQ(a->up, w.up);
    EXPECT_EQ(a->kind, w.kind);
    EXPECT_GT(a->index, 0);
  }
  const InterfaceAddress* card = Find(*list, 0x0A370102);
  ASSERT_NE(card, nullptr);
  ASSERT_TRUE(card->mac.has_value());
  EXPECT_EQ(*card->mac, (std::array<std::uint8_t, 6>{0x02, 0xaa, 0xbb, 0xcc, 0xdd, 0x01}));
  EXPECT_EQ(Find(*list, 0x0A370202)->index, card->index);
  EXPECT_NE(Find(*list, 0x0A380001)->index, card->index);
}

}  // namespace
}  // namespace ordalen
