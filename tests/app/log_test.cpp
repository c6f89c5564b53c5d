#include "app/log.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "app/settings.h"
#include "support/process.h"
#include "support/scan_checks.h"
#include "support/scan_config.h"

namespace ordalen {
namespace {

namespace fs = std::filesystem;
using test::LogMessages;
using test::TempDir;

constexpr std::size_t kStampLength = 20;  // "YYYY/mm/dd HH:MM:SS|"

class LogTest : public ::testing::Test {
 protected:
  fs::path LogFile() const { return dir_.path() / "ordalen.log"; }
  std::vector<fs::path> Rotated() const {
    std::vector<fs::path> out;
    for (const auto& e : fs::directory_iterator(dir_.path())) {
      if (e.path().filename().string().starts_with("ordalen_")) out.push_back(e.path());
    }
    return out;
  }
  // A file of `bytes` bytes ending in CR LF (one line that is not a log line).
  void Fill(const fs::path& file, std::size_t bytes) const {
    std::ofstream out(file, std::ios::binary);
    if (bytes < 2) {
      out << std::string(bytes, 'f');
    } else {
      out << std::string(bytes - 2, 'f') << "\r\n";
    }
  }

  TempDir dir_;
  test::ScopedScanConfig config_{dir_.path()};
};

TEST_F(LogTest, LineIsStampJobFieldMessageAndCrLf) {
  struct Case {
    const char* job;
    const char* argument;
    std::string message;
  } cases[] = {
      {"", "plain", "plain"},
      {"7", "plain", "7|plain"},
      {"", "100%d %s %%", "100%d %s %%"},  // an argument is written as it is
      // A line break inside a message never starts a line of its own.
      {"", "two\nlines", "two lines"},
      {"", "forged\r\n2026/12/08 00:00:00|End-----------",
       "forged  2026/12/08 00:00:00|End-----------"},
  };
  for (const auto& c : cases) {
    fs::remove(LogFile());
    ScanConfig().jobId = c.job;
    const auto before = std::time(nullptr);
    WriteLog("%s", c.argument);
    const auto after = std::time(nullptr);
    const std::string text = test::ReadFile(LogFile());
    ASSERT_GE(text.size(), kStampLength) << c.argument;
    EXPECT_EQ(text.substr(kStampLength), c.message + "\r\n");
    EXPECT_TRUE(test::HasShape(text.substr(0, kStampLength), "9999/99/99 99:99:99|")) << text;
    const std::string stamp_text = text.substr(0, kStampLength);
    EXPECT_TRUE(stamp_text == FormatTime("%Y/%m/%d %H:%M:%S|", before) ||
                stamp_text == FormatTime("%Y/%m/%d %H:%M:%S|", after))
        << stamp_text;
  }
}

// Held lines come out in the order they went in, each log line with the stamp
// of when it happened; the job field is the one in effect when they are written.
TEST_F(LogTest, HeldLinesComeOutInTheirOrderWithTheirOwnStamps) {
  test::ScopedTimeZone utc("UTC");
  ScanConfig().jobId = "7";
  HeldOutput held;
  held.Log(1796601600, "first");  // 2026/12/07 00:00:00
  held.Error("error one\n");
  held.Console("console\n");
  LogTo(held, "second %d", 2);
  held.Error("error two\n");
  held.Log(1796601661, "third");
  EXPECT_FALSE(fs::exists(LogFile()));

  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  held.ReplayInto(ProcessOutput());
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "console\n");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "error one\nerror two\n");
  const auto lines = test::LogLines(LogFile());
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "2026/12/07 00:00:00|7|first");
  EXPECT_EQ(lines[1].substr(kStampLength), "7|second 2");
  EXPECT_EQ(lines[2], "2026/12/07 00:01:01|7|third");
  // Replayed once: nothing is held any more.
  held.ReplayInto(ProcessOutput());
  EXPECT_EQ(test::LogLines(LogFile()).size(), 3u);
}

TEST_F(LogTest, RotatesOnlyWhenLongerThanTheLimit) {
  const std::size_t line = kStampLength + 1 + 2;  // stamp, "x", CR LF
  struct Case {
    std::int64_t size_after;
    bool rotated;
  } cases[] = {{kLogRotateBytes - 1, false}, {kLogRotateBytes, false}, {kLogRotateBytes + 1, true}};
  for (const auto& c : cases) {
    for (const auto& f : Rotated()) fs::remove(f);
    Fill(LogFile(), static_cast<std::size_t>(c.size_after) - line);
    WriteLog("x");
    const auto rotated = Rotated();
    if (!c.rotated) {
      EXPECT_EQ(fs::file_size(LogFile()), static_cast<std::uintmax_t>(c.size_after));
      EXPECT_TRUE(rotated.empty());
      continue;
    }
    EXPECT_FALSE(fs::exists(LogFile()));
    ASSERT_EQ(rotated.size(), 1u);
    EXPECT_TRUE(test::HasShape(rotated[0].filename().string(), "ordalen_99999999_999999.log"));
    EXPECT_EQ(fs::file_size(rotated[0]), static_cast<std::uintmax_t>(c.size_after));
    WriteLog("fresh");  // the next line starts a new log
    EXPECT_EQ(LogMessages(LogFile()), std::vector<std::string>{"fresh"});
  }
}

TEST_F(LogTest, PruningDeletesTheFirstNameIgnoringCaseAndNeverADirectory) {
  struct Case {
    int older_files;  // besides "ordalen_0Z.log" and "ordalen_0a.log"
    bool pruned;
  } cases[] = {{27, false}, {28, true}};
  for (const auto& c : cases) {
    for (const auto& f : Rotated()) fs::remove_all(f);
    // A directory that would sort first if it were counted.
    fs::create_directory(dir_.path() / "ordalen_00");
    Fill(dir_.path() / "ordalen_0Z.log", 1);
    Fill(dir_.path() / "ordalen_0a.log", 1);
    for (int i = 0; i < c.older_files; ++i) {
      Fill(dir_.path() / ("ordalen_2020010" + std::to_string(i % 9 + 1) + "_0000" +
                          std::to_string(10 + i) + ".log"),
           1);
    }
    Fill(LogFile(), static_cast<std::size_t>(kLogRotateBytes));
    WriteLog("x");  // rotation adds one more rotated log
    // Without case folding "ordalen_0Z.log" would sort first.
    EXPECT_EQ(fs::exists(dir_.path() / "ordalen_0a.log"), !c.pruned) << c.older_files;
    EXPECT_TRUE(fs::exists(dir_.path() / "ordalen_0Z.log"));
    EXPECT_TRUE(fs::is_directory(dir_.path() / "ordalen_00"));
    EXPECT_EQ(Rotated().size(), 30u + 1u);  // 30 logs and the directory
  }
}

TEST_F(LogTest, RotationNeverReplacesARotatedLogOfTheSameSecond) {
  // Every name the rotation could pick in the next seconds is taken already.
  const auto now = std::time(nullptr);
  for (int s = 0; s < 5; ++s) {
    std::ofstream(dir_.path() / ("ordalen_" + FormatTime("%Y%m%d_%H%M%S", now + s) + ".log"))
        << "keep";
  }
  Fill(LogFile(), static_cast<std::size_t>(kLogRotateBytes));
  WriteLog("x");
  for (const auto& f : Rotated()) EXPECT_EQ(test::ReadFile(f), "keep") << f;
  EXPECT_EQ(fs::file_size(LogFile()), static_cast<std::uintmax_t>(kLogRotateBytes) + 23u);
}

// Holds the lock a writer needs, as another writer would.
class LockHolder {
 public:
  explicit LockHolder(const fs::path& file)
      : fd_(::open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644)) {
    EXPECT_EQ(::flock(fd_, LOCK_EX), 0);
  }
  ~LockHolder() { Release(); }
  void Release() {
    const int fd = fd_.exchange(-1);
    if (fd >= 0) ::close(fd);
  }

 private:
  std::atomic<int> fd_;
};

class ScopedCurrentPath {
 public:
  explicit ScopedCurrentPath(const fs::path& path) : saved_(fs::current_path()) {
    fs::current_path(path);
  }
  ~ScopedCurrentPath() { fs::current_path(saved_); }

 private:
  fs::path saved_;
};

TEST_F(LogTest, WaitsForALockedLogAndDropsTheLineAfterElevenAttempts) {
  struct Case {
    int release_after_ms;  // -1: never
    bool written;
  } cases[] = {{-1, false}, {250, true}};
  for (const auto& c : cases) {
    fs::remove(LogFile());
    LockHolder holder(LogFile());
    std::thread releaser;
    if (c.release_after_ms >= 0) {
      releaser = std::thread([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(c.release_after_ms));
        holder.Release();
      });
    }
    const auto start = std::chrono::steady_clock::now();
    WriteLog("waited");
    const auto took = std::chrono::steady_clock::now() - start;
    if (releaser.joinable()) releaser.join();
    holder.Release();
    const auto lines = LogMessages(LogFile());
    if (c.written) {
      EXPECT_EQ(lines, std::vector<std::string>{"waited"});
      EXPECT_GE(took, std::chrono::milliseconds(c.release_after_ms));
      EXPECT_LT(took, std::chrono::milliseconds(c.release_after_ms + 500));
    } else {
      EXPECT_TRUE(lines.empty());
      // Ten waits of 100 ms between the eleven attempts.
      EXPECT_GE(took, (kLogOpenAttempts - 1) * kLogRetryWait);
      EXPECT_LT(took, std::chrono::seconds(3));
    }
  }
}

// Every line whole and each expected message exactly once, across rotated logs
// too; the filler line that Fill() wrote is not counted.
void ExpectWholeLines(const fs::path& dir, const std::set<std::string>& expected) {
  std::multiset<std::string> seen;
  for (const auto& e : fs::directory_iterator(dir)) {
    for (const auto& m : LogMessages(e.path())) {
      if (!m.starts_with("<bad stamp>ff")) seen.insert(m);
    }
  }
  EXPECT_EQ(seen.size(), expected.size());
  for (const auto& m : seen) {
    EXPECT_EQ(expected.count(m) * seen.count(m), 1u)
        << "torn, foreign or doubled: " << m.substr(0, 80);
  }
}

// Long enough that writers not holding the lock would interleave their bytes.
std::string Payload(int writer, int line) {
  return "w" + std::to_string(writer) + "-" + std::to_string(line) + " " +
         std::string(200 + (line % 7) * 100, static_cast<char>('a' + writer % 26));
}

TEST_F(LogTest, ThreadsAndProcessesKeepTheirLinesWholeAcrossARotation) {
  constexpr int kWriters = 4;
  constexpr int kLines = 60;
  for (const bool processes : {false, true}) {
    for (const auto& e : fs::directory_iterator(dir_.path())) fs::remove(e.path());
    // Close to the limit, so the lines below also cross a rotation.
    Fill(LogFile(), static_cast<std::size_t>(kLogRotateBytes) - 20000);
    std::set<std::string> expected;
    std::vector<std::thread> threads;
    std::vector<pid_t> children;
    for (int w = 0; w < kWriters; ++w) {
      for (int i = 0; i < kLines; ++i) expected.insert(Payload(w, i));
      const auto write = [w] {
        for (int i = 0; i < kLines; ++i) WriteLog("%s", Payload(w, i).c_str());
      };
      if (!processes) {
        threads.emplace_back(write);
        continue;
      }
      const pid_t pid = fork();
      ASSERT_GE(pid, 0);
      if (pid == 0) {
        write();
        _exit(0);
      }
      children.push_back(pid);
    }
    for (auto& t : threads) t.join();
    for (pid_t pid : children) {
      int status = 0;
      ASSERT_EQ(waitpid(pid, &status, 0), pid);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    EXPECT_FALSE(Rotated().empty()) << "no rotation happened";
    ExpectWholeLines(dir_.path(), expected);
  }
}

TEST_F(LogTest, TheLastLineStaysLastWhileOtherThreadsKeepLogging) {
  constexpr int kWriters = 4;
  constexpr int kRounds = 20;
  for (int round = 0; round < kRounds; ++round) {
    fs::remove(LogFile());
    // In a child: the writers it leaves waiting for good end with it.
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      for (int w = 0; w < kWriters; ++w) {
        std::thread([w] {
          for (int i = 0;; ++i) WriteLog("w%d-%d", w, i);
        }).detach();
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      WriteLastLog("last line %d", round);
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    const auto messages = LogMessages(LogFile());
    const std::string last = "last line " + std::to_string(round);
    ASSERT_NE(std::find(messages.begin(), messages.end(), last), messages.end()) << "lost";
    ASSERT_EQ(messages.back(), last) << "round " << round;
  }
}

TEST_F(LogTest, InitWorkingFoldersDerivesTheFoldersFromTheExecutablePath) {
  const ScopedCurrentPath cwd(dir_.path());
  struct Case {
    std::string exe;
    std::string log_dir, output_dir, exe_dir;
  } cases[] = {
      {(dir_.path() / "bin" / "ordalen").string(), (dir_.path() / "bin" / "OrdalenLog").string(),
       (dir_.path() / "bin" / "Ordalen").string(), (dir_.path() / "bin").string()},
      {"ordalen", ".", "", ""},  // no folder: the log goes to the current folder
      {"", ".", "", ""},
  };
  fs::create_directory(dir_.path() / "bin");
  for (const auto& c : cases) {
    ScanConfig() = SCANCONFIG();
    InitWorkingFolders(c.exe);
    EXPECT_EQ(ScanConfig().logDir, c.log_dir);
    EXPECT_EQ(ScanConfig().outputDir, c.output_dir);
    EXPECT_EQ(ScanConfig().exeDir, c.exe_dir);
    EXPECT_TRUE(ScanConfig().jobId.empty());
    if (!c.output_dir.empty()) {
      EXPECT_TRUE(fs::is_directory(c.output_dir));
    }
    const auto messages = LogMessages(fs::path(c.log_dir) / "ordalen.log");
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.back(), "Start-----------");
  }
}

TEST_F(LogTest, OverriddenFoldersMoveTheSettingsAndTheWorkAwayFromTheExecutable) {
  const ScopedCurrentPath cwd(dir_.path());
  const std::string root = dir_.path().string();
  const std::string exe = root + "/bin/ordalen";
  fs::create_directory(dir_.path() / "bin");
  fs::create_directory(dir_.path() / "etc");
  struct Case {
    FolderOverrides overrides;
    std::string settings, work;  // as SettingsFolder() and WorkFolder() give them
    bool folders_line;
  } cases[] = {
      {{}, root + "/bin", root + "/bin", false},
      {{root + "/etc", ""}, root + "/etc", root + "/bin", true},
      // A working folder that is missing is made, one level.
      {{"", root + "/var"}, root + "/bin", root + "/var", true},
      // Relative to the current folder, without a trailing slash.
      {{"etc/", "data//"}, root + "/etc", root + "/data", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.settings + " " + c.work);
    ScanConfig() = SCANCONFIG();
    InitWorkingFolders(exe, c.overrides);
    EXPECT_EQ(ScanConfig().exeDir, root + "/bin");
    EXPECT_EQ(SettingsFolder(), c.settings);
    EXPECT_EQ(WorkFolder(), c.work);
    EXPECT_EQ(ScanConfig().logDir, c.work + "/OrdalenLog");
    EXPECT_EQ(ScanConfig().outputDir, c.work + "/Ordalen");
    EXPECT_TRUE(fs::is_directory(c.work + "/Ordalen"));
    const auto messages = LogMessages(fs::path(c.work) / "OrdalenLog" / "ordalen.log");
    ASSERT_FALSE(messages.empty());
    if (c.folders_line) {
      EXPECT_EQ(messages.back(), "Folders: settings " + c.settings + ", work " + c.work);
    } else {
      EXPECT_EQ(messages.back(), "Start-----------");
    }
  }
  // Nothing but the first case's folders went beside the executable.
  EXPECT_EQ(test::FilesIn(dir_.path() / "bin"),
            (std::vector<std::string>{"Ordalen", "OrdalenLog"}));
}

TEST(FolderOverridesTest, ComeFromTheEnvironmentAndAnEmptyValueIsNone) {
  struct Case {
    const char* settings;  // nullptr: unset
    const char* work;
  } cases[] = {{nullptr, nullptr}, {"/etc/x", ""}, {"", "/var/lib/x"}};
  for (const auto& c : cases) {
    if (c.settings)
      setenv(kSettingsDirVariable, c.settings, 1);
    else
      unsetenv(kSettingsDirVariable);
    if (c.work)
      setenv(kWorkDirVariable, c.work, 1);
    else
      unsetenv(kWorkDirVariable);
    const FolderOverrides got = FolderOverridesFromEnvironment();
    EXPECT_EQ(got.settings, c.settings ? c.settings : "");
    EXPECT_EQ(got.work, c.work ? c.work : "");
  }
  unsetenv(kSettingsDirVariable);
  unsetenv(kWorkDirVariable);
}

TEST(FormatTimeTest, FormatsLocalTimeAndFailsEmpty) {
  test::ScopedTimeZone utc("UTC");
  constexpr std::int64_t kScan = 1796631013;  // 2026-12-07 08:10:13 UTC
  struct Case {
    const char* format;
    std::int64_t time;
    std::string expected;
  } cases[] = {
      {"%Y-%m-%d %H:%M:%S.000", kScan, "2026-12-07 08:10:13.000"},
      {"%Y%m%d_%H%M%S", kScan, "20261207_081013"},
      {"%Y/%m/%d %H:%M:%S|", 0, "1970/01/01 00:00:00|"},
      {nullptr, kScan, ""},
      {"", kScan, ""},
      {"%Y%Y%Y%Y%Y%Y%Y%Y%Y%Y%Y%Y%Y%Y%Y%Y%Y%Y%Y%Y%Y%Y%Y%Y%Y%Y%Y%Y%Y%Y%Y%Y", kScan, ""},  // 128 bytes
  };
  for (const auto& c : cases) EXPECT_EQ(FormatTime(c.format, c.time), c.expected);
  test::ScopedTimeZone tokyo("JST-9");
  EXPECT_EQ(FormatTime("%Y%m%d_%H%M%S", kScan), "20261207_171013");
}

}  // namespace
}  // namespace ordalen
