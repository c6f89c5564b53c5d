// The file operations the log and the result file need beyond the C++ library:
// the program's own path, appending under an advisory lock shared by threads and
// processes, renaming without replacing, and files published whole.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/os_error.h"
#include "platform/unique_fd.h"

namespace ordalen {

// Full path of the running executable; empty when it cannot be read.
std::string ExecutablePath();

// The whole content of the regular file at `path`; nullopt (and the reason in
// `error`) when it cannot be opened or read, or is not a regular file.
std::optional<std::string> ReadWholeFile(const std::string& path, OsError* error);

// A file opened for appending and held under an exclusive advisory lock (flock)
// until it is destroyed. Writers that take the lock before writing never mix
// their bytes, whether they are threads of one process or separate processes.
class LockedAppendFile {
 public:
  // Opens `path` for appending (created with mode 0666 less the umask when
  // missing) and tries once to take the lock, without waiting. Nullopt when the
  // file cannot be opened or locked; IsLockHeld(*error) when another opener
  // holds the lock.
  static std::optional<LockedAppendFile> TryOpen(const std::string& path, OsError* error);

  // Appends all of `bytes` at the end of the file.
  bool Append(std::string_view bytes, OsError* error);
  // Current length of the file; -1 when it cannot be read.
  [[nodiscard]] std::int64_t Size() const;
  // Whether `path` still names this file (a writer may have renamed it away
  // while we waited for the lock).
  [[nodiscard]] bool IsNamed(const std::string& path) const;

 private:
  explicit LockedAppendFile(UniqueFd fd) : fd_(std::move(fd)) {}
  UniqueFd fd_;
};

// Whether TryOpen failed only because another opener holds the lock.
bool IsLockHeld(const OsError& error);

// Renames `from` to `to` unless `to` exists; false (nothing changed) otherwise,
// EEXIST in `error` when `to` exists.
bool RenameNoReplace(const std::string& from, const std::string& to, OsError* error);

// A new file written in full and then closed: nothing else opens it meanwhile.
class NewFile {
 public:
  // Creates `path` (it must not exist) for writing, mode 0666 less the umask.
  static std::optional<NewFile> Create(const std::string& path, OsError* error);
  // Creates a new hidden file in `folder` whose name starts with "." and `stem`
  // and is unique to this process.
  static std::optional<NewFile> CreateTemporary(const std::string& folder, const std::string& stem,
                                                OsError* error);

  [[nodiscard]] const std::string& path() const { return path_; }

  bool Write(std::string_view bytes, OsError* error);
  // Flushes the data to the disk and closes the file.
  bool Finish(OsError* error);

 private:
  NewFile(UniqueFd fd, std::string path) : fd_(std::move(fd)), path_(std::move(path)) {}
  UniqueFd fd_;
  std::string path_;
};

// Renames `from` to `to`, replacing `to` in one step.
bool RenameReplace(const std::string& from, const std::string& to, OsError* error);

}  // namespace ordalen
