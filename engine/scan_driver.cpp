#include "engine/scan_driver.h"

#include <cstdio>
#include <ctime>
#include <optional>

#include "app/log.h"
#include "app/settings.h"
#include "engine/pool.h"
#include "output/xml_result.h"
#include "platform/named_lock.h"
#include "probes/arp.h"
#include "probes/cards.h"
#include "probes/host_scan.h"
#include "probes/ping.h"
#include "snmp/mib_phase.h"
#include "snmp/model_table.h"

namespace ordalen {

void ScanDriver() {
  const SCANCONFIG& config = ScanConfig();

  XmlDocument document;
  document.CreateResultDocument();
  const std::int64_t scanTime = std::time(nullptr);
  document.SetRootAttribute("scan_date", FormatTime("%Y-%m-%d %H:%M:%S.000", scanTime));

  OsError lock_error;
  std::optional<NamedLock> share_lock = NamedLock::Open(kShareMutexName, &lock_error);
  if (!share_lock) WriteLog("mutex error: %s", lock_error.message.c_str());

  CardTable cards{};
  ListNetworkCards(cards);

  // Another process may hold the scan back here; we only pass through the lock.
  if (share_lock) {
    if (share_lock->Acquire(&lock_error)) {
      share_lock->Release();
    } else {
      WriteLog("mutex error: %s", lock_error.message.c_str());
    }
  }

  // The sweeps keep up to 4096 probes in flight; the MIB phase and the host scan
  // run at most 256 workers.
  const int sweep_threads = EffectiveSweepThreadCount(config.threadCount);
  const int threads = EffectiveThreadCount(config.threadCount);
  if (config.threadCount < kMinThreadCount) {
    WriteLog("Thread=%d is outside %d..%d: using %d", config.threadCount, kMinThreadCount,
             kMaxSweepThreadCount, sweep_threads);
  } else {
    if (sweep_threads != config.threadCount) {
      WriteLog("Thread=%d is outside %d..%d: using %d for the ARP and ping sweeps",
               config.threadCount, kMinThreadCount, kMaxSweepThreadCount, sweep_threads);
    }
    if (threads != config.threadCount) {
      WriteLog("Thread=%d is outside %d..%d: using %d for the MIB phase and the host scan",
               config.threadCount, kMinThreadCount, kMaxThreadCount, threads);
    }
  }

  // Every phase: the settings, its inputs, the system's probes, the process's
  // console and log.
  OutputSink& out = ProcessOutput();
  if (config.useArp != 0) {
    out.Console("ARP-------------------------\r\n");
    ArpSweep(config, cards, SystemArpOps(), out);
  }

  out.Console("ping-------------------------\r\n");
  if (config.rangeStart != 0 || config.rangeEnd != 0) {
    PingSweep(config, config.rangeStart, config.rangeEnd, SystemEchoOps(), out);
  } else {
    for (const CARDINFO& card : cards) {
      if (card.ScanFlag == 1)
        PingSweep(config, card.FirstHost, card.LastHost, SystemEchoOps(), out);
    }
  }

  out.Console("MIB-------------------------\r\n");
  RunMibPhase(config, TargetTable(), *MakeSystemMibOps(CredentialsOf(config)), out);

  out.Console("scan-------------------------\r\n");
  HostScan(config, *MakeNetworkProbes(), out);

  WriteLog("Output-----------");
  WriteResultFile(document, scanTime);
  std::fflush(stdout);

  share_lock.reset();
  WriteLog("End-----------");
}

}  // namespace ordalen
