// The whole program against the lab: a scan of a range with a job identifier,
// and a scan with no arguments of the scanner's own subnets. Each run is
// checked through its result file (read with a real XML parser), its log and
// its console, and timed per phase beside the floor its time-outs imply.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "base/text.h"
#include "platform/tcp_connect.h"
#include "probes/arp.h"
#include "probes/netbios.h"
#include "probes/ping.h"
#include "support/lab.h"
#include "support/process.h"

namespace ordalen::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Pairs = std::vector<std::pair<std::string, std::string>>;

constexpr const char* kJob = "42";
constexpr int kThreads = 64;
constexpr auto kScanLimit = 300s;

// The time-outs the phases wait for an address that does not answer.
constexpr double kArpWaitSeconds = std::chrono::duration<double>(kArpWait).count();
constexpr double kEchoSeconds = std::chrono::duration<double>(kPingTimeout).count();
constexpr double kManagerGetSeconds = 2.0;  // SNMPv1 manager: 500 ms, 3 retries
constexpr double kLibraryGetSeconds = 6.0;  // SNMP library defaults: 1 s, 5 retries
constexpr double kNetbiosSeconds =
    kNetbiosPolls * std::chrono::duration<double>(kNetbiosPollInterval).count();
constexpr double kConnectSeconds = std::chrono::duration<double>(kConnectTimeout).count();

// Model table: the first entry names a model the lab does not have, so the
// printer is identified by the second entry's first way.
constexpr int kModelEntries = 2;
std::string TargetTableXml(const Lab& lab) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Root>\n"
         "  <Target><ModelMIB>" +
         lab.Value("LAB_SNMP_MODEL_OID") +
         "</ModelMIB><Model>OtherMaker X-100</Model>"
         "<VersionMIB>1.3.6.1.4.1.77777.9.9.0</VersionMIB></Target>\n"
         "  <Target><ModelMIB>" +
         lab.Value("LAB_SNMP_MODEL_OID") + "</ModelMIB><Model>" + lab.Value("LAB_SNMP_MODEL") +
         "</Model><VersionMIB>" + lab.Value("LAB_SNMP_FW_OID") +
         "</VersionMIB></Target>\n</Root>\n";
}

std::string ConfigIni(const Lab& lab) {
  return "[Ordalen]\r\nWinPort=3389,\r\nThread=" + std::to_string(kThreads) +
         "\r\nUseARP=1\r\nCommunity=" + lab.Value("LAB_SNMP_COMMUNITY") +
         "\r\n[Ordalen_Account_1]\r\nUserName=" + lab.Value("LAB_WSMAN_USER") +
         "\r\nPassword=" + lab.Value("LAB_WSMAN_PASS") + "\r\n";
}

std::string AccountsCsv(const Lab& lab) {
  return lab.Ip("PRINTER") + "," + lab.Value("LAB_SNMP_V3_USER") + "," +
         lab.Value("LAB_SNMP_V3_PASS") + "\r\n";
}

// One run of the program with every console line stamped on arrival.
struct TimedLine {
  double at = 0;     // seconds since the program started
  std::string text;  // without its line end
};
struct ScanRun : OrdalenRun {
  std::vector<TimedLine> console;
  double total = 0;

  // When the first console line that equals `text` arrived, or nullopt.
  [[nodiscard]] std::optional<double> When(const std::string& text) const {
    for (const auto& line : console) {
      if (line.text == text) return line.at;
    }
    return std::nullopt;
  }
  [[nodiscard]] bool Printed(const std::string& text) const { return When(text).has_value(); }
};

ScanRun RunTimedScan(const Lab& lab, const std::vector<std::string>& args) {
  OrdalenFiles files;
  files.config_ini = ConfigIni(lab);
  files.accounts_csv = AccountsCsv(lab);
  files.target_mib_xml = TargetTableXml(lab);
  // The shell stamps each line as it arrives (the program's standard output is
  // line-buffered); pipefail hands on the program's exit code.
  const std::string script =
      "set -o pipefail; export LC_ALL=C; printf '%s <start>\\n' \"$EPOCHREALTIME\"; "
      "\"$@\" | while IFS= read -r line || [[ -n $line ]]; do "
      "printf '%s %s\\n' \"$EPOCHREALTIME\" \"$line\"; done; rc=$?; "
      "printf '%s <exit>\\n' \"$EPOCHREALTIME\"; exit $rc";
  ScanRun run;
  static_cast<OrdalenRun&>(run) =
      RunOrdalen(lab, files, args, kScanLimit, {"/bin/bash", "-c", script, "scan"});
  if (!run.error.empty()) return run;

  double start = -1;
  std::size_t at = 0;
  const std::string& out = run.process.out;
  while (at < out.size()) {
    std::size_t end = out.find('\n', at);
    if (end == std::string::npos) end = out.size();
    std::string line = out.substr(at, end - at);
    at = end + 1;
    const std::size_t space = line.find(' ');
    if (space == std::string::npos) continue;
    const double stamp = std::strtod(line.substr(0, space).c_str(), nullptr);
    std::string text = line.substr(space + 1);
    if (!text.empty() && text.back() == '\r') text.pop_back();
    if (text == "<start>") {
      start = stamp;
      continue;
    }
    if (text == "<exit>") {
      run.total = stamp - start;
      continue;
    }
    run.console.push_back({stamp - start, std::move(text)});
  }
  return run;
}

// --- what the lab should give ----------------------------------------------------

// Address `n` of a "a.b.c.0/24" subnet.
std::string IpOfSubnet(const std::string& subnet, int n) {
  const std::string network = subnet.substr(0, subnet.find('/'));
  return network.substr(0, network.rfind('.') + 1) + std::to_string(n);
}

int OsClassOfTtl(int ttl) {
  return ttl <= 0 ? 0 : ttl <= 64 ? 3 : ttl <= 128 ? 1 : 4;
}

struct ExpectedHost {
  std::string ip;
  Pairs fields;  // the NODE's children in document order
};

std::string SubnetBroadcast(const std::string& ip) {
  return ip.substr(0, ip.rfind('.')) + ".255";
}

Pairs CardHostFields(const std::string& mac, const std::string& ip, const std::string& name,
                     const std::string& domain, int os) {
  return {{"MACADDRESS", mac},          {"IPADDRESS", ip},
          {"NETMASK", "255.255.255.0"}, {"BROADCAST", SubnetBroadcast(ip)},
          {"NETBIOS_NAME", name},       {"DOMAIN_NAME", domain},
          {"OS", std::to_string(os)}};
}

std::vector<ExpectedHost> ExpectedHosts(const Lab& lab, bool with_range) {
  std::vector<ExpectedHost> hosts;
  for (const std::string& key : Lab::HostKeys()) {
    const std::string ip = lab.Ip(key);
    const std::string mac = lab.Mac(key);
    std::string name = lab.HostName(key).empty() ? "(unknown)" : lab.HostName(key);
    std::string domain;
    if (key == "WIN2") {
      // Its node-status answer names it and its workgroup; WIN1's answer
      // carries the zero MAC and is not used.
      name = lab.Value("LAB_NB_WIN2_NAME");
      domain = lab.Value("LAB_NB_WIN2_GROUP");
    }
    const int os = OsClassOfTtl(std::atoi(lab.Value("LAB_TTL_" + key).c_str()));
    Pairs fields = CardHostFields(mac, ip, name, domain, os);
    if (key == "PRINTER") {
      fields.push_back({"VARIABLE:1.3.6.1.2.1.1.1.0", lab.Value("LAB_SNMP_SYSDESCR")});
      fields.push_back(
          {"VARIABLE:" + lab.Value("LAB_SNMP_MARKER_OID"), lab.Value("LAB_SNMP_MARKER")});
      fields.push_back({"VARIABLE:model_name", lab.Value("LAB_SNMP_MODEL")});
      fields.push_back({"VARIABLE:firm_version", lab.Value("LAB_SNMP_FW")});
    }
    hosts.push_back({ip, std::move(fields)});
  }
  // The scanner's own cards answer ARP and echo themselves.
  for (const char* side : {"A", "B"}) {
    const std::string ip = lab.Value(std::string("LAB_SCANNER_IP_") + side);
    hosts.push_back({ip, CardHostFields(lab.Value(std::string("LAB_SCANNER_MAC_") + side), ip,
                                        "(unknown)", "", 3)});
  }
  if (with_range) {
    // Known only from the printer's ARP table: no mask, no broadcast, no echo.
    const std::string ip = lab.Value("LAB_GHOST_IP");
    hosts.push_back({ip,
                     {{"MACADDRESS", lab.Value("LAB_GHOST_MAC")},
                      {"IPADDRESS", ip},
                      {"NETBIOS_NAME", "(unknown)"},
                      {"DOMAIN_NAME", ""},
                      {"OS", "0"}}});
  }
  return hosts;
}

// --- the log ----------------------------------------------------------------------

// Messages of the log lines (stamp and job field removed), in order, and
// whether every line written after the command line was read carried the job field.
struct LogView {
  std::vector<std::string> messages;
  bool stamps_ok = true;
  bool job_field_everywhere = true;
};

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

bool HasStamp(const std::string& line) {
  // "YYYY/mm/dd HH:MM:SS|"
  static const std::string shape = "9999/99/99 99:99:99|";
  if (line.size() < shape.size()) return false;
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (shape[i] == '9' ? !IsDigit(line[i]) : line[i] != shape[i]) return false;
  }
  return true;
}

LogView ReadLog(const std::string& log, const std::string& job) {
  LogView view;
  std::size_t at = 0;
  bool first = true;
  while (at < log.size()) {
    std::size_t end = log.find("\r\n", at);
    if (end == std::string::npos) end = log.size();
    const std::string line = log.substr(at, end - at);
    at = end + 2;
    if (!HasStamp(line)) {
      view.stamps_ok = false;
      continue;
    }
    std::string message = line.substr(20);
    if (!job.empty()) {
      if (message.rfind(job + "|", 0) == 0) {
        message = message.substr(job.size() + 1);
      } else if (!first && message.rfind("Config: ", 0) != 0) {
        // Only the first line and the settings come before the command line is read.
        view.job_field_everywhere = false;
      }
    }
    first = false;
    view.messages.push_back(std::move(message));
  }
  return view;
}

std::optional<std::size_t> IndexOf(const std::vector<std::string>& lines, const std::string& line) {
  const auto it = std::find(lines.begin(), lines.end(), line);
  if (it == lines.end()) return std::nullopt;
  return static_cast<std::size_t>(it - lines.begin());
}

int CountOf(const std::vector<std::string>& lines, const std::string& line) {
  return static_cast<int>(std::count(lines.begin(), lines.end(), line));
}

// The address a log line shows a record being stored for: the ARP and ping
// merges, and device-table rows of the MIB phase.
std::optional<std::string> StoredAddressOf(const std::string& message) {
  for (const char* prefix : {"ARP[", "ICMP["}) {
    const std::string p = prefix;
    if (message.rfind(p, 0) == 0) {
      const std::size_t close = message.find(']');
      if (close != std::string::npos) return message.substr(p.size(), close - p.size());
    }
  }
  if (message.rfind("SNMP[", 0) == 0) {
    const std::size_t open = message.find("]: ip[");
    if (open != std::string::npos) {
      const std::size_t begin = open + 6;
      const std::size_t close = message.find(']', begin);
      if (close != std::string::npos) return message.substr(begin, close - begin);
    }
  }
  return std::nullopt;
}

// The order in which the output step meets the hosts: the store's 17 buckets in
// order (hash = hash * 33 + byte as a signed char), each from its newest key.
std::vector<std::string> StoreOrder(const std::vector<std::string>& inserted) {
  auto bucket = [](const std::string& key) {
    std::uint32_t hash = 0;
    for (const char c : key) {
      hash = hash * 33u +
             static_cast<std::uint32_t>(static_cast<std::int32_t>(static_cast<signed char>(c)));
    }
    return hash % 17u;
  };
  std::vector<std::size_t> index(inserted.size());
  for (std::size_t i = 0; i < index.size(); ++i) index[i] = i;
  std::sort(index.begin(), index.end(), [&](std::size_t a, std::size_t b) {
    const auto ba = bucket(inserted[a]), bb = bucket(inserted[b]);
    if (ba != bb) return ba < bb;
    return a > b;  // newest first
  });
  std::vector<std::string> order;
  for (const std::size_t i : index) order.push_back(inserted[i]);
  return order;
}

// --- the phases' wall time --------------------------------------------------------

struct PhaseTime {
  const char* name;
  double measured;
  double floor;
  std::string why;
};

std::size_t Rounds(std::size_t items, int threads) {
  return (items + static_cast<std::size_t>(threads) - 1) / static_cast<std::size_t>(threads);
}

void PrintBreakdown(const char* title, const ScanRun& run, const std::vector<PhaseTime>& phases) {
  std::printf("\n%s: %.2f s in all\n", title, run.total);
  std::printf("  %-6s %9s %9s  %s\n", "phase", "measured", "floor", "what the floor is");
  double floor_sum = 0;
  for (const auto& p : phases) {
    std::printf("  %-6s %8.2fs %8.2fs  %s\n", p.name, p.measured, p.floor, p.why.c_str());
    floor_sum += p.floor;
  }
  std::printf("  %-6s %8.2fs %8.2fs\n", "total", run.total, floor_sum);
}

// Console banners, each phase from its banner to the next one (the last to the
// program's end, output step included).
std::vector<double> PhaseSpans(const ScanRun& run) {
  const char* banners[] = {"ARP-------------------------", "ping-------------------------",
                           "MIB-------------------------", "scan-------------------------"};
  std::vector<double> at;
  for (const char* b : banners) at.push_back(run.When(b).value_or(-1));
  at.push_back(run.total);
  std::vector<double> spans;
  for (std::size_t i = 0; i + 1 < at.size(); ++i) spans.push_back(at[i + 1] - at[i]);
  return spans;
}

// --- the checks both runs share ---------------------------------------------------

void CheckRun(const Lab& lab, const ScanRun& run, bool with_range) {
  ASSERT_TRUE(run.error.empty()) << run.error;
  ASSERT_FALSE(run.process.timed_out)
      << "the scan did not end within " << kScanLimit.count() << " s";
  EXPECT_EQ(run.process.exit_code, 0) << run.process.err;

  // The file name: the scan's start time, then the job identifier.
  ASSERT_FALSE(run.result_file.empty()) << "no result file";
  const std::string file = run.result_file.filename().string();
  const std::string shape =
      with_range ? "99999999_999999_" + std::string(kJob) + ".xml" : "99999999_999999.xml";
  ASSERT_EQ(file.size(), shape.size()) << file;
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (shape[i] == '9') {
      EXPECT_TRUE(IsDigit(file[i])) << file;
    } else {
      EXPECT_EQ(file[i], shape[i]) << file;
    }
  }
  const ResultDocument doc = ParseResultFile(run.result_file);
  ASSERT_TRUE(doc.error.empty()) << doc.error;
  EXPECT_EQ(doc.root_name, "NODE_SCAN");
  // "YYYY-mm-dd HH:MM:SS.000" of the same moment as the file name.
  const std::string d = doc.scan_date;
  ASSERT_EQ(d.size(), 23u) << d;
  EXPECT_EQ(d.substr(0, 4) + d.substr(5, 2) + d.substr(8, 2) + "_" + d.substr(11, 2) +
                d.substr(14, 2) + d.substr(17, 2),
            file.substr(0, 15));

  // Every host once, with exactly its children.
  const std::vector<ExpectedHost> expected = ExpectedHosts(lab, with_range);
  std::set<std::string> expected_ips;
  for (const auto& host : expected) {
    expected_ips.insert(host.ip);
    SCOPED_TRACE(host.ip);
    const ResultNode* node = doc.FindByIp(host.ip);
    ASSERT_NE(node, nullptr) << "no NODE";
    EXPECT_EQ(node->fields, host.fields);
  }
  std::vector<std::string> node_ips;
  for (const auto& node : doc.nodes) node_ips.push_back(node.Field("IPADDRESS").value_or("?"));
  EXPECT_EQ(std::set<std::string>(node_ips.begin(), node_ips.end()), expected_ips);
  EXPECT_EQ(node_ips.size(), expected_ips.size());
  for (const std::string& silent : {lab.Value("LAB_SILENT_A"), lab.Value("LAB_SILENT_B")}) {
    EXPECT_EQ(doc.FindByIp(silent), nullptr) << silent;
  }
  // The record's device-table mark stays inside the program.
  EXPECT_EQ(AsciiLower(ReadFile(run.result_file)).find("fromdevicetable"), std::string::npos);

  // The log: stamps, the job field, and each phase's lines in phase order.
  const LogView log = ReadLog(run.log, with_range ? kJob : "");
  EXPECT_TRUE(log.stamps_ok);
  EXPECT_TRUE(log.job_field_everywhere);
  const auto& m = log.messages;
  ASSERT_FALSE(m.empty());
  EXPECT_EQ(m.front(), "Start-----------");
  EXPECT_EQ(m.back(), "End-----------");
  EXPECT_TRUE(IndexOf(m, "Config: Thread=" + std::to_string(kThreads)));
  const std::string printer = lab.Ip("PRINTER");
  const std::string win2 = lab.Ip("WIN2");
  const std::string ghost = lab.Value("LAB_GHOST_IP");
  const std::string ghost_mac = lab.Value("LAB_GHOST_MAC");
  const auto arp = IndexOf(m, "ARP[" + printer + "]: " + lab.Mac("PRINTER"));
  const auto ping = IndexOf(m, "ICMP[" + printer + "]: found. os:3");
  const auto row =
      IndexOf(m, "SNMP[" + printer + "]: ip[" + ghost + "] mac[" + AsciiLower(ghost_mac) + "]");
  const auto netbios =
      IndexOf(m, "NetBIOS[" + win2 + "]: " + lab.Mac("WIN2") + "," +
                     lab.Value("LAB_NB_WIN2_GROUP") + "," + lab.Value("LAB_NB_WIN2_NAME"));
  const auto output = IndexOf(m, "Output-----------");
  ASSERT_TRUE(arp && ping && row && netbios && output)
      << "arp " << arp.has_value() << " ping " << ping.has_value() << " mib " << row.has_value()
      << " scan " << netbios.has_value() << " output " << output.has_value();
  EXPECT_LT(*arp, *ping);
  EXPECT_LT(*ping, *row);
  EXPECT_LT(*row, *netbios);
  EXPECT_LT(*netbios, *output);
  // The printer: the first entry's library ways ran, the second entry's first
  // way identified it; merged once.
  EXPECT_EQ(CountOf(m, "MIB[" + printer + "] snmp v2"), 1);
  EXPECT_EQ(CountOf(m, "MIB[" + printer + "] snmp v3"), 1);
  EXPECT_EQ(CountOf(m, "MIB[" + printer + "]: scan") + CountOf(m, "MIB[" + printer + "]: found"),
            1);
  // A host without an agent refuses the port: one line, no way asked, no merge.
  const std::string linux1 = lab.Ip("LINUX1");
  EXPECT_EQ(CountOf(m, "MIB[" + linux1 + "]: no SNMP agent (port 161 closed)"), 1);
  EXPECT_EQ(CountOf(m, "MIB[" + linux1 + "] snmp v2"), 0);
  EXPECT_EQ(CountOf(m, "MIB[" + linux1 + "] snmp v3"), 0);
  EXPECT_EQ(CountOf(m, "MIB[" + linux1 + "]: scan") + CountOf(m, "MIB[" + linux1 + "]: found"), 0);
  EXPECT_TRUE(IndexOf(m, "Port[" + win2 + "]: 3389 ok"));
  EXPECT_TRUE(IndexOf(m, "Scan[" + win2 + "]: scanned"));
  if (lab.Value("LAB_WSMAN_RUNNING") == "1") {
    EXPECT_TRUE(IndexOf(m, "WMI[" + lab.Ip("WIN1") + "]: " + lab.Value("LAB_WSMAN_NAME")));
  }

  // The NODE order: the store's order for the order in which records were made.
  std::vector<std::string> inserted;
  for (const auto& message : m) {
    const auto ip = StoredAddressOf(message);
    if (ip && expected_ips.count(*ip) != 0 &&
        std::find(inserted.begin(), inserted.end(), *ip) == inserted.end()) {
      inserted.push_back(*ip);
    }
  }
  EXPECT_EQ(node_ips, StoreOrder(inserted));

  // The console: banners in phase order, the printer's merge and its table rows.
  const char* banners[] = {"ARP-------------------------", "ping-------------------------",
                           "MIB-------------------------", "scan-------------------------"};
  double last = -1;
  for (const char* b : banners) {
    const auto at = run.When(b);
    ASSERT_TRUE(at) << b;
    EXPECT_GT(*at, last) << b;
    last = *at;
  }
  EXPECT_TRUE(run.Printed("[" + printer + "]scan"));
  EXPECT_TRUE(run.Printed(" ip:" + ghost + " mac:" + AsciiLower(ghost_mac)));
}

class ScanAcceptanceLabTest : public ::testing::Test {};

TEST_F(ScanAcceptanceLabTest, RangeScanWithJobFindsEveryHostAndTheDeviceTableHost) {
  ORDALEN_REQUIRE_LAB(lab);
  const std::string range =
      IpOfSubnet(lab.Value("LAB_SUBNET_A"), 1) + "-" + IpOfSubnet(lab.Value("LAB_SUBNET_B"), 254);
  const ScanRun run = RunTimedScan(lab, {kJob, range});
  CheckRun(lab, run, true);

  const auto spans = PhaseSpans(run);
  const std::size_t hosts = ExpectedHosts(lab, false).size();
  // Both subnets lie inside the range: each card asks its 253 other addresses.
  const std::size_t per_card = 253;
  // The range's 510 addresses in one sweep.
  const std::size_t swept = 510;
  const double silent_device =
      kManagerGetSeconds + kModelEntries * (kManagerGetSeconds + 2 * kLibraryGetSeconds);
  PrintBreakdown(
      "scan of a range (Thread=64)", run,
      {{"ARP", spans[0], 2 * Rounds(per_card, kThreads) * kArpWaitSeconds,
        "2 cards x ceil(253/64) rounds x 1.5 s"},
       {"ping", spans[1], Rounds(swept, kThreads) * kEchoSeconds, "ceil(510/64) rounds x 1 s"},
       {"MIB", spans[2], Rounds(hosts, kThreads) * silent_device + kEchoSeconds,
        "silent device: walk 2 s + 2 entries x (2 + 6 + 6) s; one echo to the table host"},
       {"scan", spans[3], kConnectSeconds + kNetbiosSeconds,
        "table host: connect 3 s, NetBIOS 20 x 100 ms"}});
}

TEST_F(ScanAcceptanceLabTest, ScanWithoutArgumentsSweepsTheCardsAndAddsNoTableHost) {
  ORDALEN_REQUIRE_LAB(lab);
  const ScanRun run = RunTimedScan(lab, {});
  CheckRun(lab, run, false);

  const auto spans = PhaseSpans(run);
  const std::size_t hosts = ExpectedHosts(lab, false).size();
  const double silent_device =
      kManagerGetSeconds + kModelEntries * (kManagerGetSeconds + 2 * kLibraryGetSeconds);
  PrintBreakdown("scan of the cards' subnets (Thread=64)", run,
                 {{"ARP", spans[0], 2 * Rounds(253, kThreads) * kArpWaitSeconds,
                   "2 cards x ceil(253/64) rounds x 1.5 s"},
                  {"ping", spans[1], 2 * Rounds(254, kThreads) * kEchoSeconds,
                   "2 cards x ceil(254/64) rounds x 1 s"},
                  {"MIB", spans[2], Rounds(hosts, kThreads) * silent_device,
                   "silent device: walk 2 s + 2 entries x (2 + 6 + 6) s"},
                  {"scan", spans[3], kNetbiosSeconds, "NetBIOS 20 x 100 ms"}});
}

}  // namespace
}  // namespace ordalen::test
