// The scan log and the small time helpers every layer shares.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ordalen {

// A log longer than this after a line is rotated; exactly this long is not.
inline constexpr std::int64_t kLogRotateBytes = 524288;
// Rotated logs kept; the oldest beyond this is deleted at each rotation.
inline constexpr std::size_t kRotatedLogsKept = 30;
// Attempts to get the log to ourselves, and the wait after each failed one.
inline constexpr int kLogOpenAttempts = 11;
inline constexpr std::chrono::milliseconds kLogRetryWait{100};

// The environment variables that move the program's folders away from its own:
// the settings folder ("config.ini", "accounts.csv", "targetMIB.xml" and the
// SNMP library's configuration) and the working folder (the log, the results and
// the SNMP library's state). Unset or empty: the executable's folder, so a
// copied folder with the program inside keeps working beside it.
inline constexpr const char* kSettingsDirVariable = "ORDALEN_SETTINGS_DIR";
inline constexpr const char* kWorkDirVariable = "ORDALEN_WORK_DIR";

// Folders named instead of the executable's; empty: not overridden.
struct FolderOverrides {
  std::string settings;
  std::string work;
};
FolderOverrides FolderOverridesFromEnvironment();

// The program's folders for an executable at `exe_path` and the overrides,
// made absolute; nothing is created. Empty where unknown.
struct ProgramFolders {
  std::string exe;
  std::string settings;
  std::optional<std::string> work;  // nullopt: no working folder (the log goes to ".")
};
ProgramFolders ResolveFolders(const std::string& exe_path, const FolderOverrides& overrides);

// Prepares the folders (log, results) in the working folder and writes the
// first log line. Runs once, first thing in both run modes; the folders come
// from the executable's path and the environment.
void InitWorkingFolders();
// The same for an executable at `exe_path` (empty when unknown). A relative
// override is taken from the current folder; a working folder that is named
// but missing is created (one level), as its log and result folders are.
void InitWorkingFolders(const std::string& exe_path, const FolderOverrides& overrides = {});

// The folder the settings files are read from, and the working folder:
// settingsDir and workDir of the settings, exeDir where those are empty.
const std::string& SettingsFolder();
const std::string& WorkFolder();

// The folder part of a path: everything before its last "/"; nullopt without one.
std::optional<std::string> FolderOf(std::string_view path);

// Appends one line to the scan log: "YYYY/mm/dd HH:MM:SS|", the job field when a
// job identifier is set, the message, CR LF. Safe from any thread and from
// several processes sharing the folder; never fails towards the caller. A log
// held by another writer is waited for (kLogOpenAttempts tries, kLogRetryWait
// apart); a log that cannot be opened at all loses the line at once, and the
// first such loss is named on standard error.
void WriteLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Where a piece of work sends its lines: the scan log, standard output (the
// console) and standard error. ProcessOutput() writes them at once; a
// HeldOutput keeps them back for their turn, or for never.
class OutputSink {
 public:
  virtual ~OutputSink() = default;
  // One scan-log message (no stamp, no line end), to be stamped with `time`
  // (seconds since 1970: when it happened, not when it is written).
  virtual void Log(std::int64_t time, std::string message) = 0;
  // Text for standard output, or for standard error, exactly as it stands.
  virtual void Console(std::string text) = 0;
  virtual void Error(std::string text) = 0;
};

// The scan log (as WriteLog writes it) and the process's own streams.
OutputSink& ProcessOutput();

// Formats a message by printf rules and hands it to `out` as a log line of now.
void LogTo(OutputSink& out, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Keeps every line handed to it, in the order it came, until ReplayInto hands
// them on. Lines may be added from any thread; one HeldOutput serves one piece
// of work, so lines of different work never mix. Dropped with it when never
// replayed.
class HeldOutput final : public OutputSink {
 public:
  void Log(std::int64_t time, std::string message) override;
  void Console(std::string text) override;
  void Error(std::string text) override;
  // Hands every held line to `out`, in order, log lines with their own stamps;
  // holds nothing afterwards.
  void ReplayInto(OutputSink& out);

 private:
  enum class Stream { kLog, kConsole, kError };
  struct Line {
    Stream stream;
    std::int64_t time;
    std::string text;
  };
  void Hold(Stream stream, std::int64_t time, std::string text);
  std::mutex mutex_;
  std::vector<Line> lines_;
};

// strftime of `time` in local time (128-byte limit); empty on any failure.
std::string FormatTime(const char* format, std::int64_t time);

// Deletes the oldest rotated log when more than 30 exist.
void CleanupOldLogs();

// The last line of a process about to end at once (_exit) from one thread while
// others may still log: written as WriteLog writes a line, once no other thread
// is in the middle of one, and every later line of any thread is held back for
// good (its thread waits until the process ends), so the log ends in this line,
// whole. Called once; never returns the log to use (also when the line itself
// is lost).
void WriteLastLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace ordalen
