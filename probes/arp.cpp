#include "probes/arp.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "base/text.h"
#include "engine/pool.h"
#include "engine/result_store.h"
#include "probes/probe_context.h"
#include "probes/raw_notice.h"

namespace ordalen {
namespace {

class SystemAsker final : public ArpAsker {
 public:
  explicit SystemAsker(ArpProber prober) : prober_(std::move(prober)) {}
  void Ask(std::uint32_t target, int slot) override {
    // An address asked twice at once has nobody to answer the second time.
    if (!prober_.Start(target, slot, ArpTiming{kArpRequestCount, kArpRequestInterval, kArpWait}))
      refused_.push_back(slot);
  }
  void Wait(std::chrono::milliseconds max_wait, std::vector<Answer>& ended,
            OsError* error) override {
    if (!refused_.empty()) {
      for (const int slot : refused_) ended.push_back(Answer{slot, std::nullopt});
      refused_.clear();
      return;
    }
    done_.clear();
    prober_.Run(ProbeClock::now() + max_wait, done_, error);
    for (const ArpProber::Ended& e : done_) ended.push_back(Answer{e.tag, e.mac});
  }
  WireStats Stats() override { return prober_.Stats(); }

 private:
  ArpProber prober_;
  std::vector<ArpProber::Ended> done_;
  std::vector<int> refused_;
};

class SystemArp final : public ArpOps {
 public:
  bool CanAsk(OsError* error) override { return CanOpenArpSocket(error); }
  std::unique_ptr<ArpAsker> OpenAsker(const ArpSender& sender, OsError* error) override {
    std::optional<ArpProber> prober = ArpProber::Open(sender, error);
    if (!prober) return nullptr;
    return std::make_unique<SystemAsker>(std::move(*prober));
  }
  HostLookup& Names() override { return SystemHostLookup(); }
};

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// "XX:XX:XX:XX:XX:XX" as bytes; nullopt for any other text.
std::optional<MacBytes> ParseMacText(std::string_view text) {
  if (text.size() != 17) return std::nullopt;
  MacBytes mac{};
  for (std::size_t i = 0; i < mac.size(); ++i) {
    const int hi = HexValue(text[i * 3]);
    const int lo = HexValue(text[i * 3 + 1]);
    if (hi < 0 || lo < 0 || (i < 5 && text[i * 3 + 2] != ':')) return std::nullopt;
    mac[i] = static_cast<std::uint8_t>(hi << 4 | lo);
  }
  return mac;
}

// The part of the card's hosts the sweep asks: all of them, or their overlap with
// the command-line range when both of its ends are set.
std::optional<std::pair<std::uint32_t, std::uint32_t>> SweepRange(const CARDINFO& card,
                                                                  std::uint32_t range_start,
                                                                  std::uint32_t range_end) {
  std::uint32_t first = card.FirstHost;
  std::uint32_t last = card.LastHost;
  if (range_start != 0 && range_end != 0) {
    if (range_end < first || last < range_start) return std::nullopt;
    first = std::max(first, range_start);
    last = std::min(last, range_end);
  }
  return std::pair{first, last};
}

// One card's sweep: its interface, the addresses the machine itself holds on
// that interface (they answer with its own hardware address; a request on the
// wire would never come back to us), and the mask and broadcast texts.
struct CardSweep {
  ArpSender sender;
  std::vector<std::pair<std::uint32_t, MacBytes>> own_addresses;
  std::string mask;
  std::string broadcast;
};

void MergeArp(ProbeContext& ctx, const CardSweep& sweep, OutputSink& out) {
  const std::string mac = ValidateMac(ctx.MacAddress);
  ctx.MacAddress.clear();
  if (mac.empty() || mac == kZeroMacText) return;
  const std::string ip = IpText(ctx.HostAddress);
  auto record = std::make_unique<SCANRESULT>();
  record->MacAddress = mac;
  record->IpAddress = ip;
  record->NetMask = sweep.mask;
  record->Broadcast = sweep.broadcast;
  record->NetbiosName = std::move(ctx.Name);
  record->DomainName.clear();
  record->OsType = 0;
  record->FromDeviceTable = 0;
  HostSlot(ip) = std::move(record);  // frees a record stored under ip before
  out.Console(Format("[%s]%s\r\n", ip.c_str(), mac.c_str()));
  LogTo(out, "ARP[%s]: %s", ip.c_str(), mac.c_str());
}

WireStats& LastStats() {
  static WireStats stats;
  return stats;
}

// While names are being looked up, the wait for replies is cut this short so
// that a name that has come is merged without delay.
constexpr std::chrono::milliseconds kNamePollInterval{5};
// When nothing is due sooner, the wait still ends this often.
constexpr std::chrono::milliseconds kLongestWait{1000};

// One card's sweep: its requests in flight, the own-address answers that need
// no request, and the names being looked up beside them. Returns the threads
// it started for the names.
int SweepCard(const CardSweep& sweep, std::uint32_t first, std::uint64_t count, int threads,
              ArpAsker& asker, HostLookup& lookup, OutputSink& out) {
  std::vector<int> answered_here;  // own addresses: ended at once
  std::vector<ArpAsker::Answer> answers;
  std::vector<int> named;
  std::vector<ProbeContext*> contexts(static_cast<std::size_t>(EffectiveSweepThreadCount(threads)));
  BackgroundTasks names(std::min(threads, kMaxThreadCount));
  bool error_logged = false;
  RunInFlightBatch<ProbeContext>(
      threads, count,
      [first, &contexts](ProbeContext& ctx, std::uint64_t index, int slot) {
        ctx.Slot = slot;
        ctx.HostAddress = first + static_cast<std::uint32_t>(index);
        ctx.MacAddress.clear();
        ctx.Name.clear();
        contexts[static_cast<std::size_t>(slot)] = &ctx;
      },
      [&](ProbeContext& ctx, int slot) {
        for (const auto& [address, mac] : sweep.own_addresses) {
          if (address != ctx.HostAddress) continue;
          ctx.MacAddress = MacText(mac);
          answered_here.push_back(slot);
          return;
        }
        asker.Ask(ctx.HostAddress, slot);
      },
      [&](std::vector<int>& ended) {
        for (;;) {
          answers.clear();
          for (int slot : answered_here) answers.push_back(ArpAsker::Answer{slot, std::nullopt});
          const bool from_here = !answers.empty();
          answered_here.clear();
          if (!from_here) {
            OsError error;
            asker.Wait(names.Busy() ? kNamePollInterval : kLongestWait, answers, &error);
            if (error.code != 0 && !error_logged) {
              error_logged = true;
              LogTo(out, "ARP error: %s", error.message.c_str());
            }
          }
          for (const ArpAsker::Answer& a : answers) {
            ProbeContext& ctx = *contexts[static_cast<std::size_t>(a.slot)];
            if (a.mac) ctx.MacAddress = MacText(*a.mac);
            if (ctx.MacAddress.empty() || ctx.MacAddress == kZeroMacText) {
              ended.push_back(a.slot);
              continue;
            }
            // The name is looked up beside the requests, for answering hosts only,
            // so a slow resolver holds up one slot and not the whole sweep.
            names.Run(a.slot, [&ctx, &lookup] { ctx.Name = HostNameOf(ctx.HostAddress, lookup); });
          }
          named.clear();
          names.TakeEnded(named);
          ended.insert(ended.end(), named.begin(), named.end());
          if (!ended.empty()) return;
        }
      },
      [&sweep, &out](ProbeContext& ctx) { MergeArp(ctx, sweep, out); });
  return names.Started();
}

}  // namespace

ArpOps& SystemArpOps() {
  static SystemArp ops;
  return ops;
}

std::string ValidateMac(std::string_view text) {
  std::string upper = AsciiUpper(text);
  if (upper.size() != 17) return {};
  for (char c : upper) {
    if (c != ':' && HexValue(c) < 0) return {};
  }
  return upper;
}

WireStats LastArpSweepStats() {
  return LastStats();
}

void ArpSweep(const SCANCONFIG& config, const CardTable& cards, ArpOps& probes, OutputSink& out) {
  // The system's neighbour table is left alone: our requests are raw frames that
  // always ask the wire, so no cached entry can answer for a host, and other
  // programs on the machine depend on that table.

  // The cards to sweep and their ranges, in table order.
  std::vector<std::pair<const CARDINFO*, std::pair<std::uint32_t, std::uint32_t>>> plan;
  for (const CARDINFO& card : cards) {
    if (card.ScanFlag == 0) continue;
    if (const auto range = SweepRange(card, config.rangeStart, config.rangeEnd))
      plan.emplace_back(&card, *range);
  }
  if (plan.empty()) return;
  OsError error;
  if (!probes.CanAsk(&error)) {
    NoticeRawSocketRefused(RawSocketPhase::kArp, error, out);
    return;
  }
  const int threads = EffectiveSweepThreadCount(config.threadCount);
  LastStats() = WireStats{};
  for (const auto& [card, range] : plan) {
    const std::optional<MacBytes> card_mac = ParseMacText(card->CardMac);
    if (!card_mac) {
      LogTo(out, "ARP: card %s has no hardware address; its subnet is not swept",
            card->Description.c_str());
      continue;
    }
    CardSweep sweep;
    sweep.sender = ArpSender{card->CardNo, *card_mac, card->Address};
    for (const CARDINFO& other : cards) {
      const auto other_mac = ParseMacText(other.CardMac);
      if (other.CardNo == card->CardNo && other_mac)
        sweep.own_addresses.emplace_back(other.Address, *other_mac);
    }
    sweep.mask = IpText(card->Mask);
    sweep.broadcast = IpText(card->BroadcastAddress);
    std::unique_ptr<ArpAsker> asker = probes.OpenAsker(sweep.sender, &error);
    if (!asker) {
      LogTo(out, "ARP error: %s; the subnet of card %s is not swept", error.message.c_str(),
            card->Description.c_str());
      continue;
    }
    const int started = SweepCard(sweep, range.first, RangeCount(range.first, range.second),
                                  threads, *asker, probes.Names(), out);
    WireStats stats = asker->Stats();
    stats.threads += static_cast<std::uint64_t>(started);
    if (stats.dropped != 0) {
      LogTo(out, "ARP: the system dropped %llu replies on card %s (receive queue full)",
            static_cast<unsigned long long>(stats.dropped), card->Description.c_str());
    }
    LastStats() += stats;
  }
}

}  // namespace ordalen
