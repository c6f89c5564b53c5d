#include "app/range.h"

#include <gtest/gtest.h>

#include "app/settings.h"
#include "support/process.h"
#include "support/scan_config.h"

namespace ordalen {
namespace {

using Lines = std::vector<std::string>;

TEST(RangeTest, ParseScanRange) {
  struct Case {
    const char* text;
    bool accepted;
    std::uint32_t start, end;
    Lines log;
    std::string stderr_has;  // empty: nothing on standard error
  } cases[] = {
      {"192.168.1.10-192.168.1.20",
       true,
       0xC0A8010A,
       0xC0A80114,
       {"Range: 192.168.1.10-192.168.1.20"},
       ""},
      {"10.0.0.9-10.0.0.1", true, 0x0A000009, 0x0A000001, {"Range: 10.0.0.9-10.0.0.1"}, ""},
      {"255.255.255.255-255.255.255.255",
       true,
       0xFFFFFFFF,
       0xFFFFFFFF,
       {"Range: 255.255.255.255-255.255.255.255"},
       ""},
      // The classic forms: fewer parts, octal and hexadecimal.
      {"0x0a.1-10.0.0.012", true, 0x0A000001, 0x0A00000A, {"Range: 0x0a.1-10.0.0.012"}, ""},
      {"10.0.0.1", true, 0, 0, {}, ""},
      {"-10.0.0.1", true, 0, 0, {}, ""},
      {"", true, 0, 0, {}, ""},
      {"10.0.0.1-10.0.0.9-x",
       false,
       0,
       0,
       {"Range: 10.0.0.1-10.0.0.9-x",
        "Range error: \"10.0.0.9-x\" is not an IPv4 address; nothing is scanned"},
       "\"10.0.0.9-x\" is not an IPv4 address"},
      {"10.0.0.1-",
       false,
       0,
       0,
       {"Range: 10.0.0.1-", "Range error: \"\" is not an IPv4 address; nothing is scanned"},
       "\"\" is not an IPv4 address"},
      {"foo-10.0.0.1",
       false,
       0,
       0,
       {"Range: foo-10.0.0.1", "Range error: \"foo\" is not an IPv4 address; nothing is scanned"},
       "\"foo\" is not an IPv4 address"},
      {"a-b",
       false,
       0,
       0,
       {"Range: a-b", "Range error: \"a\" and \"b\" are not IPv4 addresses; nothing is scanned"},
       "\"a\" and \"b\" are not IPv4 addresses"},
      {"10.0.0.256-10.0.0.1",
       false,
       0,
       0,
       {"Range: 10.0.0.256-10.0.0.1",
        "Range error: \"10.0.0.256\" is not an IPv4 address; nothing is scanned"},
       "10.0.0.256"},
  };
  for (const auto& c : cases) {
    test::TempDir dir;
    test::ScopedScanConfig scoped(dir.path());
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(ParseScanRange(c.text), c.accepted) << c.text;
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(ScanConfig().rangeStart, c.start) << c.text;
    EXPECT_EQ(ScanConfig().rangeEnd, c.end) << c.text;
    EXPECT_EQ(test::LogMessages(dir.path() / "ordalen.log"), c.log) << c.text;
    if (c.stderr_has.empty()) {
      EXPECT_EQ(err, "") << c.text;
    } else {
      EXPECT_NE(err.find(c.stderr_has), std::string::npos) << err;
      EXPECT_NE(err.find(c.text), std::string::npos) << err;
    }
  }
}

TEST(RangeTest, JobIdIsStoredAndMarksLogLines) {
  test::TempDir dir;
  test::ScopedScanConfig scoped(dir.path());
  SetJobId(nullptr);
  EXPECT_EQ(ScanConfig().jobId, "");
  SetJobId("17");
  EXPECT_EQ(ScanConfig().jobId, "17");
  ParseScanRange("10.0.0.1-10.0.0.2");
  EXPECT_EQ(test::LogMessages(dir.path() / "ordalen.log"), Lines{"17|Range: 10.0.0.1-10.0.0.2"});
}

}  // namespace
}  // namespace ordalen
