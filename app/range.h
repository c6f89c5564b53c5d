// The command line's job identifier and address range.
#pragma once

namespace ordalen {

// Stores the job identifier (null stores the empty one).
void SetJobId(const char* text);

// Sets rangeStart/rangeEnd from "START-END" (split at the first hyphen) and logs
// "Range: %s-%s". Text without a hyphen, or starting with one, sets nothing and
// returns true. A bound that is not an IPv4 address refuses the whole range:
// nothing is stored, the bad text is named on standard error and in the log, and
// the result is false (the caller scans nothing). A start above the end is legal.
bool ParseScanRange(const char* text);

}  // namespace ordalen
