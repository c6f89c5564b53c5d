#include "probes/ping.h"

#include <cstdio>
#include <memory>

#include "app/log.h"
#include "app/settings.h"
#include "base/text.h"
#include "engine/pool.h"
#include "engine/result_store.h"
#include "platform/icmp.h"

namespace ordalen {
namespace {

class SystemEcho final : public EchoOps {
 public:
  bool CanSend(OsError* error) override { return CanOpenIcmpSocket(error); }
  std::optional<int> Echo(std::uint32_t address, OsError* error) override {
    return SendEcho(address, kPingTimeout, error);
  }
};

// Says once, on standard error and in the log, that no echo request can be sent.
void NoticeCannotSend(EchoOps& ops, const OsError& error) {
  if (!ops.TakeNotice()) return;
  const std::string text =
      IsPermissionError(error)
          ? Format(
                "ping: no permission to open an ICMP socket (%s); run as root, with CAP_NET_RAW, "
                "or from a "
                "group in net.ipv4.ping_group_range. The ping sweep finds no host.",
                error.message.c_str())
          : Format("ping: cannot open an ICMP socket (%s). The ping sweep finds no host.",
                   error.message.c_str());
  std::fprintf(stderr, "%s\r\n", text.c_str());
  std::fflush(stderr);
  WriteLog("%s", text.c_str());
}

// A failed socket: the permission notice once, any other failure logged once per
// `logged` flag (a sweep out of descriptors would otherwise write a line per host).
void ReportEchoError(EchoOps& ops, const OsError& error, std::atomic<bool>* logged) {
  if (IsPermissionError(error)) {
    NoticeCannotSend(ops, error);
    return;
  }
  if (logged != nullptr && logged->exchange(true)) return;
  WriteLog("ICMP error: %s", error.message.c_str());
}

// The OS class of one host, -1 when it gave no usable reply.
int ProbeOsType(std::uint32_t address, EchoOps& ops, std::atomic<bool>* logged) {
  OsError error;
  const std::optional<int> ttl = ops.Echo(address, &error);
  if (error.code != 0) ReportEchoError(ops, error, logged);
  return ttl ? TtlToOsType(*ttl) : -1;
}

void MergePing(ProbeContext& ctx) {
  if (ctx.Result == -1) return;
  const std::string ip = IpText(ctx.HostAddress);
  std::printf("[%s]found\r\n", ip.c_str());
  WriteLog("ICMP[%s]: found. os:%d", ip.c_str(), ctx.Result);
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

int TtlToOsType(int ttl) {
  if (ttl <= 0) return 0;
  if (ttl <= 64) return 3;
  if (ttl <= 128) return 1;
  return 4;
}

int PingHost(std::uint32_t address, int& ttl) {
  return PingHost(address, ttl, SystemEchoOps());
}

int PingHost(std::uint32_t address, int& ttl, EchoOps& ops) {
  ttl = 0;
  OsError error;
  const std::optional<int> reply = ops.Echo(address, &error);
  if (error.code != 0) ReportEchoError(ops, error, nullptr);
  if (!reply) return 0;
  ttl = *reply;
  return 1;
}

int PingSweep(std::uint32_t first, std::uint32_t last) {
  return PingSweep(first, last, SystemEchoOps());
}

int PingSweep(std::uint32_t first, std::uint32_t last, EchoOps& ops) {
  const std::uint64_t count = RangeCount(first, last);
  if (count == 0) return 1;
  OsError error;
  if (!ops.CanSend(&error)) {
    NoticeCannotSend(ops, error);
    return 1;
  }
  std::atomic<bool> error_logged{false};
  RunWorkerBatch<ProbeContext>(
      EffectiveThreadCount(ScanConfig().threadCount), count,
      [first](ProbeContext& ctx, std::uint64_t index, int slot) {
        ctx.Slot = slot;
        // index < count <= 2^32, so the sum never passes `last`.
        ctx.HostAddress = first + static_cast<std::uint32_t>(index);
        ctx.Result = -1;
      },
      [&ops, &error_logged](ProbeContext& ctx) {
        ctx.Result = ProbeOsType(ctx.HostAddress, ops, &error_logged);
      },
      [](ProbeContext& ctx, MergeWhen) { MergePing(ctx); });
  return 1;
}

}  // namespace ordalen
