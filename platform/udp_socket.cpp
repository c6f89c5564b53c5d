#include "platform/udp_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>

namespace ordalen {
std::optional<CUDP> CUDP::Create(std::uint16_t port, OsError* error) {
  UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd) {
    if (error) *error = MakeOsError(OsErrorKind::kSocket, "udp socket", errno);
    return std::nullopt;
  }
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  local.sin_port = htons(port);
  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    if (error)
      *error = MakeOsError(OsErrorKind::kBind, "udp bind to port " + std::to_string(port), errno);
    return std::nullopt;
  }
  socklen_t length = sizeof local;
  if (::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&local), &length) != 0) {
    if (error) *error = MakeOsError(OsErrorKind::kLocalAddress, "udp getsockname", errno);
    return std::nullopt;
  }
  return CUDP(std::move(fd), ntohs(local.sin_port));
}

bool CUDP::SendTo(std::span<const std::uint8_t> data, std::uint16_t port,
                  const std::string& address_text, OsError* error) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  if (::inet_pton(AF_INET, address_text.c_str(), &to.sin_addr) != 1) {
    if (error)
      *error = MakeOsError(OsErrorKind::kSend, "udp send to \"" + address_text + "\"", EINVAL);
    return false;
  }
  for (;;) {
    const ssize_t sent = ::sendto(fd_.get(), data.data(), data.size(), MSG_NOSIGNAL,
                                  reinterpret_cast<const sockaddr*>(&to), sizeof to);
    if (sent >= 0) return true;
    if (errno == EINTR) continue;
    if (error) *error = MakeOsError(OsErrorKind::kSend, "udp send to " + address_text, errno);
    return false;
  }
}

std::optional<ReceivedDatagram> CUDP::ReceiveFrom(std::span<std::uint8_t> buffer, OsError* error) {
  if (error) *error = OsError{};
  for (;;) {
    sockaddr_in from{};
    socklen_t length = sizeof from;
    const ssize_t got = ::recvfrom(fd_.get(), buffer.data(), buffer.size(), MSG_DONTWAIT,
                                   reinterpret_cast<sockaddr*>(&from), &length);
    if (got >= 0) {
      ReceivedDatagram datagram;
      datagram.size = static_cast<std::size_t>(got);
      if (from.sin_family == AF_INET && length >= sizeof from) {
        datagram.from_address = ntohl(from.sin_addr.s_addr);
        datagram.from_port = ntohs(from.sin_port);
      }
      return datagram;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return std::nullopt;
    if (error) *error = MakeOsError(OsErrorKind::kReceive, "udp receive", errno);
    return std::nullopt;
  }
}

}  // namespace ordalen
