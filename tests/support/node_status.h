// Builds NetBIOS node-status answers the way a host's name service sends them.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ordalen::test {

struct NameEntry {
  std::string name;           // up to 15 bytes, padded with spaces
  std::uint8_t suffix = 0;    // 16th byte
  std::uint8_t flags = 0x04;  // first flag byte: 0x04 unique active, 0x84 group active
};

struct NodeStatusAnswer {
  std::vector<NameEntry> names;
  std::optional<std::array<std::uint8_t, 6>> unit_id;  // the statistics block, when present
  std::uint8_t stats_byte15 = 0;                       // bytes 15 and 16 of the statistics block
  std::uint8_t stats_byte16 = 0;
  std::uint8_t flags_byte2 = 0x84;  // response, authoritative
  std::uint8_t flags_byte3 = 0x00;  // RCODE in the low four bits
  std::uint16_t ancount = 1;
  std::optional<std::uint8_t> name_count;  // the count byte; the number of names when unset
};

std::vector<std::uint8_t> BuildNodeStatus(const NodeStatusAnswer& answer);

}  // namespace ordalen::test
