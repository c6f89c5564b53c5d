// The single-device mode: one OID from one device with an SNMPv2c GET, printed
// as "result: " and the value, with no line end.
#pragma once

#include "app/settings.h"

namespace ordalen {

// `oid` and `agent` are the first two command-line arguments; the GET uses the
// community of `config`. Always true.
bool QueryOneDevice(const SCANCONFIG& config, const char* oid, const char* agent);

}  // namespace ordalen
