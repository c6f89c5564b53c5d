// The scan log and the small time helpers every layer shares.
#pragma once

#include <cstdint>
#include <string>

namespace ordalen {

// Prepares the folders beside the executable (log, results) and writes the
// first log line. Runs once, first thing in both run modes.
void InitWorkingFolders();

// Appends one line to the scan log: "YYYY/mm/dd HH:MM:SS|", the job field when a
// job identifier is set, the message, CR LF. Safe from any thread and from
// several processes sharing the folder; never fails towards the caller.
void WriteLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

// strftime of `time` in local time (128-byte limit); empty on any failure.
std::string FormatTime(const char* format, std::int64_t time);

// Deletes the oldest rotated log when more than 30 exist.
void CleanupOldLogs();

}  // namespace ordalen
