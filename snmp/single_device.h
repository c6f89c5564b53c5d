// The single-device mode: one OID from one device with an SNMPv2c GET, printed
// as "result: " and the value, with no line end.
#pragma once

namespace ordalen {

// `oid` and `agent` are the first two command-line arguments; always true.
bool QueryOneDevice(const char* oid, const char* agent);

}  // namespace ordalen
