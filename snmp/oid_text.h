// OID texts: parsing the texts of the model table and the command line,
// building the text of a received OID, and the numbers of the texts the walk
// asks for, made at compile time. The two client paths parse differently
// on purpose (snmp/README.md).
#pragma once

#include <array>
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

// The number of sub-identifiers of a dotted numeric OID text known at compile
// time; a trailing dot (as a prefix text has) ends the text.
consteval std::size_t OidIdCount(std::string_view text) {
  if (!text.empty() && text.back() == '.') text.remove_suffix(1);
  std::size_t count = 1;
  for (const char c : text) {
    if (c == '.') ++count;
  }
  return count;
}

// The sub-identifiers of such a text; any other text (no digits between two
// dots, a leading dot, a sub-identifier past 32 bits) does not compile.
template <class Id, std::size_t N>
consteval std::array<Id, N> OidIdsOf(std::string_view text) {
  if (!text.empty() && text.back() == '.') text.remove_suffix(1);
  std::array<Id, N> ids{};
  std::size_t at = 0;
  std::uint64_t value = 0;
  bool digits = false;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == '.') {
      if (!digits || at == N) throw "not a dotted numeric OID";
      ids[at++] = static_cast<Id>(value);
      value = 0;
      digits = false;
    } else if (text[i] >= '0' && text[i] <= '9') {
      value = value * 10 + static_cast<std::uint64_t>(text[i] - '0');
      if (value > UINT32_MAX) throw "sub-identifier past 32 bits";
      digits = true;
    } else {
      throw "not a dotted numeric OID";
    }
  }
  if (at != N) throw "not a dotted numeric OID";
  return ids;
}

// The sub-identifiers of the OID text `kText` (base/mib_keys.h), made once at
// compile time, so that a numeric OID never repeats the text it comes from.
template <class Id, const std::string_view& kText>
inline constexpr std::array<Id, OidIdCount(kText)> kOidIds = OidIdsOf<Id, OidIdCount(kText)>(kText);

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
