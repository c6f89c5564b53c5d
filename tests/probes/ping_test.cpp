#include "probes/ping.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <set>
#include <vector>

#include "app/settings.h"
#include "engine/result_store.h"
#include "support/fake_network.h"
#include "support/process.h"
#include "support/recording_output.h"
#include "support/scan_config.h"

namespace ordalen {
namespace {

constexpr std::uint32_t Ip(int a, int b, int c, int d) {
  return static_cast<std::uint32_t>(a) << 24 | static_cast<std::uint32_t>(b) << 16 |
         static_cast<std::uint32_t>(c) << 8 | static_cast<std::uint32_t>(d);
}

using test::FakeEcho;

// Fresh settings (Thread=12) and store; the phase's lines recorded.
class PingSweepTest : public ::testing::Test {
 protected:
  // Runs a sweep; returns what it printed.
  std::string Sweep(std::uint32_t first, std::uint32_t last, EchoOps& probes) {
    const std::size_t before = out_.printed.size();
    PingSweep(ScanConfig(), first, last, probes, out_);
    std::string printed;
    for (std::size_t i = before; i < out_.printed.size(); ++i) printed += out_.printed[i];
    return printed;
  }

  test::TempDir dir_;
  test::ScopedScanConfig config_{dir_.path()};
  test::RecordingOutput out_;
};

TEST(TtlToOsTypeTest, Classes) {
  struct Case {
    int ttl;
    int os;
  } cases[] = {{0, 0}, {1, 3}, {64, 3}, {65, 1}, {128, 1}, {129, 4}, {255, 4}};
  for (const auto& c : cases) EXPECT_EQ(TtlToOsType(c.ttl), c.os) << c.ttl;
}

TEST_F(PingSweepTest, AnsweringHostsAreRecordedWithTheirClass) {
  FakeEcho echo;
  echo.ttls = {{Ip(10, 77, 1, 10), 64}, {Ip(10, 77, 1, 20), 128}, {Ip(10, 77, 1, 40), 255},
               {Ip(10, 77, 1, 41), 0},  {Ip(10, 77, 1, 42), 65},  {Ip(10, 77, 1, 43), 129}};
  const std::string out = Sweep(Ip(10, 77, 1, 1), Ip(10, 77, 1, 254), echo);

  std::vector<std::uint32_t> asked = echo.asked;
  std::ranges::sort(asked);
  ASSERT_EQ(asked.size(), 254u);
  for (std::size_t i = 0; i < asked.size(); ++i) EXPECT_EQ(asked[i], Ip(10, 77, 1, 1) + i);

  struct Want {
    const char* ip;
    int os;
  } want[] = {{"10.77.1.10", 3}, {"10.77.1.20", 1}, {"10.77.1.40", 4},
              {"10.77.1.41", 0}, {"10.77.1.42", 1}, {"10.77.1.43", 4}};
  EXPECT_EQ(Results().size(), std::size(want));
  for (const auto& w : want) {
    SCOPED_TRACE(w.ip);
    const SCANRESULT* r = FindHost(w.ip);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->IpAddress, w.ip);
    EXPECT_EQ(r->OsType, w.os);
    EXPECT_EQ(r->MacAddress, "");
    EXPECT_EQ(r->NetMask, "");
    EXPECT_EQ(r->Broadcast, "");
    EXPECT_EQ(r->NetbiosName, "");
    EXPECT_EQ(r->FromDeviceTable, 0);
    EXPECT_NE(out.find(std::string("[") + w.ip + "]found\r\n"), std::string::npos) << out;
  }
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), static_cast<long>(std::size(want))) << out;
  std::vector<std::string> log = out_.logged;
  std::ranges::sort(log);
  EXPECT_EQ(log, (std::vector<std::string>{
                     "ICMP[10.77.1.10]: found. os:3", "ICMP[10.77.1.20]: found. os:1",
                     "ICMP[10.77.1.40]: found. os:4", "ICMP[10.77.1.41]: found. os:0",
                     "ICMP[10.77.1.42]: found. os:1", "ICMP[10.77.1.43]: found. os:4"}));
}

TEST_F(PingSweepTest, AHostFromTheArpSweepKeepsItsFieldsAndGainsItsClass) {
  auto record = std::make_unique<SCANRESULT>();
  record->MacAddress = "02:77:01:00:00:10";
  record->IpAddress = "10.77.1.10";
  record->NetMask = "255.255.255.0";
  record->Broadcast = "10.77.1.255";
  record->NetbiosName = "linux1.lab.test";
  HostSlot("10.77.1.10") = std::move(record);
  FakeEcho echo;
  echo.ttls = {{Ip(10, 77, 1, 10), 64}};
  Sweep(Ip(10, 77, 1, 10), Ip(10, 77, 1, 10), echo);
  ASSERT_EQ(Results().size(), 1u);
  const SCANRESULT* r = FindHost("10.77.1.10");
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->OsType, 3);
  EXPECT_EQ(r->MacAddress, "02:77:01:00:00:10");
  EXPECT_EQ(r->NetMask, "255.255.255.0");
  EXPECT_EQ(r->Broadcast, "10.77.1.255");
  EXPECT_EQ(r->NetbiosName, "linux1.lab.test");
}

TEST_F(PingSweepTest, RangesAreInclusiveAndEndAfterTheirLastAddress) {
  struct Case {
    const char* what;
    std::uint32_t first, last;
    std::size_t count;
  } cases[] = {
      {"one address", Ip(10, 0, 0, 1), Ip(10, 0, 0, 1), 1},
      {"first after last", Ip(10, 0, 0, 2), Ip(10, 0, 0, 1), 0},
      {"up to 255.255.255.255", 0xFFFFFFFD, 0xFFFFFFFF, 3},
      {"from 0.0.0.0", 0, 2, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FakeEcho echo;
    Sweep(c.first, c.last, echo);
    std::set<std::uint32_t> asked(echo.asked.begin(), echo.asked.end());
    EXPECT_EQ(echo.asked.size(), c.count);
    EXPECT_EQ(asked.size(), c.count);
    for (std::uint32_t a : asked) {
      EXPECT_GE(a, c.first);
      EXPECT_LE(a, c.last);
    }
    if (c.count == 0) {
      EXPECT_EQ(echo.can_send_calls, 0);
    }
  }
}

TEST_F(PingSweepTest, EveryThreadCountAsksEveryAddressOnceWithThatManyInFlight) {
  struct Case {
    int threads;
    bool by_frames;
    int in_flight;  // at most, over 4094 addresses
  } cases[] = {{1, true, 1},       {64, true, 64},       {256, true, 256}, {1024, true, 1024},
               {4096, true, 4094}, {100000, true, 4094}, {0, true, 1},     {-5, true, 1},
               {4096, false, 256}, {100, false, 100}};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.threads << (c.by_frames ? "" : " through the system"));
    ScanConfig().threadCount = c.threads;
    FakeEcho echo;
    echo.by_frames = c.by_frames;
    echo.ttls = {{Ip(10, 0, 0, 7), 64}, {Ip(10, 0, 15, 254), 128}};
    Sweep(Ip(10, 0, 0, 1), Ip(10, 0, 15, 254), echo);
    EXPECT_EQ(echo.asked.size(), 4094u);
    EXPECT_EQ(std::set<std::uint32_t>(echo.asked.begin(), echo.asked.end()).size(), 4094u);
    EXPECT_EQ(echo.most_in_flight, c.in_flight);
    EXPECT_EQ(Results().size(), 2u);
    ClearHosts();
  }
  // Capped for the neighbour table: said once in the log.
  const std::vector<std::string>& log = out_.logged;
  EXPECT_EQ(
      std::ranges::count_if(
          log, [](const std::string& l) { return l.find("neighbour table") != std::string::npos; }),
      1);
}

TEST_F(PingSweepTest, NoRightToSendSaysSoOnceForTheWholeRun) {
  FakeEcho echo;
  echo.can_send = false;
  Sweep(Ip(10, 0, 1, 1), Ip(10, 0, 1, 254), echo);
  Sweep(Ip(10, 0, 2, 1), Ip(10, 0, 2, 254), echo);
  echo.each_echo_fails = true;
  EXPECT_EQ(PingHost(Ip(10, 0, 1, 1), echo, out_), std::nullopt);
  const std::string err = out_.Errors();
  EXPECT_NE(err.find("no permission"), std::string::npos) << err;
  EXPECT_NE(err.find("ping_group_range"), std::string::npos) << err;
  EXPECT_NE(err.find("setcap cap_net_raw+ep"), std::string::npos) << err;
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
  EXPECT_EQ(echo.asked.size(), 1u);  // only PingHost's own try
  EXPECT_EQ(Results().size(), 0u);
  const std::vector<std::string>& log = out_.logged;
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0] + "\r\n", err);
}

TEST(PingHostTest, ReplyGivesItsTtl) {
  FakeEcho echo;
  echo.ttls = {{Ip(10, 0, 0, 1), 128}};
  struct Case {
    std::uint32_t address;
    std::optional<int> ttl;
  } cases[] = {{Ip(10, 0, 0, 1), 128}, {Ip(10, 0, 0, 2), std::nullopt}};
  test::RecordingOutput out;
  for (const auto& c : cases) EXPECT_EQ(PingHost(c.address, echo, out), c.ttl);
}

}  // namespace
}  // namespace ordalen
