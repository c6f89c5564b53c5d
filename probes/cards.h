// The machine's IPv4 cards and which of their subnets a scan sweeps.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace ordalen {

struct CARDINFO {
  std::int32_t CardNo = 0;
  std::string Description;
  std::string CardMac;
  std::uint32_t Address = 0;
  std::int32_t AdapterType = 0;
  std::uint32_t NetAddress = 0;
  std::uint32_t Mask = 0;
  std::uint32_t BroadcastAddress = 0;
  std::int32_t ScanFlag = 0;
  std::uint32_t FirstHost = 0;
  std::uint32_t LastHost = 0;
};

inline constexpr std::size_t kCardTableSize = 64;
using CardTable = std::array<CARDINFO, kCardTableSize>;

// Fills the table (all entries reset first); returns the number of entries written.
int ListNetworkCards(CardTable& cards);

}  // namespace ordalen
