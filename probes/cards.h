// The machine's IPv4 cards and which of their subnets a scan sweeps.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/interfaces.h"

namespace ordalen {

struct CARDINFO {
  std::int32_t CardNo = 0;  // the interface index
  std::string Description;  // the interface name, at most 1023 characters
  std::string CardMac;      // "%02X:%02X:%02X:%02X:%02X:%02X"
  std::uint32_t Address = 0;
  std::int32_t AdapterType = 0;  // kAdapterEthernet or kAdapterWireless
  std::uint32_t NetAddress = 0;
  std::uint32_t Mask = 0;
  std::uint32_t BroadcastAddress = 0;
  std::int32_t ScanFlag = 0;  // 1 when the subnet is swept
  std::uint32_t FirstHost = 0;
  std::uint32_t LastHost = 0;
};

inline constexpr std::size_t kCardTableSize = 64;
using CardTable = std::array<CARDINFO, kCardTableSize>;

inline constexpr std::int32_t kAdapterEthernet = 6;
inline constexpr std::int32_t kAdapterWireless = 71;
inline constexpr std::size_t kDescriptionMax = 1023;

// Fills the table (all entries reset first) from the machine's interfaces;
// returns the number of entries written.
int ListNetworkCards(CardTable& cards);

// The same from a given interface list: one entry per IPv4 address of an
// interface that is up and Ethernet or wireless, in list order, at most 64.
int FillCardTable(const std::vector<InterfaceAddress>& interfaces, CardTable& cards);

}  // namespace ordalen
