#include "base/byte_cursor.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

namespace ordalen {
namespace {

const std::vector<std::uint8_t> kData = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07,
                                         0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D};

TEST(ByteCursorTest, ReadsEachWidthInOrderAndMovesOn) {
  ByteCursor cursor(kData);
  EXPECT_EQ(cursor.U8(), 0x01);
  EXPECT_EQ(cursor.U16Be(), 0x0203);
  EXPECT_EQ(cursor.U32Be(), 0x04050607u);
  EXPECT_EQ(cursor.U32Le(), 0x0B0A0908u);
  EXPECT_EQ(cursor.position(), 11u);
  EXPECT_EQ(cursor.remaining(), 2u);
  const auto rest = cursor.Bytes(2);
  ASSERT_TRUE(rest);
  EXPECT_EQ(rest->data(), kData.data() + 11) << "a view into the data, not a copy";
  EXPECT_EQ(rest->size(), 2u);
  EXPECT_TRUE(cursor.Bytes(0)) << "nothing more can always be read";
  EXPECT_TRUE(cursor.ok());
  EXPECT_EQ(cursor.remaining(), 0u);
}

TEST(ByteCursorTest, AReadPastTheEndFailsAndTheCursorStaysFailed) {
  struct Case {
    const char* what;
    std::size_t start;          // Seek here first
    bool (*read)(ByteCursor&);  // the read that must fail
  };
  const Case cases[] = {
      {"U8 at the end", 13, [](ByteCursor& c) { return c.U8().has_value(); }},
      {"U16Be one short", 12, [](ByteCursor& c) { return c.U16Be().has_value(); }},
      {"U32Be three short", 12, [](ByteCursor& c) { return c.U32Be().has_value(); }},
      {"U32Le one short", 10, [](ByteCursor& c) { return c.U32Le().has_value(); }},
      {"Bytes one too many", 3, [](ByteCursor& c) { return c.Bytes(11).has_value(); }},
      {"Bytes of a huge count", 1,
       [](ByteCursor& c) { return c.Bytes(std::numeric_limits<std::size_t>::max()).has_value(); }},
      {"Skip past the end", 0, [](ByteCursor& c) { return c.Skip(14); }},
      {"Seek past the end", 0, [](ByteCursor& c) { return c.Seek(14); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ByteCursor cursor(kData);
    ASSERT_TRUE(cursor.Seek(c.start));
    EXPECT_FALSE(c.read(cursor));
    EXPECT_FALSE(cursor.ok());
    EXPECT_EQ(cursor.remaining(), 0u);
    // Once failed, even a read that would fit fails, and nothing moves.
    EXPECT_FALSE(cursor.Seek(0));
    EXPECT_FALSE(cursor.Bytes(0));
    EXPECT_EQ(cursor.position(), c.start);
  }
}

TEST(ByteCursorTest, SeekMovesBothWaysInsideTheData) {
  ByteCursor cursor(kData);
  ASSERT_TRUE(cursor.Seek(13));
  EXPECT_EQ(cursor.remaining(), 0u);
  ASSERT_TRUE(cursor.Seek(4));
  EXPECT_EQ(cursor.U8(), 0x05);
  EXPECT_TRUE(cursor.Skip(7));
  EXPECT_EQ(cursor.U8(), 0x0D);

  ByteCursor empty(std::span<const std::uint8_t>{});
  EXPECT_TRUE(empty.Seek(0));
  EXPECT_FALSE(empty.U8());
}

}  // namespace
}  // namespace ordalen
