#include "platform/socket_filter.h"

#include <sys/socket.h>

#include <cerrno>

namespace ordalen {

bool AttachSocketFilter(int fd, std::span<sock_filter> code, OsError* error) {
  sock_fprog program{static_cast<unsigned short>(code.size()), code.data()};
  if (::setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) == 0) return true;
  if (error)
    *error = MakeOsError(OsErrorKind::kSocketOption, "setsockopt(SO_ATTACH_FILTER)", errno);
  return false;
}

}  // namespace ordalen
