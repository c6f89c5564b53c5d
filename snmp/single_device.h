// The single-device mode: one OID from one device, printed.
#pragma once

namespace ordalen {

bool QueryOneDevice(const char* oid, const char* agent);

}  // namespace ordalen
