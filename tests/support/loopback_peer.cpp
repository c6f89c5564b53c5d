#include "support/loopback_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace ordalen::test {
namespace {

sockaddr_in Endpoint(const std::string& address, std::uint16_t port) {
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons(port);
  if (::inet_pton(AF_INET, address.c_str(), &at.sin_addr) != 1) {
    throw std::runtime_error("bad address " + address);
  }
  return at;
}

[[noreturn]] void Fail(const std::string& what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

std::uint16_t BoundPort(int fd) {
  sockaddr_in at{};
  socklen_t length = sizeof at;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&at), &length) != 0) Fail("getsockname");
  return ntohs(at.sin_port);
}

}  // namespace

bool NoNetworkNamespace() {
  const char* flag = std::getenv("ORDALEN_NO_NETNS");
  return flag != nullptr && *flag != '\0';
}

UdpPeer::UdpPeer(const std::string& address, std::uint16_t port) {
  fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) Fail("socket");
  const sockaddr_in at = Endpoint(address, port);
  if (::bind(fd_, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0) {
    const int saved = errno;
    ::close(fd_);
    errno = saved;
    Fail("bind " + address + ":" + std::to_string(port));
  }
  port_ = BoundPort(fd_);
}

UdpPeer::~UdpPeer() {
  if (fd_ >= 0) ::close(fd_);
}

void UdpPeer::SendTo(const std::vector<std::uint8_t>& bytes, const std::string& address,
                     std::uint16_t port) {
  const sockaddr_in to = Endpoint(address, port);
  if (::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to),
               sizeof to) < 0) {
    Fail("sendto");
  }
}

std::optional<PeerDatagram> UdpPeer::Receive(std::chrono::milliseconds limit) {
  pollfd waiting{fd_, POLLIN, 0};
  if (::poll(&waiting, 1, static_cast<int>(limit.count())) <= 0) return std::nullopt;
  std::vector<std::uint8_t> buffer(65536);
  sockaddr_in from{};
  socklen_t length = sizeof from;
  const ssize_t got = ::recvfrom(fd_, buffer.data(), buffer.size(), MSG_DONTWAIT,
                                 reinterpret_cast<sockaddr*>(&from), &length);
  if (got < 0) return std::nullopt;
  buffer.resize(static_cast<std::size_t>(got));
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
  return PeerDatagram{std::move(buffer), text, ntohs(from.sin_port)};
}

TcpListener::TcpListener(const std::string& address, std::uint16_t port, int backlog) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) Fail("socket");
  const int on = 1;
  ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  const sockaddr_in at = Endpoint(address, port);
  if (::bind(fd_, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0 ||
      ::listen(fd_, backlog) != 0) {
    const int saved = errno;
    ::close(fd_);
    errno = saved;
    Fail("listen " + address + ":" + std::to_string(port));
  }
  port_ = BoundPort(fd_);
}

TcpListener::~TcpListener() {
  if (fd_ >= 0) ::close(fd_);
}

std::uint16_t FreeUdpPort() {
  UdpPeer probe("127.0.0.1", 0);
  return probe.port();
}

}  // namespace ordalen::test
