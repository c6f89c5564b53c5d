// Hostile and broken peers on the lab: SNMP agents that lead a walk in circles
// or on for ever, send wrong types, giant or cut values or wrong request ids;
// NetBIOS name services that answer short, cut, over-long, with an error code,
// from another address or in floods; TCP ports that accept and never speak; a
// host that answers ARP for every address. Each peer is a program of
// scripts/lab/ on an address of its own (extra addresses on the TTL255 host, or
// that host's subnet-B twin for ARP), started for the test and ended after it.
// The scan must end within what its time-outs promise, keep every sound value,
// crash on none of them, and write a well-formed result.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "app/settings.h"
#include "base/text.h"
#include "platform/tcp_connect.h"
#include "probes/arp.h"
#include "probes/netbios.h"
#include "probes/ping.h"
#include "probes/wmi.h"
#include "snmp/netsnmp_get.h"
#include "snmp/snmp_manager.h"
#include "support/lab.h"
#include "support/lab_peer.h"
#include "support/recording_output.h"
#include "support/scan_checks.h"
#include "support/snmp_agent.h"

namespace ordalen {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

const std::string kScripts = std::string(ORDALEN_SOURCE_DIR) + "/scripts/lab/";
// The host whose card carries the extra addresses: only its kernel answers there.
constexpr const char* kHost = "TTL255";
constexpr const char* kJob = "7";

const std::string kModelOid = "1.3.6.1.2.1.25.3.2.1.3.1";
const std::string kFirmwareOid = "1.3.6.1.4.1.77777.1.1.0";

struct SnmpPeer {
  const char* mode;
  const char* address;
};
constexpr SnmpPeer kSnmpPeers[] = {{"loop", "10.77.1.101"},      {"grow", "10.77.1.102"},
                                   {"types", "10.77.1.103"},     {"giant", "10.77.1.104"},
                                   {"truncated", "10.77.1.105"}, {"wrongid", "10.77.1.106"}};

struct NetbiosPeer {
  const char* what;
  const char* address;
  std::vector<std::string> args;
  const char* credited_name;  // nullptr: no name may be taken from it
  const char* credited_mac;
};

std::string ManyNames(int count) {
  std::string names;
  for (int i = 0; i < count; ++i) names += Format("%sLONG-NB%02d/00/0400", i ? "," : "", i);
  return names;
}

const std::vector<NetbiosPeer>& NetbiosPeers() {
  static const std::vector<NetbiosPeer> peers = {
      {"short answer (40 bytes)",
       "10.77.1.111",
       {"--name", "SHORT-NB", "--truncate", "40"},
       nullptr,
       nullptr},
      {"answer cut inside its first name",
       "10.77.1.112",
       {"--name", "CUT-NB", "--truncate", "70"},
       nullptr,
       nullptr},
      {"over-long answer (70 names, statistics past the receive size)",
       "10.77.1.113",
       {"--names", ManyNames(70)},
       nullptr,
       nullptr},
      {"error code 3", "10.77.1.114", {"--name", "RCODE-NB", "--rcode", "3"}, nullptr, nullptr},
      {"answer from another address",
       "10.77.1.115",
       {"--name", "OTHER-NB", "--answer-from", "10.77.1.117"},
       nullptr,
       nullptr},
      {"well-formed answer",
       "10.77.1.116",
       {"--name", "GOOD-NB", "--group", "GOODWG", "--mac", "02:77:01:00:01:16"},
       "GOOD-NB",
       "02:77:01:00:01:16"},
      {"flood of random bytes",
       "10.77.1.118",
       {"--garbage", "300", "--copies", "2000"},
       nullptr,
       nullptr},
      {"flood of copies of a good answer",
       "10.77.1.119",
       {"--name", "FLOOD-NB", "--copies", "2000", "--mac", "02:77:01:00:01:19"},
       "FLOOD-NB",
       "02:77:01:00:01:19"},
      {"answer without the response bit",
       "10.77.1.120",
       {"--name", "NORESP-NB", "--no-response-bit"},
       nullptr,
       nullptr},
  };
  return peers;
}

constexpr const char* kOtherSource = "10.77.1.117";  // only sends the forged answers
constexpr const char* kSilentTcp = "10.77.1.121";    // accepts 3389, 135, 5985, never speaks

std::vector<std::string> HostileAddresses() {
  std::vector<std::string> addresses;
  for (const auto& p : kSnmpPeers) addresses.push_back(p.address);
  for (const auto& p : NetbiosPeers()) addresses.push_back(p.address);
  addresses.push_back(kOtherSource);
  addresses.push_back(kSilentTcp);
  return addresses;
}

std::unique_ptr<test::LabPeer> StartSnmpPeer(const test::Lab& lab, const SnmpPeer& peer) {
  return std::make_unique<test::LabPeer>(
      lab, kHost, kScripts + "hostile_snmp.py",
      std::vector<std::string>{"--bind", peer.address, "--mode", peer.mode});
}

// All the peers of subnet A, each on its address; empty when one did not start.
struct SubnetAPeers {
  std::vector<std::unique_ptr<test::LabPeer>> peers;
  std::string error;
};

SubnetAPeers StartSubnetAPeers(const test::Lab& lab) {
  SubnetAPeers all;
  for (const auto& p : kSnmpPeers) all.peers.push_back(StartSnmpPeer(lab, p));
  for (const auto& p : NetbiosPeers()) {
    std::vector<std::string> args = {"--bind", p.address};
    args.insert(args.end(), p.args.begin(), p.args.end());
    if (std::find(args.begin(), args.end(), "--mac") == args.end()) {
      args.insert(args.end(), {"--mac", "02:77:01:00:0b:ad"});
    }
    all.peers.push_back(
        std::make_unique<test::LabPeer>(lab, kHost, kScripts + "nb_responder.py", args));
  }
  all.peers.push_back(std::make_unique<test::LabPeer>(
      lab, kHost, kScripts + "silent_tcp.py",
      std::vector<std::string>{"--bind", kSilentTcp, "--port", "3389", "--port", "135", "--port",
                               "5985"}));
  for (auto& peer : all.peers) {
    if (!peer->WaitReady()) {
      all.error = "peer did not start: " + peer->description() + "\n" + peer->Err();
      break;
    }
  }
  return all;
}

std::string FieldOr(const test::ResultNode* node, std::string_view name) {
  if (!node) return "<no node>";
  return node->Field(name).value_or("<none>");
}

// A manager request: 500 ms and three retries. A GET through the SNMP library
// with its default time-out and retries: 1 s and five retries.
constexpr milliseconds kManagerRequestTime{4 * 500};
constexpr milliseconds kLibraryRequestTime{6 * 1000};

// What the scan's time-outs promise for one host that answers every probe as
// slowly as it may, with a thread for every host: the ARP and ping waits, the
// SNMP walk's budget and the request under way when it runs out, the model and
// firmware values read each way (a manager GET, then two library GETs), every
// configured port's connect time-out, the NetBIOS polls.
// With a Windows account: the connect to port 135 and, for each account, the
// remote-management query (its connect and its whole-query limit).
std::chrono::milliseconds PromisedScanTime(int ports, int accounts = 0) {
  const auto netbios = kNetbiosPollInterval * kNetbiosPolls;
  const auto wmi = accounts == 0
                       ? milliseconds(0)
                       : kConnectTimeout + accounts * (kWsmanConnectTimeout + kWsmanQueryLimit);
  return kArpWait + kPingTimeout + kWalkTimeBudget + kManagerRequestTime +
         2 * (kManagerRequestTime + 2 * kLibraryRequestTime) + kConnectTimeout * ports + netbios +
         wmi;
}

class HostileLabTest : public ::testing::Test {};

// The walk and the two GET paths from the scanner against every hostile agent.
TEST_F(HostileLabTest, SnmpQueriesOfHostileAgents) {
  ORDALEN_REQUIRE_LAB(lab);
  {
    const std::string why = lab.EnterScanner();
    ASSERT_TRUE(why.empty()) << why;
  }
  test::LabAddresses addresses(lab, kHost, HostileAddresses());
  ASSERT_TRUE(addresses.error().empty()) << addresses.error();
  std::vector<std::unique_ptr<test::LabPeer>> peers;
  for (const auto& p : kSnmpPeers) {
    peers.push_back(StartSnmpPeer(lab, p));
    ASSERT_TRUE(peers.back()->WaitReady()) << peers.back()->Err();
  }
  test::PrepareSnmpTestProcess();
  const MibAccountTable no_accounts;
  const SnmpCredentials credentials{"anything", no_accounts};

  using Values = std::map<std::string, std::string>;
  const std::string kSysDescr = "1.3.6.1.2.1.1.1.0";
  struct Case {
    const char* mode;
    int walk_result;
    Values walked;             // exactly these, unless `walked_count` is set
    std::size_t walked_count;  // 0: compare `walked`
    milliseconds walk_limit;
    int model_result;  // GetDeviceValue
    std::string model_manager;
    std::string model_single;  // NetSnmpGet v2c
    std::string firmware_single;
  } cases[] = {
      {"loop",
       0,
       {{kSysDescr, "Hostile loop"},
        {"1.3.6.1.2.1.4.20.1.1.10.77.1.1", "10.77.1.1"},
        {"1.3.6.1.2.1.4.20.1.2.10.77.1.1", "1"}},
       0,
       milliseconds(1000),
       0,
       "Hostile loop model",
       "Hostile loop model",
       "Hostile loop firmware"},
      {"grow",
       0,
       {},
       static_cast<std::size_t>(kWalkMaxObjects),
       kWalkTimeBudget + milliseconds(2500),
       0,
       "Hostile grow model",
       "Hostile grow model",
       "Hostile grow firmware"},
      // The firmware's 6-octet IpAddress makes its answer one the library drops:
      // the walk ends there after the request's retries.
      {"types",
       0,
       {{kSysDescr, "Hostile types"},
        {"1.3.6.1.2.1.4.20.1.1.10.77.1.1", "5"},
        {"1.3.6.1.2.1.43.10.2.1.4.1.1", "AQJiaW5hcnkf\r\n"},
        {"1.3.6.1.2.1.43.10.2.1.5.1.1", ""}},
       0,
       milliseconds(3000),
       0,
       "9000",
       "9000",
       ""},
      {"giant",
       0,
       {},
       4,
       milliseconds(1500),
       0,
       std::string(256, 'M'),
       std::string(60000, 'M'),
       std::string(60000, 'F')},
      {"truncated", 1, {}, 0, milliseconds(3000), 1, "", "", ""},
      {"wrongid", 1, {}, 0, milliseconds(3000), 1, "", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mode);
    const auto peer =
        std::find_if(std::begin(kSnmpPeers), std::end(kSnmpPeers),
                     [&](const SnmpPeer& p) { return std::string(p.mode) == c.mode; });
    const std::string agent = peer->address;

    OidValueMap walked;
    test::RecordingOutput out;
    auto t0 = Clock::now();
    EXPECT_EQ(WalkDevice(agent, credentials.community, walked, out), c.walk_result);
    const auto walk_time = Clock::now() - t0;
    EXPECT_LT(walk_time, c.walk_limit);
    Values got;
    for (const auto& entry : walked) got[entry.key] = entry.value;
    if (c.walked_count != 0) {
      EXPECT_EQ(got.size(), c.walked_count);
      EXPECT_EQ(got[kSysDescr], std::string("Hostile ") + c.mode);
    } else {
      EXPECT_EQ(got, c.walked);
    }
    // Only the endless agent's walk is cut, and says so.
    EXPECT_EQ(out.logged,
              std::string(c.mode) == "grow"
                  ? std::vector<std::string>{"SNMP walk of " + agent + " cut at its limit of " +
                                             std::to_string(kWalkMaxObjects) + " objects"}
                  : std::vector<std::string>{});

    std::string model = "untouched";
    t0 = Clock::now();
    const int model_result = GetDeviceValue(agent, credentials.community, kModelOid, model);
    EXPECT_EQ(model_result, c.model_result);
    EXPECT_EQ(model, c.model_result == 0 ? c.model_manager : "untouched");
    EXPECT_LT(Clock::now() - t0, kManagerRequestTime + milliseconds(600));

    // The library's GETs of an agent that never answers usably cost its full
    // time-out each, as for any silent device; they are tested once (types).
    if (c.walk_result == 0) {
      std::string single;
      NetSnmpGet(kModelOid, single, agent, SnmpVersion::kV2c, credentials);
      EXPECT_EQ(single, c.model_single);
      std::string firmware;
      t0 = Clock::now();
      NetSnmpGet(kFirmwareOid, firmware, agent, SnmpVersion::kV2c, credentials);
      EXPECT_LT(Clock::now() - t0, kLibraryRequestTime + milliseconds(600));
      EXPECT_EQ(firmware, c.firmware_single);
    }
    std::printf("hostile agent %-9s walk %zu objects in %.2f s\n", c.mode, got.size(),
                std::chrono::duration<double>(walk_time).count());
  }
}

// The whole scans below run at the thread count they were written for and at
// 4096, where the sweeps have every address out at once.
class HostileScanLabTest : public ::testing::TestWithParam<int> {
 protected:
  static std::string ThreadLine() { return "Thread=" + std::to_string(GetParam()) + "\r\n"; }
};

// The whole program over the hostile hosts of subnet A.
TEST_P(HostileScanLabTest, ScanOfHostileHostsEndsInTimeAndKeepsTheSoundValues) {
  ORDALEN_REQUIRE_LAB(lab);
  test::LabAddresses addresses(lab, kHost, HostileAddresses());
  ASSERT_TRUE(addresses.error().empty()) << addresses.error();
  SubnetAPeers peers = StartSubnetAPeers(lab);
  ASSERT_TRUE(peers.error.empty()) << peers.error;

  test::OrdalenFiles files;
  // With an account, so that the port that never speaks is asked for its name too.
  files.config_ini = "[Ordalen]\r\n" + ThreadLine() +
                     "WinPort=3389\r\nCommunity=anything\r\n"
                     "[Ordalen_Account_1]\r\nUserName=labadmin\r\nPassword=wrong\r\n";
  files.target_mib_xml = "<?xml version=\"1.0\"?><Root><Target><ModelMIB>" + kModelOid +
                         "</ModelMIB><Model>Hostile</Model><VersionMIB>" + kFirmwareOid +
                         "</VersionMIB></Target></Root>";
  const auto started = Clock::now();
  const test::OrdalenRun run =
      test::RunOrdalen(lab, files, {kJob, "10.77.1.100-10.77.1.130"}, milliseconds(240000));
  const auto took = Clock::now() - started;
  ASSERT_TRUE(run.error.empty()) << run.error;
  ASSERT_FALSE(run.process.timed_out) << run.process.out;
  EXPECT_EQ(run.process.exit_code, 0) << run.process.err;
  const auto promised = PromisedScanTime(1, 1);
  std::printf("hostile subnet A scan: %.1f s (promised at most %.1f s)\n",
              std::chrono::duration<double>(took).count(),
              std::chrono::duration<double>(promised).count());
  EXPECT_LT(took, promised);

  EXPECT_EQ(test::CheckLogLines(run.log, kJob), "");
  ASSERT_FALSE(run.result_file.empty()) << run.process.out;
  EXPECT_EQ(test::CheckResultFile(run.result_file), "");
  const test::ResultDocument result = test::ParseResultFile(run.result_file);
  ASSERT_TRUE(result.error.empty()) << result.error;

  const std::string host_mac = AsciiUpper(lab.Mac(kHost));
  // Every hostile host was found, and its record holds only what is sound.
  for (const auto& address : HostileAddresses()) {
    SCOPED_TRACE(address);
    const test::ResultNode* node = result.FindByIp(address);
    ASSERT_NE(node, nullptr) << run.process.out;
    EXPECT_EQ(FieldOr(node, "OS"), address == kSilentTcp ? "1" : "4");
  }
  for (const auto& p : kSnmpPeers) {
    const test::ResultNode* node = result.FindByIp(p.address);
    if (!node) continue;
    std::string shown;
    for (const auto& [name, value] : node->fields) {
      if (StartsWith(name, "VARIABLE:")) shown += " " + name.substr(9) + "=" + value.substr(0, 40);
    }
    std::printf("agent %-9s %s\n", p.mode, shown.c_str());
  }
  // What the agents said soundly is kept; nothing of what they said wrongly is.
  struct SnmpExpect {
    const char* mode;
    const char* sys_descr;  // nullptr: no VARIABLE at all
    bool model;             // model_name and firm_version from the model table
  } snmp_expected[] = {{"loop", "Hostile loop", true},    {"grow", "Hostile grow", true},
                       {"types", "Hostile types", false}, {"giant", "Hostile giant", false},
                       {"truncated", nullptr, false},     {"wrongid", nullptr, false}};
  for (const auto& e : snmp_expected) {
    SCOPED_TRACE(e.mode);
    const auto peer =
        std::find_if(std::begin(kSnmpPeers), std::end(kSnmpPeers),
                     [&](const SnmpPeer& p) { return std::string(p.mode) == e.mode; });
    const test::ResultNode* node = result.FindByIp(peer->address);
    ASSERT_NE(node, nullptr);
    if (e.sys_descr == nullptr) {
      for (const auto& field : node->fields)
        EXPECT_FALSE(StartsWith(field.first, "VARIABLE:")) << field.first;
      continue;
    }
    EXPECT_EQ(FieldOr(node, "VARIABLE:1.3.6.1.2.1.1.1.0"), e.sys_descr);
    if (e.model) {
      EXPECT_EQ(FieldOr(node, "VARIABLE:model_name"), std::string(e.sys_descr) + " model");
      EXPECT_EQ(FieldOr(node, "VARIABLE:firm_version"), std::string(e.sys_descr) + " firmware");
    } else {
      EXPECT_EQ(FieldOr(node, "VARIABLE:model_name"), "<none>");
    }
  }
  // The binary marker counter of the agent with wrong types, as base64.
  EXPECT_TRUE(
      StartsWith(FieldOr(result.FindByIp("10.77.1.103"), "VARIABLE:1.3.6.1.2.1.43.10.2.1.4.1.1"),
                 "AQJiaW5hcnkf"));
  std::set<std::string> credited;
  for (const auto& p : NetbiosPeers()) {
    SCOPED_TRACE(p.what);
    const test::ResultNode* node = result.FindByIp(p.address);
    if (p.credited_name) {
      EXPECT_EQ(FieldOr(node, "NETBIOS_NAME"), p.credited_name);
      EXPECT_EQ(FieldOr(node, "MACADDRESS"), AsciiUpper(p.credited_mac));
      credited.insert(p.credited_name);
    } else {
      EXPECT_EQ(FieldOr(node, "MACADDRESS"), host_mac);
    }
  }
  EXPECT_EQ(FieldOr(result.FindByIp("10.77.1.116"), "DOMAIN_NAME"), "GOODWG");
  // No name of a hostile answer on any host, and the good ones only on their own.
  const std::set<std::string> forbidden = {"SHORT-NB", "CUT-NB", "RCODE-NB", "OTHER-NB",
                                           "NORESP-NB"};
  for (const auto& node : result.nodes) {
    const std::string ip = node.Field("IPADDRESS").value_or("");
    const std::string name = node.Field("NETBIOS_NAME").value_or("");
    EXPECT_EQ(forbidden.count(name), 0u) << ip << " " << name;
    EXPECT_FALSE(StartsWith(name, "LONG-NB")) << ip;
    if (credited.count(name)) {
      const auto owner = std::find_if(
          NetbiosPeers().begin(), NetbiosPeers().end(),
          [&](const NetbiosPeer& p) { return p.credited_name && name == p.credited_name; });
      EXPECT_EQ(ip, owner->address) << name;
    }
  }
  const test::ResultNode* silent = result.FindByIp(kSilentTcp);
  EXPECT_EQ(FieldOr(silent, "MACADDRESS"), host_mac);
  EXPECT_NE(run.process.out.find(std::string("[") + kSilentTcp + "]3389:ok"), std::string::npos);

  // No name from the port that never speaks: the attempt ends at its time limit, and says so.
  const std::string wmi_line = "WMI[" + std::string(kSilentTcp) + "]";
  const auto wmi_at = run.log.find(wmi_line + ": account 1: no answer in time\r\n");
  EXPECT_NE(wmi_at, std::string::npos) << run.log;
  EXPECT_EQ(run.log.find(wmi_line), wmi_at) << run.log;
  EXPECT_EQ(run.log.rfind(wmi_line), wmi_at) << run.log;
  for (auto& peer : peers.peers) {
    const std::string out = peer->Stop();
    EXPECT_TRUE(peer->Err().find("Traceback") == std::string::npos)
        << peer->description() << peer->Err();
    // The silent ports were connected to: the port probe, the 135 gate, the query.
    if (peer->description().starts_with("silent_tcp.py")) {
      EXPECT_GE(AtoI(TrimSpace(out)), 3) << out;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Thread, HostileScanLabTest, ::testing::Values(32, 4096));

class ProxyArpLabTest : public HostileScanLabTest {};

// A host that answers ARP for every address of subnet B.
TEST_P(ProxyArpLabTest, ProxyArpHostLeavesTheRealHostsTheirOwnValues) {
  ORDALEN_REQUIRE_LAB(lab);
  test::FlushScannerNeighbours(lab);
  test::LabPeer proxy(lab, "TTL255B", kScripts + "proxy_arp.py",
                      {"--subnet", "10.77.2.0/24", "--own", lab.Ip("TTL255B"), "--only-from",
                       lab.Value("LAB_SCANNER_MAC_B"), "--delay-ms", "50"});
  ASSERT_TRUE(proxy.WaitReady()) << proxy.Err();

  test::OrdalenFiles files;
  files.config_ini = "[Ordalen]\r\n" + ThreadLine() + "WinPort=3389\r\n";
  const auto started = Clock::now();
  const test::OrdalenRun run =
      test::RunOrdalen(lab, files, {kJob, "10.77.2.1-10.77.2.60"}, milliseconds(240000));
  const auto took = Clock::now() - started;
  const std::string answers = proxy.Stop();
  test::FlushScannerNeighbours(lab);
  ASSERT_TRUE(run.error.empty()) << run.error;
  ASSERT_FALSE(run.process.timed_out) << run.process.out;
  EXPECT_EQ(run.process.exit_code, 0) << run.process.err;
  std::printf("proxy-ARP subnet B scan: %.1f s, %s proxy answers\n",
              std::chrono::duration<double>(took).count(), std::string(TrimSpace(answers)).c_str());
  EXPECT_LT(took, PromisedScanTime(1));
  EXPECT_GT(AtoI(TrimSpace(answers)), 0) << "the proxy never answered";

  EXPECT_EQ(test::CheckLogLines(run.log, kJob), "");
  ASSERT_FALSE(run.result_file.empty());
  EXPECT_EQ(test::CheckResultFile(run.result_file), "");
  const test::ResultDocument result = test::ParseResultFile(run.result_file);
  ASSERT_TRUE(result.error.empty()) << result.error;
  // The real hosts keep their own MAC and OS class; every other address shows
  // the proxy's MAC, as its answers said.
  EXPECT_EQ(FieldOr(result.FindByIp(lab.Ip("LINUX2")), "MACADDRESS"),
            AsciiUpper(lab.Mac("LINUX2")));
  EXPECT_EQ(FieldOr(result.FindByIp(lab.Ip("LINUX2")), "OS"), "3");
  EXPECT_EQ(FieldOr(result.FindByIp(lab.Ip("TTL255B")), "MACADDRESS"),
            AsciiUpper(lab.Mac("TTL255B")));
  EXPECT_EQ(FieldOr(result.FindByIp(lab.Ip("TTL255B")), "OS"), "4");
  int phantoms = 0;
  for (const auto& node : result.nodes) {
    const std::string ip = node.Field("IPADDRESS").value_or("");
    if (ip == lab.Ip("LINUX2") || ip == lab.Ip("TTL255B")) continue;
    if (ip == lab.Value("LAB_SCANNER_IP_B")) {
      EXPECT_EQ(node.Field("MACADDRESS"), AsciiUpper(lab.Value("LAB_SCANNER_MAC_B")));
      continue;
    }
    EXPECT_EQ(node.Field("MACADDRESS"), AsciiUpper(lab.Mac("TTL255B"))) << ip;
    EXPECT_EQ(node.Field("OS"), "0") << ip << ": no echo reply can come from a phantom";
    ++phantoms;
  }
  std::printf("phantom hosts listed: %d\n", phantoms);
}

INSTANTIATE_TEST_SUITE_P(Thread, ProxyArpLabTest, ::testing::Values(64, 4096));

// At Thread=4096 every address of subnet A is asked at once while the TTL255
// host floods the sweeps: copies of its true answers, ARP replies for every
// other address sent to another station, echo replies forged from the
// addresses after its own, an "unreachable" for the next address.
TEST_F(HostileLabTest, DiscoveryFloodsAtThread4096CreditNoAnswerToTheWrongHostAndLoseNone) {
  ORDALEN_REQUIRE_LAB(lab);
  test::FlushScannerNeighbours(lab);
  test::LabPeer flood(lab, kHost, kScripts + "discovery_flood.py",
                      {"--subnet", "10.77.1.0/24", "--own", lab.Ip(kHost), "--only-from",
                       lab.Value("LAB_SCANNER_MAC_A"), "--copies", "20", "--spoof", "40"});
  ASSERT_TRUE(flood.WaitReady()) << flood.Err();

  test::OrdalenFiles files;
  files.config_ini = "[Ordalen]\r\nThread=4096\r\nWinPort=3389\r\n";
  const auto started = Clock::now();
  const test::OrdalenRun run =
      test::RunOrdalen(lab, files, {kJob, "10.77.1.1-10.77.1.254"}, milliseconds(240000));
  const auto took = Clock::now() - started;
  const std::string sent = flood.Stop();
  test::FlushScannerNeighbours(lab);
  ASSERT_TRUE(run.error.empty()) << run.error;
  ASSERT_FALSE(run.process.timed_out) << run.process.out;
  EXPECT_EQ(run.process.exit_code, 0) << run.process.err;
  std::printf("flooded subnet A scan at Thread=4096: %.1f s, %s frames of flood\n",
              std::chrono::duration<double>(took).count(), std::string(TrimSpace(sent)).c_str());
  EXPECT_GT(AtoI(TrimSpace(sent)), 254 * 20) << "the flood never came";
  EXPECT_EQ(test::CheckLogLines(run.log, kJob), "");
  ASSERT_FALSE(run.result_file.empty());
  const test::ResultDocument result = test::ParseResultFile(run.result_file);
  ASSERT_TRUE(result.error.empty()) << result.error;

  // Exactly the hosts of subnet A, each with its own MAC and the class of its
  // own TTL, found once by each sweep; no address the flood spoke for.
  struct Host {
    std::string ip;
    std::string mac;
    const char* os;
  };
  std::vector<Host> hosts = {{lab.Value("LAB_SCANNER_IP_A"), lab.Value("LAB_SCANNER_MAC_A"), "3"}};
  for (const auto& [key, os] : std::vector<std::pair<const char*, const char*>>{
           {"LINUX1", "3"}, {"WIN1", "1"}, {"WIN2", "1"}, {"PRINTER", "3"}, {"TTL255", "4"}})
    hosts.push_back({lab.Ip(key), lab.Mac(key), os});
  EXPECT_EQ(result.nodes.size(), hosts.size()) << run.process.out;
  for (const Host& h : hosts) {
    SCOPED_TRACE(h.ip);
    const test::ResultNode* node = result.FindByIp(h.ip);
    ASSERT_NE(node, nullptr) << run.process.out;
    EXPECT_EQ(FieldOr(node, "MACADDRESS"), AsciiUpper(h.mac));
    EXPECT_EQ(FieldOr(node, "OS"), h.os);
    const auto count = [&](const std::string& what) {
      std::size_t n = 0;
      for (auto at = run.log.find(what); at != std::string::npos; at = run.log.find(what, at + 1))
        ++n;
      return n;
    };
    EXPECT_EQ(count("ARP[" + h.ip + "]: "), 1u);
    EXPECT_EQ(count("ICMP[" + h.ip + "]: found. os:" + h.os + "\r\n"), 1u);
  }
}

}  // namespace
}  // namespace ordalen
