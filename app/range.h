// The command line's job identifier and address range.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ordalen {

// The range argument split at its first hyphen, and each side converted.
struct RangeArgument {
  std::string start_text;
  std::string end_text;
  std::optional<std::uint32_t> start;  // host byte order; nullopt: not an IPv4 address
  std::optional<std::uint32_t> end;
};

// "START-END" as ParseScanRange reads it; nullopt when the text has no hyphen or
// starts with one. Pure.
std::optional<RangeArgument> SplitScanRange(std::string_view text);

// Stores the job identifier (null stores the empty one).
void SetJobId(const char* text);

// Sets rangeStart/rangeEnd from "START-END" (split at the first hyphen) and logs
// "Range: %s-%s". Text without a hyphen, or starting with one, sets nothing and
// returns true. A bound that is not an IPv4 address refuses the whole range:
// nothing is stored, the bad text is named on standard error and in the log, and
// the result is false (the caller scans nothing). A start above the end is legal.
bool ParseScanRange(const char* text);

}  // namespace ordalen
