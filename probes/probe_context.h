// The per-slot context of the ARP, ping and host-scan phases: what the
// dispatcher loads into a slot and what its worker leaves there for the merge.
#pragma once

#include <cstdint>
#include <string>

namespace ordalen {

struct ProbeContext {
  std::int32_t Slot = 0;
  std::string Name;        // host scan: computer name (NetBIOS; a WMI name replaces it)
  std::string MacAddress;  // ARP: MAC text from the worker; host scan: MAC from the NetBIOS answer
  std::uint32_t HostAddress = 0;
  std::string Domain;        // host scan: domain or workgroup from the NetBIOS answer
  std::int32_t Result = -1;  // ping: TTL class, -1 without reply; host scan: 1 when a port accepted
  std::int32_t NetbiosFound = 0;
};

}  // namespace ordalen
