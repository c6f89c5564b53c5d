// The command line's job identifier and address range.
#pragma once

namespace ordalen {

void SetJobId(const char* text);

// Sets rangeStart/rangeEnd from "START-END" and logs "Range: %s-%s". Text without
// a hyphen (or starting with one) sets nothing and returns true. A bound that is
// not an IPv4 address refuses the range: message on stderr and in the log, false.
bool ParseScanRange(const char* text);

}  // namespace ordalen
