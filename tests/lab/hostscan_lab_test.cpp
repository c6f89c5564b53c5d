// The host scan against the lab's real peers, run in-process inside the scanner
// namespace with the hosts seeded into the result store as discovery leaves them.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include "base/text.h"
#include "engine/result_store.h"
#include "platform/tcp_connect.h"
#include "probes/host_scan.h"
#include "probes/netbios.h"
#include "support/lab.h"
#include "support/node_status.h"
#include "support/process.h"
#include "support/recording_output.h"

namespace ordalen {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using test::RecordingOutput;

std::uint32_t Address(const std::string& text) {
  unsigned a = 0, b = 0, c = 0, d = 0;
  EXPECT_EQ(std::sscanf(text.c_str(), "%u.%u.%u.%u", &a, &b, &c, &d), 4) << text;
  return (a << 24) | (b << 16) | (c << 8) | d;
}

bool Contains(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

int CountStarting(const std::vector<std::string>& lines, const std::string& prefix) {
  return static_cast<int>(std::count_if(
      lines.begin(), lines.end(), [&](const std::string& l) { return StartsWith(l, prefix); }));
}

SCANRESULT& Seed(const std::string& ip, const std::string& mac, const std::string& name, int os) {
  auto& slot = HostSlot(ip);
  slot = std::make_unique<SCANRESULT>();
  slot->IpAddress = ip;
  slot->MacAddress = mac;
  slot->NetbiosName = name;
  slot->OsType = os;
  return *slot;
}

double Ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

// A peer program that runs in a lab host's namespace while the test goes on.
// It writes "ready" into its folder once its socket is open and stops when
// "stop" appears there (or at its own time limit); what it prints is kept.
class LabPeer {
 public:
  LabPeer(const test::Lab& lab, std::string host, std::string script, std::vector<std::string> args)
      : dir_() {
    std::vector<std::string> argv = {"/usr/bin/python3", "-c", std::move(script),
                                     dir_.path().string()};
    argv.insert(argv.end(), args.begin(), args.end());
    thread_ = std::thread([this, &lab, host = std::move(host), argv = std::move(argv)] {
      result_ = lab.Run(host, argv, milliseconds(20000));
    });
  }
  ~LabPeer() { Stop(); }

  bool WaitReady() {
    const auto until = Clock::now() + milliseconds(5000);
    while (Clock::now() < until) {
      if (std::filesystem::exists(dir_.path() / "ready")) return true;
      std::this_thread::sleep_for(milliseconds(20));
    }
    return false;
  }
  const test::ProcessResult& Stop() {
    if (thread_.joinable()) {
      dir_.Write("stop", "");
      thread_.join();
    }
    return result_;
  }

 private:
  test::TempDir dir_;
  std::thread thread_;
  test::ProcessResult result_;
};

// Counts the TCP connections accepted on ADDRESS:PORT.
constexpr const char* kCountingListener = R"PY(
import os, select, socket, sys, time
folder, address, port = sys.argv[1], sys.argv[2], int(sys.argv[3])
s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind((address, port)); s.listen(16); s.setblocking(False)
open(os.path.join(folder, "ready"), "w").close()
count, until = 0, time.time() + 15
while time.time() < until and not os.path.exists(os.path.join(folder, "stop")):
    if select.select([s], [], [], 0.05)[0]:
        try:
            c, _ = s.accept(); c.close(); count += 1
        except BlockingIOError:
            pass
print(count)
)PY";

// Sends DATAGRAM (hex) from UDP 137 to ADDRESS:PORT every 50 ms until stopped.
constexpr const char* kDatagramSender = R"PY(
import os, socket, sys, time
folder, data, address, port = sys.argv[1], bytes.fromhex(sys.argv[2]), sys.argv[3], int(sys.argv[4])
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("", 137))
open(os.path.join(folder, "ready"), "w").close()
sent, until = 0, time.time() + 15
while time.time() < until and not os.path.exists(os.path.join(folder, "stop")):
    s.sendto(data, (address, port)); sent += 1; time.sleep(0.05)
print(sent)
)PY";

std::string Hex(const std::vector<std::uint8_t>& bytes) {
  std::string out;
  for (auto b : bytes) out += Format("%02x", b);
  return out;
}

class HostScanLabTest : public ::testing::Test {
 protected:
  void SetUp() override { ClearHosts(); }
  void TearDown() override { ClearHosts(); }
};

#define ENTER_LAB(lab)                          \
  ORDALEN_REQUIRE_LAB(lab);                     \
  {                                             \
    const std::string why = lab.EnterScanner(); \
    ASSERT_TRUE(why.empty()) << why;            \
  }

TEST_F(HostScanLabTest, NmbdZeroMacAnswerLeavesTheArpValues) {
  ENTER_LAB(lab);
  const std::string ip = lab.Ip("WIN1");
  // nmbd does answer, with its names and the zero MAC ...
  NodeStatus answer;
  OsError error;
  ASSERT_TRUE(NetbiosQuery(Address(ip), 34099, answer, error)) << error.message;
  EXPECT_EQ(answer.MacAddress, "00:00:00:00:00:00");
  EXPECT_EQ(answer.ComputerName, lab.Value("LAB_NB_WIN1_NAME"));
  EXPECT_EQ(answer.DomainName, lab.Value("LAB_NB_WIN1_GROUP"));

  // ... which the scan does not use: the record keeps what ARP found.
  Seed(ip, lab.Mac("WIN1"), lab.HostName("WIN1"), 1);
  SCANCONFIG config;
  config.winPorts = {3389};
  RecordingOutput output;
  HostScan(config, *MakeNetworkProbes(), output);
  const SCANRESULT* record = FindHost(ip);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->MacAddress, lab.Mac("WIN1"));
  EXPECT_EQ(record->NetbiosName, lab.HostName("WIN1"));
  EXPECT_EQ(record->DomainName, "");
  EXPECT_EQ(CountStarting(output.logged, "NetBIOS["), 0);
  EXPECT_TRUE(Contains(output.printed, "[" + ip + "]3389:ok\r\n"));
}

TEST_F(HostScanLabTest, WindowsLikeAnswerGivesMacNameWorkgroupAndOsClass) {
  ENTER_LAB(lab);
  const std::string ip = lab.Ip("WIN2");
  const std::string mac = AsciiUpper(lab.Mac("WIN2"));
  const std::string name = lab.Value("LAB_NB_WIN2_NAME");
  const std::string group = lab.Value("LAB_NB_WIN2_GROUP");
  // A ping-only record: no MAC yet, no OS class.
  Seed(ip, "", "", 0);
  SCANCONFIG config;
  config.winPorts = {3389};
  config.jobId = "2";
  RecordingOutput output;
  HostScan(config, *MakeNetworkProbes(), output);

  const SCANRESULT* record = FindHost(ip);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->MacAddress, mac);
  EXPECT_EQ(record->NetbiosName, name) << "the IS~ name listed first must be skipped";
  EXPECT_EQ(record->DomainName, group);
  EXPECT_EQ(record->OsType, 1);
  EXPECT_TRUE(Contains(output.printed, "[" + ip + "]3389:ok\r\n"));
  EXPECT_TRUE(Contains(output.logged, "Port[" + ip + "]: 3389 ok"));
  EXPECT_TRUE(Contains(output.printed, "[" + ip + "]" + mac + "," + group + "," + name + "\r\n"));
  EXPECT_TRUE(Contains(output.logged, "NetBIOS[" + ip + "]: " + mac + "," + group + "," + name));
  EXPECT_TRUE(Contains(output.logged, "Scan[" + ip + "]: scanned"));

  // The responder saw the 50-byte request from the job's first slot port.
  if (lab.Has("LAB_NB_WIN2_LOG")) {
    const std::string log = test::ReadFile(lab.Value("LAB_NB_WIN2_LOG"));
    const auto request = NodeStatusRequest();
    const std::string expected = "request " + lab.Value("LAB_SCANNER_IP_A") + ":35100 len=50 " +
                                 Hex(std::vector<std::uint8_t>(request.begin(), request.end()));
    EXPECT_NE(log.find(expected), std::string::npos) << log;
  }
}

TEST_F(HostScanLabTest, HostWithoutNetbiosLogsItsErrorAfterTwentyPolls) {
  ENTER_LAB(lab);
  const std::string ip = lab.Ip("LINUX1");
  Seed(ip, lab.Mac("LINUX1"), lab.HostName("LINUX1"), 3);
  SCANCONFIG config;
  config.winPorts = {3389, 445};
  RecordingOutput output;
  const auto started = Clock::now();
  HostScan(config, *MakeNetworkProbes(), output);
  const auto took = Clock::now() - started;
  EXPECT_EQ(output.logged, std::vector<std::string>{"NetBIOS[" + ip + "]: error[0]"});
  EXPECT_EQ(output.printed, (std::vector<std::string>{"-----------NETBIOS--------------\r\n",
                                                      "-----------WMI--------------\r\n"}));
  EXPECT_GE(took, milliseconds(1900));
  EXPECT_LT(took, milliseconds(2600));
  const SCANRESULT* record = FindHost(ip);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->OsType, 3);
  EXPECT_EQ(record->MacAddress, lab.Mac("LINUX1"));
}

TEST_F(HostScanLabTest, FirstListedAcceptingPortIsTheOneReported) {
  ENTER_LAB(lab);
  const std::string ip = lab.Ip("WIN1");  // 3389 and 135 accept, 445 does not
  struct Case {
    std::vector<std::uint32_t> ports;
    std::uint32_t reported;
  } cases[] = {{{3389, 135}, 3389}, {{135, 3389}, 135}, {{445, 3389, 135}, 3389}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reported);
    ClearHosts();
    Seed(ip, lab.Mac("WIN1"), "", 3);
    SCANCONFIG config;
    config.winPorts = c.ports;
    RecordingOutput output;
    HostScan(config, *MakeNetworkProbes(), output);
    EXPECT_EQ(CountStarting(output.logged, "Port["), 1);
    EXPECT_TRUE(Contains(output.logged, Format("Port[%s]: %u ok", ip.c_str(), c.reported)));
    EXPECT_EQ(FindHost(ip)->OsType, 1);
  }
}

TEST_F(HostScanLabTest, Port135IsTouchedOnlyWithAnAccount) {
  ENTER_LAB(lab);
  // A listener of our own on LINUX2:135 counts the connections it gets.
  const std::string ip = lab.Ip("LINUX2");
  struct Case {
    std::vector<std::string> users;
    const char* connections;
  } cases[] = {{{}, "0"}, {{"nobody"}, "1"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.users.size());
    LabPeer listener(lab, "LINUX2", kCountingListener, {ip, "135"});
    ASSERT_TRUE(listener.WaitReady());
    ClearHosts();
    Seed(ip, lab.Mac("LINUX2"), "", 3);
    SCANCONFIG config;
    config.wmiUserNames = c.users;
    config.wmiPasswords.assign(c.users.size(), "wrong");
    RecordingOutput output;
    HostScan(config, *MakeNetworkProbes(), output);
    const auto& run = listener.Stop();
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(std::string(TrimSpace(run.out)), c.connections);
    // With an account, the attempt finds nothing on 5985 and says so in one line.
    const std::string refused = "WMI[" + ip + "]: account 1: connection refused";
    EXPECT_EQ(std::count(output.logged.begin(), output.logged.end(), refused),
              static_cast<std::ptrdiff_t>(c.users.size()));
    EXPECT_EQ(CountStarting(output.logged, "WMI["), static_cast<int>(c.users.size()));
  }
}

TEST_F(HostScanLabTest, DatagramFromAnotherHostIsNotTakenAsTheAnswer) {
  ENTER_LAB(lab);
  test::NodeStatusAnswer forged;
  forged.names = {{"FORGED", 0x00, 0x04}, {"EVILGROUP", 0x00, 0x84}};
  forged.unit_id = std::array<std::uint8_t, 6>{0x02, 0x66, 0x66, 0x66, 0x66, 0x66};
  const std::string datagram = Hex(test::BuildNodeStatus(forged));
  const std::string scanner_b = lab.Value("LAB_SCANNER_IP_B");

  struct Case {
    const char* queried;  // host key
    int result;
    const char* name;
  } cases[] = {
      {"LINUX1", 0, ""},        // LINUX2 talks into LINUX1's query: dropped
      {"LINUX2", 1, "FORGED"},  // the same datagram is the answer when LINUX2 is asked
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.queried);
    const std::uint16_t port = *NetbiosLocalPort("", 0);
    LabPeer sender(lab, "LINUX2", kDatagramSender, {datagram, scanner_b, std::to_string(port)});
    ASSERT_TRUE(sender.WaitReady());
    NodeStatus answer;
    OsError error;
    EXPECT_EQ(NetbiosQuery(Address(lab.Ip(c.queried)), port, answer, error), c.result == 1);
    EXPECT_EQ(answer.ComputerName, c.name);
    const auto& run = sender.Stop();
    EXPECT_EQ(run.exit_code, 0) << run.err;
    // While the query lasts the sender keeps sending: for the whole 2 s when it
    // is ignored.
    EXPECT_GE(AtoI(TrimSpace(run.out)), c.result == 1 ? 1 : 20) << "the sender was not sending";
  }
}

// The cost of each step for a host that answers nothing, printed for the record.
TEST_F(HostScanLabTest, CostPerHostWithNothingAnswering) {
  ENTER_LAB(lab);
  struct Case {
    const char* what;
    std::string ip;
  } cases[] = {{"silent address (no host)", lab.Value("LAB_SILENT_A")},
               {"host with nothing listening", lab.Ip("LINUX1")}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::uint32_t address = Address(c.ip);
    auto t0 = Clock::now();
    EXPECT_FALSE(ConnectProbe(address, 3389));
    const auto port_cost = Clock::now() - t0;
    NodeStatus answer;
    OsError error;
    t0 = Clock::now();
    EXPECT_FALSE(NetbiosQuery(address, 34098, answer, error));
    const auto netbios_cost = Clock::now() - t0;
    t0 = Clock::now();
    EXPECT_FALSE(ConnectProbe(address, kWmiGatePort));
    const auto gate_cost = Clock::now() - t0;
    std::printf("cost %-28s port %7.1f ms  NetBIOS %7.1f ms (error %d)  135 gate %7.1f ms\n",
                c.what, Ms(port_cost), Ms(netbios_cost), error.code, Ms(gate_cost));
    EXPECT_LT(port_cost, kConnectTimeout + milliseconds(300));
    EXPECT_LT(gate_cost, kConnectTimeout + milliseconds(300));
    EXPECT_GE(netbios_cost, milliseconds(1900));
    EXPECT_LT(netbios_cost, milliseconds(2600));
  }
}

// The program itself over part of subnet A: discovery fills the store, the host
// scan completes it, the result file and the log show it.
TEST(HostScanProgramLabTest, ScanOfARangeCompletesTheWindowsLikeHosts) {
  ORDALEN_REQUIRE_LAB(lab);
  test::OrdalenFiles files;
  files.config_ini = "[Ordalen]\r\nThread=4\r\nWinPort=445,3389\r\n";
  const std::string range = lab.Ip("LINUX1") + "-" + lab.Ip("WIN2");
  const test::OrdalenRun run = test::RunOrdalen(lab, files, {"4", range}, milliseconds(120000));
  ASSERT_TRUE(run.error.empty()) << run.error;
  ASSERT_FALSE(run.process.timed_out);
  EXPECT_EQ(run.process.exit_code, 0) << run.process.err;
  const test::ResultDocument result = test::ParseResultFile(run.result_file);
  ASSERT_TRUE(result.error.empty()) << result.error;

  const test::ResultNode* win2 = result.FindByIp(lab.Ip("WIN2"));
  ASSERT_NE(win2, nullptr) << run.process.out;
  EXPECT_EQ(win2->Field("MACADDRESS"), AsciiUpper(lab.Mac("WIN2")));
  EXPECT_EQ(win2->Field("NETBIOS_NAME"), lab.Value("LAB_NB_WIN2_NAME"));
  EXPECT_EQ(win2->Field("DOMAIN_NAME"), lab.Value("LAB_NB_WIN2_GROUP"));
  EXPECT_EQ(win2->Field("OS"), "1");

  const test::ResultNode* win1 = result.FindByIp(lab.Ip("WIN1"));
  ASSERT_NE(win1, nullptr);
  EXPECT_EQ(win1->Field("MACADDRESS"), AsciiUpper(lab.Mac("WIN1")))
      << "nmbd's zero MAC must not win";
  EXPECT_NE(win1->Field("NETBIOS_NAME"), lab.Value("LAB_NB_WIN1_NAME"));
  EXPECT_EQ(win1->Field("OS"), "1");

  const std::string& console = run.process.out;
  EXPECT_NE(console.find("[" + lab.Ip("WIN2") + "]3389:ok\r\n"), std::string::npos) << console;
  EXPECT_EQ(console.find("]445:ok"), std::string::npos);
  EXPECT_NE(run.log.find("|4|NetBIOS[" + lab.Ip("LINUX1") + "]: error[0]\r\n"), std::string::npos)
      << run.log;
  EXPECT_NE(
      run.log.find("|4|NetBIOS[" + lab.Ip("WIN2") + "]: " + AsciiUpper(lab.Mac("WIN2")) + "," +
                   lab.Value("LAB_NB_WIN2_GROUP") + "," + lab.Value("LAB_NB_WIN2_NAME") + "\r\n"),
      std::string::npos)
      << run.log;
  EXPECT_NE(run.log.find("|4|Scan[" + lab.Ip("WIN2") + "]: scanned\r\n"), std::string::npos);
}

}  // namespace
}  // namespace ordalen
