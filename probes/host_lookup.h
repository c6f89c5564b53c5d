// The reverse name lookup of a found host: the ARP sweep names the hosts that
// answered, the MIB phase the hosts it learnt from device tables.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace ordalen {

// The name registered for an address; tests give a fake. Called from several
// threads at once.
class HostLookup {
 public:
  virtual ~HostLookup() = default;
  // The name registered for `address` (host byte order), or nullopt.
  virtual std::optional<std::string> ReverseName(std::uint32_t address) = 0;
};

// The system resolver.
HostLookup& SystemHostLookup();

// The name of `address`; "(unknown)" when nothing (or an empty name) is found.
std::string HostNameOf(std::uint32_t address, HostLookup& names);

// Reverse lookup of a dotted address; "(unknown)" when nothing is found or the
// text is not a dotted address.
std::string LookupHostName(const std::string& ip, HostLookup& names);

}  // namespace ordalen
