// The result file appears only whole: runs of the program are killed (SIGKILL)
// at random points of their output step, found by watching the output folder
// for the step's first file, and the folder must never hold a partial file
// under a final name.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <string>
#include <thread>

#include "support/background_process.h"
#include "support/folder_watch.h"
#include "support/loopback_only.h"
#include "support/process.h"
#include "support/scan_checks.h"

namespace ordalen {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using std::chrono::microseconds;
using std::chrono::milliseconds;

constexpr int kRuns = 100;
// Kills fall from the moment the step's temporary file appears to this much later.
constexpr microseconds kLatestKill{600};

TEST(OutputKillE2eTest, AKillDuringTheOutputStepNeverLeavesAPartialFileUnderAFinalName) {
  if (!test::OnlyLoopback()) GTEST_SKIP() << "needs a network namespace with only loopback";
  ASSERT_FALSE(test::OrdalenBinary().empty());
  test::TempDir dir;
  fs::copy_file(test::OrdalenBinary(), dir.path() / "ordalen");
  fs::create_directory(dir.path() / "Ordalen");
  fs::create_directory(dir.path() / "console");
  std::mt19937 random(12345);
  std::uniform_int_distribution<int> delay(0, static_cast<int>(kLatestKill.count()));
  int killed = 0, finished = 0;
  for (int run = 0; run < kRuns; ++run) {
    SCOPED_TRACE(run);
    const test::FolderWatch watch(dir.path() / "Ordalen");
    ASSERT_TRUE(watch.watching());
    // Every third run under a job identifier and a range where nothing answers
    // here, so final names of both forms occur.
    std::vector<std::string> argv = {(dir.path() / "ordalen").string()};
    if (run % 3 == 0) argv.insert(argv.end(), {"9", "10.0.0.1-10.0.0.1"});
    test::BackgroundProcess scan(argv, dir.path().string(), dir.path() / "console");
    ASSERT_TRUE(scan.started());
    if (watch.WaitForCreation(milliseconds(20000))) {
      std::this_thread::sleep_for(microseconds(delay(random)));
      scan.Signal(SIGKILL);
    }
    const auto code = scan.Wait(milliseconds(30000));
    ASSERT_TRUE(code.has_value());
    (*code == 128 + SIGKILL ? killed : finished)++;
    // Whatever the moment: every file under a final name is whole.
    for (const auto& name : test::FilesIn(dir.path() / "Ordalen")) {
      if (name.starts_with(".")) continue;  // a temporary file of a killed run
      EXPECT_EQ(test::CheckResultFile(dir.path() / "Ordalen" / name), "") << name;
    }
  }
  int temporary = 0, final_files = 0;
  for (const auto& name : test::FilesIn(dir.path() / "Ordalen")) {
    (name.starts_with(".") ? temporary : final_files)++;
  }
  std::printf(
      "%d runs: %d killed in the output step, %d finished first; %d result files, %d "
      "temporary files left by killed runs\n",
      kRuns, killed, finished, final_files, temporary);
  // The kills did land inside the step: some before the rename, some after.
  EXPECT_GT(killed, 0);
  EXPECT_LT(final_files, kRuns);
}

}  // namespace
}  // namespace ordalen
