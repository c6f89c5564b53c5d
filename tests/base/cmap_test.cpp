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

TEST(CMapTest, AddressesComeOutInBucketOrderNotNumericOrder) {
  CMap<int> map;
  const std::vector<std::string> ips = {"10.0.0.1", "10.0.0.2", "10.0.0.3", "10.0.0.10"};
  for (const auto& ip : ips) map[ip] = 0;
  std::vector<std::pair<std::uint32_t, std::string>> expected;
  for (const auto& ip : ips) expected.emplace_back(HashKey(ip) % 17, ip);
  // Bucket ascending; inside one bucket the later insertion first.
  std::stable_sort(expected.begin(), expected.end(),
                   [](const auto& x, const auto& y) { return x.first < y.first; });
  std::vector<std::string> order;
  std::vector<std::pair<std::uint32_t, std::string>> reversed(expected.rbegin(), expected.rend());
  std::stable_sort(reversed.begin(), reversed.end(),
                   [](const auto& x, const auto& y) { return x.first < y.first; });
  for (const auto& [bucket, ip] : reversed) order.push_back(ip);
  EXPECT_EQ(Keys(map), order);
  // Neighbouring addresses land one bucket apart.
  EXPECT_EQ((HashKey("10.0.0.2") - HashKey("10.0.0.1")) % 17, 1u);
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
