#include "probes/host_lookup.h"

#include <string_view>

#include "base/text.h"
#include "platform/resolver.h"

namespace ordalen {
namespace {

constexpr std::string_view kUnknownName = "(unknown)";

class SystemLookup final : public HostLookup {
 public:
  std::optional<std::string> ReverseName(std::uint32_t address) override {
    return ReverseLookup(address);
  }
};

}  // namespace

HostLookup& SystemHostLookup() {
  static SystemLookup lookup;
  return lookup;
}

std::string HostNameOf(std::uint32_t address, HostLookup& names) {
  std::optional<std::string> name = names.ReverseName(address);
  return name && !name->empty() ? std::move(*name) : std::string(kUnknownName);
}

std::string LookupHostName(const std::string& ip, HostLookup& names) {
  const std::optional<std::uint32_t> address = ParseDottedQuad(ip);
  if (!address) return std::string(kUnknownName);
  return HostNameOf(*address, names);
}

}  // namespace ordalen
