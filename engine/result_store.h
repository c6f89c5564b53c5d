// The store of found hosts: one record per host, keyed by its dotted address.
// Only the scan thread touches it (workers hand their findings to the merge).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "base/cmap.h"

namespace ordalen {

struct SCANRESULT {
  std::string MacAddress;
  std::string IpAddress;
  std::string NetMask;
  std::string Broadcast;
  std::string NetbiosName;
  std::string DomainName;
  std::string SysDescr;
  std::string MarkerCount;
  std::string ModelName;
  std::string FirmVersion;
  std::int32_t OsType = 0;
  std::int32_t FromDeviceTable = 0;
};

using ResultMap = CMap<std::unique_ptr<SCANRESULT>>;

// The process's one map.
ResultMap& Results();

// The record stored under `ip`, or nullptr.
SCANRESULT* FindHost(std::string_view ip);

// The slot for `ip`, inserted empty when new. Storing a new record into it frees
// the one held before.
std::unique_ptr<SCANRESULT>& HostSlot(std::string_view ip);

// Frees every record and empties the map.
void ClearHosts();

}  // namespace ordalen
