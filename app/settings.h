// The process-wide settings and paths. Written on the main thread before the
// scan thread starts and read-only afterwards, so readers take no lock.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "app/mib_accounts.h"

namespace ordalen {

// What "config.ini" gives for a key it lacks (section [Ordalen]).
inline constexpr std::string_view kDefaultWinPort = "3389,";
inline constexpr int kDefaultThreadCount = 12;
inline constexpr int kDefaultUseArp = 1;
inline constexpr std::string_view kDefaultCommunity = "vendra";

struct SCANCONFIG {
  // Folders (InitWorkingFolders).
  std::string exeDir;
  // Where "config.ini", "accounts.csv" and "targetMIB.xml" are read, and the
  // folder the log, the results and the SNMP library's state go below; each is
  // exeDir unless the environment names another (kSettingsDirVariable,
  // kWorkDirVariable in app/log.h). Empty: exeDir.
  std::string settingsDir;
  std::string workDir;
  std::string logDir = ".";
  std::string outputDir;

  // "config.ini" and "accounts.csv" (LoadConfiguration).
  std::vector<std::uint32_t> winPorts;
  int threadCount = kDefaultThreadCount;
  int useArp = kDefaultUseArp;
  std::vector<std::string> wmiUserNames;
  std::vector<std::string> wmiPasswords;
  std::string community{kDefaultCommunity};
  MibAccountTable mibAccounts;

  // Command line (SetJobId, ParseScanRange).
  std::string jobId;
  std::uint32_t rangeStart = 0;
  std::uint32_t rangeEnd = 0;
};

// The one instance of the process.
SCANCONFIG& ScanConfig();

}  // namespace ordalen
