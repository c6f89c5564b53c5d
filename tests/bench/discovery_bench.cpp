// Times the ARP and ping phases over the subnet of one card, as the scan runs
// them, and prints the figures the discovery benchmark reports:
//
//   ordalen_bench_discovery CARD THREADS
//
// CARD is an interface name (eth-a); run it inside the lab's scanner namespace.
// The phases' own console lines are discarded; the figures go to standard
// error as one line: card=... threads=N arp_s=... arp_found=N ping_s=...
// ping_found=N addresses=N (found counts include the machine's own address),
// then per phase its CPU time (arp_cpu_s, ping_cpu_s), what it did on the wire
// (PHASE_sent, PHASE_retries, PHASE_received, PHASE_unmatched, PHASE_dropped,
// PHASE_wakeups, PHASE_threads: threads the process ran at the phase's end) and
// the process's peak resident memory (peak_kb).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <sys/resource.h>
#include <unistd.h>

#include <fstream>

#include "app/settings.h"
#include "base/text.h"
#include "engine/pool.h"
#include "engine/result_store.h"
#include "probes/arp.h"
#include "probes/cards.h"
#include "probes/ping.h"

namespace {

using ordalen::CARDINFO;
using ordalen::CardTable;

double Seconds(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

std::size_t Count() {
  return ordalen::Results().size();
}

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

long PeakKb() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss;
}

// Threads of this process now (the Threads: line of /proc/self/status).
int ThreadsNow() {
  std::ifstream in("/proc/self/status");
  std::string key;
  while (in >> key) {
    if (key == "Threads:") {
      int n = 0;
      in >> n;
      return n;
    }
  }
  return 0;
}

std::string Wire(const char* phase, const ordalen::WireStats& s) {
  return ordalen::Format(
      " %s_sent=%llu %s_retries=%llu %s_received=%llu %s_unmatched=%llu %s_dropped=%llu "
      "%s_wakeups=%llu",
      phase, static_cast<unsigned long long>(s.sent), phase,
      static_cast<unsigned long long>(s.send_retries), phase,
      static_cast<unsigned long long>(s.received), phase,
      static_cast<unsigned long long>(s.unmatched), phase,
      static_cast<unsigned long long>(s.dropped), phase,
      static_cast<unsigned long long>(s.wakeups));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s CARD THREADS\n", argv[0]);
    return 2;
  }
  const std::string card_name = argv[1];
  const int threads = std::atoi(argv[2]);
  CardTable cards;
  ordalen::ListNetworkCards(cards);
  const CARDINFO* card = nullptr;
  for (CARDINFO& c : cards) {
    if (c.Description == card_name && c.ScanFlag == 1) {
      card = &c;
    } else {
      c.ScanFlag = 0;  // sweep that one card only
    }
  }
  if (card == nullptr) {
    std::fprintf(stderr, "no swept card named %s\n", card_name.c_str());
    return 1;
  }
  ordalen::SCANCONFIG& config = ordalen::ScanConfig();
  // The phases' log lines go to a folder of our own, removed at the end.
  std::error_code ec;
  const std::filesystem::path log_dir =
      std::filesystem::temp_directory_path(ec) / ("ordalen-bench-" + std::to_string(::getpid()));
  std::filesystem::create_directories(log_dir, ec);
  config.logDir = log_dir.string();
  config.threadCount = threads;
  config.rangeStart = config.rangeEnd = 0;

  // The phases print a line per host; keep them off our one line of figures.
  std::fflush(stdout);
  if (std::freopen("/dev/null", "w", stdout) == nullptr) return 1;
  const double cpu_start = CpuSeconds();
  const auto arp_start = std::chrono::steady_clock::now();
  ordalen::ArpSweep(cards);
  const double arp_s = Seconds(std::chrono::steady_clock::now() - arp_start);
  const double arp_cpu = CpuSeconds() - cpu_start;
  const int arp_threads = ThreadsNow();
  const std::size_t arp_found = Count();
  ordalen::ClearHosts();
  const auto ping_start = std::chrono::steady_clock::now();
  ordalen::PingSweep(card->FirstHost, card->LastHost);
  const double ping_s = Seconds(std::chrono::steady_clock::now() - ping_start);
  const double ping_cpu = CpuSeconds() - cpu_start - arp_cpu;
  const std::size_t ping_found = Count();

  const std::uint64_t addresses = ordalen::RangeCount(card->FirstHost, card->LastHost);
  std::fprintf(stderr,
               "card=%s threads=%d arp_s=%.3f arp_found=%zu ping_s=%.3f ping_found=%zu "
               "addresses=%llu arp_cpu_s=%.3f ping_cpu_s=%.3f arp_threads=%d ping_threads=%d "
               "peak_kb=%ld%s%s\n",
               card_name.c_str(), ordalen::EffectiveSweepThreadCount(threads), arp_s, arp_found,
               ping_s, ping_found, static_cast<unsigned long long>(addresses), arp_cpu, ping_cpu,
               arp_threads, ThreadsNow(), PeakKb(),
               Wire("arp", ordalen::LastArpSweepStats()).c_str(),
               Wire("ping", ordalen::LastPingSweepStats()).c_str());
  return 0;
}
