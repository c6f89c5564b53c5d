// The keys of a device's OID/value map that more than one layer reads: the
// objects the walk keeps and the result file names, the device tables that
// teach the scan new hosts, and the two keys the model identification adds.
// OID texts as the walk writes them (no leading dot). Each is a literal, so
// data() is NUL-terminated.
#pragma once

#include <string_view>

namespace ordalen {

// system.sysDescr.0
inline constexpr std::string_view kSysDescrOid = "1.3.6.1.2.1.1.1.0";
// The printer marker counters of marker 1: its life count and its power-on count.
inline constexpr std::string_view kMarkerCountOid = "1.3.6.1.2.1.43.10.2.1.4.1.1";
inline constexpr std::string_view kMarkerPowerOnOid = "1.3.6.1.2.1.43.10.2.1.5.1.1";
// The ARP table's physical-address column (index: interface, then the address).
inline constexpr std::string_view kArpTablePrefix = "1.3.6.1.2.1.4.22.1.2.";
// The address table, and its mask column (index: the address).
inline constexpr std::string_view kAddressTablePrefix = "1.3.6.1.2.1.4.20.";
inline constexpr std::string_view kAddressMaskPrefix = "1.3.6.1.2.1.4.20.1.3.";

// The keys the identification adds beside the OIDs.
inline constexpr std::string_view kModelNameKey = "model_name";
inline constexpr std::string_view kFirmVersionKey = "firm_version";

}  // namespace ordalen
