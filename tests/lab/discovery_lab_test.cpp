// Discovery against the real kernel and the lab's peers: the card table, the
// ARP sweep, the ping sweep and the scan that drives them.
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
#include "engine/result_store.h"
#include "platform/icmp.h"
#include "platform/interfaces.h"
#include "probes/arp.h"
#include "probes/cards.h"
#include "probes/ping.h"
#include "support/lab.h"
#include "support/process.h"
#include "support/recording_output.h"
#include "support/scan_config.h"

namespace ordalen {
namespace {

using namespace std::chrono_literals;
using test::Lab;

// Dotted text to a host-order address; 0 when it is not a dotted quad.
std::uint32_t Addr(const std::string& text) {
  return ParseDottedQuad(text).value_or(0);
}

// The seven lab hosts, their expected OS class from their TTL.
const std::map<std::string, int>& HostClasses() {
  static const std::map<std::string, int> classes = {{"LINUX1", 3},  {"WIN1", 1},   {"WIN2", 1},
                                                     {"PRINTER", 3}, {"TTL255", 4}, {"LINUX2", 3},
                                                     {"TTL255B", 4}};
  return classes;
}

bool InSubnetA(const std::string& ip) {
  return ip.rfind("10.77.1.", 0) == 0;
}

// Forwards to the system's sockets and records every address asked.
class RecordingEcho : public EchoOps {
 public:
  bool CanSend(OsError* error) override { return SystemEchoOps().CanSend(error); }
  std::optional<int> Echo(std::uint32_t address, OsError* error) override {
    asked.push_back(address);
    return SystemEchoOps().Echo(address, error);
  }
  std::unique_ptr<EchoSweeper> OpenSweeper(OsError* error) override {
    std::unique_ptr<EchoSweeper> system = SystemEchoOps().OpenSweeper(error);
    if (!system) return nullptr;
    return std::make_unique<Sweeper>(std::move(system), asked);
  }
  std::vector<std::uint32_t> asked;

 private:
  class Sweeper : public EchoSweeper {
   public:
    Sweeper(std::unique_ptr<EchoSweeper> system, std::vector<std::uint32_t>& asked)
        : system_(std::move(system)), asked_(asked) {}
    void Send(std::uint32_t address, int slot) override {
      asked_.push_back(address);
      system_->Send(address, slot);
    }
    void Wait(std::chrono::milliseconds max_wait, std::vector<Reply>& ended,
              OsError* error) override {
      system_->Wait(max_wait, ended, error);
    }
    [[nodiscard]] bool OnLinkByFrames() const override { return system_->OnLinkByFrames(); }
    WireStats Stats() override { return system_->Stats(); }

   private:
    std::unique_ptr<EchoSweeper> system_;
    std::vector<std::uint32_t>& asked_;
  };
};

class RecordingArp : public ArpOps {
 public:
  bool CanAsk(OsError* error) override { return SystemArpOps().CanAsk(error); }
  std::unique_ptr<ArpAsker> OpenAsker(const ArpSender& sender, OsError* error) override {
    std::unique_ptr<ArpAsker> system = SystemArpOps().OpenAsker(sender, error);
    if (!system) return nullptr;
    return std::make_unique<Asker>(std::move(system), asked);
  }
  HostLookup& Names() override { return SystemArpOps().Names(); }
  std::vector<std::uint32_t> asked;

 private:
  class Asker : public ArpAsker {
   public:
    Asker(std::unique_ptr<ArpAsker> system, std::vector<std::uint32_t>& asked)
        : system_(std::move(system)), asked_(asked) {}
    void Ask(std::uint32_t target, int slot) override {
      asked_.push_back(target);
      system_->Ask(target, slot);
    }
    void Wait(std::chrono::milliseconds max_wait, std::vector<Answer>& ended,
              OsError* error) override {
      system_->Wait(max_wait, ended, error);
    }
    WireStats Stats() override { return system_->Stats(); }

   private:
    std::unique_ptr<ArpAsker> system_;
    std::vector<std::uint32_t>& asked_;
  };
};

std::set<std::uint32_t> Inclusive(std::uint32_t first, std::uint32_t last) {
  std::set<std::uint32_t> out;
  for (std::uint64_t a = first; a <= last; ++a) out.insert(static_cast<std::uint32_t>(a));
  return out;
}

std::set<std::string> StoredAddresses() {
  std::set<std::string> out;
  for (const auto& assoc : Results()) out.insert(assoc.key);
  return out;
}

// In-process tests: this process moves into the scanner namespace and calls the
// probes directly, so it can look at the result store and at what was asked.
class DiscoveryLabTest : public ::testing::Test {
 protected:
  void SetUp() override { Reset(); }
  // Fresh settings with Thread=64, an empty result store, the log in our folder.
  void Reset() {
    ClearHosts();
    ScanConfig() = SCANCONFIG();
    ScanConfig().logDir = dir_.path().string();
    ScanConfig().threadCount = 64;
  }

  test::TempDir dir_;
  test::ScopedScanConfig config_{dir_.path()};
  // The scanner's two cards; fails the test when they are not both there.
  static CardTable Cards() {
    CardTable cards;
    ListNetworkCards(cards);
    return cards;
  }
};

#define ENTER_LAB_SCANNER(lab)                  \
  ORDALEN_REQUIRE_LAB(lab);                     \
  do {                                          \
    const std::string why = lab.EnterScanner(); \
    ASSERT_TRUE(why.empty()) << why;            \
  } while (0)

TEST_F(DiscoveryLabTest, CardsAreTheScannersTwoLabCards) {
  ENTER_LAB_SCANNER(lab);
  CardTable cards;
  ASSERT_EQ(ListNetworkCards(cards), 2);
  struct Want {
    const char* ip_key;
    const char* mac_key;
    const char* subnet_key;
  } want[] = {{"LAB_SCANNER_IP_A", "LAB_SCANNER_MAC_A", "LAB_SUBNET_A"},
              {"LAB_SCANNER_IP_B", "LAB_SCANNER_MAC_B", "LAB_SUBNET_B"}};
  for (const auto& w : want) {
    SCOPED_TRACE(w.ip_key);
    const std::uint32_t ip = Addr(lab.Value(w.ip_key));
    const auto it = std::ranges::find_if(cards, [&](const CARDINFO& c) { return c.Address == ip; });
    ASSERT_NE(it, cards.end());
    EXPECT_EQ(it->CardMac, AsciiUpper(lab.Value(w.mac_key)));
    EXPECT_EQ(it->AdapterType, kAdapterEthernet);
    EXPECT_EQ(it->Mask, 0xFFFFFF00u);
    EXPECT_EQ(it->ScanFlag, 1);
    EXPECT_EQ(it->FirstHost, (ip & 0xFFFFFF00u) + 1);
    EXPECT_EQ(it->LastHost, (ip & 0xFFFFFF00u) + 254);
    EXPECT_EQ(it->BroadcastAddress, (ip & 0xFFFFFF00u) + 255);
    EXPECT_GT(it->CardNo, 1);  // an interface index, not loopback's
    EXPECT_EQ(lab.Value(w.subnet_key).rfind(IpText(it->NetAddress), 0), 0u)
        << lab.Value(w.subnet_key);
  }
}

TEST_F(DiscoveryLabTest, ArpSweepRecordsEveryHostWithItsRealMacAndName) {
  ENTER_LAB_SCANNER(lab);
  test::RecordingOutput output;
  ArpSweep(ScanConfig(), Cards(), SystemArpOps(), output);
  const std::string out = output.Printed();

  std::set<std::string> expected = {lab.Value("LAB_SCANNER_IP_A"), lab.Value("LAB_SCANNER_IP_B")};
  for (const auto& [host, os] : HostClasses()) {
    SCOPED_TRACE(host);
    const std::string ip = lab.Ip(host);
    expected.insert(ip);
    // The MAC the host's own card reports.
    const test::ProcessResult real = lab.Run(host, {"cat", "/sys/class/net/eth0/address"}, 10s);
    ASSERT_EQ(real.exit_code, 0) << real.err;
    const std::string real_mac = AsciiUpper(TrimSpace(real.out));
    EXPECT_EQ(real_mac, AsciiUpper(lab.Mac(host)));
    const SCANRESULT* r = FindHost(ip);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->MacAddress, real_mac);
    EXPECT_EQ(r->IpAddress, ip);
    EXPECT_EQ(r->NetMask, "255.255.255.0");
    EXPECT_EQ(r->Broadcast, InSubnetA(ip) ? "10.77.1.255" : "10.77.2.255");
    const std::string name = lab.HostName(host);
    EXPECT_EQ(r->NetbiosName, name.empty() ? "(unknown)" : name);
    EXPECT_EQ(r->DomainName, "");
    EXPECT_EQ(r->OsType, 0);
    EXPECT_EQ(r->FromDeviceTable, 0);
    EXPECT_NE(out.find("[" + ip + "]" + real_mac + "\r\n"), std::string::npos) << out;
  }
  // The machine itself answers with its own cards' MACs.
  const SCANRESULT* self = FindHost(lab.Value("LAB_SCANNER_IP_A"));
  ASSERT_NE(self, nullptr);
  EXPECT_EQ(self->MacAddress, AsciiUpper(lab.Value("LAB_SCANNER_MAC_A")));
  // Silent addresses, and one that only a peer's table knows, leave nothing.
  EXPECT_EQ(StoredAddresses(), expected);
  for (const char* key : {"LAB_SILENT_A", "LAB_SILENT_B", "LAB_GHOST_IP"}) {
    EXPECT_EQ(out.find("[" + lab.Value(key) + "]"), std::string::npos) << key;
  }
  EXPECT_EQ(static_cast<std::size_t>(std::count(out.begin(), out.end(), '\n')), expected.size())
      << out;
  // One log line per recorded host and none for anything else.
  const std::vector<std::string>& log = output.logged;
  EXPECT_EQ(log.size(), expected.size());
  for (const std::string& line : log) {
    EXPECT_TRUE(std::ranges::any_of(expected, [&](const std::string& ip) {
      return line.rfind("ARP[" + ip + "]: ", 0) == 0;
    })) << line;
  }
  // Card A is swept before card B.
  EXPECT_LT(out.rfind("[10.77.1."), out.find("[10.77.2.")) << out;
}

TEST_F(DiscoveryLabTest, PingClassFollowsTheReplyTtl) {
  ENTER_LAB_SCANNER(lab);
  test::RecordingOutput out;
  for (const auto& [host, os] : HostClasses()) {
    SCOPED_TRACE(host);
    const std::optional<int> ttl = PingHost(Addr(lab.Ip(host)), SystemEchoOps(), out);
    ASSERT_TRUE(ttl);
    EXPECT_EQ(TtlToOsType(*ttl), os) << "ttl " << *ttl;
  }
  for (const char* key : {"LAB_SILENT_A", "LAB_SILENT_B"}) {
    SCOPED_TRACE(key);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(PingHost(Addr(lab.Value(key)), SystemEchoOps(), out), std::nullopt);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, 950ms);
    EXPECT_LT(took, 1500ms);
  }
}

TEST_F(DiscoveryLabTest, PingSweepAddsItsClassToArpRecordsAndPingOnlyHostsGetIpAndOs) {
  ENTER_LAB_SCANNER(lab);
  const CardTable cards = Cards();
  test::RecordingOutput output;
  // Card A through both sweeps; card B through the ping sweep only.
  CardTable only_a = cards;
  for (CARDINFO& c : only_a) {
    if (!InSubnetA(IpText(c.Address))) c.ScanFlag = 0;
  }
  const SCANCONFIG& config = ScanConfig();
  ArpSweep(config, only_a, SystemArpOps(), output);
  PingSweep(config, Addr("10.77.1.1"), Addr("10.77.1.254"), SystemEchoOps(), output);
  PingSweep(config, Addr("10.77.2.1"), Addr("10.77.2.254"), SystemEchoOps(), output);
  const std::string out = output.Printed();

  for (const auto& [host, os] : HostClasses()) {
    SCOPED_TRACE(host);
    const std::string ip = lab.Ip(host);
    const SCANRESULT* r = FindHost(ip);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->OsType, os);
    EXPECT_NE(out.find("[" + ip + "]found\r\n"), std::string::npos);
    if (InSubnetA(ip)) {
      EXPECT_EQ(r->MacAddress, AsciiUpper(lab.Mac(host)));
      EXPECT_EQ(r->NetMask, "255.255.255.0");
      EXPECT_EQ(r->Broadcast, "10.77.1.255");
      EXPECT_FALSE(r->NetbiosName.empty());
    } else {
      EXPECT_EQ(r->MacAddress, "");
      EXPECT_EQ(r->NetMask, "");
      EXPECT_EQ(r->Broadcast, "");
      EXPECT_EQ(r->NetbiosName, "");
      EXPECT_EQ(r->DomainName, "");
    }
  }
  for (const char* key : {"LAB_SILENT_A", "LAB_SILENT_B", "LAB_GHOST_IP"}) {
    EXPECT_EQ(FindHost(lab.Value(key)), nullptr) << key;
    EXPECT_EQ(out.find("[" + lab.Value(key) + "]"), std::string::npos) << key;
  }
}

TEST_F(DiscoveryLabTest, RangeIsPingedExactlyAndClipsTheArpSweep) {
  ENTER_LAB_SCANNER(lab);
  // Across both subnets, with card A's broadcast and card B's network address,
  // which a card sweep never asks.
  const std::uint32_t first = Addr("10.77.1.250");
  const std::uint32_t last = Addr("10.77.2.12");
  ScanConfig().rangeStart = first;
  ScanConfig().rangeEnd = last;
  RecordingArp arp;
  RecordingEcho echo;
  test::RecordingOutput out;
  ArpSweep(ScanConfig(), Cards(), arp, out);
  const auto after_arp = StoredAddresses();
  PingSweep(ScanConfig(), first, last, echo, out);

  std::set<std::uint32_t> arp_expected = Inclusive(Addr("10.77.1.250"), Addr("10.77.1.254"));
  arp_expected.merge(Inclusive(Addr("10.77.2.1"), Addr("10.77.2.12")));
  arp_expected.erase(Addr(lab.Value("LAB_SCANNER_IP_B")));  // answered from the card itself
  EXPECT_EQ(std::set<std::uint32_t>(arp.asked.begin(), arp.asked.end()), arp_expected);
  EXPECT_EQ(arp.asked.size(), arp_expected.size());
  EXPECT_EQ(std::set<std::uint32_t>(echo.asked.begin(), echo.asked.end()), Inclusive(first, last));
  EXPECT_EQ(echo.asked.size(), 19u);

  const std::set<std::string> found = {lab.Value("LAB_SCANNER_IP_B"), lab.Ip("LINUX2")};
  EXPECT_EQ(after_arp, found);
  EXPECT_EQ(StoredAddresses(), found);
  EXPECT_EQ(FindHost(lab.Ip("LINUX2"))->OsType, 3);
}

TEST_F(DiscoveryLabTest, EveryThreadCountFindsTheSameHosts) {
  ENTER_LAB_SCANNER(lab);
  const CardTable cards = Cards();
  // Thread=1 over a short stretch (every silent address costs it a full time-out).
  const std::uint32_t first = Addr("10.77.1.9");
  const std::uint32_t last = Addr("10.77.1.21");
  const std::set<std::string> in_stretch = {lab.Ip("LINUX1"), lab.Ip("WIN1"), lab.Ip("WIN2")};
  std::set<std::string> everything = {lab.Value("LAB_SCANNER_IP_A"), lab.Value("LAB_SCANNER_IP_B")};
  for (const auto& [host, os] : HostClasses()) everything.insert(lab.Ip(host));

  struct Case {
    int threads;
    bool whole_subnets;
  } cases[] = {{1, false}, {64, false}, {256, false}, {4096, false},
               {64, true}, {256, true}, {1024, true}, {4096, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << "Thread=" << c.threads << (c.whole_subnets ? " whole" : " stretch"));
    Reset();
    ScanConfig().threadCount = c.threads;
    if (!c.whole_subnets) {
      ScanConfig().rangeStart = first;
      ScanConfig().rangeEnd = last;
    }
    test::RecordingOutput out;
    const SCANCONFIG& config = ScanConfig();
    ArpSweep(config, cards, SystemArpOps(), out);
    if (c.whole_subnets) {
      for (const CARDINFO& card : cards) {
        if (card.ScanFlag == 1)
          PingSweep(config, card.FirstHost, card.LastHost, SystemEchoOps(), out);
      }
    } else {
      PingSweep(config, first, last, SystemEchoOps(), out);
    }
    EXPECT_EQ(StoredAddresses(), c.whole_subnets ? everything : in_stretch);
    for (const auto& [host, os] : HostClasses()) {
      const SCANRESULT* r = FindHost(lab.Ip(host));
      if (r == nullptr) continue;
      EXPECT_EQ(r->OsType, os) << host;
      EXPECT_EQ(r->MacAddress, AsciiUpper(lab.Mac(host))) << host;
    }
  }
}

// A setting of the scanner's namespace for the time of one test: `set` runs
// now, `restore` when it goes (also after a failed assertion).
class ScannerSetting {
 public:
  ScannerSetting(const Lab& lab, const std::vector<std::string>& set,
                 std::vector<std::string> restore)
      : lab_(lab), restore_(std::move(restore)) {
    const test::ProcessResult r = lab_.Run("scanner", set, 10s);
    if (r.exit_code == 0) return;
    error_ = set.front() + ": " + r.err;
    restore_.clear();
  }
  ~ScannerSetting() {
    if (!restore_.empty()) (void)lab_.Run("scanner", restore_, 10s);
  }
  ScannerSetting(const ScannerSetting&) = delete;
  ScannerSetting& operator=(const ScannerSetting&) = delete;
  [[nodiscard]] const std::string& error() const { return error_; }

 private:
  const Lab& lab_;
  std::vector<std::string> restore_;
  std::string error_;
};

TEST_F(DiscoveryLabTest, HostsBehindTheScannersOwnFirewallStillAnswerThePing) {
  ENTER_LAB_SCANNER(lab);
  const CardTable cards = Cards();
  std::set<std::string> everything = {lab.Value("LAB_SCANNER_IP_A"), lab.Value("LAB_SCANNER_IP_B")};
  for (const auto& [host, os] : HostClasses()) everything.insert(lab.Ip(host));
  // The input rules most host firewalls ship: what belongs to a tracked
  // connection passes, what the system cannot place in any is dropped.
  const ScannerSetting firewall(
      lab,
      {"nft",
       "add table ip ordalen_host_fw; "
       "add chain ip ordalen_host_fw input { type filter hook input priority 0; policy accept; }; "
       "add rule ip ordalen_host_fw input ct state established,related accept; "
       "add rule ip ordalen_host_fw input ct state invalid drop"},
      {"nft", "delete", "table", "ip", "ordalen_host_fw"});
  ASSERT_EQ(firewall.error(), "");

  for (const bool use_arp : {false, true}) {
    SCOPED_TRACE(use_arp ? "ARP and ping" : "ping only");
    Reset();
    ScanConfig().threadCount = 256;
    test::RecordingOutput out;
    if (use_arp) ArpSweep(ScanConfig(), cards, SystemArpOps(), out);
    for (const CARDINFO& card : cards) {
      if (card.ScanFlag == 1)
        PingSweep(ScanConfig(), card.FirstHost, card.LastHost, SystemEchoOps(), out);
    }
    EXPECT_EQ(StoredAddresses(), everything);
    for (const auto& [host, os] : HostClasses()) {
      const SCANRESULT* r = FindHost(lab.Ip(host));
      if (r != nullptr) {
        EXPECT_EQ(r->OsType, os) << host;  // a missing host: just above
      }
    }
  }

  // Each kind of ICMP socket: the hosts answer with their own TTL, silent
  // addresses do not.
  const test::ProcessResult groups =
      lab.Run("scanner", {"sysctl", "-n", "net.ipv4.ping_group_range"}, 10s);
  ASSERT_EQ(groups.exit_code, 0) << groups.err;
  std::string was(TrimSpace(groups.out));
  std::ranges::replace(was, '\t', ' ');
  const ScannerSetting datagram_sockets(lab,
                                        {"sysctl", "-qw", "net.ipv4.ping_group_range=0 2147483647"},
                                        {"sysctl", "-qw", "net.ipv4.ping_group_range=" + was});
  ASSERT_EQ(datagram_sockets.error(), "");
  OsError list_error;
  const auto interfaces = ListInterfaceAddresses(&list_error);
  ASSERT_TRUE(interfaces.has_value()) << list_error.message;
  for (const IcmpSocketKind kind : {IcmpSocketKind::kRaw, IcmpSocketKind::kDatagram}) {
    SCOPED_TRACE(kind == IcmpSocketKind::kRaw ? "raw" : "datagram");
    OsError error;
    std::optional<EchoProber> prober = EchoProber::Open(1000ms, *interfaces, kind, &error);
    ASSERT_TRUE(prober.has_value()) << error.message;
    EXPECT_TRUE(prober->OnLinkByFrames());
    std::map<int, std::string> asked;  // tag: host key, or the silent address's key
    for (const auto& [host, os] : HostClasses()) asked[static_cast<int>(asked.size())] = host;
    for (const char* key : {"LAB_SILENT_A", "LAB_SILENT_B"})
      asked[static_cast<int>(asked.size())] = key;
    for (const auto& [tag, key] : asked)
      prober->Start(Addr(HostClasses().contains(key) ? lab.Ip(key) : lab.Value(key)), tag);
    std::vector<EchoProber::Ended> ended;
    const auto limit = std::chrono::steady_clock::now() + 10s;
    while (prober->InFlight() > 0 && std::chrono::steady_clock::now() < limit)
      prober->Run(ProbeClock::now() + 100ms, ended, &error);
    EXPECT_EQ(error.code, 0) << error.message;
    ASSERT_EQ(ended.size(), asked.size());
    for (const EchoProber::Ended& e : ended) {
      const std::string& key = asked.at(e.tag);
      const auto host = HostClasses().find(key);
      if (host == HostClasses().end()) {
        EXPECT_EQ(e.ttl, std::nullopt) << key;
      } else {
        ASSERT_TRUE(e.ttl.has_value()) << key;
        EXPECT_EQ(TtlToOsType(*e.ttl), host->second) << key;
      }
    }
  }
}

// Whole runs of the program in the scanner namespace.
std::string Config(const std::string& extra) {
  return "[Ordalen]\r\nThread=64\r\n" + extra;
}

std::size_t Lines(const std::string& text) {
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

TEST(DiscoveryLabRunTest, ScanWithoutArgumentsFindsEveryLabHost) {
  ORDALEN_REQUIRE_LAB(lab);
  const test::OrdalenRun run = RunOrdalen(lab, {Config(""), std::nullopt, std::nullopt}, {}, 600s);
  ASSERT_TRUE(run.error.empty()) << run.error;
  ASSERT_FALSE(run.process.timed_out);
  const std::string& out = run.process.out;

  const auto arp = out.find("ARP-------------------------\r\n");
  const auto ping = out.find("ping-------------------------\r\n");
  const auto mib = out.find("MIB-------------------------\r\n");
  ASSERT_NE(arp, std::string::npos) << out;
  ASSERT_NE(ping, std::string::npos) << out;
  ASSERT_NE(mib, std::string::npos) << out;
  EXPECT_LT(arp, ping);
  EXPECT_LT(ping, mib);
  const std::string arp_part = out.substr(arp, ping - arp);
  const std::string ping_part = out.substr(ping, mib - ping);

  for (const auto& [host, os] : HostClasses()) {
    SCOPED_TRACE(host);
    const std::string ip = lab.Ip(host);
    EXPECT_NE(arp_part.find("[" + ip + "]" + AsciiUpper(lab.Mac(host)) + "\r\n"), std::string::npos)
        << arp_part;
    EXPECT_NE(ping_part.find("[" + ip + "]found\r\n"), std::string::npos) << ping_part;
  }
  // Both cards' subnets, each in its own sweep, card A's first.
  EXPECT_LT(arp_part.rfind("[10.77.1."), arp_part.find("[10.77.2."));
  EXPECT_LT(ping_part.rfind("[10.77.1."), ping_part.find("[10.77.2."));
  // Seven hosts and the scanner's two addresses, each once per phase.
  EXPECT_EQ(Lines(arp_part), 1u + 9u) << arp_part;
  EXPECT_EQ(Lines(ping_part), 1u + 9u) << ping_part;
  for (const char* key : {"LAB_SILENT_A", "LAB_SILENT_B", "LAB_GHOST_IP"}) {
    const std::string ip = "[" + lab.Value(key) + "]";
    EXPECT_EQ(out.find(ip), std::string::npos) << key;
    EXPECT_EQ(run.log.find(ip), std::string::npos) << key;
  }
  EXPECT_EQ(run.process.err.find("ARP:"), std::string::npos) << run.process.err;
  EXPECT_EQ(run.process.err.find("ping:"), std::string::npos) << run.process.err;

  // The log has one line per host and phase.
  for (const auto& [host, os] : HostClasses()) {
    const std::string ip = lab.Ip(host);
    EXPECT_NE(run.log.find("ARP[" + ip + "]: " + AsciiUpper(lab.Mac(host)) + "\r\n"),
              std::string::npos)
        << host;
    EXPECT_NE(run.log.find("ICMP[" + ip + "]: found. os:" + std::to_string(os) + "\r\n"),
              std::string::npos)
        << host;
  }

  // The result file has a node per host with the fields discovery gave it.
  EXPECT_EQ(run.process.exit_code, 0);
  ASSERT_FALSE(run.result_file.empty());
  const test::ResultDocument doc = test::ParseResultFile(run.result_file);
  ASSERT_TRUE(doc.error.empty()) << doc.error;
  EXPECT_EQ(doc.nodes.size(), 9u);
  for (const auto& [host, os] : HostClasses()) {
    SCOPED_TRACE(host);
    const std::string ip = lab.Ip(host);
    const test::ResultNode* node = doc.FindByIp(ip);
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(node->Field("MACADDRESS"), AsciiUpper(lab.Mac(host)));
    EXPECT_EQ(node->Field("NETMASK"), "255.255.255.0");
    EXPECT_EQ(node->Field("BROADCAST"), InSubnetA(ip) ? "10.77.1.255" : "10.77.2.255");
    EXPECT_EQ(node->Field("OS"), std::to_string(os));
  }
  for (const char* key : {"LAB_SILENT_A", "LAB_SILENT_B", "LAB_GHOST_IP"}) {
    EXPECT_EQ(doc.FindByIp(lab.Value(key)), nullptr) << key;
  }
}

TEST(DiscoveryLabRunTest, ThreadCountsOutsideTheirBoundsStillScan) {
  ORDALEN_REQUIRE_LAB(lab);
  // The sweeps take up to 4096, the MIB phase and the host scan up to 256.
  struct Case {
    const char* thread;
    std::vector<std::string> logged;
  } cases[] = {
      {"0", {"Thread=0 is outside 1..4096: using 1\r\n"}},
      {"-1", {"Thread=-1 is outside 1..4096: using 1\r\n"}},
      {"257", {"Thread=257 is outside 1..256: using 256 for the MIB phase and the host scan\r\n"}},
      {"4096",
       {"Thread=4096 is outside 1..256: using 256 for the MIB phase and the host scan\r\n"}},
      {"5000",
       {"Thread=5000 is outside 1..4096: using 4096 for the ARP and ping sweeps\r\n",
        "Thread=5000 is outside 1..256: using 256 for the MIB phase and the host scan\r\n"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.thread);
    const test::OrdalenRun run = RunOrdalen(
        lab, {"[Ordalen]\r\nThread=" + std::string(c.thread) + "\r\n", std::nullopt, std::nullopt},
        {"7", "10.77.1.19-10.77.1.21"}, 120s);
    ASSERT_TRUE(run.error.empty()) << run.error;
    for (const std::string& line : c.logged)
      EXPECT_NE(run.log.find(line), std::string::npos) << line << run.log;
    std::size_t outside = 0;
    for (auto at = run.log.find(" is outside "); at != std::string::npos;
         at = run.log.find(" is outside ", at + 1))
      ++outside;
    EXPECT_EQ(outside, c.logged.size()) << run.log;
    for (const char* host : {"WIN1", "WIN2"}) {
      const std::string ip = lab.Ip(host);
      EXPECT_NE(run.process.out.find("[" + ip + "]" + AsciiUpper(lab.Mac(host)) + "\r\n"),
                std::string::npos)
          << run.process.out;
      EXPECT_NE(run.process.out.find("[" + ip + "]found\r\n"), std::string::npos)
          << run.process.out;
    }
  }
}

TEST(DiscoveryLabRunTest, RangeModeSweepsOnlyTheRange) {
  ORDALEN_REQUIRE_LAB(lab);
  const test::OrdalenRun run = RunOrdalen(lab, {Config(""), std::nullopt, std::nullopt},
                                          {"7", "10.77.1.250-10.77.2.12"}, 300s);
  ASSERT_TRUE(run.error.empty()) << run.error;
  const std::string& out = run.process.out;
  const auto ping = out.find("ping-------------------------\r\n");
  const auto mib = out.find("MIB-------------------------\r\n");
  ASSERT_NE(ping, std::string::npos) << out;
  ASSERT_NE(mib, std::string::npos) << out;
  const std::string arp_part = out.substr(0, ping);
  const std::string ping_part = out.substr(ping, mib - ping);
  const std::string scanner_b = lab.Value("LAB_SCANNER_IP_B");
  EXPECT_NE(arp_part.find("[" + lab.Ip("LINUX2") + "]" + AsciiUpper(lab.Mac("LINUX2")) + "\r\n"),
            std::string::npos)
      << arp_part;
  EXPECT_NE(arp_part.find("[" + scanner_b + "]"), std::string::npos) << arp_part;
  EXPECT_EQ(Lines(arp_part), 1u + 2u) << arp_part;
  EXPECT_NE(ping_part.find("[" + lab.Ip("LINUX2") + "]found\r\n"), std::string::npos) << ping_part;
  EXPECT_NE(ping_part.find("[" + scanner_b + "]found\r\n"), std::string::npos) << ping_part;
  EXPECT_EQ(Lines(ping_part), 1u + 2u) << ping_part;
}

TEST(DiscoveryLabRunTest, UseArpZeroSkipsTheArpPhase) {
  ORDALEN_REQUIRE_LAB(lab);
  const test::OrdalenRun run = RunOrdalen(lab, {Config("UseARP=0\r\n"), std::nullopt, std::nullopt},
                                          {"7", "10.77.1.9-10.77.1.21"}, 300s);
  ASSERT_TRUE(run.error.empty()) << run.error;
  const std::string& out = run.process.out;
  EXPECT_EQ(out.find("ARP-------------------------"), std::string::npos) << out;
  EXPECT_EQ(out.rfind("ping-------------------------\r\n", 0), 0u) << out;
  for (const char* host : {"LINUX1", "WIN1", "WIN2"}) {
    EXPECT_NE(out.find("[" + lab.Ip(host) + "]found\r\n"), std::string::npos) << host << "\n"
                                                                              << out;
    // The ARP line; the host scan's NetBIOS line starts the same way but goes on.
    EXPECT_EQ(out.find("[" + lab.Ip(host) + "]" + AsciiUpper(lab.Mac(host)) + "\r\n"),
              std::string::npos)
        << host;
  }
}

TEST(DiscoveryLabRunTest, WithoutTheRightToSendRawFramesBothSweepsSaySoOnceAndEachRemedyWorks) {
  ORDALEN_REQUIRE_LAB(lab);
  // A copy of the program in a folder its user may write to. Without CAP_NET_RAW
  // there is no packet socket and no ICMP socket of either kind (the lab leaves
  // ping_group_range at its default).
  const std::vector<std::string> as_user = {"setpriv", "--reuid=65534", "--regid=65534",
                                            "--clear-groups"};
  std::vector<std::string> with_ambient = as_user;
  with_ambient.insert(with_ambient.end(), {"--inh-caps=+net_raw", "--ambient-caps=+net_raw"});
  struct Case {
    const char* who;
    std::vector<std::string> prefix;
    bool setcap;   // the copy gets the capability as a file capability first
    bool allowed;  // the sweeps may send
  } cases[] = {
      {"root without CAP_NET_RAW",
       {"setpriv", "--inh-caps=-net_raw", "--bounding-set=-net_raw"},
       false,
       false},
      {"another user", as_user, false, false},
      {"another user given CAP_NET_RAW as a service gives it", with_ambient, false, true},
      {"another user, the program given CAP_NET_RAW by setcap", as_user, true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.who);
    test::TempDir dir;
    std::filesystem::permissions(dir.path(), std::filesystem::perms::all);
    const std::string copy = (dir.path() / "ordalen").string();
    std::filesystem::copy_file(test::OrdalenBinary(), copy);
    if (c.setcap) {
      const test::ProcessResult set = test::RunProcess({"setcap", "cap_net_raw+ep", copy}, 10s);
      if (set.exit_code != 0) {
        std::printf("skipped: setcap failed (%s)\n", set.err.c_str());
        continue;
      }
    }
    std::vector<std::string> argv = c.prefix;
    argv.insert(argv.end(), {copy, "7", "10.77.1.9-10.77.1.11"});
    const test::ProcessResult r = lab.Run("scanner", argv, 120s, dir.path().string());
    ASSERT_FALSE(r.timed_out);
    const std::string& err = r.err;
    const std::string log = test::ReadFile(dir.path() / "OrdalenLog" / "ordalen.log");
    const auto count = [](const std::string& text, const std::string& what) {
      std::size_t n = 0;
      for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
      return n;
    };
    // One notice per sweep, on standard error and in the log, naming both
    // remedies with the program's own path.
    const std::size_t notices = c.allowed ? 0 : 1;
    for (const std::string& text : {err, log}) {
      EXPECT_EQ(count(text, "ARP: no permission to send raw ARP frames"), notices) << text;
      EXPECT_EQ(count(text, "ping: no permission to open an ICMP socket"), notices) << text;
      EXPECT_EQ(count(text, "`setcap cap_net_raw+ep " + copy + "`"), 2 * notices) << text;
      EXPECT_EQ(count(text, "AmbientCapabilities=CAP_NET_RAW"), 2 * notices) << text;
    }
    const std::string linux1 = "[" + lab.Ip("LINUX1") + "]";
    EXPECT_EQ(r.out.find(linux1 + AsciiUpper(lab.Mac("LINUX1")) + "\r\n") != std::string::npos,
              c.allowed)
        << r.out;
    EXPECT_EQ(r.out.find(linux1 + "found\r\n") != std::string::npos, c.allowed) << r.out;
    EXPECT_NE(r.out.find("MIB-------------------------"), std::string::npos) << r.out;
  }
}

}  // namespace
}  // namespace ordalen
