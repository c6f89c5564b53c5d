#include "platform/probe_wait.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <vector>

#include "platform/deadline.h"

namespace ordalen {

bool WaitForSockets(std::span<const int> fds, ProbeClock::time_point until, std::span<bool> ready,
                    OsError* error) {
  assert(ready.size() >= fds.size());
  std::vector<pollfd> p(fds.size());
  for (std::size_t i = 0; i < fds.size(); ++i) p[i] = pollfd{fds[i], POLLIN, 0};
  std::fill(ready.begin(), ready.end(), false);
  for (;;) {
    const int rc = ::poll(p.data(), fds.size(), MillisecondsLeft(until));
    if (rc < 0) {
      if (errno == EINTR) continue;
      if (error) *error = MakeOsError(OsErrorKind::kWait, "poll", errno);
      return false;
    }
    for (std::size_t i = 0; i < fds.size(); ++i) ready[i] = p[i].revents != 0;
    return true;
  }
}

void EnlargeReceiveBuffer(int fd, int bytes) {
  if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) == 0) return;
  ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}

bool IsTransientSendError(int code) {
  return code == ENOBUFS || code == EAGAIN || code == EWOULDBLOCK;
}

}  // namespace ordalen
