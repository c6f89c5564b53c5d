// SNMP queries against the lab printer's real agent, from the scanner namespace.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "app/settings.h"
#include "base/text.h"
#include "snmp/netsnmp_get.h"
#include "snmp/snmp_library.h"
#include "snmp/snmp_manager.h"
#include "support/lab.h"
#include "support/process.h"
#include "support/recording_output.h"
#include "support/snmp_agent.h"

namespace ordalen::test {
namespace {

using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

// Lab values (tests/lab/LAB.md), by env key.
struct LabSnmp {
  std::string printer;
  std::string silent;
  std::string community;
  std::string user;
  std::string pass;
  std::string sysdescr;
  std::string model_oid;
  std::string model;
  std::string firmware_oid;
  std::string firmware;
  std::string ghost_ip;
  std::string ghost_mac;
};

LabSnmp ValuesOf(const Lab& lab) {
  return {lab.Ip("PRINTER"),
          lab.Value("LAB_SILENT_A"),
          lab.Value("LAB_SNMP_COMMUNITY"),
          lab.Value("LAB_SNMP_V3_USER"),
          lab.Value("LAB_SNMP_V3_PASS"),
          lab.Value("LAB_SNMP_SYSDESCR"),
          lab.Value("LAB_SNMP_MODEL_OID"),
          lab.Value("LAB_SNMP_MODEL"),
          lab.Value("LAB_SNMP_FW_OID"),
          lab.Value("LAB_SNMP_FW"),
          lab.Value("LAB_GHOST_IP"),
          AsciiLower(lab.Value("LAB_GHOST_MAC"))};
}

// Moves the test into the scanner namespace (before any thread starts) and
// prepares the settings' folders and the SNMP library.
#define ENTER_LAB(lab, snmp)                        \
  ORDALEN_REQUIRE_LAB(lab);                         \
  {                                                 \
    const std::string entered = lab.EnterScanner(); \
    ASSERT_TRUE(entered.empty()) << entered;        \
  }                                                 \
  const LabSnmp snmp = ValuesOf(lab);               \
  PrepareSettings()

void PrepareSettings() {
  static TempDir folder;  // lives as long as the process
  SCANCONFIG& config = ScanConfig();
  config.exeDir = folder.path().string();
  config.logDir = folder.path().string();
  InitSnmpLibrary();
}

// The printer's v3 account.
MibAccountTable LabAccounts(const LabSnmp& snmp) {
  MibAccountTable accounts;
  accounts[snmp.printer] = MIB_ACCOUNT{snmp.user, snmp.pass};
  return accounts;
}

// The messages of the log lines (time stamp removed) that concern `agent`.
Lines MessagesAbout(const std::string& log, const std::string& agent) {
  Lines messages;
  std::size_t at = 0;
  while (at < log.size()) {
    std::size_t end = log.find("\r\n", at);
    if (end == std::string::npos) end = log.size();
    const std::string line = log.substr(at, end - at);
    at = end + 2;
    const std::size_t bar = line.find('|');
    if (bar == std::string::npos) continue;
    const std::string message = line.substr(bar + 1);
    if (StartsWith(message, "MIB[" + agent + "]") || StartsWith(message, agent + "|"))
      messages.push_back(message);
  }
  return messages;
}

// The objects a walk keeps.
bool IsWanted(const std::string& oid) {
  return oid == "1.3.6.1.2.1.1.1.0" || oid == "1.3.6.1.2.1.43.10.2.1.4.1.1" ||
         oid == "1.3.6.1.2.1.43.10.2.1.5.1.1" || StartsWith(oid, "1.3.6.1.2.1.4.20.") ||
         StartsWith(oid, "1.3.6.1.2.1.4.21.") || StartsWith(oid, "1.3.6.1.2.1.4.22.1.2.");
}

// "xx:xx:...": lower-case hex octets joined by ":" (or nothing).
bool IsHexOctets(const std::string& text) {
  if (text.empty()) return true;
  if (text.size() % 3 != 2) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const bool ok = i % 3 == 2 ? c == ':' : ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'));
    if (!ok) return false;
  }
  return true;
}

TEST(SnmpLabTest, WalkOfThePrinterStoresExactlyTheWantedObjects) {
  ENTER_LAB(lab, snmp);
  OidValueMap results;
  RecordingOutput out;
  ASSERT_EQ(WalkDevice(snmp.printer, snmp.community, results, out), 0);
  EXPECT_TRUE(out.logged.empty());

  int arp_rows = 0, address_rows = 0, route_rows = 0;
  for (const auto& entry : results) {
    EXPECT_TRUE(IsWanted(entry.key)) << "not a wanted object: " << entry.key;
    if (StartsWith(entry.key, "1.3.6.1.2.1.4.22.1.2.")) {
      ++arp_rows;
      EXPECT_TRUE(IsHexOctets(entry.value)) << entry.key << " = " << entry.value;
    }
    if (StartsWith(entry.key, "1.3.6.1.2.1.4.20.")) ++address_rows;
    if (StartsWith(entry.key, "1.3.6.1.2.1.4.21.")) ++route_rows;
  }
  const std::string* descr = results.Find("1.3.6.1.2.1.1.1.0");
  ASSERT_NE(descr, nullptr);
  EXPECT_EQ(*descr, snmp.sysdescr);
  const std::string* marker = results.Find("1.3.6.1.2.1.43.10.2.1.4.1.1");
  ASSERT_NE(marker, nullptr);
  EXPECT_EQ(*marker, "123456");
  // The printer's own address and mask in the address table.
  const std::string* address = results.Find("1.3.6.1.2.1.4.20.1.1." + snmp.printer);
  ASSERT_NE(address, nullptr);
  EXPECT_EQ(*address, snmp.printer);
  const std::string* mask = results.Find("1.3.6.1.2.1.4.20.1.3." + snmp.printer);
  ASSERT_NE(mask, nullptr);
  EXPECT_EQ(*mask, "255.255.255.0");
  // The static neighbour no host owns, in lower-case hex octets.
  bool ghost = false;
  for (const auto& entry : results) {
    if (StartsWith(entry.key, "1.3.6.1.2.1.4.22.1.2.") &&
        entry.key.ends_with("." + snmp.ghost_ip)) {
      EXPECT_EQ(entry.value, snmp.ghost_mac);
      ghost = true;
    }
  }
  EXPECT_TRUE(ghost) << "no ARP row for " << snmp.ghost_ip;
  std::printf("walk stored %zu values: %d address-table, %d route-table, %d ARP-table\n",
              results.size(), address_rows, route_rows, arp_rows);
  EXPECT_GT(address_rows, 0);
  // The route table is not asked for: nothing uses it.
  EXPECT_EQ(route_rows, 0);
  EXPECT_GT(arp_rows, 0);
}

TEST(SnmpLabTest, GetDeviceValueReadsTheModel) {
  ENTER_LAB(lab, snmp);
  std::string value;
  EXPECT_EQ(GetDeviceValue(snmp.printer, snmp.community, snmp.model_oid, value), 0);
  EXPECT_EQ(value, snmp.model);
  value = "untouched";
  EXPECT_EQ(GetDeviceValue(snmp.silent, snmp.community, snmp.model_oid, value), 1);
  EXPECT_EQ(value, "untouched");
}

TEST(SnmpLabTest, NetSnmpGetLogLineSequences) {
  ENTER_LAB(lab, snmp);
  const std::string& p = snmp.printer;
  struct Case {
    const char* name;
    std::string agent;
    std::string oid;
    SnmpVersion version;
    bool account;
    std::string value;
    Lines lines;
  } cases[] = {
      {"v2c",
       p,
       "1.3.6.1.2.1.1.1.0",
       SnmpVersion::kV2c,
       true,
       snmp.sysdescr,
       {"MIB[" + p + "] snmp v2", p + "|scan end"}},
      {"v2c firmware, leading dot",
       p,
       "." + snmp.firmware_oid,
       SnmpVersion::kV2c,
       true,
       snmp.firmware,
       {"MIB[" + p + "] snmp v2", p + "|scan end"}},
      {"v3 with the MD5 account",
       p,
       snmp.model_oid,
       SnmpVersion::kV3,
       true,
       snmp.model,
       {"MIB[" + p + "] snmp v3", p + "|scan end"}},
      {"v3 without an account: noAuth",
       p,
       snmp.model_oid,
       SnmpVersion::kV3,
       false,
       "",
       {"MIB[" + p + "] snmp v3", p + "|Error [1]No securityName specified", p + "|scan end"}},
      {"missing object: empty, no outcome line",
       p,
       "1.3.6.1.2.1.1.99.0",
       SnmpVersion::kV2c,
       true,
       "",
       {"MIB[" + p + "] snmp v2", p + "|scan end"}},
      {"silent address",
       snmp.silent,
       "1.3.6.1.2.1.1.1.0",
       SnmpVersion::kV2c,
       true,
       "",
       {"MIB[" + snmp.silent + "] snmp v2", snmp.silent + "|Timeout", snmp.silent + "|scan end"}},
  };
  const MibAccountTable accounts = LabAccounts(snmp);
  const MibAccountTable no_accounts;
  for (const auto& c : cases) {
    const SnmpCredentials credentials{snmp.community, c.account ? accounts : no_accounts};
    RecordingOutput out;
    NetSnmpGetControl control;
    control.out = &out;
    std::string value = "stale";
    EXPECT_EQ(NetSnmpGet(c.oid, value, c.agent, c.version, credentials, nullptr, control), 0)
        << c.name;
    EXPECT_EQ(value, c.value) << c.name;
    EXPECT_EQ(out.logged, c.lines) << c.name;
  }
}

TEST(SnmpLabTest, SixteenWorkersQueryThePrinterInAllThreeWaysAtOnce) {
  ENTER_LAB(lab, snmp);
  const MibAccountTable accounts = LabAccounts(snmp);
  const SnmpCredentials credentials{snmp.community, accounts};
  RecordingOutput out;  // the walks' (none is cut)
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int worker = 0; worker < 16; ++worker) {
    threads.emplace_back([&, worker] {
      for (int step = 0; step < 8; ++step) {
        std::string value;
        switch ((worker + step) % 4) {
          case 0:
            if (GetDeviceValue(snmp.printer, snmp.community, snmp.model_oid, value) != 0 ||
                value != snmp.model)
              ++wrong;
            break;
          case 1: {
            OidValueMap results;
            const std::string* descr = nullptr;
            if (WalkDevice(snmp.printer, snmp.community, results, out) != 0 ||
                (descr = results.Find("1.3.6.1.2.1.1.1.0")) == nullptr || *descr != snmp.sysdescr) {
              ++wrong;
            }
            break;
          }
          case 2:
            if (NetSnmpGet(snmp.firmware_oid, value, snmp.printer, SnmpVersion::kV2c,
                           credentials) != 0 ||
                value != snmp.firmware)
              ++wrong;
            break;
          default:
            if (NetSnmpGet(snmp.model_oid, value, snmp.printer, SnmpVersion::kV3, credentials) !=
                    0 ||
                value != snmp.model)
              ++wrong;
            break;
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(wrong.load(), 0);
}

TEST(SnmpLabTest, SixteenSilentV3DevicesCostAboutOneTimeOut) {
  ENTER_LAB(lab, snmp);
  const MibAccountTable accounts = LabAccounts(snmp);
  const SnmpCredentials credentials{snmp.community, accounts};
  // Addresses of subnet A that no host owns (.200 and up).
  const std::string base = snmp.silent.substr(0, snmp.silent.rfind('.') + 1);
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 16; ++i) {
    threads.emplace_back([&, i] {
      std::string value = "x";
      if (NetSnmpGet("1.3.6.1.2.1.1.1.0", value, base + std::to_string(200 + i), SnmpVersion::kV3,
                     credentials) != 0 ||
          !value.empty())
        ++wrong;
    });
  }
  for (auto& t : threads) t.join();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("16 silent v3 devices, 16 workers: %.2f s\n", seconds);
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_GT(seconds, 5.4);   // one device: 6 s with the library's defaults
  EXPECT_LT(seconds, 12.0);  // one at a time would be 96 s
}

TEST(SnmpLabTest, SingleDeviceModePrintsOnlyTheResult) {
  ORDALEN_REQUIRE_LAB(lab);
  const LabSnmp snmp = ValuesOf(lab);
  const std::string config = "[Ordalen]\r\nCommunity=" + snmp.community + "\r\n";
  struct Case {
    const char* name;
    std::string agent;
    std::string stdout_text;
    Lines lines;
  } cases[] = {
      {"answered",
       snmp.printer,
       "result: " + snmp.sysdescr,
       {"MIB[" + snmp.printer + "] snmp v2", snmp.printer + "|scan end"}},
      {"silent",
       snmp.silent,
       "result: ",
       {"MIB[" + snmp.silent + "] snmp v2", snmp.silent + "|Timeout", snmp.silent + "|scan end"}},
  };
  for (const auto& c : cases) {
    const OrdalenRun run = RunOrdalen(lab, {config, std::nullopt, std::nullopt},
                                      {"1.3.6.1.2.1.1.1.0", c.agent, "extra"}, 60s);
    ASSERT_TRUE(run.error.empty()) << run.error;
    EXPECT_FALSE(run.process.timed_out) << c.name;
    EXPECT_EQ(run.process.exit_code, 0) << c.name;
    EXPECT_EQ(run.process.out, c.stdout_text) << c.name;
    const Lines lines = MessagesAbout(run.log, c.agent);
    const Lines& expected = c.lines;
    EXPECT_EQ(lines, expected) << c.name << "\n" << run.log;
  }
}

}  // namespace
}  // namespace ordalen::test
