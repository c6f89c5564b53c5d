// Times the ARP and ping phases over the subnet of one card, as the scan runs
// them, and prints the figures the discovery benchmark reports:
//
//   ordalen_bench_discovery CARD THREADS
//
// CARD is an interface name (eth-a); run it inside the lab's scanner namespace.
// The phases' own console lines are discarded; the figures go to standard
// error as one line: card=... threads=N arp_s=... arp_found=N ping_s=...
// ping_found=N addresses=N (found counts include the machine's own address).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <unistd.h>

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
  const auto arp_start = std::chrono::steady_clock::now();
  ordalen::ArpSweep(cards);
  const double arp_s = Seconds(std::chrono::steady_clock::now() - arp_start);
  const std::size_t arp_found = Count();
  ordalen::ClearHosts();
  const auto ping_start = std::chrono::steady_clock::now();
  ordalen::PingSweep(card->FirstHost, card->LastHost);
  const double ping_s = Seconds(std::chrono::steady_clock::now() - ping_start);
  const std::size_t ping_found = Count();

  const std::uint64_t addresses = ordalen::RangeCount(card->FirstHost, card->LastHost);
  std::fprintf(
      stderr,
      "card=%s threads=%d arp_s=%.3f arp_found=%zu ping_s=%.3f ping_found=%zu addresses=%llu\n",
      card_name.c_str(), ordalen::EffectiveThreadCount(threads), arp_s, arp_found, ping_s,
      ping_found, static_cast<unsigned long long>(addresses));
  return 0;
}
