#include "platform/tcp_stream.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>

#include "platform/deadline.h"

namespace ordalen {

bool IsTimedOut(const OsError& error) {
  return error.code == ETIMEDOUT &&
         (error.kind == OsErrorKind::kWait || error.kind == OsErrorKind::kConnect);
}

bool IsClosedByPeer(const OsError& error) {
  return error.kind == OsErrorKind::kSend &&
         (error.code == EPIPE || error.code == ECONNRESET || error.code == ENOTCONN);
}

const char* TcpFailureText(const OsError& error) {
  if (IsTimedOut(error)) return "timed out";
  if (IsClosedByPeer(error)) return "connection closed by the peer";
  if (error.kind == OsErrorKind::kConnect) {
    switch (error.code) {
      case ECONNREFUSED:
        return "connection refused";
      case ENETUNREACH:
      case EHOSTUNREACH:
      case ENETDOWN:
      case EHOSTDOWN:
        return "host unreachable";
      default:
        break;
    }
  }
  return "socket error";
}

bool TcpStream::Wait(short events, Clock::time_point deadline, OsError* error) {
  for (;;) {
    pollfd pfd{fd_.get(), events, 0};
    const int n = ::poll(&pfd, 1, MillisecondsLeft(deadline));
    if (n > 0) return true;  // ready, or an error the next call reports
    if (n == 0) {
      if (Clock::now() >= deadline) {
        if (error) *error = MakeOsError(OsErrorKind::kWait, "poll(TCP)", ETIMEDOUT);
        return false;
      }
      continue;
    }
    if (errno == EINTR) continue;
    if (error) *error = MakeOsError(OsErrorKind::kWait, "poll(TCP)", errno);
    return false;
  }
}

bool TcpStream::Connect(std::uint32_t address, std::uint16_t port,
                        std::chrono::milliseconds timeout, OsError* error) {
  Close();
  const auto deadline = Clock::now() + timeout;
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd) {
    if (error) *error = MakeOsError(OsErrorKind::kSocket, "socket(TCP)", errno);
    return false;
  }
  const int one = 1;
  ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(address);
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
    if (errno != EINPROGRESS && errno != EINTR) {
      if (error) *error = MakeOsError(OsErrorKind::kConnect, "connect", errno);
      return false;
    }
    fd_ = std::move(fd);
    if (!Wait(POLLOUT, deadline, error)) {
      Close();
      return false;
    }
    int outcome = 0;
    socklen_t len = sizeof outcome;
    if (::getsockopt(fd_.get(), SOL_SOCKET, SO_ERROR, &outcome, &len) != 0) outcome = errno;
    if (outcome != 0) {
      Close();
      if (error) *error = MakeOsError(OsErrorKind::kConnect, "connect", outcome);
      return false;
    }
    return true;
  }
  fd_ = std::move(fd);
  return true;
}

bool TcpStream::SendAll(std::span<const std::uint8_t> data, Clock::time_point deadline,
                        OsError* error) {
  if (!fd_) {
    if (error) *error = MakeOsError(OsErrorKind::kSend, "send", ENOTCONN);
    return false;
  }
  std::size_t sent = 0;
  while (sent < data.size()) {
    const ssize_t n = ::send(fd_.get(), data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!Wait(POLLOUT, deadline, error)) return false;
      continue;
    }
    if (error) *error = MakeOsError(OsErrorKind::kSend, "send", errno);
    return false;
  }
  return true;
}

std::optional<std::size_t> TcpStream::ReceiveSome(std::vector<std::uint8_t>& out,
                                                  std::size_t max_bytes, Clock::time_point deadline,
                                                  OsError* error) {
  assert(max_bytes > 0);
  if (!fd_) return 0;
  for (;;) {
    const std::size_t old_size = out.size();
    out.resize(old_size + max_bytes);
    const ssize_t n = ::recv(fd_.get(), out.data() + old_size, max_bytes, 0);
    const int code = errno;
    out.resize(old_size + (n > 0 ? static_cast<std::size_t>(n) : 0));
    if (n >= 0) return static_cast<std::size_t>(n);
    if (code == EINTR) continue;
    if (code == EAGAIN || code == EWOULDBLOCK) {
      if (!Wait(POLLIN, deadline, error)) return std::nullopt;
      continue;
    }
    if (code == ECONNRESET) return 0;
    if (error) *error = MakeOsError(OsErrorKind::kReceive, "recv", code);
    return std::nullopt;
  }
}

}  // namespace ordalen
