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
// (PHASE_sent, PHASE_retries, PHASE_received: packets its kernel filters let
// through, PHASE_unmatched, PHASE_dropped, PHASE_wakeups), PHASE_filters (its
// sockets with a kernel filter: each frame the card receives runs each once),
// PHASE_frames (frames the card received during the phase), PHASE_threads
// (threads it started), and the process's peak resident memory (peak_kb).
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

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

// Frames `card` has received, from this namespace's /proc/net/dev (sysfs may
// show another namespace); -1 when it is not listed.
long long FramesReceived(const std::string& card) {
  std::ifstream in("/proc/net/dev");
  std::string line;
  while (std::getline(in, line)) {
    const auto colon = line.find(':');
    if (colon == std::string::npos) continue;
    if (std::string(ordalen::TrimSpace(line.substr(0, colon))) != card) continue;
    std::istringstream fields(line.substr(colon + 1));
    long long bytes = 0;
    long long packets = -1;
    fields >> bytes >> packets;
    return packets;
  }
  return -1;
}

std::string Wire(const char* phase, const ordalen::WireStats& s, long long frames) {
  const auto u = [](std::uint64_t v) { return static_cast<unsigned long long>(v); };
  return ordalen::Format(
      " %s_sent=%llu %s_retries=%llu %s_received=%llu %s_unmatched=%llu %s_dropped=%llu "
      "%s_wakeups=%llu %s_filters=%llu %s_frames=%lld %s_threads=%llu",
      phase, u(s.sent), phase, u(s.send_retries), phase, u(s.received), phase, u(s.unmatched),
      phase, u(s.dropped), phase, u(s.wakeups), phase, u(s.filtered_sockets), phase, frames, phase,
      u(s.threads));
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
  const long long frames_start = FramesReceived(card_name);
  const auto arp_start = std::chrono::steady_clock::now();
  ordalen::ArpSweep(config, cards, ordalen::SystemArpOps(), ordalen::ProcessOutput());
  const double arp_s = Seconds(std::chrono::steady_clock::now() - arp_start);
  const double arp_cpu = CpuSeconds() - cpu_start;
  const long long frames_arp = FramesReceived(card_name);
  const std::size_t arp_found = Count();
  ordalen::ClearHosts();
  const auto ping_start = std::chrono::steady_clock::now();
  ordalen::PingSweep(config, card->FirstHost, card->LastHost, ordalen::SystemEchoOps(),
                     ordalen::ProcessOutput());
  const double ping_s = Seconds(std::chrono::steady_clock::now() - ping_start);
  const double ping_cpu = CpuSeconds() - cpu_start - arp_cpu;
  const long long frames_ping = FramesReceived(card_name);
  const std::size_t ping_found = Count();
  std::filesystem::remove_all(log_dir, ec);

  const std::uint64_t addresses = ordalen::RangeCount(card->FirstHost, card->LastHost);
  std::fprintf(stderr,
               "card=%s threads=%d arp_s=%.3f arp_found=%zu ping_s=%.3f ping_found=%zu "
               "addresses=%llu arp_cpu_s=%.3f ping_cpu_s=%.3f peak_kb=%ld%s%s\n",
               card_name.c_str(), ordalen::EffectiveSweepThreadCount(threads), arp_s, arp_found,
               ping_s, ping_found, static_cast<unsigned long long>(addresses), arp_cpu, ping_cpu,
               PeakKb(),
               Wire("arp", ordalen::LastArpSweepStats(), frames_arp - frames_start).c_str(),
               Wire("ping", ordalen::LastPingSweepStats(), frames_ping - frames_arp).c_str());
  return 0;
}
