// The SNMP versions the two client paths speak (snmp/README.md).
#pragma once

namespace ordalen {

enum class SnmpVersion { kV1 = 1, kV2c = 2, kV3 = 3 };

// The version's number as the log writes it ("snmp v%d"): 1, 2 or 3.
constexpr int VersionNumber(SnmpVersion version) {
  return static_cast<int>(version);
}

}  // namespace ordalen
