#include "platform/tcp_connect.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

#include "platform/deadline.h"
#include "platform/unique_fd.h"

namespace ordalen {

bool ConnectProbe(std::uint32_t address, std::uint32_t port, std::chrono::milliseconds timeout) {
  if (port == 0 || port > 65535) return false;
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd) return false;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(address);
  to.sin_port = htons(static_cast<std::uint16_t>(port));
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) return true;
  if (errno != EINPROGRESS && errno != EINTR) return false;

  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const int left = MillisecondsLeft(deadline);
    if (left == 0) return false;
    pollfd waiting{fd.get(), POLLOUT, 0};
    const int ready = ::poll(&waiting, 1, left);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (ready == 0) return false;
    break;
  }
  int outcome = 0;
  socklen_t length = sizeof outcome;
  if (::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &outcome, &length) != 0) return false;
  return outcome == 0;
}

}  // namespace ordalen
