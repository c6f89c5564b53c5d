// ICMP echo sweep and the TTL-based OS class.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>

#include "platform/os_error.h"

namespace ordalen {

// One echo request waits this long for its reply; there is no retry.
inline constexpr std::chrono::milliseconds kPingTimeout{1000};

// The system side of the sweep; tests give a fake.
class EchoOps {
 public:
  virtual ~EchoOps() = default;
  // Whether echo requests can be sent at all; the reason when not.
  virtual bool CanSend(OsError* error) = 0;
  // One echo request to `address` (host byte order), waiting kPingTimeout: the
  // reply's TTL, or nullopt. `error` gets a non-zero code only when the socket
  // itself failed.
  virtual std::optional<int> Echo(std::uint32_t address, OsError* error) = 0;

  // True the first time only: the "cannot send" notice is given once.
  bool TakeNotice() { return !noticed_.exchange(true); }

 private:
  std::atomic<bool> noticed_{false};
};

// The machine's own ICMP sockets.
EchoOps& SystemEchoOps();

// Sweeps [first, last] inclusive (nothing when first > last); returns 1.
int PingSweep(std::uint32_t first, std::uint32_t last);
int PingSweep(std::uint32_t first, std::uint32_t last, EchoOps& ops);

// One echo request; 1 and the reply's TTL on a usable reply, else 0 (ttl 0).
int PingHost(std::uint32_t address, int& ttl);
int PingHost(std::uint32_t address, int& ttl, EchoOps& ops);

// 0 for TTL 0, 3 for 1..64, 1 for 65..128, 4 for 129..255.
int TtlToOsType(int ttl);

}  // namespace ordalen
