#include "engine/scan_driver.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <sstream>
#include <thread>

#include "app/settings.h"
#include "output/xml_result.h"
#include "platform/named_lock.h"
#include "support/process.h"
#include "support/scan_config.h"

namespace ordalen {
namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

// The phase banners among the console lines (other lines are per-host progress).
Lines Banners(const std::string& out) {
  Lines banners;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) {
    if (line.ends_with("-------------------------\r")) banners.push_back(line);
  }
  return banners;
}

std::size_t CountOf(const Lines& lines, const std::string& line) {
  return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), line));
}

TEST(ScanDriverTest, PhasesRunInTheirOrderAndTheResultFileIsWritten) {
  const std::string kArp = "ARP-------------------------\r";
  const std::string kPing = "ping-------------------------\r";
  const std::string kMib = "MIB-------------------------\r";
  const std::string kScan = "scan-------------------------\r";
  struct Case {
    int use_arp;
    Lines banners;
  } cases[] = {{1, {kArp, kPing, kMib, kScan}}, {0, {kPing, kMib, kScan}}};
  for (const auto& c : cases) {
    test::TempDir dir;
    test::ScopedScanConfig scoped(dir.path());
    ScanConfig().useArp = c.use_arp;
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(ScanDriver(), 0);
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(Banners(out), c.banners) << out;

    const Lines log = test::LogMessages(dir.path() / "ordalen.log");
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(CountOf(log, "Output-----------"), 1u);
    EXPECT_EQ(log[log.size() - 3], "Output-----------");
    EXPECT_EQ(log[log.size() - 2], ResultFilePath());
    EXPECT_EQ(log.back(), "End-----------");
    ASSERT_FALSE(ResultFilePath().empty());
    EXPECT_TRUE(fs::exists(ResultFilePath()));
  }
}

TEST(ScanDriverTest, AnotherHolderOfTheShareLockHoldsTheScanBack) {
  test::TempDir dir;
  test::ScopedScanConfig scoped(dir.path());
  ScanConfig().useArp = 0;
  OsError error;
  auto lock = NamedLock::Open(kShareMutexName, &error);
  ASSERT_TRUE(lock) << error.message;
  ASSERT_TRUE(lock->Acquire(&error)) << error.message;
  std::thread scan([] { ScanDriver(); });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const Lines held = test::LogMessages(dir.path() / "ordalen.log");
  lock->Release();
  scan.join();
  EXPECT_EQ(CountOf(held, "Output-----------"), 0u);
  EXPECT_TRUE(held.empty() || held.back() != "End-----------");
  const Lines done = test::LogMessages(dir.path() / "ordalen.log");
  EXPECT_EQ(CountOf(done, "End-----------"), 1u);
  EXPECT_FALSE(ResultFilePath().empty());
}

TEST(ScanDriverTest, AnUnwritableOutputFolderEndsTheScanNormallyWithoutAPath) {
  test::TempDir dir;
  test::ScopedScanConfig scoped(dir.path());
  ScanConfig().useArp = 0;
  ScanConfig().outputDir = (dir.path() / "missing").string();
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(ScanDriver(), 0);
  ::testing::internal::GetCapturedStdout();
  EXPECT_TRUE(ResultFilePath().empty());
  const Lines log = test::LogMessages(dir.path() / "ordalen.log");
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ(log[log.size() - 2], "output file open error:[0x2]No such file or directory");
  EXPECT_EQ(log.back(), "End-----------");
}

}  // namespace
}  // namespace ordalen
