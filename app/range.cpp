#include "app/range.h"

#include <cstdio>

#include "app/log.h"
#include "app/settings.h"
#include "platform/address_text.h"

namespace ordalen {

void SetJobId(const char* text) {
  ScanConfig().jobId = text ? text : "";
}

std::optional<RangeArgument> SplitScanRange(std::string_view range) {
  const auto hyphen = range.find('-');
  if (hyphen == std::string_view::npos || hyphen == 0) return std::nullopt;
  RangeArgument argument;
  argument.start_text = std::string(range.substr(0, hyphen));
  argument.end_text = std::string(range.substr(hyphen + 1));
  argument.start = ParseIpv4Text(argument.start_text);
  argument.end = ParseIpv4Text(argument.end_text);
  return argument;
}

bool ParseScanRange(const char* text) {
  if (!text) return true;
  const auto argument = SplitScanRange(text);
  if (!argument) return true;
  const std::string& start_text = argument->start_text;
  const std::string& end_text = argument->end_text;
  const auto& start = argument->start;
  const auto& end = argument->end;
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
