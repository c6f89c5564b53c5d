#include "platform/tcp_stream.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/deadline.h"

namespace ordalen {

namespace {

TcpStatus ConnectErrorStatus(int error) {
  switch (error) {
    case ECONNREFUSED:
      return TcpStatus::kRefused;
    case ENETUNREACH:
    case EHOSTUNREACH:
    case ENETDOWN:
    case EHOSTDOWN:
      return TcpStatus::kUnreachable;
    case ETIMEDOUT:
      return TcpStatus::kTimedOut;
    default:
      return TcpStatus::kError;
  }
}

}  // namespace

const char* TcpStatusText(TcpStatus status) {
  switch (status) {
    case TcpStatus::kOk:
      return "ok";
    case TcpStatus::kTimedOut:
      return "timed out";
    case TcpStatus::kClosed:
      return "connection closed by the peer";
    case TcpStatus::kRefused:
      return "connection refused";
    case TcpStatus::kUnreachable:
      return "host unreachable";
    case TcpStatus::kError:
      return "socket error";
  }
  return "socket error";
}

TcpStatus TcpStream::Wait(short events, Clock::time_point deadline) {
  for (;;) {
    pollfd pfd{fd_.get(), events, 0};
    const int n = ::poll(&pfd, 1, MillisecondsLeft(deadline));
    if (n > 0) return TcpStatus::kOk;  // ready, or an error the next call reports
    if (n == 0) {
      if (Clock::now() >= deadline) {
        os_error_ = 0;
        return TcpStatus::kTimedOut;
      }
      continue;
    }
    if (errno == EINTR) continue;
    os_error_ = errno;
    return TcpStatus::kError;
  }
}

TcpStatus TcpStream::Connect(std::uint32_t address, std::uint16_t port,
                             std::chrono::milliseconds timeout) {
  Close();
  os_error_ = 0;
  const auto deadline = Clock::now() + timeout;
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd) {
    os_error_ = errno;
    return TcpStatus::kError;
  }
  const int one = 1;
  ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(address);
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
    if (errno != EINPROGRESS && errno != EINTR) {
      os_error_ = errno;
      return ConnectErrorStatus(errno);
    }
    fd_ = std::move(fd);
    const TcpStatus waited = Wait(POLLOUT, deadline);
    if (waited != TcpStatus::kOk) {
      Close();
      return waited;
    }
    int error = 0;
    socklen_t len = sizeof error;
    if (::getsockopt(fd_.get(), SOL_SOCKET, SO_ERROR, &error, &len) != 0) error = errno;
    if (error != 0) {
      Close();
      os_error_ = error;
      return ConnectErrorStatus(error);
    }
    return TcpStatus::kOk;
  }
  fd_ = std::move(fd);
  return TcpStatus::kOk;
}

TcpStatus TcpStream::SendAll(std::span<const std::uint8_t> data, Clock::time_point deadline) {
  if (!fd_) return TcpStatus::kClosed;
  std::size_t sent = 0;
  while (sent < data.size()) {
    const ssize_t n = ::send(fd_.get(), data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      const TcpStatus waited = Wait(POLLOUT, deadline);
      if (waited != TcpStatus::kOk) return waited;
      continue;
    }
    os_error_ = errno;
    return (errno == EPIPE || errno == ECONNRESET) ? TcpStatus::kClosed : TcpStatus::kError;
  }
  return TcpStatus::kOk;
}

TcpStatus TcpStream::ReceiveSome(std::vector<std::uint8_t>& out, std::size_t max_bytes,
                                 Clock::time_point deadline) {
  if (!fd_) return TcpStatus::kClosed;
  if (max_bytes == 0) return TcpStatus::kOk;
  for (;;) {
    const std::size_t old_size = out.size();
    out.resize(old_size + max_bytes);
    const ssize_t n = ::recv(fd_.get(), out.data() + old_size, max_bytes, 0);
    out.resize(old_size + (n > 0 ? static_cast<std::size_t>(n) : 0));
    if (n > 0) return TcpStatus::kOk;
    if (n == 0) return TcpStatus::kClosed;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      const TcpStatus waited = Wait(POLLIN, deadline);
      if (waited != TcpStatus::kOk) return waited;
      continue;
    }
    os_error_ = errno;
    return errno == ECONNRESET ? TcpStatus::kClosed : TcpStatus::kError;
  }
}

}  // namespace ordalen
