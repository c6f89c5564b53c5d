// Once-per-process preparation of the SNMP library.
#pragma once

#include <string>

namespace ordalen {

// The library's working folders below the executable's folder.
struct SnmpFolders {
  std::string persist;  // "<exeDir>/snmp/snmp/persist"
  std::string
      config;        // "<exeDir>/snmp/share/snmp": an snmp.conf here may tune time-out and retries
  std::string mibs;  // "<exeDir>/snmp/share/snmp/mibs"
};
SnmpFolders SnmpFoldersFor(const std::string& exe_dir);

// Prepares the library for the whole process from ScanConfig().exeDir: registers
// the walk options, points the library at the folders above (and nowhere else:
// not the user's home, not the system's folders, not the library's environment
// variables), loads no MIB modules and reads no per-host files. Runs once; later
// calls return at once. Call it on the main thread before any worker starts; the
// queries call it too, as a safety net for programs that forgot.
void InitSnmpLibrary();

}  // namespace ordalen
