// Once-per-process preparation of the SNMP library.
#pragma once

#include <cstddef>
#include <string>

#include "app/mib_accounts.h"

struct snmp_session;  // the SNMP library's session record (netsnmp_session)

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

// How SetUsmSecurity ended.
enum class UsmKeys { kReady, kAuthKeyRefused, kPrivKeyRefused };

// Fills the SNMPv3 security of a session record prepared with snmp_sess_init
// from `account` (SecurityLevelOf): the level, the protocols and the master keys
// (Ku) of the pass phrases, which the library localises with each agent's
// engine ID once the session has learnt it. The user name is left to the caller.
// Each master key is computed once per process for every distinct (protocol,
// pass phrase) and shared by every worker; the privacy key comes from the
// privacy pass phrase through the authentication protocol's hash, as the
// library's own tools make it. When the library refuses a pass phrase (shorter
// than kMinPassphraseLength) its complaint goes to the standard error stream and
// the result tells which key it was. Safe from any thread.
UsmKeys SetUsmSecurity(const MIB_ACCOUNT& account, snmp_session& session);

// The master keys computed so far by this process.
std::size_t MasterKeysComputed();

}  // namespace ordalen
