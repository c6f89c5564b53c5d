// Instances side by side in one installation folder: they share the log and the
// output folder, run their probes at the same time over the same hosts, and one
// may be killed while it holds the machine-wide "SearchList Share Mutex".
#include <signal.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/text.h"
#include "engine/scan_driver.h"
#include "platform/named_lock.h"
#include "support/background_process.h"
#include "support/lab.h"
#include "support/process.h"
#include "support/scan_checks.h"

namespace ordalen {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

// One folder with the program and its files, as an installation is.
class Installation {
 public:
  explicit Installation(const std::string& config_ini) {
    fs::permissions(dir_.path(), fs::perms(0755));
    fs::copy_file(test::OrdalenBinary(), dir_.path() / "ordalen");
    dir_.Write("config.ini", config_ini);
    fs::create_directory(dir_.path() / "console");
  }
  const fs::path& dir() const { return dir_.path(); }
  // Starts the program with `args` inside the lab's scanner namespace.
  std::unique_ptr<test::BackgroundProcess> Start(const test::Lab& lab,
                                                 const std::vector<std::string>& args) const {
    std::vector<std::string> argv = {"ip", "netns", "exec", lab.ScannerNamespace(),
                                     (dir_.path() / "ordalen").string()};
    argv.insert(argv.end(), args.begin(), args.end());
    return std::make_unique<test::BackgroundProcess>(argv, dir_.path().string(),
                                                     dir_.path() / "console");
  }
  std::string Log() const { return test::ReadFile(dir_.path() / "OrdalenLog" / "ordalen.log"); }

 private:
  test::TempDir dir_;
};

// The log's lines, each without its time stamp and CR LF.
std::vector<std::string> Messages(const std::string& log) {
  std::vector<std::string> lines;
  std::size_t at = 0;
  while (at < log.size()) {
    const std::size_t lf = log.find('\n', at);
    const std::size_t end = lf == std::string::npos ? log.size() : lf;
    std::string line = log.substr(at, end - at);
    at = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line.size() >= 20 ? line.substr(20) : line);
  }
  return lines;
}

TEST(SideBySideLabTest, TwelveInstancesInOneFolderKeepTheirResultsAndLinesWhole) {
  ORDALEN_REQUIRE_LAB(lab);
  Installation app("[Ordalen]\r\nThread=8\r\nWinPort=3389\r\n");
  // Subnet A's hosts up to the printer: WIN2 answers NetBIOS queries, WIN1's
  // nmbd with a zero MAC, the others not at all.
  const std::string range = lab.Ip("LINUX1") + "-" + lab.Ip("PRINTER");
  std::vector<std::string> jobs;
  for (int j = 11; j <= 20; ++j) jobs.push_back(std::to_string(j));
  jobs.push_back("21");
  jobs.push_back("21");
  std::vector<std::unique_ptr<test::BackgroundProcess>> runs;
  const auto started = Clock::now();
  for (const auto& job : jobs) {
    runs.push_back(app.Start(lab, {job, range}));
    ASSERT_TRUE(runs.back()->started());
  }
  for (std::size_t i = 0; i < runs.size(); ++i) {
    const auto code = runs[i]->Wait(milliseconds(240000));
    ASSERT_TRUE(code.has_value()) << "job " << jobs[i] << " did not end";
    EXPECT_EQ(*code, 0) << "job " << jobs[i] << ": " << runs[i]->Err();
  }
  std::printf("12 instances side by side: %.1f s\n",
              std::chrono::duration<double>(Clock::now() - started).count());

  // One whole result per instance: the two of job 21 under two names.
  const auto files = test::FilesIn(app.dir() / "Ordalen");
  ASSERT_EQ(files.size(), jobs.size()) << testing::PrintToString(files);
  std::map<std::string, int> per_job;
  const std::string win2_mac = AsciiUpper(lab.Mac("WIN2"));
  for (const auto& name : files) {
    SCOPED_TRACE(name);
    ASSERT_FALSE(name.starts_with(".")) << "a temporary file was left";
    const fs::path path = app.dir() / "Ordalen" / name;
    EXPECT_EQ(test::CheckResultFile(path), "");
    const std::string job = name.substr(name.rfind('_') + 1, name.size() - name.rfind('_') - 5);
    ++per_job[job];
    const test::ResultDocument result = test::ParseResultFile(path);
    for (const char* host : {"LINUX1", "WIN1", "WIN2", "PRINTER"}) {
      EXPECT_NE(result.FindByIp(lab.Ip(host)), nullptr) << host;
    }
    // The NetBIOS answer of WIN2 is WIN2's only, in every instance.
    for (const auto& node : result.nodes) {
      const std::string ip = node.Field("IPADDRESS").value_or("");
      const std::string name_field = node.Field("NETBIOS_NAME").value_or("");
      if (ip == lab.Ip("WIN2")) {
        EXPECT_EQ(node.Field("MACADDRESS"), win2_mac);
      } else {
        EXPECT_NE(name_field, lab.Value("LAB_NB_WIN2_NAME")) << ip;
        EXPECT_NE(node.Field("MACADDRESS"), win2_mac) << ip;
      }
    }
  }
  std::map<std::string, int> expected;
  for (const auto& job : jobs) ++expected[job];
  EXPECT_EQ(per_job, expected);

  // The shared log: every line whole, and every instance's run in it from its
  // range line to its end line.
  const std::string log = app.Log();
  EXPECT_EQ(test::CheckLogLines(log, ""), "");
  std::map<std::string, int> ends, ranges;
  for (const auto& message : Messages(log)) {
    const auto bar = message.find('|');
    if (bar == std::string::npos) continue;
    const std::string job = message.substr(0, bar);
    const std::string text = message.substr(bar + 1);
    if (text == "End-----------") ++ends[job];
    if (text == "Range: " + range) ++ranges[job];
  }
  EXPECT_EQ(ends, expected);
  EXPECT_EQ(ranges, expected);
  // Two instances of one job share its NetBIOS ports: a query whose port the
  // other holds fails (and says so) rather than taking the other's answer.
  int shared_port_errors = 0;
  for (const auto& message : Messages(log)) {
    if (message.starts_with("21|NetBIOS[") && message.ends_with("error[98]")) ++shared_port_errors;
  }
  std::printf("result files: %s; NetBIOS queries of job 21 refused their port: %d\n",
              testing::PrintToString(files).c_str(), shared_port_errors);
  // Each instance's console output is its own and complete.
  for (std::size_t i = 0; i < runs.size(); ++i) {
    EXPECT_NE(runs[i]->Out().find("scan-------------------------\r\n"), std::string::npos)
        << jobs[i];
  }
}

// Takes the named lock in a process of its own and keeps it until killed.
constexpr const char* kLockHolder = R"PY(
import fcntl, os, sys, time
fd = os.open(sys.argv[1], os.O_RDONLY | os.O_CREAT, 0o644)
fcntl.flock(fd, fcntl.LOCK_EX)
open(sys.argv[2], "w").close()
time.sleep(float(sys.argv[3]))
)PY";

TEST(SideBySideLabTest, AnInstanceKilledWhileHoldingTheShareMutexDoesNotBlockTheNext) {
  ORDALEN_REQUIRE_LAB(lab);
  Installation app("[Ordalen]\r\nThread=4\r\nUseARP=0\r\n");
  const std::string lock_path = std::string(kLockFolder) + "/" + kShareMutexName;
  test::TempDir scratch;
  const fs::path held = scratch.path() / "held";
  // The holder stands for an instance that dies with the lock in its hands.
  test::BackgroundProcess holder(
      {"/usr/bin/python3", "-c", kLockHolder, lock_path, held.string(), "60"}, std::string(),
      scratch.path());
  ASSERT_TRUE(holder.started());
  const auto until = Clock::now() + seconds(10);
  while (!fs::exists(held) && Clock::now() < until) std::this_thread::sleep_for(milliseconds(20));
  ASSERT_TRUE(fs::exists(held)) << "the holder did not get the lock: " << holder.Err();

  auto scan = app.Start(lab, {"31", lab.Ip("LINUX1") + "-" + lab.Ip("LINUX1")});
  ASSERT_TRUE(scan->started());
  // Held back before its first probe: no phase has begun.
  std::this_thread::sleep_for(milliseconds(1500));
  EXPECT_FALSE(scan->Wait(milliseconds(0)).has_value()) << "the scan did not wait for the lock";
  EXPECT_EQ(scan->Out().find("ping-------------------------"), std::string::npos) << scan->Out();

  const auto killed = Clock::now();
  EXPECT_EQ(holder.Kill(), 128 + SIGKILL);
  const auto code = scan->Wait(milliseconds(60000));
  ASSERT_TRUE(code.has_value()) << "the scan stayed blocked after the holder died";
  EXPECT_EQ(*code, 0) << scan->Err();
  std::printf("scan ended %.1f s after the lock holder was killed\n",
              std::chrono::duration<double>(Clock::now() - killed).count());
  const auto files = test::FilesIn(app.dir() / "Ordalen");
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(test::CheckResultFile(app.dir() / "Ordalen" / files[0]), "");
  const auto result = test::ParseResultFile(app.dir() / "Ordalen" / files[0]);
  EXPECT_NE(result.FindByIp(lab.Ip("LINUX1")), nullptr);
}

}  // namespace
}  // namespace ordalen
