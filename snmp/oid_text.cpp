#include "snmp/oid_text.h"

#include "base/mib_keys.h"
#include "base/text.h"

namespace ordalen {
namespace {

constexpr std::string_view kSysDescrName = "system.sysDescr.0";
constexpr const auto& kSysDescr = kOidIds<std::uint32_t, kSysDescrOid>;

std::optional<std::uint32_t> DecimalSubId(std::string_view piece) {
  if (piece.empty() || piece.size() > 10) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : piece) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  if (value > UINT32_MAX) return std::nullopt;
  return static_cast<std::uint32_t>(value);
}

}  // namespace

std::optional<OidIds> ParseOidText(std::string_view text) {
  if (text == kSysDescrName) return OidIds(std::begin(kSysDescr), std::end(kSysDescr));
  if (!text.empty() && text.front() == '.') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  OidIds ids;
  while (true) {
    const std::size_t dot = text.find('.');
    const auto id = DecimalSubId(text.substr(0, dot));
    if (!id || ids.size() == kMaxOidLength) return std::nullopt;
    ids.push_back(*id);
    if (dot == std::string_view::npos) break;
    text.remove_prefix(dot + 1);
  }
  return ids;
}

std::optional<OidIds> SplitOidText(std::string_view text) {
  OidIds ids;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t dot = text.find('.', start);
    if (dot == std::string_view::npos) dot = text.size();
    const std::string_view piece = text.substr(start, dot - start);
    if (!piece.empty()) {
      if (ids.size() == kMaxOidLength) return std::nullopt;
      ids.push_back(static_cast<std::uint32_t>(AtoI(piece)));
    }
    start = dot + 1;
  }
  return ids;
}

}  // namespace ordalen
