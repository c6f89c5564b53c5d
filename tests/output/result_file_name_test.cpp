// Two scans of the same job that started in the same second: neither result
// replaces the other.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "app/settings.h"
#include "engine/result_store.h"
#include "output/xml_result.h"
#include "support/process.h"
#include "support/scan_config.h"

namespace ordalen {
namespace {

namespace fs = std::filesystem;
constexpr std::int64_t kScan = 1796631013;  // 2026-12-07 08:10:13 UTC

TEST(ResultFileNameTest, ASecondResultOfTheSameNameGetsTheNextFreeName) {
  struct Case {
    const char* job;
    std::vector<std::string> names;  // of the first, second and third result
  } cases[] = {
      {"7", {"20261207_081013_7.xml", "20261207_081013-2_7.xml", "20261207_081013-3_7.xml"}},
      {"", {"20261207_081013.xml", "20261207_081013-2.xml", "20261207_081013-3.xml"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.job);
    test::ScopedTimeZone utc("UTC");
    test::TempDir dir;
    test::ScopedScanConfig scoped(dir.path());
    fs::create_directory(dir.path() / "out");
    ScanConfig().outputDir = (dir.path() / "out").string();
    ScanConfig().jobId = c.job;
    for (std::size_t i = 0; i < c.names.size(); ++i) {
      const std::string ip = "10.0.0." + std::to_string(i + 1);
      HostSlot(ip) = std::make_unique<SCANRESULT>();
      HostSlot(ip)->IpAddress = ip;
      ResultFilePath().clear();
      XmlDocument doc;
      ASSERT_EQ(doc.CreateResultDocument(), 1);
      WriteResultFile(doc, kScan);
      EXPECT_EQ(ResultFilePath(), (dir.path() / "out" / c.names[i]).string());
      // Each file keeps the host of its own scan.
      EXPECT_NE(test::ReadFile(ResultFilePath()).find("<IPADDRESS>" + ip + "</IPADDRESS>"),
                std::string::npos);
    }
    std::vector<std::string> files;
    for (const auto& e : fs::directory_iterator(dir.path() / "out")) {
      files.push_back(e.path().filename().string());
    }
    std::sort(files.begin(), files.end());
    auto expected = c.names;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(files, expected) << "no temporary file left, none replaced";
    const auto log = test::LogMessages(dir.path() / "ordalen.log");
    const std::string prefix = std::string(c.job).empty() ? "" : std::string(c.job) + "|";
    EXPECT_NE(std::find(log.begin(), log.end(),
                        prefix + "output file exists: written as " +
                            (dir.path() / "out" / c.names[2]).string()),
              log.end());
  }
}

}  // namespace
}  // namespace ordalen
