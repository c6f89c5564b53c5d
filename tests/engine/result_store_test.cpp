#include "engine/result_store.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace ordalen {
namespace {

std::unique_ptr<SCANRESULT> Record(const std::string& ip, const std::string& mac) {
  auto r = std::make_unique<SCANRESULT>();
  r->IpAddress = ip;
  r->MacAddress = mac;
  return r;
}

TEST(ResultStoreTest, NewRecordIsEmpty) {
  const SCANRESULT r;
  for (const std::string* s : {&r.MacAddress, &r.IpAddress, &r.NetMask, &r.Broadcast,
                               &r.NetbiosName, &r.DomainName, &r.SysDescr, &r.MarkerCount,
                               &r.ModelName, &r.FirmVersion}) {
    EXPECT_TRUE(s->empty());
  }
  EXPECT_EQ(r.OsType, 0);
  EXPECT_EQ(r.FromDeviceTable, 0);
}

TEST(ResultStoreTest, SecondRecordForAnAddressReplacesTheFirst) {
  ClearHosts();
  EXPECT_EQ(FindHost("10.0.0.1"), nullptr);
  HostSlot("10.0.0.1") = Record("10.0.0.1", "02:00:00:00:00:01");
  HostSlot("10.0.0.2") = Record("10.0.0.2", "02:00:00:00:00:02");
  HostSlot("10.0.0.1") = Record("10.0.0.1", "02:00:00:00:00:99");  // two cards on one subnet
  EXPECT_EQ(Results().size(), 2u);
  ASSERT_NE(FindHost("10.0.0.1"), nullptr);
  EXPECT_EQ(FindHost("10.0.0.1")->MacAddress, "02:00:00:00:00:99");
  EXPECT_EQ(FindHost("10.0.0.3"), nullptr);
  EXPECT_EQ(Results().size(), 2u);  // a failed lookup inserts nothing
  ClearHosts();
  EXPECT_TRUE(Results().empty());
  EXPECT_EQ(FindHost("10.0.0.1"), nullptr);
}

TEST(ResultStoreTest, HostsComeOutInBucketOrderNewestFirstWithinABucket) {
  ClearHosts();
  std::vector<std::string> ips;
  for (int i = 1; i <= 40; ++i) ips.push_back("192.168.1." + std::to_string(i));
  for (const auto& ip : ips) HostSlot(ip) = Record(ip, "");
  const auto inserted = [&](const std::string& ip) {
    return std::find(ips.begin(), ips.end(), ip) - ips.begin();
  };
  std::vector<std::string> order;
  for (const auto& a : Results()) {
    if (!order.empty()) {
      const std::uint32_t prev = HashKey(order.back()) % kDefaultHashBuckets;
      const std::uint32_t bucket = HashKey(a.key) % kDefaultHashBuckets;
      EXPECT_GE(bucket, prev) << a.key;
      if (bucket == prev) {
        EXPECT_LT(inserted(a.key), inserted(order.back())) << a.key;
      }
    }
    order.push_back(a.key);
  }
  EXPECT_EQ(order.size(), ips.size());
  EXPECT_NE(order, ips);
  ClearHosts();
}

}  // namespace
}  // namespace ordalen
