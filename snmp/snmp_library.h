// Once-per-process preparation of the SNMP library.
#pragma once

#include <string>

namespace ordalen {

// The library's working folders: its configuration below the settings folder,
// its state below the working folder (both the executable's folder unless
// overridden, app/log.h).
struct SnmpFolders {
  std::string persist;  // "<work>/snmp/snmp/persist"
  std::string
      config;  // "<settings>/snmp/share/snmp": an snmp.conf here may tune time-out and retries
  std::string mibs;  // "<settings>/snmp/share/snmp/mibs"
};
SnmpFolders SnmpFoldersFor(const std::string& settings_dir, const std::string& work_dir);

// The version of the SNMP library the program was built against, and the one
// it runs with.
std::string SnmpLibraryBuildVersion();
std::string SnmpLibraryVersion();

// Prepares the library for the whole process from the program's folders: registers
// the walk options, points the library at the folders above (and nowhere else:
// not the user's home, not the system's folders, not the library's environment
// variables), loads no MIB modules and reads no per-host files. Runs once; later
// calls return at once. Call it on the main thread before any worker starts; the
// queries call it too, as a safety net for programs that forgot.
void InitSnmpLibrary();

}  // namespace ordalen
