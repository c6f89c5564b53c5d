// Entry point: the argument count chooses the run mode.
//   ordalen [ignored]          scan of every eligible card's subnet
//   ordalen JOB START-END      scan of a range, results and log marked with JOB
//   ordalen OID AGENT ...      read one OID from one device (SNMPv2c) and print it
//   ordalen --help | -h        usage;  ordalen --version | -V  version and build
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>

#include <libxml/parser.h>
#include <libxml/xmlversion.h>

#include "app/config.h"
#include "app/log.h"
#include "app/range.h"
#include "base/xml_doc.h"
#include "engine/scan_driver.h"
#include "output/xml_result.h"
#include "platform/capabilities.h"
#include "platform/files.h"
#include "platform/stop_signals.h"
#include "snmp/model_table.h"
#include "snmp/single_device.h"
#include "snmp/snmp_library.h"

#ifndef ORDALEN_VERSION
#define ORDALEN_VERSION "unknown"
#endif
#ifndef ORDALEN_GSSAPI_VERSION
#define ORDALEN_GSSAPI_VERSION "unknown"
#endif

namespace ordalen {
namespace {

// Exit code of a scan that wrote no result file, or was stopped before it did.
constexpr int kNoResult = 2;

bool InitFramework() {
  if (std::setlocale(LC_ALL, "") == nullptr) std::setlocale(LC_ALL, "C");
  // A peer that closes a socket or a reader that closes our pipe must never end a scan.
  if (std::signal(SIGPIPE, SIG_IGN) == SIG_ERR) return false;
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  InitXmlParser();
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

// Whoever takes it ends the process: the main thread returning its exit code,
// or the thread that stops the scan on a signal. Never released, never destroyed.
std::mutex& EndOfProcess() {
  static auto* gate = new std::mutex;  // NOLINT(cppcoreguidelines-owning-memory)
  return *gate;
}

int EndWith(int code) {
  EndOfProcess().lock();  // NOLINT: held until the process has ended
  return code;
}

// A stop signal ends the scan wherever it is: the output step can no longer
// publish a file and its temporary file goes, one log line says why, and the
// process ends at once (every thread with it, so nothing more is sent). The
// signal is taken by this thread alone (blocked in all others), so it never cuts
// into a log line or the result file being written.
void StartStopWatch() {
  std::thread([] {
    const int signal = WaitForStopSignal();
    EndOfProcess().lock();  // NOLINT: the process ends here, or already does
    const bool written = AbandonResultFile();
    if (written) {
      WriteLastLog("Interrupted by %s: the result was already written", StopSignalName(signal));
    } else {
      WriteLastLog("Interrupted by %s: scan stopped, no result written", StopSignalName(signal));
    }
    // Not exit(): no destructor or buffer flush may wait on a thread that is
    // still working.
    std::_Exit(written ? 0 : kNoResult);
  }).detach();
}

std::string ShownFolder(const std::string& folder) {
  return folder.empty() ? std::string("(unknown)") : folder;
}

void PrintUsage() {
  const ProgramFolders folders = ResolveFolders(ExecutablePath(), FolderOverridesFromEnvironment());
  std::printf(
      "Usage: ordalen                  scan every local network (each eligible card's subnet)\n"
      "       ordalen JOB START-END    scan the addresses START..END; JOB marks the log lines\n"
      "                                and the result file's name\n"
      "       ordalen OID AGENT X...   read one OID from one device (SNMPv2c GET), print it;\n"
      "                                X and any further arguments are ignored\n"
      "       ordalen --help | -h      this text\n"
      "       ordalen --version | -V   version, libraries, raw-socket capability\n"
      "\n"
      "Settings folder (%s, else the program's own folder): %s\n"
      "  config.ini                  settings ([Ordalen] WinPort, Thread, UseARP, Community;\n"
      "                              [Ordalen_Account_N] UserName, Password for WMI)\n"
      "  accounts.csv                SNMPv3 accounts: address,user,auth pass phrase\n"
      "  targetMIB.xml               the model table (model OID, model name, version OID)\n"
      "  snmp/share/snmp/snmp.conf   the SNMP library's own settings (timeout, retries)\n"
      "Working folder (%s, else the program's own folder): %s\n"
      "  OrdalenLog/ordalen.log      the scan log\n"
      "  Ordalen/STAMP[_JOB].xml     one result file per scan\n"
      "\n"
      "Exit status: 0 a result file was written (always 0 for a device query),\n"
      "2 no result file (or the scan was stopped by SIGTERM or SIGINT), 1 no start.\n"
      "Manual: man 8 ordalen (installed), or man -l ordalen.8 in the source's packaging folder.\n",
      kSettingsDirVariable, ShownFolder(folders.settings).c_str(), kWorkDirVariable,
      ShownFolder(folders.work.value_or(std::string())).c_str());
}

void PrintVersion() {
  const std::string exe = ExecutablePath();
  std::printf("ordalen %s\n", ORDALEN_VERSION);
  std::printf("built with net-snmp %s, libxml2 %s, GSSAPI (krb5-gssapi) %s\n",
              SnmpLibraryBuildVersion().c_str(), LIBXML_DOTTED_VERSION, ORDALEN_GSSAPI_VERSION);
  std::printf("running with net-snmp %s, libxml2 %s\n", SnmpLibraryVersion().c_str(),
              xmlParserVersion);
  std::printf("%s: %s\n", exe.empty() ? "this program" : exe.c_str(),
              FileHasNetRawCapability(exe) ? "has cap_net_raw+ep" : "has no cap_net_raw");
  std::printf("CAP_NET_RAW in effect now: %s\n", ProcessHasNetRawCapability() ? "yes" : "no");
}

// A lone argument that asks for help or the version; any other lone argument
// is ignored, as it always was.
enum class Lone { kNone, kHelp, kVersion };
Lone LoneRequest(int argc, char** argv) {
  if (argc != 2) return Lone::kNone;
  const std::string_view arg = argv[1];
  if (arg == "--help" || arg == "-h") return Lone::kHelp;
  if (arg == "--version" || arg == "-V") return Lone::kVersion;
  return Lone::kNone;
}

}  // namespace
}  // namespace ordalen

int main(int argc, char** argv) {
  using namespace ordalen;
  if (!InitFramework()) {
    std::printf("致命的なエラー: MFC の初期化ができませんでした。\n");
    return 1;
  }
  switch (LoneRequest(argc, argv)) {
    case Lone::kHelp:
      PrintUsage();
      return 0;
    case Lone::kVersion:
      PrintVersion();
      return 0;
    case Lone::kNone:
      break;
  }
  if (argc > 3) {
    InitWorkingFolders();
    LoadConfiguration();
    InitSnmpLibrary();
    QueryOneDevice(ScanConfig(), argv[1], argv[2]);
    std::fflush(stdout);
    return 0;
  }
  // Before any thread starts, so that every thread has them blocked. A signal
  // that comes while the settings are read waits for the watch, which starts
  // once they are all written (it reads them to log).
  const bool watch = BlockStopSignals();
  InitWorkingFolders();
  LoadConfiguration();
  InitSnmpLibrary();
  LoadTargetTable();
  if (argc > 2) {
    SetJobId(argv[1]);
    if (!ParseScanRange(argv[2])) {
      // A range we cannot read is never widened into a sweep: nothing is scanned.
      FreeTargetTable();
      return EndWith(kNoResult);
    }
  }
  if (watch) StartStopWatch();
  return EndWith(RunScan() ? 0 : kNoResult);
}
