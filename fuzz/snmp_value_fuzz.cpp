// An SNMP value as an agent sent it (type tag, then content bytes), rendered by
// both rules. The first byte is the type; for the number types the next eight
// bytes are the number; the rest is the content, also read as sub-identifiers.
#include <cstring>
#include <vector>

#include "fuzz_check.h"
#include "snmp/snmp_value.h"

namespace {

bool IsText(std::string_view s) {
  return s.find('\0') == std::string_view::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace ordalen;
  if (size < 1) return 0;
  SnmpValueView value;
  value.type = data[0];
  std::span<const std::uint8_t> rest = fuzz::Bytes(data + 1, size - 1);
  if (rest.size() >= 8) {
    std::uint64_t number = 0;
    std::memcpy(&number, rest.data(), sizeof number);
    value.integer = static_cast<std::int64_t>(number);
    value.counter64 = number;
    rest = rest.subspan(8);
  }
  value.octets = rest;
  std::vector<std::uint32_t> ids(rest.size() / 4);
  if (!ids.empty()) std::memcpy(ids.data(), rest.data(), ids.size() * 4);
  value.oid = ids;

  const std::string manager = FormatValue(value);
  const std::string single = FormatVariable(value);
  FUZZ_CHECK(IsText(manager) && IsText(single));
  if (value.type == kTypeOctetString && !HasControlOctet(value.octets)) {
    // Plain text is cut to 256 characters by the manager rule only.
    FUZZ_CHECK(manager.size() <= 256 || manager == "invalid length");
    FUZZ_CHECK(single.size() <= value.octets.size());
  }
  if (value.type == kTypeOctetString && HasControlOctet(value.octets)) {
    // Base64: four characters per three octets, CR LF after every 64.
    const std::size_t body = (value.octets.size() + 2) / 3 * 4;
    FUZZ_CHECK(single.size() == body + (body + 63) / 64 * 2);
    FUZZ_CHECK(manager == single);
  }
  if (value.type == kTypeIpAddress) {
    FUZZ_CHECK(manager.empty() == (value.octets.size() != 4));
    FUZZ_CHECK(manager.size() <= 15);
  }
  const std::string hex = HexOctets(value.octets);
  FUZZ_CHECK(hex.size() == (value.octets.empty() ? 0 : value.octets.size() * 3 - 1));
  return 0;
}
