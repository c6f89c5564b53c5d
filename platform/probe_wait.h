// What the discovery probers share: one thread keeps many probes in flight on a
// few sockets, wakes when a socket has data or the next timer is due, and
// counts what it did so that a sweep's cost can be measured.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <queue>
#include <span>
#include <vector>

#include "platform/os_error.h"

namespace ordalen {

using ProbeClock = std::chrono::steady_clock;

// A sweep's work on the wire, summed over its probers.
struct WireStats {
  std::uint64_t sent = 0;          // requests handed to the system
  std::uint64_t send_retries = 0;  // sends the system refused for the moment (queue full)
  std::uint64_t received = 0;      // packets the kernel filter let through to us
  std::uint64_t unmatched = 0;     // of those, packets that belonged to no probe in flight
  std::uint64_t dropped = 0;       // packets the system dropped because our queue was full
  std::uint64_t wakeups = 0;       // returns from the wait
  // Sockets of ours with a kernel filter: each frame their card receives runs
  // each of these filters once.
  std::uint64_t filtered_sockets = 0;
  std::uint64_t threads = 0;  // threads started (name lookups beside the requests)

  WireStats& operator+=(const WireStats& o) {
    sent += o.sent;
    send_retries += o.send_retries;
    received += o.received;
    unmatched += o.unmatched;
    dropped += o.dropped;
    wakeups += o.wakeups;
    filtered_sockets += o.filtered_sockets;
    threads += o.threads;
    return *this;
  }
};

// A send the system refused only for the moment (its queue is full) is tried
// again this much later.
inline constexpr std::chrono::milliseconds kSendRetryDelay{2};

// One servicing of a socket reads at most this many packets, so that a flood
// cannot keep the timers of the probes in flight from running.
inline constexpr int kMaxReadsPerService = 1024;

// The receive queue a prober asks for: room for a burst of replies to thousands
// of requests while the thread is not running. The system may grant less.
inline constexpr int kProbeReceiveBuffer = 8 * 1024 * 1024;

// Timers of the probes in flight: the earliest first. An entry stays until it
// is due; the owner tells a stale entry (its probe ended or moved on) by the key.
template <class Key>
class TimerQueue {
 public:
  void Add(ProbeClock::time_point at, Key key) { heap_.push(Entry{at, key}); }
  [[nodiscard]] bool Empty() const { return heap_.empty(); }
  // When the earliest entry is due; time_point::max() when there is none.
  [[nodiscard]] ProbeClock::time_point Next() const {
    return heap_.empty() ? ProbeClock::time_point::max() : heap_.top().at;
  }
  // The earliest entry due at or before `now`, removed; nullopt when none is.
  std::optional<std::pair<ProbeClock::time_point, Key>> PopDue(ProbeClock::time_point now) {
    if (heap_.empty() || heap_.top().at > now) return std::nullopt;
    Entry e = heap_.top();
    heap_.pop();
    return std::pair{e.at, e.key};
  }

 private:
  struct Entry {
    ProbeClock::time_point at;
    Key key;
    bool operator>(const Entry& o) const { return at > o.at; }
  };
  std::priority_queue<Entry, std::vector<Entry>, std::greater<>> heap_;
};

// Waits until one of `fds` is readable (or in error) or `until` has passed; sets
// `ready[i]` for each that is. False (and the reason) when the wait itself failed.
bool WaitForSockets(std::span<const int> fds, ProbeClock::time_point until, std::span<bool> ready,
                    OsError* error);

// Asks for a receive queue of `bytes` (beyond the system's limit where the process
// may, else up to it). Failure is not an error: the queue keeps its size.
void EnlargeReceiveBuffer(int fd, int bytes);

// Whether a send failed only because the system's queue is full for the moment.
bool IsTransientSendError(int code);

}  // namespace ordalen
