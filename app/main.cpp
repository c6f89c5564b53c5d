// Entry point: the argument count chooses the run mode.
//   ordalen [ignored]          scan of every eligible card's subnet
//   ordalen JOB START-END      scan of a range, results and log marked with JOB
//   ordalen OID AGENT ...      read one OID from one device (SNMPv2c) and print it
#include <clocale>
#include <csignal>
#include <cstdio>
#include <system_error>
#include <thread>

#include <libxml/parser.h>

#include "app/config.h"
#include "app/log.h"
#include "app/range.h"
#include "engine/scan_driver.h"
#include "output/xml_result.h"
#include "snmp/model_table.h"
#include "snmp/single_device.h"
#include "snmp/snmp_library.h"

namespace ordalen {
namespace {

bool InitFramework() {
  if (std::setlocale(LC_ALL, "") == nullptr) std::setlocale(LC_ALL, "C");
  // A peer that closes a socket or a reader that closes our pipe must never end a scan.
  if (std::signal(SIGPIPE, SIG_IGN) == SIG_ERR) return false;
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  xmlInitParser();
  return true;
}

bool RunScan() {
  try {
    std::thread scan([] { ScanDriver(); });
    scan.join();
  } catch (const std::system_error& e) {
    WriteLog("scan thread error: %s", e.what());
  }
  FreeTargetTable();
  return !ResultFilePath().empty();
}

}  // namespace
}  // namespace ordalen

int main(int argc, char** argv) {
  using namespace ordalen;
  if (!InitFramework()) {
    std::printf("致命的なエラー: MFC の初期化ができませんでした。\n");
    return 1;
  }
  if (argc > 3) {
    InitWorkingFolders();
    LoadConfiguration();
    InitSnmpLibrary();
    QueryOneDevice(argv[1], argv[2]);
    std::fflush(stdout);
    return 0;
  }
  InitWorkingFolders();
  LoadConfiguration();
  InitSnmpLibrary();
  LoadTargetTable();
  if (argc > 2) {
    SetJobId(argv[1]);
    if (!ParseScanRange(argv[2])) {
      // A range we cannot read is never widened into a sweep: nothing is scanned.
      FreeTargetTable();
      return 2;
    }
  }
  return RunScan() ? 0 : 2;
}
