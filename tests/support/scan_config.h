// Test helpers for the settings, the scan log and the result store.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace ordalen::test {

// Fresh settings (and an empty result store and result path) for one test, with
// the log and output folders pointed at `folder`; the same again at the end.
class ScopedScanConfig {
 public:
  explicit ScopedScanConfig(const std::filesystem::path& folder);
  ~ScopedScanConfig();
  ScopedScanConfig(const ScopedScanConfig&) = delete;
  ScopedScanConfig& operator=(const ScopedScanConfig&) = delete;
};

// The lines of a log file, each without its CR LF; a line that does not end in
// CR LF (a torn line) is returned with "<torn>" prepended.
std::vector<std::string> LogLines(const std::filesystem::path& file);

// The messages of the log lines: what follows the "YYYY/mm/dd HH:MM:SS|" stamp.
std::vector<std::string> LogMessages(const std::filesystem::path& file);

// Whether `text` has the shape of `pattern`, where "9" stands for any decimal
// digit and every other byte for itself ("9999/99/99" for a date).
bool HasShape(std::string_view text, std::string_view pattern);

// Local time zone of the process set to `tz` (e.g. "UTC") for one test.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* tz);
  ~ScopedTimeZone();
  ScopedTimeZone(const ScopedTimeZone&) = delete;
  ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

 private:
  std::string saved_;
  bool had_ = false;
};

}  // namespace ordalen::test
