// The scan log and the small time helpers every layer shares.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ordalen {

// A log longer than this after a line is rotated; exactly this long is not.
inline constexpr std::int64_t kLogRotateBytes = 524288;
// Rotated logs kept; the oldest beyond this is deleted at each rotation.
inline constexpr std::size_t kRotatedLogsKept = 30;
// Attempts to get the log to ourselves, and the wait after each failed one.
inline constexpr int kLogOpenAttempts = 11;
inline constexpr std::chrono::milliseconds kLogRetryWait{100};

// Prepares the folders beside the executable (log, results) and writes the
// first log line. Runs once, first thing in both run modes.
void InitWorkingFolders();
// The same for an executable at `exe_path` (empty when unknown).
void InitWorkingFolders(const std::string& exe_path);

// The folder part of a path: everything before its last "/"; nullopt without one.
std::optional<std::string> FolderOf(std::string_view path);

// Appends one line to the scan log: "YYYY/mm/dd HH:MM:SS|", the job field when a
// job identifier is set, the message, CR LF. Safe from any thread and from
// several processes sharing the folder; never fails towards the caller.
void WriteLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

// strftime of `time` in local time (128-byte limit); empty on any failure.
std::string FormatTime(const char* format, std::int64_t time);

// Deletes the oldest rotated log when more than 30 exist.
void CleanupOldLogs();

}  // namespace ordalen
