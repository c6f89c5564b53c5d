// The MIB phase against the lab's SNMP peers and hosts of its own: a switch
// with a large view ahead of its ARP table, a host whose firewall drops SNMP, a
// host with the SNMP port closed, and the lab's printer. Each extra peer lives
// on an extra address of the TTL255 host for the time of one test.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app/settings.h"
#include "base/text.h"
#include "engine/result_store.h"
#include "platform/address_text.h"
#include "snmp/mib_phase.h"
#include "snmp/model_table.h"
#include "support/lab.h"
#include "support/lab_peer.h"
#include "support/recording_output.h"
#include "support/scan_config.h"
#include "support/snmp_agent.h"

namespace ordalen {
namespace {

using Lines = std::vector<std::string>;
using std::chrono::milliseconds;

const std::string kScripts = std::string(ORDALEN_SOURCE_DIR) + "/scripts/lab/";
constexpr const char* kHost = "TTL255";
constexpr const char* kBigView = "10.77.1.131";
constexpr const char* kDropping = "10.77.1.132";
constexpr const char* kClosed = "10.77.1.133";
constexpr int kArpRows = 20;
constexpr int kFirstArpRow = 221;  // 10.77.1.221 .. .240: no host owns them

// A model table of `n` entries that no peer matches (the printer's model last).
std::vector<ModelMIB> Table(int n, const test::Lab& lab) {
  std::vector<ModelMIB> table;
  for (int i = 1; i < n; ++i) {
    table.push_back({lab.Value("LAB_SNMP_MODEL_OID"), "NoSuchMaker " + std::to_string(i),
                     "1.3.6.1.4.1.77777.9." + std::to_string(i)});
  }
  table.push_back(
      {lab.Value("LAB_SNMP_MODEL_OID"), lab.Value("LAB_SNMP_MODEL"), lab.Value("LAB_SNMP_FW_OID")});
  return table;
}

void SetRange(const std::string& first, const std::string& last) {
  ScanConfig().rangeStart = *ParseIpv4Text(first);
  ScanConfig().rangeEnd = *ParseIpv4Text(last);
}

void AddHost(const std::string& ip) {
  auto record = std::make_unique<SCANRESULT>();
  record->IpAddress = ip;
  HostSlot(ip) = std::move(record);
}

// An nftables table in a lab host's namespace that drops UDP to port 161 of one
// address; removed again when it goes.
class DropSnmp {
 public:
  DropSnmp(const test::Lab& lab, std::string where, const std::string& address)
      : lab_(lab), where_(std::move(where)) {
    const std::string rules =
        "table ip ordalen_drop_snmp {\n"
        "  chain input {\n"
        "    type filter hook input priority 0; policy accept;\n"
        "    ip daddr " +
        address + " udp dport 161 drop\n  }\n}\n";
    const test::TempDir dir;
    const auto file = dir.path() / "rules.nft";
    std::FILE* out = std::fopen(file.c_str(), "w");
    if (out == nullptr) {
      error_ = "cannot write " + file.string();
      return;
    }
    std::fputs(rules.c_str(), out);
    std::fclose(out);
    const auto result = lab_.Run(where_, {"nft", "-f", file.string()}, milliseconds(5000));
    if (result.exit_code != 0) {
      error_ = "nft -f: " + result.err;
      return;
    }
    added_ = true;
  }
  ~DropSnmp() {
    if (added_) {
      (void)lab_.Run(where_, {"nft", "delete", "table", "ip", "ordalen_drop_snmp"},
                     milliseconds(5000));
    }
  }
  DropSnmp(const DropSnmp&) = delete;
  DropSnmp& operator=(const DropSnmp&) = delete;
  [[nodiscard]] const std::string& error() const { return error_; }

 private:
  const test::Lab& lab_;
  std::string where_;
  bool added_ = false;
  std::string error_;
};

// The log messages that begin with `prefix`, as (their stamp, message).
std::vector<std::pair<std::int64_t, std::string>> StampedLog(const test::RecordingOutput& out,
                                                             const std::string& prefix) {
  std::vector<std::pair<std::int64_t, std::string>> stamped;
  for (std::size_t i = 0; i < out.logged.size(); ++i) {
    if (StartsWith(out.logged[i], prefix)) stamped.emplace_back(out.log_times[i], out.logged[i]);
  }
  return stamped;
}

class MibLabTest : public ::testing::Test {
 protected:
  ~MibLabTest() override {
    FreeTargetTable();
    ClearHosts();
  }
  // The phase's log messages that begin with `prefix`.
  Lines Log(const std::string& prefix) const { return out_.LoggedWith(prefix); }
  void RunPhase() {
    RunMibPhase(ScanConfig(), TargetTable(), *MakeSystemMibOps(credentials_), out_);
  }
  void Identify(MibJob& job) {
    IdentifyDevice(job, TargetTable(), *MakeSystemMibOps(credentials_), out_);
  }

  test::RecordingOutput out_;
  SnmpCredentials credentials_ = test::AgentCredentials();
};

TEST_F(MibLabTest, BigViewGivesUpEveryArpRowAndItsHostsArePingedSideBySide) {
  ORDALEN_REQUIRE_LAB(lab);
  ASSERT_EQ(lab.EnterScanner(), "");
  test::LabAddresses addresses(lab, kHost, {kBigView});
  ASSERT_TRUE(addresses.error().empty()) << addresses.error();
  test::LabPeer agent(lab, kHost, kScripts + "hostile_snmp.py",
                      {"--bind", kBigView, "--mode", "bigview", "--objects", "30000", "--arp-rows",
                       std::to_string(kArpRows), "--delay-ms", "2"});
  ASSERT_TRUE(agent.WaitReady(milliseconds(20000))) << agent.Err();
  test::PrepareSnmpTestProcess();
  ScanConfig().threadCount = 64;
  SetRange("10.77.1.1", "10.77.1.254");
  TargetTable() = Table(2, lab);
  ClearHosts();
  AddHost(kBigView);
  const auto start = std::chrono::steady_clock::now();
  RunPhase();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const std::string out = out_.Printed();
  std::printf("big view: MIB phase %.2f s\n", seconds);

  Lines want_log;
  for (int i = 0; i < kArpRows; ++i) {
    const std::string ip = "10.77.1." + std::to_string(kFirstArpRow + i);
    char mac[18];
    std::snprintf(mac, sizeof mac, "02:77:ee:00:00:%02x", kFirstArpRow + i);
    want_log.push_back("SNMP[" + std::string(kBigView) + "]: ip[" + ip + "] mac[" + mac + "]");
    const SCANRESULT* host = FindHost(ip);
    ASSERT_NE(host, nullptr) << ip;
    EXPECT_EQ(host->MacAddress, AsciiUpper(mac));
    EXPECT_EQ(host->FromDeviceTable, 1);
    EXPECT_EQ(host->OsType, 0);  // silent
    EXPECT_EQ(host->NetbiosName, "(unknown)");
  }
  Lines rows = Log("SNMP[");
  std::sort(rows.begin(), rows.end());
  EXPECT_EQ(rows, want_log);
  EXPECT_EQ(FindHost(kBigView)->SysDescr, "Hostile bigview");
  EXPECT_NE(out.find("[10.77.1.131]scan\r\n"), std::string::npos);
  EXPECT_TRUE(Log("SNMP walk of").empty());
  // The walk asked for the regions only, not for the 30,000 objects before them.
  const int requests = std::stoi(agent.Stop());
  EXPECT_LT(requests, 60);
}

// The walk goes unanswered, so ways B and C of the first entry wait out their
// time-outs side by side; the lines come out as if one followed the other.
TEST_F(MibLabTest, HostThatDropsSnmpTimesOutOncePerWay) {
  ORDALEN_REQUIRE_LAB(lab);
  ASSERT_EQ(lab.EnterScanner(), "");
  test::LabAddresses addresses(lab, kHost, {kDropping});
  ASSERT_TRUE(addresses.error().empty()) << addresses.error();
  const DropSnmp firewall(lab, kHost, kDropping);
  ASSERT_EQ(firewall.error(), "");
  test::PrepareSnmpTestProcess();
  TargetTable() = Table(8, lab);
  MibJob job;
  job.HostText = kDropping;
  const auto start = std::chrono::steady_clock::now();
  Identify(job);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const std::string errors = out_.Errors();
  std::printf("dropping host, 8 model entries: %.2f s\n", seconds);
  EXPECT_TRUE(job.Values.empty());
  const std::string d = kDropping;
  EXPECT_EQ(Log("MIB[" + d), (Lines{"MIB[" + d + "] snmp v2", "MIB[" + d + "] snmp v3"}));
  EXPECT_EQ(Log(d + "|"),
            (Lines{d + "|Timeout", d + "|scan end", d + "|Timeout", d + "|scan end"}));
  EXPECT_EQ(errors, "Timeout: No Response from " + d + "\nTimeout: No Response from " + d + "\n");
  // Each line keeps the time it happened at: the v3 GET began with the v2c GET,
  // and both were over one library time-out (6 s) later, not two (12 s).
  const auto stamped = StampedLog(out_, "MIB[" + d + "] snmp v");
  const auto ends = StampedLog(out_, d + "|scan end");
  ASSERT_EQ(stamped.size(), 2u);
  ASSERT_EQ(ends.size(), 2u);
  EXPECT_LE(stamped[1].first - stamped[0].first, 1);
  const std::int64_t took = ends[1].first - stamped[0].first;
  std::printf("log: v2c and v3 GETs from first line to last: %lld s\n",
              static_cast<long long>(took));
  EXPECT_GE(took, 5);
  EXPECT_LE(took, 9);
}

TEST_F(MibLabTest, HostWithThePortClosedIsNamedAtOnce) {
  ORDALEN_REQUIRE_LAB(lab);
  ASSERT_EQ(lab.EnterScanner(), "");
  test::LabAddresses addresses(lab, kHost, {kClosed});
  ASSERT_TRUE(addresses.error().empty()) << addresses.error();
  test::PrepareSnmpTestProcess();
  TargetTable() = Table(8, lab);
  MibJob job;
  job.HostText = kClosed;
  const auto start = std::chrono::steady_clock::now();
  Identify(job);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(out_.Errors(), "");
  std::printf("closed port, 8 model entries: %.3f s\n", seconds);
  EXPECT_TRUE(job.Values.empty());
  const std::string c = kClosed;
  EXPECT_EQ(Log("MIB[" + c), (Lines{"MIB[" + c + "]: no SNMP agent (port 161 closed)"}));
  EXPECT_TRUE(Log(c + "|").empty());
}

// The lab's own peers identify as before: the printer by its model and firmware
// (and its ARP table's ghost), a Linux host without an agent by its closed port.
TEST_F(MibLabTest, PrinterAndAgentlessHostOfTheLab) {
  ORDALEN_REQUIRE_LAB(lab);
  ASSERT_EQ(lab.EnterScanner(), "");
  test::PrepareSnmpTestProcess();
  credentials_.community = lab.Value("LAB_SNMP_COMMUNITY");
  ScanConfig().threadCount = 64;
  SetRange("10.77.1.1", "10.77.1.254");
  TargetTable() = Table(2, lab);
  ClearHosts();
  const std::string printer = lab.Ip("PRINTER");
  const std::string linux1 = lab.Ip("LINUX1");
  AddHost(printer);
  AddHost(linux1);
  RunPhase();
  const SCANRESULT* host = FindHost(printer);
  ASSERT_NE(host, nullptr);
  EXPECT_EQ(host->SysDescr, lab.Value("LAB_SNMP_SYSDESCR"));
  EXPECT_EQ(host->MarkerCount, lab.Value("LAB_SNMP_MARKER"));
  EXPECT_EQ(host->ModelName, lab.Value("LAB_SNMP_MODEL"));
  EXPECT_EQ(host->FirmVersion, lab.Value("LAB_SNMP_FW"));
  const SCANRESULT* ghost = FindHost(lab.Value("LAB_GHOST_IP"));
  ASSERT_NE(ghost, nullptr);
  EXPECT_EQ(ghost->MacAddress, AsciiUpper(lab.Value("LAB_GHOST_MAC")));
  EXPECT_EQ(ghost->FromDeviceTable, 1);
  EXPECT_EQ(Log("MIB[" + linux1), (Lines{"MIB[" + linux1 + "]: no SNMP agent (port 161 closed)"}));
  EXPECT_EQ(FindHost(linux1)->SysDescr, "");
}

}  // namespace
}  // namespace ordalen
