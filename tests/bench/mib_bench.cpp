// Times the MIB phase over the given hosts, as the scan runs it, and prints the
// figures the MIB benchmark reports:
//
//   ordalen_bench_mib THREADS ENTRIES COMMUNITY FIRST LAST HOST...
//
// ENTRIES model-table entries that no device matches, or =MODEL for one entry
// naming MODEL (model 1.3.6.1.2.1.25.3.2.1.3.1, firmware 1.3.6.1.4.1.77777.1.1.0); FIRST..LAST the
// range device-table rows must lie in. Run it inside the lab's scanner namespace. The phase's
// console lines are discarded; the figures go to standard error as one line: mib_s=...
// hosts_after=N timeouts=N closed=N rss_kb=N.
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "app/settings.h"
#include "engine/result_store.h"
#include "platform/address_text.h"
#include "snmp/mib_phase.h"
#include "snmp/model_table.h"
#include "snmp/snmp_library.h"

int main(int argc, char** argv) {
  if (argc < 7) {
    std::fprintf(stderr, "usage: %s THREADS ENTRIES COMMUNITY FIRST LAST HOST...\n", argv[0]);
    return 2;
  }
  ordalen::SCANCONFIG& config = ordalen::ScanConfig();
  std::error_code ec;
  const std::filesystem::path dir = std::filesystem::temp_directory_path(ec) /
                                    ("ordalen-bench-mib-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir, ec);
  config.logDir = dir.string();
  config.exeDir = dir.string();
  config.threadCount = std::atoi(argv[1]);
  config.community = argv[3];
  config.rangeStart = ordalen::ParseIpv4Text(argv[4]).value_or(0);
  config.rangeEnd = ordalen::ParseIpv4Text(argv[5]).value_or(0);
  if (argv[2][0] == '=') {
    ordalen::TargetTable().push_back(
        {"1.3.6.1.2.1.25.3.2.1.3.1", argv[2] + 1, "1.3.6.1.4.1.77777.1.1.0"});
  }
  for (int i = 1; i <= std::atoi(argv[2]); ++i) {
    ordalen::TargetTable().push_back({"1.3.6.1.2.1.25.3.2.1.3.1",
                                      "NoSuchMaker " + std::to_string(i),
                                      "1.3.6.1.4.1.77777.9." + std::to_string(i)});
  }
  for (int i = 6; i < argc; ++i) {
    auto record = std::make_unique<ordalen::SCANRESULT>();
    record->IpAddress = argv[i];
    ordalen::HostSlot(argv[i]) = std::move(record);
  }
  ordalen::InitSnmpLibrary();
  std::fflush(stdout);
  if (std::freopen("/dev/null", "w", stdout) == nullptr) return 1;
  const auto start = std::chrono::steady_clock::now();
  ordalen::RunMibPhase(config, ordalen::TargetTable(),
                       *ordalen::MakeSystemMibOps(ordalen::CredentialsOf(config)),
                       ordalen::ProcessOutput());
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  int timeouts = 0;
  int closed = 0;
  std::ifstream log(dir / "ordalen.log");
  for (std::string line; std::getline(log, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.ends_with("|Timeout")) ++timeouts;
    if (line.ends_with("(port 161 closed)")) ++closed;
  }
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::fprintf(stderr, "mib_s=%.3f hosts_after=%zu timeouts=%d closed=%d rss_kb=%ld\n", seconds,
               ordalen::Results().size(), timeouts, closed, usage.ru_maxrss);
  std::filesystem::remove_all(dir, ec);
  return 0;
}
