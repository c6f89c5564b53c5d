#include "app/log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <shared_mutex>
#include <thread>

#include "app/settings.h"
#include "base/sort_string_array.h"
#include "base/text.h"
#include "platform/files.h"

namespace ordalen {
namespace {

// A writer that keeps finding the log renamed away under it gives up after this
// many fresh opens (each one means another writer just rotated it).
constexpr int kMaxReopens = 100;

constexpr std::string_view kRotatedPrefix = "ordalen_";

// One call is one line: a line break inside the message (a device's value, say)
// becomes a space, so nothing a peer sends can forge a line of its own.
std::string OneLine(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  return out;
}

// Said once per process on standard error: the log cannot be written at all.
void ReportUnwritableLog(const std::string& path, const OsError& error) {
  static std::atomic<bool> reported{false};
  if (reported.exchange(true)) return;
  std::fprintf(stderr, "ordalen: cannot write the log %s: %s\n", path.c_str(),
               SystemErrorText(error.code).c_str());
}

void MakeFolder(const std::string& path) {
  std::error_code ec;
  if (!std::filesystem::is_directory(path, ec)) std::filesystem::create_directory(path, ec);
}

// Held shared while a line is appended (and the log renamed); held for good by
// WriteLastLog. Never destroyed: a thread may still wait on it at exit.
std::shared_mutex& LineGate() {
  static auto* gate = new std::shared_mutex;  // NOLINT(cppcoreguidelines-owning-memory)
  return *gate;
}

// Closed by WriteLastLog before its line, so that the last line competes for
// the log only with lines already on their way: a line that comes later waits
// on `held`, which WriteLastLog holds until the process ends. Never destroyed.
struct LogClosing {
  std::atomic<bool> closed{false};
  std::mutex held;
};
LogClosing& ClosedLog() {
  static auto* closing = new LogClosing;  // NOLINT(cppcoreguidelines-owning-memory)
  return *closing;
}

// An override as an absolute folder without a trailing "/".
std::string AbsoluteFolder(const std::string& path) {
  std::error_code ec;
  std::string folder = std::filesystem::absolute(path, ec).lexically_normal().string();
  if (ec) folder = path;
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  return folder;
}

std::string EnvironmentValue(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::string(value) : std::string();
}

// What a line does with the line gate: takes it shared for its own append
// (every line), or for good (the process's last line: no line of another thread
// can follow it).
enum class GateUse { kShared, kForGood };

// One line of the scan log, stamped with `time`. False when the line is lost;
// the gate was then not taken.
bool AppendLogLine(std::int64_t time, std::string_view message, GateUse use = GateUse::kShared) {
  if (use == GateUse::kShared && ClosedLog().closed.load()) {
    ClosedLog().held.lock();  // NOLINT: never returns
  }
  const SCANCONFIG& config = ScanConfig();
  std::error_code ec;
  std::filesystem::create_directory(config.logDir, ec);

  std::string line = FormatTime("%Y/%m/%d %H:%M:%S|", time);
  if (!config.jobId.empty()) {
    line += OneLine(config.jobId);
    line += '|';
  }
  line += OneLine(message);
  line += "\r\n";

  const std::string path = config.logDir + "/ordalen.log";
  std::optional<LockedAppendFile> file;
  int failed = 0;
  int reopens = 0;
  for (;;) {
    OsError error;
    file = LockedAppendFile::TryOpen(path, &error);
    if (file) {
      if (file->IsNamed(path)) break;
      // Rotated away while we opened it: the line belongs in the fresh log.
      file.reset();
      if (++reopens == kMaxReopens) return false;
      continue;
    }
    // Waiting helps only while another writer holds the log. A log that cannot
    // be opened at all (its folder cannot be made, no right to write) would
    // cost every line the whole wait and turn a scan into a crawl: the line is
    // dropped at once.
    if (!IsLockHeld(error)) {
      ReportUnwritableLog(path, error);
      return false;
    }
    if (++failed == kLogOpenAttempts) return false;  // the line is dropped
    std::this_thread::sleep_for(kLogRetryWait);
  }

  bool rotated = false;
  {
    // Taken once the log is ours (every writer of this process opens it first),
    // so a line for good waits only for a line being appended.
    std::shared_lock gate(LineGate(), std::defer_lock);
    if (use == GateUse::kForGood) {
      LineGate().lock();  // NOLINT: released only by the end of the process
    } else {
      gate.lock();
    }
    file->Append(line, nullptr);
    if (file->Size() > kLogRotateBytes) {
      // Renamed while we still hold the lock, so a writer waiting for it finds
      // the name gone and starts the fresh log. An existing rotated log of the
      // same second is never replaced; this log then rotates on a later line.
      const std::string stamp = FormatTime("%Y%m%d_%H%M%S", std::time(nullptr));
      RenameNoReplace(path, config.logDir + "/ordalen_" + stamp + ".log", nullptr);
      rotated = true;
    }
  }
  file.reset();
  if (rotated) CleanupOldLogs();
  return true;
}

// The process's own streams; the log through AppendLogLine.
class ProcessStreams final : public OutputSink {
 public:
  void Log(std::int64_t time, std::string message) override { AppendLogLine(time, message); }
  void Console(std::string text) override { std::fwrite(text.data(), 1, text.size(), stdout); }
  void Error(std::string text) override { std::fwrite(text.data(), 1, text.size(), stderr); }
};

}  // namespace

FolderOverrides FolderOverridesFromEnvironment() {
  return {EnvironmentValue(kSettingsDirVariable), EnvironmentValue(kWorkDirVariable)};
}

const std::string& SettingsFolder() {
  const SCANCONFIG& config = ScanConfig();
  return config.settingsDir.empty() ? config.exeDir : config.settingsDir;
}

const std::string& WorkFolder() {
  const SCANCONFIG& config = ScanConfig();
  return config.workDir.empty() ? config.exeDir : config.workDir;
}

std::optional<std::string> FolderOf(std::string_view path) {
  const auto slash = path.rfind('/');
  if (slash == std::string_view::npos) return std::nullopt;
  return std::string(path.substr(0, slash));
}

void InitWorkingFolders() {
  InitWorkingFolders(ExecutablePath(), FolderOverridesFromEnvironment());
}

ProgramFolders ResolveFolders(const std::string& exe_path, const FolderOverrides& overrides) {
  ProgramFolders folders;
  const std::optional<std::string> exe_folder = FolderOf(exe_path);
  if (exe_folder) folders.exe = *exe_folder;
  folders.settings = overrides.settings.empty() ? folders.exe : AbsoluteFolder(overrides.settings);
  folders.work = overrides.work.empty() ? exe_folder : AbsoluteFolder(overrides.work);
  return folders;
}

void InitWorkingFolders(const std::string& exe_path, const FolderOverrides& overrides) {
  SCANCONFIG& config = ScanConfig();
  const ProgramFolders folders = ResolveFolders(exe_path, overrides);
  config.logDir = std::string(1, '.');
  config.exeDir = folders.exe;
  config.settingsDir = folders.settings;
  if (folders.work) {
    if (!overrides.work.empty()) MakeFolder(*folders.work);
    config.workDir = *folders.work;
    config.logDir = Format("%s/OrdalenLog", folders.work->c_str());
    MakeFolder(config.logDir);
    config.outputDir = Format("%s/Ordalen", folders.work->c_str());
    MakeFolder(config.outputDir);
  }
  WriteLog("Start-----------");
  if (!overrides.settings.empty() || !overrides.work.empty()) {
    WriteLog("Folders: settings %s, work %s", SettingsFolder().c_str(), WorkFolder().c_str());
  }
  config.jobId.clear();
}

void WriteLog(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string message = FormatV(format, args);
  va_end(args);
  AppendLogLine(std::time(nullptr), message);
}

void LogTo(OutputSink& out, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string message = FormatV(format, args);
  va_end(args);
  out.Log(std::time(nullptr), std::move(message));
}

OutputSink& ProcessOutput() {
  static ProcessStreams streams;
  return streams;
}

void HeldOutput::Log(std::int64_t time, std::string message) {
  Hold(Stream::kLog, time, std::move(message));
}

void HeldOutput::Console(std::string text) {
  Hold(Stream::kConsole, 0, std::move(text));
}

void HeldOutput::Error(std::string text) {
  Hold(Stream::kError, 0, std::move(text));
}

void HeldOutput::Hold(Stream stream, std::int64_t time, std::string text) {
  const std::lock_guard lock(mutex_);
  lines_.push_back(Line{stream, time, std::move(text)});
}

void HeldOutput::ReplayInto(OutputSink& out) {
  std::vector<Line> lines;
  {
    const std::lock_guard lock(mutex_);
    lines.swap(lines_);
  }
  for (Line& line : lines) {
    switch (line.stream) {
      case Stream::kLog:
        out.Log(line.time, std::move(line.text));
        break;
      case Stream::kConsole:
        out.Console(std::move(line.text));
        break;
      case Stream::kError:
        out.Error(std::move(line.text));
        break;
    }
  }
}

std::string FormatTime(const char* format, std::int64_t time) {
  if (!format) return {};
  const std::time_t t = static_cast<std::time_t>(time);
  std::tm tm{};
  if (!localtime_r(&t, &tm)) return {};
  char buf[128];
  const std::size_t n = std::strftime(buf, sizeof buf, format, &tm);
  return n == 0 ? std::string() : std::string(buf, n);
}

void WriteLastLog(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string message = FormatV(format, args);
  va_end(args);
  ClosedLog().held.lock();  // NOLINT: released only by the end of the process
  ClosedLog().closed.store(true);
  if (!AppendLogLine(std::time(nullptr), message, GateUse::kForGood)) {
    LineGate().lock();  // NOLINT: released only by the end of the process
  }
}

void CleanupOldLogs() {
  namespace fs = std::filesystem;
  const std::string& dir = ScanConfig().logDir;
  CSortStringArray names;
  std::error_code ec;
  for (auto it = fs::directory_iterator(dir, ec); !ec && it != fs::directory_iterator();
       it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (!StartsWith(name, kRotatedPrefix)) continue;
    std::error_code type_ec;
    if (it->is_directory(type_ec)) continue;
    names.push_back(name);
  }
  if (names.size() <= kRotatedLogsKept) return;
  names.Sort();
  fs::remove(dir + "/" + names.front(), ec);
}

}  // namespace ordalen
