// Watches a folder for files created in it (inotify), so a test can act the
// moment a program makes its first file there.
#pragma once

#include <chrono>
#include <filesystem>

namespace ordalen::test {

class FolderWatch {
 public:
  // Starts watching `folder`; check watching().
  explicit FolderWatch(const std::filesystem::path& folder);
  ~FolderWatch();
  FolderWatch(const FolderWatch&) = delete;
  FolderWatch& operator=(const FolderWatch&) = delete;

  [[nodiscard]] bool watching() const { return fd_ >= 0; }
  // Waits until something is created in the folder (or `limit` passes).
  bool WaitForCreation(std::chrono::milliseconds limit) const;

 private:
  int fd_ = -1;
};

}  // namespace ordalen::test
