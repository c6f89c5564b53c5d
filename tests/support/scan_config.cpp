#include "support/scan_config.h"

#include <cstdlib>
#include <ctime>

#include "app/settings.h"
#include "engine/result_store.h"
#include "output/xml_result.h"
#include "support/process.h"

namespace ordalen::test {
namespace {

void Reset() {
  ScanConfig() = SCANCONFIG();
  ClearHosts();
  ResultFilePath().clear();
}

}  // namespace

ScopedScanConfig::ScopedScanConfig(const std::filesystem::path& folder) {
  Reset();
  ScanConfig().logDir = folder.string();
  ScanConfig().outputDir = folder.string();
  ScanConfig().exeDir = folder.string();
}

ScopedScanConfig::~ScopedScanConfig() {
  Reset();
}

std::vector<std::string> LogLines(const std::filesystem::path& file) {
  const std::string text = ReadFile(file);
  std::vector<std::string> lines;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t end = text.find("\r\n", pos);
    if (end == std::string::npos) {
      lines.push_back("<torn>" + text.substr(pos));
      break;
    }
    lines.push_back(text.substr(pos, end - pos));
    pos = end + 2;
  }
  return lines;
}

std::vector<std::string> LogMessages(const std::filesystem::path& file) {
  std::vector<std::string> messages;
  constexpr std::size_t kStamp = 20;  // "YYYY/mm/dd HH:MM:SS|"
  for (const auto& line : LogLines(file)) {
    messages.push_back(line.size() >= kStamp && line[kStamp - 1] == '|' ? line.substr(kStamp)
                                                                        : "<bad stamp>" + line);
  }
  return messages;
}

bool HasShape(std::string_view text, std::string_view pattern) {
  if (text.size() != pattern.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool digit = text[i] >= '0' && text[i] <= '9';
    if (pattern[i] == '9' ? !digit : text[i] != pattern[i]) return false;
  }
  return true;
}

ScopedTimeZone::ScopedTimeZone(const char* tz) {
  if (const char* old = std::getenv("TZ")) {
    saved_ = old;
    had_ = true;
  }
  setenv("TZ", tz, 1);
  tzset();
}

ScopedTimeZone::~ScopedTimeZone() {
  if (had_) {
    setenv("TZ", saved_.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
}

}  // namespace ordalen::test
