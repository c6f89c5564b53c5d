#include "support/node_status.h"

namespace ordalen::test {

std::vector<std::uint8_t> BuildNodeStatus(const NodeStatusAnswer& answer) {
  const std::size_t name_count = answer.name_count ? *answer.name_count : answer.names.size();
  std::vector<std::uint8_t> out = {0x00,
                                   0x00,
                                   answer.flags_byte2,
                                   answer.flags_byte3,
                                   0x00,
                                   0x00,
                                   static_cast<std::uint8_t>(answer.ancount >> 8),
                                   static_cast<std::uint8_t>(answer.ancount & 0xFF),
                                   0x00,
                                   0x00,
                                   0x00,
                                   0x00};
  out.push_back(0x20);
  out.push_back('C');
  out.push_back('K');
  out.insert(out.end(), 30, 'A');
  out.push_back(0x00);
  const std::size_t data_length = 1 + answer.names.size() * 18 + (answer.unit_id ? 46 : 0);
  const std::uint8_t tail[] = {0x00,
                               0x21,
                               0x00,
                               0x01,
                               0x00,
                               0x00,
                               0x00,
                               0x00,
                               static_cast<std::uint8_t>(data_length >> 8),
                               static_cast<std::uint8_t>(data_length & 0xFF),
                               static_cast<std::uint8_t>(name_count)};
  out.insert(out.end(), std::begin(tail), std::end(tail));
  for (const NameEntry& entry : answer.names) {
    std::string padded = entry.name.substr(0, 15);
    padded.resize(15, ' ');
    out.insert(out.end(), padded.begin(), padded.end());
    out.push_back(entry.suffix);
    out.push_back(entry.flags);
    out.push_back(0x00);
  }
  if (answer.unit_id) {
    out.insert(out.end(), answer.unit_id->begin(), answer.unit_id->end());
    std::vector<std::uint8_t> rest(40, 0);
    rest[15 - 6] = answer.stats_byte15;
    rest[16 - 6] = answer.stats_byte16;
    // Frames sent, as a busy host would count them (bytes 20 to 23).
    rest[20 - 6] = 0x00;
    rest[21 - 6] = 0x12;
    rest[22 - 6] = 0x34;
    rest[23 - 6] = 0x56;
    out.insert(out.end(), rest.begin(), rest.end());
  }
  return out;
}

}  // namespace ordalen::test
