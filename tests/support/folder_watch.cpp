#include "support/folder_watch.h"

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

namespace ordalen::test {

FolderWatch::FolderWatch(const std::filesystem::path& folder)
    : fd_(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK)) {
  if (fd_ >= 0 && ::inotify_add_watch(fd_, folder.c_str(), IN_CREATE) < 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

FolderWatch::~FolderWatch() {
  if (fd_ >= 0) ::close(fd_);
}

bool FolderWatch::WaitForCreation(std::chrono::milliseconds limit) const {
  pollfd p{fd_, POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(limit.count())) <= 0) return false;
  alignas(inotify_event) char buf[4096];
  return ::read(fd_, buf, sizeof buf) > 0;
}

}  // namespace ordalen::test
