// The scan thread: the phases of one scan in their fixed order, then the result file.
#pragma once

namespace ordalen {

inline constexpr const char* kShareMutexName = "SearchList Share Mutex";

// Runs one whole scan.
void ScanDriver();

}  // namespace ordalen
