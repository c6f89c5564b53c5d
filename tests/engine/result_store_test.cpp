#include "engine/result_store.h"

#include <gtest/gtest.h>

namespace ordalen {
namespace {

std::unique_ptr<SCANRESULT> Record(const std::string& ip, const std::string& mac) {
  auto r = std::make_unique<SCANRESULT>();
  r->IpAddress = ip;
  r->MacAddress = mac;
  return r;
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

}  // namespace
}  // namespace ordalen
