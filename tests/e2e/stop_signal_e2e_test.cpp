// SIGTERM and SIGINT stop a scan cleanly: in every phase and in the output
// step the program logs which signal stopped it, leaves no temporary result
// file, never a partial file under a final name, keeps an earlier result as it
// was, and exits 2 within 2 s (0 only when its result was already whole).
//
// The phases need cards and hosts: the test's own namespace gets a veth pair
// whose near end (10.250.0.1/29) is the only eligible card; its own address
// answers ping, the other addresses stay silent, and its SNMP requests are
// dropped (a closed port would end the MIB phase at once), so every phase lasts
// long enough to be hit.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/background_process.h"
#include "support/folder_watch.h"
#include "support/loopback_only.h"
#include "support/private_netns.h"
#include "support/process.h"
#include "support/scan_checks.h"
#include "support/scan_config.h"

namespace ordalen {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using std::chrono::microseconds;
using std::chrono::milliseconds;

constexpr milliseconds kStopLimit{2000};
constexpr const char* kEarlierName = "20000101_000000.xml";
const std::string kEarlierBytes =
    "<?xml version=\"1.0\" encoding=\"Shift_JIS\" ?><NODE_SCAN scan_date=\"2000-01-01 "
    "00:00:00.000\"><NETWORK_CARD></NETWORK_CARD></NODE_SCAN>\r\n";

std::string SignalText(int signal) {
  return signal == SIGTERM ? "SIGTERM" : "SIGINT";
}

// A copy of the program in a folder of its own with an earlier result file,
// short SNMP waits and `config_ini`.
class ScanFolder {
 public:
  explicit ScanFolder(const std::string& config_ini) {
    fs::permissions(dir_.path(), fs::perms(0755));
    fs::copy_file(test::OrdalenBinary(), exe());
    dir_.Write("config.ini", config_ini);
    fs::create_directories(dir_.path() / "snmp/share/snmp");
    dir_.Write("snmp/share/snmp/snmp.conf", "timeout 1\nretries 0\n");
    fs::create_directories(dir_.path() / "Ordalen");
    dir_.Write(std::string("Ordalen/") + kEarlierName, kEarlierBytes);
    fs::create_directory(console());
  }
  [[nodiscard]] fs::path exe() const { return dir_.path() / "ordalen"; }
  [[nodiscard]] fs::path results() const { return dir_.path() / "Ordalen"; }
  [[nodiscard]] fs::path console() const { return dir_.path() / "console"; }
  [[nodiscard]] std::vector<std::string> Log() const {
    return test::LogMessages(dir_.path() / "OrdalenLog" / "ordalen.log");
  }
  [[nodiscard]] const fs::path& path() const { return dir_.path(); }

  // What every stopped run must leave: the earlier result as it was, no
  // temporary file, whole log lines.
  void ExpectEarlierResultAndNoTemporaryFile() const {
    EXPECT_EQ(test::ReadFile(results() / kEarlierName), kEarlierBytes);
    for (const auto& name : test::FilesIn(results())) {
      EXPECT_FALSE(name.starts_with(".")) << "temporary file left: " << name;
    }
    EXPECT_EQ(test::CheckLogLines(test::ReadFile(dir_.path() / "OrdalenLog" / "ordalen.log"), ""),
              "");
  }

 private:
  test::TempDir dir_;
};

// Waits until the program's console shows `banner` (or `limit` passes).
bool WaitForBanner(const test::BackgroundProcess& run, const std::string& banner,
                   milliseconds limit) {
  const auto until = Clock::now() + limit;
  while (Clock::now() < until) {
    if (run.Out().find(banner) != std::string::npos) return true;
    std::this_thread::sleep_for(milliseconds(10));
  }
  return false;
}

class StopSignalE2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(test::OrdalenBinary().empty());
    // The program must meet the signals as a foreground command would, not
    // ignored as a shell's background job inherits SIGINT.
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
  }
};

TEST_F(StopSignalE2eTest, ASignalInAnyPhaseStopsTheScanWithinTwoSecondsAndWritesNothing) {
  ORDALEN_REQUIRE_PRIVATE_NETNS();
  ASSERT_TRUE(test::NetnsShell(
      "ip link add ost0 type veth peer name ost1 && ip addr add 10.250.0.1/29 dev ost0 && "
      "ip link set ost0 up && ip link set ost1 up && nft add table ip ost && "
      "nft 'add chain ip ost in { type filter hook input priority 0 ; }' && "
      "nft add rule ip ost in udp dport 161 drop"));
  const std::vector<std::string> banners = {"ARP----", "ping----", "MIB----", "scan----"};
  // Each signal falls this long after its phase's banner; every phase lasts
  // longer (ARP 2 s, ping 1 s, MIB and scan over 1 s for the answering host).
  constexpr milliseconds kIntoPhase{300};
  std::string report;
  for (const int signal : {SIGTERM, SIGINT}) {
    for (std::size_t phase = 0; phase < banners.size(); ++phase) {
      SCOPED_TRACE(SignalText(signal) + " in " + banners[phase]);
      const ScanFolder folder("[Ordalen]\r\nThread=8\r\n");
      test::BackgroundProcess run({folder.exe().string()}, folder.path().string(),
                                  folder.console());
      ASSERT_TRUE(run.started());
      ASSERT_TRUE(WaitForBanner(run, banners[phase], milliseconds(60000))) << run.Out();
      std::this_thread::sleep_for(kIntoPhase);
      const auto sent = Clock::now();
      ASSERT_TRUE(run.Signal(signal));
      const auto code = run.Wait(milliseconds(10000));
      const auto latency = std::chrono::duration_cast<milliseconds>(Clock::now() - sent);
      ASSERT_TRUE(code.has_value()) << "still running 10 s after the signal";
      EXPECT_EQ(*code, 2) << run.Err();
      EXPECT_LT(latency, kStopLimit);
      // Stopped where it was: no later phase began.
      for (std::size_t later = phase + 1; later < banners.size(); ++later) {
        EXPECT_EQ(run.Out().find(banners[later]), std::string::npos) << run.Out();
      }
      const auto log = folder.Log();
      ASSERT_FALSE(log.empty());
      EXPECT_EQ(log.back(),
                "Interrupted by " + SignalText(signal) + ": scan stopped, no result written");
      EXPECT_EQ(test::FilesIn(folder.results()), std::vector<std::string>{kEarlierName});
      folder.ExpectEarlierResultAndNoTemporaryFile();
      report += " " + SignalText(signal) + "/" +
                banners[phase].substr(0, banners[phase].find('-')) + " " +
                std::to_string(latency.count()) + " ms;";
    }
  }
  std::printf("signal-to-exit:%s\n", report.c_str());
}

TEST_F(StopSignalE2eTest, ASignalInTheOutputStepLeavesEitherTheWholeResultOrNone) {
  if (!test::OnlyLoopback()) GTEST_SKIP() << "needs a network namespace with only loopback";
  constexpr int kRuns = 60;
  // Signals fall from the moment the step's temporary file appears to this
  // much later, so some land before the rename and some after it.
  constexpr microseconds kLatest{400};
  std::mt19937 random(4242);
  std::uniform_int_distribution<int> delay(0, static_cast<int>(kLatest.count()));
  int stopped = 0, published = 0, finished = 0;
  milliseconds slowest{0};
  const ScanFolder folder("");
  std::vector<std::string> finals = {kEarlierName};
  for (int run_index = 0; run_index < kRuns; ++run_index) {
    SCOPED_TRACE(run_index);
    const int signal = run_index % 2 == 0 ? SIGTERM : SIGINT;
    const test::FolderWatch watch(folder.results());
    ASSERT_TRUE(watch.watching());
    test::BackgroundProcess run({folder.exe().string()}, folder.path().string(), folder.console());
    ASSERT_TRUE(run.started());
    ASSERT_TRUE(watch.WaitForCreation(milliseconds(20000)))
        << "no file appeared in the result folder";
    std::this_thread::sleep_for(microseconds(delay(random)));
    const auto sent = Clock::now();
    run.Signal(signal);
    const auto code = run.Wait(milliseconds(10000));
    slowest = std::max(slowest, std::chrono::duration_cast<milliseconds>(Clock::now() - sent));
    ASSERT_TRUE(code.has_value());
    const auto log = folder.Log();
    ASSERT_FALSE(log.empty());
    const std::vector<std::string> files = test::FilesIn(folder.results());
    if (*code == 2) {
      // Stopped before the rename: no new file.
      ++stopped;
      EXPECT_EQ(log.back(),
                "Interrupted by " + SignalText(signal) + ": scan stopped, no result written");
      EXPECT_EQ(files, finals);
    } else {
      // Published first: the new file is whole, and the signal either came
      // after it (and says so) or after the program had ended.
      ASSERT_EQ(*code, 0);
      ASSERT_EQ(files.size(), finals.size() + 1);
      for (const auto& name : files) {
        if (name != kEarlierName) {
          EXPECT_EQ(test::CheckResultFile(folder.results() / name), "");
        }
      }
      if (log.back() == "End-----------") {
        ++finished;
      } else {
        ++published;
        EXPECT_EQ(log.back(),
                  "Interrupted by " + SignalText(signal) + ": the result was already written");
      }
      finals = files;
    }
    folder.ExpectEarlierResultAndNoTemporaryFile();
  }
  std::printf(
      "%d runs: %d stopped before the rename (exit 2), %d after it (exit 0, said so), %d ended "
      "before the signal; slowest exit %lld ms\n",
      kRuns, stopped, published, finished, static_cast<long long>(slowest.count()));
  EXPECT_GT(stopped, 0) << "no signal landed before the rename";
  EXPECT_LT(slowest, kStopLimit);
}

}  // namespace
}  // namespace ordalen
