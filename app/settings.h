// The process-wide settings and paths. Written on the main thread before the
// scan thread starts and read-only afterwards, so readers take no lock.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/mib_accounts.h"

namespace ordalen {

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
  int threadCount = 12;
  int useArp = 1;
  std::vector<std::string> wmiUserNames;
  std::vector<std::string> wmiPasswords;
  std::string community = "vendra";
  MibAccountTable mibAccounts;

  // Command line (SetJobId, ParseScanRange).
  std::string jobId;
  std::uint32_t rangeStart = 0;
  std::uint32_t rangeEnd = 0;
};

// The one instance of the process.
SCANCONFIG& ScanConfig();

}  // namespace ordalen
