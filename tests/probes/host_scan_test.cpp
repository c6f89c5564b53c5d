#include "probes/host_scan.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <tuple>

#include "base/text.h"
#include "engine/result_store.h"
#include "support/loopback_peer.h"
#include "support/node_status.h"
#include "support/process.h"
#include "support/recording_output.h"
#include "support/scan_config.h"

namespace ordalen {
namespace {

constexpr std::uint32_t kHost = 0x0A4D0114;  // 10.77.1.20

struct FakeHost {
  std::set<std::uint32_t> open_ports = {};
  std::optional<NodeStatus> netbios = {};  // no answer when unset
  int netbios_error = 0;
  std::string wmi_user = {};  // the one account the host accepts
  std::string wmi_name = {};
  std::string wmi_failure = "authentication refused";  // what every other attempt gives
};

class FakeProbes : public HostProbes {
 public:
  bool PortAccepts(std::uint32_t address, std::uint32_t port) override {
    std::lock_guard<std::mutex> lock(mutex_);
    connects.emplace_back(address, port);
    const auto it = hosts.find(address);
    return it != hosts.end() && it->second.open_ports.count(port) != 0;
  }
  bool AskNodeStatus(std::uint32_t address, std::uint16_t local_port, NodeStatus& answer,
                     OsError& error) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      netbios_calls.emplace_back(address, local_port);
      if (!ports_in_use.insert(local_port).second) port_clash = true;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(query_micros));
    std::lock_guard<std::mutex> lock(mutex_);
    ports_in_use.erase(local_port);
    const auto it = hosts.find(address);
    if (it == hosts.end() || !it->second.netbios) {
      const int code = it == hosts.end() ? 0 : it->second.netbios_error;
      error = code == 0 ? OsError{} : MakeOsError(OsErrorKind::kBind, "bind", code);
      return false;
    }
    answer = *it->second.netbios;
    error = OsError{};
    return true;
  }
  bool WmiComputerName(const std::string& ip, const std::string& user, const std::string& password,
                       std::string& name, std::string& failure) override {
    std::lock_guard<std::mutex> lock(mutex_);
    wmi_calls.emplace_back(ip, user, password);
    for (const auto& [address, host] : hosts) {
      if (IpText(address) != ip) continue;
      if (!host.wmi_user.empty() && host.wmi_user == user && !host.wmi_name.empty()) {
        name = host.wmi_name;
        return true;
      }
      failure = host.wmi_failure;
      return false;
    }
    failure = "connection refused";
    return false;
  }

  std::map<std::uint32_t, FakeHost> hosts;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> connects;
  std::vector<std::pair<std::uint32_t, std::uint16_t>> netbios_calls;
  std::vector<std::tuple<std::string, std::string, std::string>> wmi_calls;
  std::set<std::uint16_t> ports_in_use;
  bool port_clash = false;
  int query_micros = 0;

 private:
  std::mutex mutex_;
};

using test::RecordingOutput;

NodeStatus Answer(const char* mac, const char* name, const char* domain) {
  return NodeStatus{mac, name, domain};
}

std::vector<std::uint32_t> PortsProbed(const FakeProbes& probes) {
  std::vector<std::uint32_t> ports;
  for (const auto& [address, port] : probes.connects) ports.push_back(port);
  return ports;
}

void Seed127(const std::string& ip) {
  auto& slot = HostSlot(ip);
  slot = std::make_unique<SCANRESULT>();
  slot->IpAddress = ip;
  slot->MacAddress = "00:00:00:00:00:00";
  slot->OsType = 3;
}

const std::string kNetbiosBanner = "-----------NETBIOS--------------\r\n";
const std::string kWmiBanner = "-----------WMI--------------\r\n";

TEST(ScanWorkerTest, ProbesPortsNetbiosAndAccountsAsConfigured) {
  struct Case {
    const char* what;
    std::vector<std::uint32_t> ports = {};
    std::vector<std::string> users = {};
    std::string job = {};
    int slot = 0;
    FakeHost host = {};
    // Expected:
    std::vector<std::uint32_t> probed = {};
    int result = -1;
    int netbios_found = 0;
    std::string mac = {}, name = {}, domain = {};
    std::vector<std::string> printed = {kNetbiosBanner, kWmiBanner};
    std::vector<std::string> logged = {};
    std::uint16_t local_port = 34100;  // 0: no query
    std::size_t wmi_attempts = 0;
  };
  const NodeStatus real = Answer("00:1A:2B:3C:4D:5E", "WS01", "WORKGROUP");
  const std::string kRealLine = "[10.77.1.20]00:1A:2B:3C:4D:5E,WORKGROUP,WS01\r\n";
  const std::string kRealLog = "NetBIOS[10.77.1.20]: 00:1A:2B:3C:4D:5E,WORKGROUP,WS01";
  const std::string kNoNetbiosLog = "NetBIOS[10.77.1.20]: error[0]";
  const std::vector<Case> cases = {
      {.what = "nothing answers, no account: port 135 untouched",
       .ports = {3389},
       .probed = {3389},
       .logged = {kNoNetbiosLog}},
      {.what = "first of two open ports is the one reported",
       .ports = {3389, 445},
       .host = {.open_ports = {3389, 445}},
       .probed = {3389},
       .result = 1,
       .printed = {"[10.77.1.20]3389:ok\r\n", kNetbiosBanner, kWmiBanner},
       .logged = {"Port[10.77.1.20]: 3389 ok", kNoNetbiosLog}},
      {.what = "closed first port, open second",
       .ports = {3389, 445},
       .host = {.open_ports = {445}},
       .probed = {3389, 445},
       .result = 1,
       .printed = {"[10.77.1.20]445:ok\r\n", kNetbiosBanner, kWmiBanner},
       .logged = {"Port[10.77.1.20]: 445 ok", kNoNetbiosLog}},
      {.what = "usable NetBIOS answer; job 3 slot 0 uses port 35600",
       .job = "3",
       .host = {.netbios = real},
       .netbios_found = 1,
       .mac = "00:1A:2B:3C:4D:5E",
       .name = "WS01",
       .domain = "WORKGROUP",
       .printed = {kNetbiosBanner, kRealLine, kWmiBanner},
       .logged = {kRealLog},
       .local_port = 35600},
      {.what = "zero MAC: answer ignored, nothing printed",
       .slot = 5,
       .host = {.netbios = Answer("00:00:00:00:00:00", "WIN-NMBD", "LABGROUP")},
       .local_port = 34105},
      {.what = "no MAC (no statistics): answer ignored",
       .host = {.netbios = Answer("", "WS01", "WORKGROUP")}},
      {.what = "no computer name: answer ignored",
       .host = {.netbios = Answer("00:1A:2B:3C:4D:5E", "", "WORKGROUP")}},
      {.what = "query error number is logged",
       .host = {.netbios_error = EADDRINUSE},
       .logged = {"NetBIOS[10.77.1.20]: error[98]"}},
      {.what = "job whose ports fall outside the range: no query, EINVAL",
       .job = "63",
       .host = {.netbios = real},
       .logged = {"NetBIOS[10.77.1.20]: error[22]"},
       .local_port = 0},
      {.what = "accounts but 135 closed: no attempt",
       .users = {"alice", "bob"},
       .host = {.netbios = real, .wmi_user = "bob", .wmi_name = "WMI-NAME"},
       .probed = {135},
       .netbios_found = 1,
       .mac = "00:1A:2B:3C:4D:5E",
       .name = "WS01",
       .domain = "WORKGROUP",
       .printed = {kNetbiosBanner, kRealLine, kWmiBanner},
       .logged = {kRealLog}},
      {.what = "second of two accounts is valid: the first one's failure, one name line",
       .users = {"alice", "bob"},
       .host = {.open_ports = {135}, .netbios = real, .wmi_user = "bob", .wmi_name = "WMI-NAME"},
       .probed = {135},
       .netbios_found = 1,
       .mac = "00:1A:2B:3C:4D:5E",
       .name = "WMI-NAME",
       .domain = "WORKGROUP",
       .printed = {kNetbiosBanner, kRealLine, kWmiBanner, "[10.77.1.20]wmi:WMI-NAME\n"},
       .logged = {kRealLog, "WMI[10.77.1.20]: account 1: authentication refused",
                  "WMI[10.77.1.20]: WMI-NAME"},
       .wmi_attempts = 2},
      {.what = "first account valid: the second is not tried",
       .users = {"alice", "bob"},
       .host = {.open_ports = {135}, .wmi_user = "alice", .wmi_name = "WMI-NAME"},
       .probed = {135},
       .name = "WMI-NAME",
       .printed = {kNetbiosBanner, kWmiBanner, "[10.77.1.20]wmi:WMI-NAME\n"},
       .logged = {kNoNetbiosLog, "WMI[10.77.1.20]: WMI-NAME"},
       .wmi_attempts = 1},
      {.what = "every account fails: one line each, nothing printed, NetBIOS name kept",
       .users = {"alice", "bob"},
       .host = {.open_ports = {135}, .netbios = real, .wmi_failure = "no answer in time"},
       .probed = {135},
       .netbios_found = 1,
       .mac = "00:1A:2B:3C:4D:5E",
       .name = "WS01",
       .domain = "WORKGROUP",
       .printed = {kNetbiosBanner, kRealLine, kWmiBanner},
       .logged = {kRealLog, "WMI[10.77.1.20]: account 1: no answer in time",
                  "WMI[10.77.1.20]: account 2: no answer in time"},
       .wmi_attempts = 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SCANCONFIG config;
    config.winPorts = c.ports;
    config.wmiUserNames = c.users;
    for (const auto& user : c.users) config.wmiPasswords.push_back("pw-" + user);
    config.jobId = c.job;
    FakeProbes probes;
    probes.hosts[kHost] = c.host;
    RecordingOutput output;
    ProbeContext context;
    context.Slot = c.slot;
    context.HostAddress = kHost;

    ScanWorker(context, config, probes, output);
    EXPECT_EQ(PortsProbed(probes), c.probed);
    EXPECT_EQ(context.Result, c.result);
    EXPECT_EQ(context.NetbiosFound, c.netbios_found);
    EXPECT_EQ(context.MacAddress, c.mac);
    EXPECT_EQ(context.Name, c.name);
    EXPECT_EQ(context.Domain, c.domain);
    EXPECT_EQ(output.printed, c.printed);
    EXPECT_EQ(output.logged, c.logged);
    if (c.local_port == 0) {
      EXPECT_TRUE(probes.netbios_calls.empty());
    } else {
      ASSERT_EQ(probes.netbios_calls.size(), 1u);
      EXPECT_EQ(probes.netbios_calls[0].second, c.local_port);
    }
    for (const auto& line : output.logged) {
      for (const auto& user : c.users) {
        EXPECT_EQ(line.find(user), std::string::npos) << "account text in the log: " << line;
      }
    }
    ASSERT_EQ(probes.wmi_calls.size(), c.wmi_attempts);
    for (std::size_t i = 0; i < c.wmi_attempts; ++i) {
      EXPECT_EQ(probes.wmi_calls[i],
                std::make_tuple(std::string("10.77.1.20"), c.users[i], "pw-" + c.users[i]));
    }
  }
}

class HostScanStoreTest : public ::testing::Test {
 protected:
  void SetUp() override { ClearHosts(); }
  void TearDown() override { ClearHosts(); }

  static SCANRESULT& Seed(const std::string& ip, const std::string& mac = "02:77:01:00:00:20",
                          int os = 3) {
    auto& slot = HostSlot(ip);
    slot = std::make_unique<SCANRESULT>();
    slot->IpAddress = ip;
    slot->MacAddress = mac;
    slot->NetbiosName = "arp-name";
    slot->OsType = os;
    return *slot;
  }
};

TEST_F(HostScanStoreTest, MergeCompletesTheRecord) {
  struct Case {
    const char* what;
    int result = -1;
    int netbios_found = 0;
    const char* name = "";  // what the worker left in Name
    bool stored = true;
    // Expected:
    std::vector<std::string> printed = {"[10.77.1.20]scan\r\n"};
    const char* mac = "02:77:01:00:00:20";
    const char* netbios_name = "arp-name";
    const char* domain = "";
    int os = 3;
  };
  const Case cases[] = {
      {.what = "nothing found: no line, record untouched", .printed = {}},
      {.what = "NetBIOS replaces MAC, name and domain; OS kept",
       .netbios_found = 1,
       .name = "WS01",
       .mac = "00:1A:2B:3C:4D:5E",
       .netbios_name = "WS01",
       .domain = "WORKGROUP"},
      {.what = "accepting port sets OS 1 only", .result = 1, .os = 1},
      {.what = "a management name rides on a usable NetBIOS answer",
       .result = 1,
       .netbios_found = 1,
       .name = "WMI-NAME",
       .mac = "00:1A:2B:3C:4D:5E",
       .netbios_name = "WMI-NAME",
       .domain = "WORKGROUP",
       .os = 1},
      {.what = "a management name without NetBIOS stays out",
       .result = 1,
       .name = "WMI-NAME",
       .os = 1},
      {.what = "host no longer stored: lines, no record made",
       .result = 1,
       .netbios_found = 1,
       .name = "WS01",
       .stored = false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ClearHosts();
    if (c.stored) Seed("10.77.1.20");
    ProbeContext context;
    context.HostAddress = kHost;
    context.Result = c.result;
    context.NetbiosFound = c.netbios_found;
    context.Name = c.name;
    if (c.netbios_found) {
      context.MacAddress = "00:1A:2B:3C:4D:5E";
      context.Domain = "WORKGROUP";
    }
    RecordingOutput output;
    MergeScanResult(context, output);
    EXPECT_EQ(output.printed, c.printed);
    EXPECT_EQ(output.logged.size(), c.printed.size());
    if (!c.printed.empty()) {
      EXPECT_EQ(output.logged[0], "Scan[10.77.1.20]: scanned");
    }
    const SCANRESULT* record = FindHost("10.77.1.20");
    if (!c.stored) {
      EXPECT_EQ(record, nullptr);
      EXPECT_EQ(Results().size(), 0u);
      continue;
    }
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->MacAddress, c.mac);
    EXPECT_EQ(record->NetbiosName, c.netbios_name);
    EXPECT_EQ(record->DomainName, c.domain);
    EXPECT_EQ(record->OsType, c.os);
    // The slot's findings are gone: merging it again changes and prints nothing.
    RecordingOutput again;
    MergeScanResult(context, again);
    EXPECT_TRUE(again.printed.empty());
  }
}

TEST_F(HostScanStoreTest, VisitsStoredHostsInSortedTextOrder) {
  for (const char* ip : {"10.0.0.2", "10.0.0.10", "10.0.0.9", "10.0.0.100", "10.0.1.1"}) Seed(ip);
  SCANCONFIG config;
  config.threadCount = 1;
  config.winPorts = {3389};
  FakeProbes probes;
  RecordingOutput output;
  HostScan(config, probes, output);
  std::vector<std::string> order;
  for (const auto& [address, port] : probes.connects) order.push_back(IpText(address));
  EXPECT_EQ(order, (std::vector<std::string>{"10.0.0.10", "10.0.0.100", "10.0.0.2", "10.0.0.9",
                                             "10.0.1.1"}));
  for (const auto& [address, port] : probes.netbios_calls) EXPECT_EQ(port, 34100);
}

TEST_F(HostScanStoreTest, EveryHostIsMergedOnceWithItsOwnAnswers) {
  SCANCONFIG config;
  config.threadCount = 4;
  config.winPorts = {3389};
  config.jobId = "2";
  FakeProbes probes;
  probes.query_micros = 300;
  for (std::uint32_t i = 1; i <= 40; ++i) {
    const std::uint32_t address = 0x0A4D0100 + i;
    Seed(IpText(address), "02:77:01:00:00:01", 3);
    FakeHost host;
    if (i % 2 == 0) host.open_ports = {3389};
    if (i % 3 == 0)
      host.netbios = Answer("00:00:00:00:01:00", ("HOST" + std::to_string(i)).c_str(), "GRP");
    probes.hosts[address] = host;
  }
  RecordingOutput output;
  HostScan(config, probes, output);

  EXPECT_FALSE(probes.port_clash) << "two running queries shared a local port";
  EXPECT_EQ(probes.netbios_calls.size(), 40u);
  for (const auto& [address, port] : probes.netbios_calls) {
    EXPECT_GE(port, 35100);
    EXPECT_LE(port, 35103);
  }
  int scanned = 0;
  for (const auto& line : output.logged) scanned += StartsWith(line, "Scan[") ? 1 : 0;
  int expected_scanned = 0;
  for (std::uint32_t i = 1; i <= 40; ++i) {
    SCOPED_TRACE(i);
    const SCANRESULT* record = FindHost(IpText(0x0A4D0100 + i));
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->OsType, i % 2 == 0 ? 1 : 3);
    EXPECT_EQ(record->NetbiosName, i % 3 == 0 ? "HOST" + std::to_string(i) : "arp-name");
    EXPECT_EQ(record->MacAddress, i % 3 == 0 ? "00:00:00:00:01:00" : "02:77:01:00:00:01");
    expected_scanned += (i % 2 == 0 || i % 3 == 0) ? 1 : 0;
  }
  EXPECT_EQ(scanned, expected_scanned);
  EXPECT_EQ(Results().size(), 40u);
}

TEST_F(HostScanStoreTest, EmptyStoreGivesNoProbeAndNoLine) {
  SCANCONFIG config;
  config.winPorts = {3389};
  config.wmiUserNames = {"alice"};
  config.wmiPasswords = {"pw"};
  config.jobId = "63";
  FakeProbes probes;
  RecordingOutput output;
  HostScan(config, probes, output);
  EXPECT_TRUE(probes.connects.empty());
  EXPECT_TRUE(probes.netbios_calls.empty());
  EXPECT_TRUE(output.printed.empty());
  EXPECT_TRUE(output.logged.empty());
}

TEST_F(HostScanStoreTest, JobOutsideThePortRangeIsExplainedOnce) {
  Seed("10.0.0.1");
  Seed("10.0.0.2");
  SCANCONFIG config;
  config.threadCount = 2;
  config.jobId = "63";
  FakeProbes probes;
  RecordingOutput output;
  HostScan(config, probes, output);
  EXPECT_TRUE(probes.netbios_calls.empty());
  int explained = 0;
  int errors = 0;
  for (const auto& line : output.logged) {
    explained +=
        line == "NetBIOS: job \"63\" gives local ports outside 1..65535: no NetBIOS query" ? 1 : 0;
    errors += line.find("]: error[22]") != std::string::npos ? 1 : 0;
  }
  EXPECT_EQ(explained, 1);
  EXPECT_EQ(errors, 2);
}

// The real probes on loopback, through to the record and the lines: a listening port, a name
// service on 127.0.0.1:137 and no account.
TEST(HostScanLoopbackTest, RealProbesReachTheRecordTheConsoleAndTheLog) {
  if (test::NoNetworkNamespace()) GTEST_SKIP() << "no network namespace of our own";
  test::TempDir dir;
  test::ScopedScanConfig scoped(dir.path());
  test::TcpListener listener("127.0.0.1", 0);
  test::UdpPeer service("127.0.0.1", 137);
  ScanConfig().winPorts = {listener.port()};
  ScanConfig().jobId = "7";
  ScanConfig().threadCount = 2;
  Seed127("127.0.0.1");

  test::NodeStatusAnswer reply;
  reply.names = {{"IS~LOOP", 0x00, 0x04}, {"LOOPHOST", 0x00, 0x04}, {"LOOPGRP", 0x00, 0x84}};
  reply.unit_id = std::array<std::uint8_t, 6>{0x02, 0x00, 0x00, 0xAB, 0xCD, 0xEF};
  std::uint16_t asked_from = 0;
  std::thread responder([&] {
    if (const auto request = service.Receive(std::chrono::milliseconds(5000))) {
      asked_from = request->from_port;
      service.SendTo(test::BuildNodeStatus(reply), request->from_address, request->from_port);
    }
  });
  RecordingOutput output;
  HostScan(ScanConfig(), *MakeNetworkProbes(), output);
  const std::string console = output.Printed();
  responder.join();

  EXPECT_EQ(asked_from, 7 * 500 + 34100);
  const std::string port = std::to_string(listener.port());
  EXPECT_EQ(console, "[127.0.0.1]" + port +
                         ":ok\r\n-----------NETBIOS--------------\r\n"
                         "[127.0.0.1]02:00:00:AB:CD:EF,LOOPGRP,LOOPHOST\r\n"
                         "-----------WMI--------------\r\n[127.0.0.1]scan\r\n");
  EXPECT_EQ(output.logged,
            (std::vector<std::string>{"Port[127.0.0.1]: " + port + " ok",
                                      "NetBIOS[127.0.0.1]: 02:00:00:AB:CD:EF,LOOPGRP,LOOPHOST",
                                      "Scan[127.0.0.1]: scanned"}));
  const SCANRESULT* record = FindHost("127.0.0.1");
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->MacAddress, "02:00:00:AB:CD:EF");
  EXPECT_EQ(record->NetbiosName, "LOOPHOST");
  EXPECT_EQ(record->DomainName, "LOOPGRP");
  EXPECT_EQ(record->OsType, 1);
}

}  // namespace
}  // namespace ordalen
