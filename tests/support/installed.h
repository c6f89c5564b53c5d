// A copy of the built program in a temporary folder of its own, as an
// installation is: its files beside it, run there on loopback.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "support/process.h"

namespace ordalen::test {

class Installed {
 public:
  using Lines = std::vector<std::string>;
  static constexpr std::chrono::seconds kRunLimit{120};

  Installed();
  std::filesystem::path exe() const { return dir_.path() / "ordalen"; }
  const std::filesystem::path& dir() const { return dir_.path(); }
  void Write(const std::string& name, const std::string& bytes) const { dir_.Write(name, bytes); }

  // Runs the copy with `args` in its folder; `prefix` words come before it
  // (another user, say).
  ProcessResult Run(const Lines& args = {}, Lines prefix = {}) const;
  // Runs a shell script in the folder.
  ProcessResult Shell(const std::string& script) const;

  std::filesystem::path LogFile() const { return dir_.path() / "OrdalenLog" / "ordalen.log"; }
  // The log's messages, without time stamps and line ends.
  Lines Log() const;
  // The names in the result folder, sorted.
  Lines Results() const;
  // The paths in the result folder.
  std::vector<std::filesystem::path> ResultFiles() const;

 private:
  TempDir dir_;
};

}  // namespace ordalen::test
