// A machine-wide named lock that every user's instance can take: an exclusive
// flock on a file of that name in the lock folder. A holder that dies releases it.
#pragma once

#include <optional>
#include <string>

#include "platform/os_error.h"
#include "platform/unique_fd.h"

namespace ordalen {

inline constexpr const char* kLockFolder = "/run/lock";

class NamedLock {
 public:
  // Opens (creating it mode 0644 when missing) "<folder>/<name>".
  static std::optional<NamedLock> Open(const std::string& name, OsError* error,
                                       const std::string& folder = kLockFolder);

  // Blocks until no other holder owns the lock, takes it.
  bool Acquire(OsError* error);
  void Release();

 private:
  explicit NamedLock(UniqueFd fd) : fd_(std::move(fd)) {}
  UniqueFd fd_;
};

}  // namespace ordalen
