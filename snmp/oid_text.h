// OID texts: parsing the texts of the model table and the command line, and
// building the text of a received OID. The two client paths parse differently
// on purpose (snmp/README.md).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace ordalen {

// The longest OID a request may carry (the SNMP library's limit).
inline constexpr std::size_t kMaxOidLength = 128;

using OidIds = std::vector<std::uint32_t>;

// The manager path's conversion: "system.sysDescr.0", or an absolute dotted
// numeric OID (a leading dot allowed) of 1 to 128 decimal sub-identifiers that
// each fit in 32 bits. Anything else is refused.
std::optional<OidIds> ParseOidText(std::string_view text);

// The library path's conversion: split at ".", skip empty pieces, and read every
// piece like atol (leading digits; a piece without digits gives 0). Refused
// only when more than 128 pieces remain.
std::optional<OidIds> SplitOidText(std::string_view text);

// "%u" of every sub-identifier joined by ".", no leading dot.
template <class Id>
std::string OidText(std::span<const Id> ids) {
  std::string text;
  for (std::size_t i = 0; i < ids.size(); ++i) {
    if (i != 0) text += '.';
    text += std::to_string(static_cast<std::uint32_t>(ids[i]));
  }
  return text;
}

}  // namespace ordalen
