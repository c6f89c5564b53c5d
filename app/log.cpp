#include "app/log.h"

#include <cstdarg>
#include <ctime>

namespace ordalen {

// Placeholder until the log module lands.
void InitWorkingFolders() {}
void WriteLog(const char* /*format*/, ...) {}
std::string FormatTime(const char* format, std::int64_t time) {
  if (!format) return {};
  std::time_t t = time;
  std::tm tm{};
  if (!localtime_r(&t, &tm)) return {};
  char buf[128];
  const std::size_t n = std::strftime(buf, sizeof buf, format, &tm);
  return n == 0 ? std::string() : std::string(buf, n);
}
void CleanupOldLogs() {}

}  // namespace ordalen
