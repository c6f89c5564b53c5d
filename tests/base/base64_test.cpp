#include "base/base64.h"

#include <gtest/gtest.h>

namespace ordalen {
namespace {

std::span<const std::uint8_t> Bytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

TEST(Base64, RoundTripsEveryLengthAndRefusesBadText) {
  std::vector<std::uint8_t> data;
  for (int n = 0; n < 40; ++n) {
    const auto encoded = Base64Encode(data);
    EXPECT_EQ(encoded.size() % 4, 0u);
    const auto decoded = Base64Decode(encoded);
    ASSERT_TRUE(decoded) << encoded;
    EXPECT_EQ(*decoded, data);
    data.push_back(static_cast<std::uint8_t>(n * 37 + 250));
  }
  EXPECT_EQ(Base64Encode(Bytes("hello")), "aGVsbG8=");
  for (const char* bad :
       {"aGVsbG8", "aGV sbG8=", "aGVsbG9=", "aG=sbG8=", "====", "aGVs\nbG8=", "aGVsbG8==="}) {
    EXPECT_FALSE(Base64Decode(bad)) << bad;
  }
}

}  // namespace
}  // namespace ordalen
