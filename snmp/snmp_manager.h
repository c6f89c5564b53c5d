// SNMPv1 manager queries: the walk of one device into its OID/value map, and a
// single GET. Both use the community of the settings, a time-out of 500 ms and
// 3 retries. Safe to call from many workers at once.
#pragma once

#include <string>

#include "base/cmap.h"

namespace ordalen {

// OID text to value text, one per MIB worker; the MIB phase adds "model_name"
// and "firm_version".
using OidValueMap = CMap<std::string>;

// Walks `agent` from "system.sysDescr.0" onward and keeps the system description,
// the two printer marker counters and the rows of the address, route and ARP
// tables in `results` (an existing entry is replaced). Returns 0 when the session
// closed cleanly and at least one value was stored, 1 otherwise.
int WalkDevice(const std::string& agent, OidValueMap& results);

// Reads `oid` (a model-table OID text) from `agent` with one GET. Returns 0 when
// a value was set into `value` and the session closed cleanly, 1 otherwise
// (`value` is then left as it was).
int GetDeviceValue(const std::string& agent, const std::string& oid, std::string& value);

}  // namespace ordalen
