#include "probes/ping.h"

#include <memory>

#include "base/text.h"
#include "engine/pool.h"
#include "engine/result_store.h"
#include "platform/icmp.h"
#include "probes/probe_context.h"
#include "probes/raw_notice.h"

namespace ordalen {
namespace {

class SystemSweeper final : public EchoSweeper {
 public:
  explicit SystemSweeper(EchoProber prober) : prober_(std::move(prober)) {}
  void Send(std::uint32_t address, int slot) override { prober_.Start(address, slot); }
  void Wait(std::chrono::milliseconds max_wait, std::vector<Reply>& ended,
            OsError* error) override {
    done_.clear();
    prober_.Run(ProbeClock::now() + max_wait, done_, error);
    for (const EchoProber::Ended& e : done_) ended.push_back(Reply{e.tag, e.ttl});
  }
  [[nodiscard]] bool OnLinkByFrames() const override { return prober_.OnLinkByFrames(); }
  WireStats Stats() override { return prober_.Stats(); }

 private:
  EchoProber prober_;
  std::vector<EchoProber::Ended> done_;
};

class SystemEcho final : public EchoOps {
 public:
  bool CanSend(OsError* error) override { return CanOpenIcmpSocket(error); }
  std::optional<int> Echo(std::uint32_t address, OsError* error) override {
    return SendEcho(address, kPingTimeout, error);
  }
  std::unique_ptr<EchoSweeper> OpenSweeper(OsError* error) override {
    std::optional<EchoProber> prober = EchoProber::Open(kPingTimeout, error);
    if (!prober) return nullptr;
    return std::make_unique<SystemSweeper>(std::move(*prober));
  }
};

WireStats& LastStats() {
  static WireStats stats;
  return stats;
}

// When nothing is due sooner, the wait still ends this often.
constexpr std::chrono::milliseconds kLongestWait{1000};

// Says once, on standard error and in the log, that no echo request can be sent.
void NoticeCannotSend(EchoOps& probes, const OsError& error, OutputSink& out) {
  if (!probes.TakeNotice()) return;
  NoticeRawSocketRefused(RawSocketPhase::kPing, error, out);
}

// A failed socket: the permission notice once, any other failure logged once per
// `logged` flag (a sweep out of descriptors would otherwise write a line per host).
void ReportEchoError(EchoOps& probes, const OsError& error, bool* logged, OutputSink& out) {
  if (IsPermissionError(error)) {
    NoticeCannotSend(probes, error, out);
    return;
  }
  if (logged != nullptr) {
    if (*logged) return;
    *logged = true;
  }
  LogTo(out, "ICMP error: %s", error.message.c_str());
}

void MergePing(ProbeContext& ctx, OutputSink& out) {
  if (ctx.Result == -1) return;
  const std::string ip = IpText(ctx.HostAddress);
  out.Console(Format("[%s]found\r\n", ip.c_str()));
  LogTo(out, "ICMP[%s]: found. os:%d", ip.c_str(), ctx.Result);
  if (SCANRESULT* host = FindHost(ip)) {
    host->OsType = ctx.Result;
  } else {
    auto record = std::make_unique<SCANRESULT>();
    record->IpAddress = ip;
    record->OsType = ctx.Result;
    record->FromDeviceTable = 0;
    HostSlot(ip) = std::move(record);
  }
  ctx.Result = -1;
}

}  // namespace

EchoOps& SystemEchoOps() {
  static SystemEcho ops;
  return ops;
}

WireStats LastPingSweepStats() {
  return LastStats();
}

int TtlToOsType(int ttl) {
  if (ttl <= 0) return 0;
  if (ttl <= 64) return 3;
  if (ttl <= 128) return 1;
  return 4;
}

std::optional<int> PingHost(std::uint32_t address, EchoOps& probes, OutputSink& out) {
  OsError error;
  std::optional<int> reply = probes.Echo(address, &error);
  if (error.code != 0) ReportEchoError(probes, error, nullptr, out);
  return reply;
}

void PingSweep(const SCANCONFIG& config, std::uint32_t first, std::uint32_t last, EchoOps& probes,
               OutputSink& out) {
  const std::uint64_t count = RangeCount(first, last);
  if (count == 0) return;
  OsError error;
  if (!probes.CanSend(&error)) {
    NoticeCannotSend(probes, error, out);
    return;
  }
  LastStats() = WireStats{};
  std::unique_ptr<EchoSweeper> sweeper = probes.OpenSweeper(&error);
  if (!sweeper) {
    ReportEchoError(probes, error, nullptr, out);
    return;
  }
  int threads = EffectiveSweepThreadCount(config.threadCount);
  if (!sweeper->OnLinkByFrames() && threads > kMaxThreadCount) {
    LogTo(out,
          "ping: Thread=%d, but without the right to send frames the neighbour table limits the "
          "sweep: using %d",
          threads, kMaxThreadCount);
    threads = kMaxThreadCount;
  }
  bool error_logged = false;
  std::vector<EchoSweeper::Reply> replies;
  std::vector<ProbeContext*> contexts(static_cast<std::size_t>(threads));
  RunInFlightBatch<ProbeContext>(
      threads, count,
      [first, &contexts](ProbeContext& ctx, std::uint64_t index, int slot) {
        ctx.Slot = slot;
        // index < count <= 2^32, so the sum never passes `last`.
        ctx.HostAddress = first + static_cast<std::uint32_t>(index);
        ctx.Result = -1;
        contexts[static_cast<std::size_t>(slot)] = &ctx;
      },
      [&sweeper](ProbeContext& ctx, int slot) { sweeper->Send(ctx.HostAddress, slot); },
      [&](std::vector<int>& ended) {
        while (ended.empty()) {
          replies.clear();
          OsError wait_error;
          sweeper->Wait(kLongestWait, replies, &wait_error);
          if (wait_error.code != 0) ReportEchoError(probes, wait_error, &error_logged, out);
          for (const EchoSweeper::Reply& r : replies) {
            contexts[static_cast<std::size_t>(r.slot)]->Result = r.ttl ? TtlToOsType(*r.ttl) : -1;
            ended.push_back(r.slot);
          }
        }
      },
      [&out](ProbeContext& ctx) { MergePing(ctx, out); });
  const WireStats stats = sweeper->Stats();
  if (stats.dropped != 0) {
    LogTo(out, "ICMP: the system dropped %llu packets of the sweep (receive queue full)",
          static_cast<unsigned long long>(stats.dropped));
  }
  LastStats() += stats;
}

}  // namespace ordalen
