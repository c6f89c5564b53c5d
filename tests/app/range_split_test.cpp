// The range argument split and converted without side effects.
#include <gtest/gtest.h>

#include <string>

#include "app/range.h"

namespace ordalen {
namespace {

TEST(SplitScanRangeTest, SplitsAtTheFirstHyphenAndConvertsEachSide) {
  struct Case {
    std::string text;
    bool split;
    const char* start_text;
    const char* end_text;
    std::optional<std::uint32_t> start, end;
  } cases[] = {
      {"192.168.1.10-192.168.1.20", true, "192.168.1.10", "192.168.1.20", 0xC0A8010A, 0xC0A80114},
      {"10.0.0.1-10.0.0.9-x", true, "10.0.0.1", "10.0.0.9-x", 0x0A000001, std::nullopt},
      {"010.0x10.1-10", true, "010.0x10.1", "10", 0x08100001, 10},
      {"-10.0.0.1", false, "", "", std::nullopt, std::nullopt},
      {"10.0.0.1", false, "", "", std::nullopt, std::nullopt},
      // A NUL byte cannot hide what follows it.
      {std::string("10.0.0.1\0junk-10.0.0.2", 22), true, "", "10.0.0.2", std::nullopt, 0x0A000002},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const auto range = SplitScanRange(c.text);
    ASSERT_EQ(range.has_value(), c.split);
    if (!range) continue;
    if (*c.start_text) {
      EXPECT_EQ(range->start_text, c.start_text);
    }
    EXPECT_EQ(range->end_text, c.end_text);
    EXPECT_EQ(range->start, c.start);
    EXPECT_EQ(range->end, c.end);
  }
}

}  // namespace
}  // namespace ordalen
