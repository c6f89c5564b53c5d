// ICMP echo sweep and the TTL-based OS class.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "app/log.h"
#include "app/settings.h"
#include "platform/os_error.h"
#include "platform/probe_wait.h"

namespace ordalen {

// One echo request waits this long for its reply; there is no retry.
inline constexpr std::chrono::milliseconds kPingTimeout{1000};

// Echo requests in flight, each waiting kPingTimeout for its reply.
class EchoSweeper {
 public:
  struct Reply {
    int slot = 0;
    std::optional<int> ttl;  // nullopt: no usable reply
  };
  virtual ~EchoSweeper() = default;
  // Starts one request to `address`; its end comes back from Wait with `slot`.
  virtual void Send(std::uint32_t address, int slot) = 0;
  // Waits at most `max_wait` for requests to end and appends those that ended,
  // in the order they ended. `error` gets a non-zero code only when a socket failed.
  virtual void Wait(std::chrono::milliseconds max_wait, std::vector<Reply>& ended,
                    OsError* error) = 0;
  // False when targets on the machine's own subnets go through the system's
  // neighbour table (no right to send frames): the sweep then keeps at most 256
  // requests in flight, which that table holds.
  [[nodiscard]] virtual bool OnLinkByFrames() const { return true; }
  virtual WireStats Stats() { return {}; }
};

// What the sweep asks of the network; tests give a fake. The MIB phase pings
// the hosts it learns through the same interface.
class EchoOps {
 public:
  virtual ~EchoOps() = default;
  // Whether echo requests can be sent at all; the reason when not.
  virtual bool CanSend(OsError* error) = 0;
  // One echo request to `address` (host byte order), waiting kPingTimeout: the
  // reply's TTL, or nullopt. `error` gets a non-zero code only when the socket
  // itself failed.
  virtual std::optional<int> Echo(std::uint32_t address, OsError* error) = 0;
  // Requests in flight for a sweep; nullptr (and the reason) when no socket opens.
  virtual std::unique_ptr<EchoSweeper> OpenSweeper(OsError* error) = 0;

  // True the first time only: the "cannot send" notice is given once.
  bool TakeNotice() { return !noticed_.exchange(true); }

 private:
  std::atomic<bool> noticed_{false};
};

// The machine's own ICMP sockets.
EchoOps& SystemEchoOps();

// Sweeps [first, last] inclusive (nothing when first > last). Up to
// "Thread" requests (at most 4096) are in flight at once. Each answering host is
// stored, printed "[ip]found" and logged "ICMP[ip]: found. os:N" through `out`.
void PingSweep(const SCANCONFIG& config, std::uint32_t first, std::uint32_t last, EchoOps& probes,
               OutputSink& out);

// One echo request: the TTL of a usable reply; nullopt without one. A socket
// failure is reported through `out` (the permission notice once per run).
std::optional<int> PingHost(std::uint32_t address, EchoOps& probes, OutputSink& out);

// What the last PingSweep of this process cost on the wire (benchmarks).
WireStats LastPingSweepStats();

// 0 for TTL 0, 3 for 1..64, 1 for 65..128, 4 for 129..255.
int TtlToOsType(int ttl);

}  // namespace ordalen
