// One outgoing TCP connection where every step has a time limit: connect,
// send everything, receive what has arrived. Used by request/response clients
// that keep one connection for a whole exchange.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "platform/unique_fd.h"

namespace ordalen {

enum class TcpStatus {
  kOk,
  kTimedOut,     // the deadline passed first
  kClosed,       // the peer ended the connection in order (receive) or is gone (send)
  kRefused,      // connect: the peer answered with a reset
  kUnreachable,  // connect: no route, host or network unreachable
  kError,        // any other failure (socket, reset during transfer, ...); see os_error()
};

// Short English text of a status ("timed out", "connection refused", ...).
const char* TcpStatusText(TcpStatus status);

class TcpStream {
 public:
  using Clock = std::chrono::steady_clock;

  TcpStream() = default;

  // Connects to address:port (address in host byte order). On failure the
  // stream stays closed and status()/os_error() tell why.
  TcpStatus Connect(std::uint32_t address, std::uint16_t port, std::chrono::milliseconds timeout);

  // Sends every byte before `deadline`.
  TcpStatus SendAll(std::span<const std::uint8_t> data, Clock::time_point deadline);

  // Waits until bytes arrive or `deadline` passes and appends what arrived (at
  // most max_bytes) to `out`. kClosed when the peer has ended the connection.
  TcpStatus ReceiveSome(std::vector<std::uint8_t>& out, std::size_t max_bytes,
                        Clock::time_point deadline);

  void Close() { fd_.reset(); }
  [[nodiscard]] bool is_open() const { return fd_.valid(); }
  // errno of the last failing OS call (0 when the failure was a time-out or an orderly close).
  [[nodiscard]] int os_error() const { return os_error_; }

 private:
  // Waits for `events` on the socket until `deadline`; kOk when they are ready.
  TcpStatus Wait(short events, Clock::time_point deadline);

  UniqueFd fd_;
  int os_error_ = 0;
};

}  // namespace ordalen
