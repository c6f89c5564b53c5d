#include "probes/cards.h"

#include <gtest/gtest.h>

#include "support/private_netns.h"

#include <string>
#include <vector>

namespace ordalen {
namespace {

constexpr std::uint32_t Ip(int a, int b, int c, int d) {
  return static_cast<std::uint32_t>(a) << 24 | static_cast<std::uint32_t>(b) << 16 |
         static_cast<std::uint32_t>(c) << 8 | static_cast<std::uint32_t>(d);
}

InterfaceAddress Ethernet(std::string name, int index, std::uint32_t address, std::uint32_t mask,
                          LinkKind kind = LinkKind::kEthernet) {
  InterfaceAddress a;
  a.name = std::move(name);
  a.index = index;
  a.up = true;
  a.kind = kind;
  a.mac =
      std::array<std::uint8_t, 6>{0x00, 0x1a, 0x2b, 0x3c, 0x4d, static_cast<std::uint8_t>(index)};
  a.address = address;
  a.mask = mask;
  return a;
}

TEST(CardTableTest, SubnetArithmeticAndScanFlag) {
  struct Case {
    const char* what;
    InterfaceAddress card;
    std::uint32_t net, broadcast, first, last;
    int scan;
  } cases[] = {
      {"/24", Ethernet("eth0", 2, Ip(192, 168, 1, 10), Ip(255, 255, 255, 0)), Ip(192, 168, 1, 0),
       Ip(192, 168, 1, 255), Ip(192, 168, 1, 1), Ip(192, 168, 1, 254), 1},
      {"/30", Ethernet("eth0", 2, Ip(10, 0, 0, 5), Ip(255, 255, 255, 252)), Ip(10, 0, 0, 4),
       Ip(10, 0, 0, 7), Ip(10, 0, 0, 5), Ip(10, 0, 0, 6), 1},
      {"/31", Ethernet("eth0", 2, Ip(10, 0, 0, 4), Ip(255, 255, 255, 254)), Ip(10, 0, 0, 4),
       Ip(10, 0, 0, 5), Ip(10, 0, 0, 5), Ip(10, 0, 0, 4), 0},
      {"/32", Ethernet("eth0", 2, Ip(10, 0, 0, 4), 0xFFFFFFFF), Ip(10, 0, 0, 4), Ip(10, 0, 0, 4),
       Ip(10, 0, 0, 5), Ip(10, 0, 0, 3), 0},
      {"/8", Ethernet("eth0", 2, Ip(10, 1, 2, 3), Ip(255, 0, 0, 0)), Ip(10, 0, 0, 0),
       Ip(10, 255, 255, 255), Ip(10, 0, 0, 1), Ip(10, 255, 255, 254), 1},
      {"/7", Ethernet("eth0", 2, Ip(10, 1, 2, 3), Ip(254, 0, 0, 0)), Ip(10, 0, 0, 0),
       Ip(11, 255, 255, 255), Ip(10, 0, 0, 1), Ip(11, 255, 255, 254), 0},
      {"zero mask", Ethernet("eth0", 2, Ip(10, 1, 2, 3), 0), 0, 0xFFFFFFFF, 1, 0xFFFFFFFE, 0},
      {"127.0.0.1 on an Ethernet card", Ethernet("eth0", 2, Ip(127, 0, 0, 1), Ip(255, 0, 0, 0)),
       Ip(127, 0, 0, 0), Ip(127, 255, 255, 255), Ip(127, 0, 0, 1), Ip(127, 255, 255, 254), 0},
      {"network address 255.255.255.255", Ethernet("eth0", 2, 0xFFFFFFFF, 0xFFFFFFFF), 0xFFFFFFFF,
       0xFFFFFFFF, 0, 0xFFFFFFFE, 0},
      {"description rule",
       Ethernet("PAN Virtual Ethernet Adapter #2", 7, Ip(192, 168, 9, 1), Ip(255, 255, 255, 0)),
       Ip(192, 168, 9, 0), Ip(192, 168, 9, 255), Ip(192, 168, 9, 1), Ip(192, 168, 9, 254), 0},
      {"description shorter than the rule",
       Ethernet("PAN Virtual Ethernet", 7, Ip(192, 168, 9, 1), Ip(255, 255, 255, 0)),
       Ip(192, 168, 9, 0), Ip(192, 168, 9, 255), Ip(192, 168, 9, 1), Ip(192, 168, 9, 254), 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    CardTable table;
    ASSERT_EQ(FillCardTable({c.card}, table), 1);
    const CARDINFO& e = table[0];
    EXPECT_EQ(e.Address, c.card.address);
    EXPECT_EQ(e.Mask, c.card.mask);
    EXPECT_EQ(e.NetAddress, c.net);
    EXPECT_EQ(e.BroadcastAddress, c.broadcast);
    EXPECT_EQ(e.FirstHost, c.first);
    EXPECT_EQ(e.LastHost, c.last);
    EXPECT_EQ(e.ScanFlag, c.scan);
  }
}

TEST(CardTableTest, EachEntryPairsAnInterfaceWithItsOwnAddress) {
  InterfaceAddress loopback =
      Ethernet("lo", 1, Ip(127, 0, 0, 1), Ip(255, 0, 0, 0), LinkKind::kOther);
  loopback.mac = std::array<std::uint8_t, 6>{};
  InterfaceAddress tunnel =
      Ethernet("tun0", 5, Ip(10, 8, 0, 2), Ip(255, 255, 255, 0), LinkKind::kOther);
  InterfaceAddress down = Ethernet("eth9", 9, Ip(10, 9, 0, 2), Ip(255, 255, 255, 0));
  down.up = false;
  const std::vector<InterfaceAddress> list = {
      loopback,
      Ethernet("eth0", 2, Ip(192, 168, 1, 10), Ip(255, 255, 255, 0)),
      tunnel,
      down,
      Ethernet("wlan0", 3, Ip(172, 16, 0, 7), Ip(255, 255, 0, 0), LinkKind::kWireless),
      Ethernet("eth0", 2, Ip(192, 168, 50, 1), Ip(255, 255, 255, 0)),  // a second address of eth0
  };
  CardTable table;
  table[5].ScanFlag = 1;  // left over from before: must be reset
  ASSERT_EQ(FillCardTable(list, table), 3);
  struct Want {
    int card_no;
    const char* description;
    const char* mac;
    std::uint32_t address;
    int type;
  } want[] = {
      {2, "eth0", "00:1A:2B:3C:4D:02", Ip(192, 168, 1, 10), kAdapterEthernet},
      {3, "wlan0", "00:1A:2B:3C:4D:03", Ip(172, 16, 0, 7), kAdapterWireless},
      {2, "eth0", "00:1A:2B:3C:4D:02", Ip(192, 168, 50, 1), kAdapterEthernet},
  };
  for (std::size_t i = 0; i < std::size(want); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(table[i].CardNo, want[i].card_no);
    EXPECT_EQ(table[i].Description, want[i].description);
    EXPECT_EQ(table[i].CardMac, want[i].mac);
    EXPECT_EQ(table[i].Address, want[i].address);
    EXPECT_EQ(table[i].AdapterType, want[i].type);
    EXPECT_EQ(table[i].ScanFlag, 1);
  }
  for (std::size_t i = std::size(want); i < kCardTableSize; ++i) {
    EXPECT_EQ(table[i].ScanFlag, 0) << i;
    EXPECT_TRUE(table[i].Description.empty()) << i;
  }
}

TEST(CardTableTest, AtMost64EntriesAndLongNamesAreCut) {
  std::vector<InterfaceAddress> list;
  for (int i = 0; i < 70; ++i)
    list.push_back(
        Ethernet("veth" + std::to_string(i), 10 + i, Ip(10, i, 0, 1), Ip(255, 255, 0, 0)));
  list[0].name = std::string(1500, 'x');
  list[1].mac.reset();
  CardTable table;
  EXPECT_EQ(FillCardTable(list, table), 64);
  EXPECT_EQ(table[0].Description.size(), kDescriptionMax);
  EXPECT_EQ(table[1].CardMac, "");
  EXPECT_EQ(table[63].Description, "veth63");
}

TEST(ListNetworkCardsTest, TheKernelsEthernetCardsAndNotLoopback) {
  ORDALEN_REQUIRE_PRIVATE_NETNS();
  ASSERT_TRUE(test::NetnsShell(
      "ip link add oc0 type veth peer name oc1 && ip link set oc0 address 02:aa:bb:cc:dd:0e && "
      "ip addr add 10.57.3.9/24 dev oc0 && ip link set oc0 up && ip link set oc1 up"));
  CardTable table;
  ASSERT_EQ(ListNetworkCards(table), 1);
  EXPECT_EQ(table[0].Description, "oc0");
  EXPECT_EQ(table[0].CardMac, "02:AA:BB:CC:DD:0E");
  EXPECT_EQ(table[0].Address, Ip(10, 57, 3, 9));
  EXPECT_EQ(table[0].FirstHost, Ip(10, 57, 3, 1));
  EXPECT_EQ(table[0].LastHost, Ip(10, 57, 3, 254));
  EXPECT_EQ(table[0].AdapterType, kAdapterEthernet);
  EXPECT_EQ(table[0].ScanFlag, 1);
  EXPECT_GT(table[0].CardNo, 1);
}

}  // namespace
}  // namespace ordalen
