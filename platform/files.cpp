#include "platform/files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

namespace ordalen {
namespace {

constexpr mode_t kNewFileMode = 0666;

bool WriteAll(int fd, std::string_view bytes, OsError* error) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      if (error) *error = MakeOsError(OsErrorKind::kWrite, "write", errno);
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace

std::string ExecutablePath() {
  std::vector<char> buf(4096);
  for (;;) {
    const ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
    if (n < 0) return {};
    if (static_cast<std::size_t>(n) < buf.size())
      return std::string(buf.data(), static_cast<std::size_t>(n));
    if (buf.size() >= 1 << 20) return {};
    buf.resize(buf.size() * 2);
  }
}

std::optional<std::string> ReadWholeFile(const std::string& path, OsError* error) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) {
    if (error) *error = MakeOsError(OsErrorKind::kOpen, "open " + path, errno);
    return std::nullopt;
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) {
    if (error) *error = MakeOsError(OsErrorKind::kRead, "fstat " + path, errno);
    return std::nullopt;
  }
  if (!S_ISREG(st.st_mode)) {
    if (error)
      *error =
          MakeOsError(OsErrorKind::kRead, "read " + path, S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
    return std::nullopt;
  }
  std::string content;
  content.reserve(static_cast<std::size_t>(st.st_size));
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n == 0) return content;
    if (n < 0) {
      if (errno == EINTR) continue;
      if (error) *error = MakeOsError(OsErrorKind::kRead, "read " + path, errno);
      return std::nullopt;
    }
    content.append(buf, static_cast<std::size_t>(n));
  }
}

std::optional<LockedAppendFile> LockedAppendFile::TryOpen(const std::string& path, OsError* error) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, kNewFileMode));
  if (!fd) {
    if (error) *error = MakeOsError(OsErrorKind::kOpen, "open " + path, errno);
    return std::nullopt;
  }
  while (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    if (error) *error = MakeOsError(OsErrorKind::kLock, "flock " + path, errno);
    return std::nullopt;
  }
  return LockedAppendFile(std::move(fd));
}

bool LockedAppendFile::Append(std::string_view bytes, OsError* error) {
  return WriteAll(fd_.get(), bytes, error);
}

std::int64_t LockedAppendFile::Size() const {
  struct stat st {};
  if (::fstat(fd_.get(), &st) != 0) return -1;
  return static_cast<std::int64_t>(st.st_size);
}

bool LockedAppendFile::IsNamed(const std::string& path) const {
  struct stat mine {};
  struct stat named {};
  if (::fstat(fd_.get(), &mine) != 0 || ::stat(path.c_str(), &named) != 0) return false;
  return mine.st_dev == named.st_dev && mine.st_ino == named.st_ino;
}

bool IsLockHeld(const OsError& error) {
  return error.kind == OsErrorKind::kLock && error.code == EWOULDBLOCK;
}

bool RenameNoReplace(const std::string& from, const std::string& to, OsError* error) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  // A file system without the flag: a hard link fails when the name is taken.
  if ((errno == EINVAL || errno == ENOSYS) && ::link(from.c_str(), to.c_str()) == 0) {
    ::unlink(from.c_str());
    return true;
  }
  if (error) *error = MakeOsError(OsErrorKind::kRename, "rename " + from + " to " + to, errno);
  return false;
}

std::optional<NewFile> NewFile::Create(const std::string& path, OsError* error) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kNewFileMode));
  if (!fd) {
    if (error) *error = MakeOsError(OsErrorKind::kOpen, "create " + path, errno);
    return std::nullopt;
  }
  return NewFile(std::move(fd), path);
}

std::optional<NewFile> NewFile::CreateTemporary(const std::string& folder, const std::string& stem,
                                                OsError* error) {
  constexpr int kTries = 100;
  OsError failed;
  for (int i = 0; i < kTries; ++i) {
    std::string path = folder;
    path += "/.";
    path += stem;
    path += "." + std::to_string(::getpid()) + "-" + std::to_string(i) + ".tmp";
    auto file = Create(path, &failed);
    if (file) return file;
    if (failed.code != EEXIST) break;
  }
  if (error) *error = std::move(failed);
  return std::nullopt;
}

bool NewFile::Write(std::string_view bytes, OsError* error) {
  return WriteAll(fd_.get(), bytes, error);
}

bool NewFile::Finish(OsError* error) {
  if (::fsync(fd_.get()) != 0 && errno != EINVAL && errno != EROFS) {
    if (error) *error = MakeOsError(OsErrorKind::kSync, "fsync " + path_, errno);
    return false;
  }
  const int fd = fd_.release();
  if (::close(fd) != 0 && errno != EINTR) {
    if (error) *error = MakeOsError(OsErrorKind::kClose, "close " + path_, errno);
    return false;
  }
  return true;
}

bool RenameReplace(const std::string& from, const std::string& to, OsError* error) {
  if (::rename(from.c_str(), to.c_str()) == 0) return true;
  if (error) *error = MakeOsError(OsErrorKind::kRename, "rename " + from + " to " + to, errno);
  return false;
}

}  // namespace ordalen
