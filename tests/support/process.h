// Test helpers: temporary folders and child processes with a time limit.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace ordalen::test {

// A fresh folder under $TMPDIR (or /tmp), removed with everything in it at the end.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  [[nodiscard]] const std::filesystem::path& path() const { return path_; }
  // Writes `content` (bytes as given) to path()/name and returns the full path.
  std::filesystem::path Write(const std::string& name, const std::string& content) const;

 private:
  std::filesystem::path path_;
};

struct ProcessResult {
  int exit_code = -1;      // exit status, or 128 + signal
  bool timed_out = false;  // killed (SIGKILL) at the time limit
  std::string out;
  std::string err;
};

// Runs argv[0] (PATH searched) with argv, in `cwd` when not empty, and waits for
// it at most `limit`; a child past the limit is killed by its PID.
ProcessResult RunProcess(const std::vector<std::string>& argv, std::chrono::milliseconds limit,
                         const std::string& cwd = {}, const std::string& input = {});

std::string ReadFile(const std::filesystem::path& path);

// Path of the built program, from the ORDALEN_BINARY environment variable (set by ctest).
std::string OrdalenBinary();

}  // namespace ordalen::test
