#include "probes/cards.h"

#include "app/log.h"
#include "base/text.h"

namespace ordalen {
namespace {

constexpr std::uint32_t kLoopbackAddress = 0x7F000001;    // 127.0.0.1
constexpr std::uint32_t kShortestSweptMask = 0xFF000000;  // a /8
constexpr std::string_view kUnsweptDescription = "PAN Virtual Ethernet Adapter";

// Address arithmetic of one card and whether its subnet is swept. All of it is
// unsigned 32-bit and wraps.
void SetSubnet(CARDINFO& card) {
  card.NetAddress = card.Address & card.Mask;
  card.BroadcastAddress = card.NetAddress + ~card.Mask;
  card.FirstHost = card.NetAddress + 1;
  card.LastHost = card.BroadcastAddress - 1;
  card.ScanFlag = 1;
  if (card.NetAddress + 1 == 0 ||          // network address 255.255.255.255
      card.Address == kLoopbackAddress ||  //
      card.Mask < kShortestSweptMask ||    // shorter than /8, a zero mask included
      card.FirstHost > card.LastHost ||    // a /31 or /32
      StartsWith(card.Description, kUnsweptDescription)) {
    card.ScanFlag = 0;
  }
}

}  // namespace

int FillCardTable(const std::vector<InterfaceAddress>& interfaces, CardTable& cards) {
  cards = CardTable{};
  std::size_t n = 0;
  for (const InterfaceAddress& item : interfaces) {
    if (n == kCardTableSize) break;
    if (!item.up || item.kind == LinkKind::kOther) continue;
    // Each entry pairs an interface with its own address.
    CARDINFO& card = cards[n++];
    card.CardNo = item.index;
    card.Description = item.name.substr(0, kDescriptionMax);
    card.AdapterType = item.kind == LinkKind::kWireless ? kAdapterWireless : kAdapterEthernet;
    card.Address = item.address;
    card.Mask = item.mask;
    if (item.mac) card.CardMac = MacText(*item.mac);
    SetSubnet(card);
  }
  return static_cast<int>(n);
}

int ListNetworkCards(CardTable& cards) {
  cards = CardTable{};
  OsError error;
  const auto interfaces = ListInterfaceAddresses(&error);
  if (!interfaces) {
    WriteLog("card list error: %s", error.message.c_str());
    return 0;
  }
  return FillCardTable(*interfaces, cards);
}

}  // namespace ordalen
