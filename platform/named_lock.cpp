#include "platform/named_lock.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>

namespace ordalen {

std::optional<NamedLock> NamedLock::Open(const std::string& name, OsError* error,
                                         const std::string& folder) {
  const std::string path = folder + "/" + name;
  // Read-only first: with fs.protected_regular an O_CREAT open of another user's
  // file in a sticky folder fails even for root, and flock needs no write access.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT) {
    fd = ::open(path.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0 && errno == EEXIST) fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  }
  if (fd < 0) {
    if (error) *error = MakeOsError(OsErrorKind::kOpen, "open " + path, errno);
    return std::nullopt;
  }
  return NamedLock(UniqueFd(fd));
}

bool NamedLock::Acquire(OsError* error) {
  while (::flock(fd_.get(), LOCK_EX) != 0) {
    if (errno == EINTR) continue;
    if (error) *error = MakeOsError(OsErrorKind::kLock, "flock", errno);
    return false;
  }
  return true;
}

void NamedLock::Release() {
  ::flock(fd_.get(), LOCK_UN);
}

}  // namespace ordalen
