#include "app/range.h"

#include <cstdio>
#include <string>
#include <string_view>

#include "app/log.h"
#include "app/settings.h"
#include "platform/address_text.h"

namespace ordalen {

void SetJobId(const char* text) {
  ScanConfig().jobId = text ? text : "";
}

bool ParseScanRange(const char* text) {
  if (!text) return true;
  const std::string_view range(text);
  const auto hyphen = range.find('-');
  if (hyphen == std::string_view::npos || hyphen == 0) return true;
  const std::string start_text(range.substr(0, hyphen));
  const std::string end_text(range.substr(hyphen + 1));
  const auto start = ParseIpv4Text(start_text);
  const auto end = ParseIpv4Text(end_text);
  WriteLog("Range: %s-%s", start_text.c_str(), end_text.c_str());
  if (!start || !end) {
    std::string bad;
    if (!start) bad = "\"" + start_text + "\"";
    if (!end) bad += (bad.empty() ? "\"" : " and \"") + end_text + "\"";
    const char* what = (!start && !end) ? "are not IPv4 addresses" : "is not an IPv4 address";
    WriteLog("Range error: %s %s; nothing is scanned", bad.c_str(), what);
    std::fprintf(stderr, "ordalen: bad range \"%s\": %s %s; nothing is scanned\n", text,
                 bad.c_str(), what);
    return false;
  }
  SCANCONFIG& config = ScanConfig();
  config.rangeStart = *start;
  config.rangeEnd = *end;
  return true;
}

}  // namespace ordalen
