#include "engine/scan_driver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "app/settings.h"
#include "output/xml_result.h"
#include "platform/named_lock.h"
#include "support/loopback_only.h"
#include "support/process.h"
#include "support/scan_config.h"

namespace ordalen {
namespace {

using Lines = std::vector<std::string>;

std::size_t CountOf(const Lines& lines, const std::string& line) {
  return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), line));
}

// The phase order, banners and log lines are proven end to end (tests/e2e).
TEST(ScanDriverTest, AnotherHolderOfTheShareLockHoldsTheScanBack) {
  if (!test::OnlyLoopback()) GTEST_SKIP() << "a scan runs only in a namespace with loopback alone";
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

}  // namespace
}  // namespace ordalen
