#include "base/cmap.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ordalen {
namespace {

std::vector<std::string> Keys(const CMap<int>& map) {
  std::vector<std::string> keys;
  for (const auto& assoc : map) keys.push_back(assoc.key);
  return keys;
}

TEST(HashKeyTest, MultipliesBy33AndAddsSignedBytes) {
  struct Case {
    std::string key;
    std::uint32_t hash;
  } cases[] = {
      {"", 0},
      {"a", 97},
      {"ab", 97 * 33 + 98},
      {"1.2", (49u * 33 + 46) * 33 + 50},
      // 0xE3 is -29 as a signed char: it subtracts.
      {"\xE3", static_cast<std::uint32_t>(-29)},
      {"a\xFF", 97u * 33 - 1},
  };
  for (const auto& c : cases) EXPECT_EQ(HashKey(c.key), c.hash) << c.key;
}

TEST(CMapTest, IteratesBucketsInOrderAndNewestFirstWithinABucket) {
  CMap<int> map;
  // "a" (97 % 17 = 12), "b" (98 % 17 = 13), "r" (114 % 17 = 12, same bucket as "a").
  map["b"] = 1;
  map["a"] = 2;
  map["r"] = 3;
  EXPECT_EQ(Keys(map), (std::vector<std::string>{"r", "a", "b"}));
}

// The golden order was worked out by hand from the rule (hash = hash * 33 +
// signed byte, mod 2^32; bucket = hash mod 17; buckets ascending, newest first):
//   "1", "10", ..., "10.0.0." -> 49, 1665, 54991, 1814751, 59886829, 1976265405,
//                 65216758411 mod 2^32 = 792248971
//   "10.0.0.1" -> 792248971 * 33 + 49 = 26144216092 mod 2^32 = 374412316, bucket 15;
//   "10.0.0.d" (d = 1..9) adds d - 1 to that: buckets 15, 16, 0, 1, ..., 6;
//   "10.0.0.1d" -> 374412316 * 33 mod 2^32 = 3765671836, + '0'..'9' (48..57):
//                 "10.0.0.10" 3765671884, bucket 14, then 15, 16, 0, ..., 6 up to "10.0.0.19";
//   "10.0.0.20" -> (374412317 * 33 mod 2^32) + 48 = 3765671917, bucket 13.
TEST(CMapTest, AddressesComeOutInBucketOrderNotNumericOrder) {
  CMap<int> map;
  for (int i = 1; i <= 20; ++i) map["10.0.0." + std::to_string(i)] = i;
  EXPECT_EQ(Keys(map), (std::vector<std::string>{
                           "10.0.0.13", "10.0.0.3",  "10.0.0.14", "10.0.0.4",  "10.0.0.15",
                           "10.0.0.5",  "10.0.0.16", "10.0.0.6",  "10.0.0.17", "10.0.0.7",
                           "10.0.0.18", "10.0.0.8",  "10.0.0.19", "10.0.0.9",  "10.0.0.20",
                           "10.0.0.10", "10.0.0.11", "10.0.0.1",  "10.0.0.12", "10.0.0.2"}));
}

TEST(CMapTest, ExistingKeyKeepsItsPlaceAndValueIsReplacedInPlace) {
  CMap<int> map;
  map["x"] = 1;
  map["y"] = 2;
  const auto before = Keys(map);
  map["x"] = 5;
  EXPECT_EQ(Keys(map), before);
  EXPECT_EQ(map.size(), 2u);
  ASSERT_NE(map.Find("x"), nullptr);
  EXPECT_EQ(*map.Find("x"), 5);
  EXPECT_EQ(map.Find("z"), nullptr);
}

TEST(CMapTest, RemoveAllEmptiesAndTheMapIsReusable) {
  CMap<int> map;
  for (int i = 0; i < 100; ++i) map[std::to_string(i)] = i;
  EXPECT_EQ(map.size(), 100u);
  map.RemoveAll();
  EXPECT_TRUE(map.empty());
  EXPECT_EQ(map.begin(), map.end());
  map["k"] = 1;
  EXPECT_EQ(Keys(map), std::vector<std::string>{"k"});
}

TEST(CMapTest, KeysAreCaseSensitiveAndExact) {
  CMap<int> map;
  map["10.0.0.1"] = 1;
  EXPECT_EQ(map.Find("10.0.0.1 "), nullptr);
  map["AB"] = 2;
  EXPECT_EQ(map.Find("ab"), nullptr);
}

}  // namespace
}  // namespace ordalen
