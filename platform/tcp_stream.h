// One outgoing TCP connection where every step has a time limit: connect,
// send everything, receive what has arrived. Used by request/response clients
// that keep one connection for a whole exchange. A step that fails says why in
// its OsError; a deadline that passes is a kWait failure with ETIMEDOUT.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "platform/os_error.h"
#include "platform/unique_fd.h"

namespace ordalen {

class TcpStream {
 public:
  using Clock = std::chrono::steady_clock;

  TcpStream() = default;

  // Connects to address:port (address in host byte order). False when it could
  // not, the stream then closed: a kConnect failure with ECONNREFUSED when the
  // peer answered with a reset, with ENETUNREACH, EHOSTUNREACH, ENETDOWN or
  // EHOSTDOWN when there is no way to the host.
  bool Connect(std::uint32_t address, std::uint16_t port, std::chrono::milliseconds timeout,
               OsError* error);

  // Sends every byte before `deadline`.
  bool SendAll(std::span<const std::uint8_t> data, Clock::time_point deadline, OsError* error);

  // Waits until bytes arrive or `deadline` passes and appends what arrived (at
  // most max_bytes, which is not 0) to `out`: their count; 0 when the peer has
  // ended the connection (closed or reset it) or the stream is closed; nullopt
  // when the deadline passed or the receive failed.
  std::optional<std::size_t> ReceiveSome(std::vector<std::uint8_t>& out, std::size_t max_bytes,
                                         Clock::time_point deadline, OsError* error);

  void Close() { fd_.reset(); }
  [[nodiscard]] bool is_open() const { return fd_.valid(); }

 private:
  // Waits for `events` on the socket until `deadline`; true when they are ready.
  bool Wait(short events, Clock::time_point deadline, OsError* error);

  UniqueFd fd_;
};

// Whether a failed step means its deadline passed or the connect timed out.
bool IsTimedOut(const OsError& error);

// Whether a failed send means the peer has ended the connection (or the stream
// was closed).
bool IsClosedByPeer(const OsError& error);

// Short English text of a failed step: "timed out", "connection closed by the
// peer", "connection refused", "host unreachable" or "socket error".
const char* TcpFailureText(const OsError& error);

}  // namespace ordalen
