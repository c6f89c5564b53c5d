// The computer-name query against the lab's WS-Management test service on WIN1
// (our own service, scripts/lab/wsman_server.py: a real NTLM acceptor, sealed
// bodies only), and what a whole scan asks of it.
#include "probes/wmi.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "support/lab.h"
#include "support/process.h"

namespace ordalen::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (auto pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) ++n;
  return n;
}

// The service's log lines written since this object was made.
class ServiceLog {
 public:
  explicit ServiceLog(const Lab& lab) : path_(lab.Value("LAB_WSMAN_LOG")) {
    std::error_code ec;
    start_ = std::filesystem::file_size(path_, ec);
    if (ec) start_ = 0;
  }
  // Waits (bounded) until `closed` connections have ended, then returns the new lines.
  [[nodiscard]] std::string Since(std::size_t closed = 0) const {
    const auto deadline = Clock::now() + 5s;
    std::string text = Read();
    while (Count(text, " closed") < closed && Clock::now() < deadline) {
      std::this_thread::sleep_for(20ms);
      text = Read();
    }
    return text;
  }

 private:
  [[nodiscard]] std::string Read() const {
    const std::string all = ReadFile(path_);
    return all.size() > start_ ? all.substr(start_) : std::string();
  }
  std::filesystem::path path_;
  std::uintmax_t start_ = 0;
};

#define REQUIRE_WSMAN(lab)                        \
  ORDALEN_REQUIRE_LAB(lab);                       \
  if (lab.Value("LAB_WSMAN_RUNNING") != "1")      \
  FAIL() << "the lab runs no WS-Management test " \
            "service"

TEST(WmiLab, ConnectAndQueryGiveTheServiceName) {
  REQUIRE_WSMAN(lab);
  ASSERT_EQ(lab.EnterScanner(), "");
  const ServiceLog log(lab);
  WmiConnection connection;
  ASSERT_EQ(WmiConnect(connection, lab.Ip("WIN1"), lab.Value("LAB_WSMAN_USER"),
                       lab.Value("LAB_WSMAN_PASS")),
            1)
      << connection.LastErrorText;
  std::string name;
  ASSERT_EQ(WmiQueryComputerName(connection, name), 1) << connection.LastErrorText;
  EXPECT_EQ(name, lab.Value("LAB_WSMAN_NAME"));
  WmiRelease(connection);

  // The whole exchange on one connection: challenge, account, sealed query, sealed pull.
  const auto lines = log.Since(1);
  EXPECT_EQ(Count(lines, "open from " + lab.Value("LAB_SCANNER_IP_A") + ":"), 1u) << lines;
  EXPECT_EQ(Count(lines, "request 1 negotiate: challenge sent"), 1u) << lines;
  EXPECT_EQ(Count(lines, "request 2 authenticate: accepted"), 1u) << lines;
  EXPECT_EQ(Count(lines, "request 2 enumerate: accepted query"), 1u) << lines;
  EXPECT_EQ(Count(lines, "request 3 pull: 1 item(s), end of sequence"), 1u) << lines;
  EXPECT_EQ(Count(lines, "refused"), 0u) << lines;
}

TEST(WmiLab, WrongAccountsAreRefusedByTheService) {
  REQUIRE_WSMAN(lab);
  ASSERT_EQ(lab.EnterScanner(), "");
  const ServiceLog log(lab);
  const std::vector<std::pair<std::string, std::string>> accounts = {
      {lab.Value("LAB_WSMAN_USER"), "Wrong-Pass-9"}, {"someone", lab.Value("LAB_WSMAN_PASS")}};
  for (const auto& [user, password] : accounts) {
    WmiConnection connection;
    EXPECT_EQ(WmiConnect(connection, lab.Ip("WIN1"), user, password), 0) << user;
    EXPECT_EQ(connection.LastError, kWmiAccessDenied) << user << ": " << connection.LastErrorText;
    std::string name;
    EXPECT_EQ(WmiQueryComputerName(connection, name), 0);
    EXPECT_TRUE(name.empty());
  }
  const auto lines = log.Since(accounts.size());
  EXPECT_EQ(Count(lines, "authenticate: refused"), accounts.size()) << lines;
  EXPECT_EQ(Count(lines, "enumerate:"), 0u) << lines;
}

TEST(WmiLab, CostPerHostWithNothingOnPort5985) {
  ORDALEN_REQUIRE_LAB(lab);
  ASSERT_EQ(lab.EnterScanner(), "");
  struct Case {
    const char* what;
    std::string ip;
    int error;
  };
  // LINUX1's kernel refuses the port; the silent address has no host at all.
  const std::vector<Case> cases = {
      {"port closed (LINUX1)", lab.Ip("LINUX1"), kWmiRefused},
      {"no host (silent address)", lab.Value("LAB_SILENT_A"), kWmiConnect}};
  for (const auto& c : cases) {
    WmiConnection connection;
    const auto start = Clock::now();
    EXPECT_EQ(WmiConnect(connection, c.ip, "someone", "Some-Pass-1"), 0) << c.what;
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_EQ(connection.LastError, c.error) << c.what << ": " << connection.LastErrorText;
    EXPECT_LT(seconds, std::chrono::duration<double>(kWsmanConnectTimeout).count() + 0.5) << c.what;
    std::printf("measured: WMI attempt, %s: %.1f ms (%s)\n", c.what, seconds * 1000,
                connection.LastErrorText.c_str());
  }
}

// ---- whole scans of WIN1 -------------------------------------------------------

OrdalenRun ScanWin1(const Lab& lab, const std::string& account_sections) {
  const std::string ip = lab.Ip("WIN1");
  OrdalenFiles files;
  files.config_ini = "[Ordalen]\r\nWinPort=3389,\r\nThread=4\r\n" + account_sections;
  return RunOrdalen(lab, files, {"7", ip + "-" + ip}, 180s);
}

std::string Account(int index, const std::string& user, const std::string& password) {
  return "[Ordalen_Account_" + std::to_string(index) + "]\r\nUserName=" + user +
         "\r\nPassword=" + password + "\r\n";
}

TEST(WmiLab, ScanWithoutAccountsMakesNoConnection) {
  REQUIRE_WSMAN(lab);
  const ServiceLog log(lab);
  const auto run = ScanWin1(lab, "");
  ASSERT_TRUE(run.error.empty()) << run.error;
  ASSERT_FALSE(run.process.timed_out);
  EXPECT_EQ(run.process.exit_code, 0) << run.process.err;
  EXPECT_NE(run.process.out.find("[" + lab.Ip("WIN1") + "]3389:ok"), std::string::npos)
      << run.process.out;
  EXPECT_NE(run.process.out.find("-----------WMI--------------"), std::string::npos);
  EXPECT_EQ(run.process.out.find("wmi:"), std::string::npos) << run.process.out;
  const auto lines = log.Since();
  EXPECT_EQ(Count(lines, "open from"), 0u) << "no account: the service must not be contacted\n"
                                           << lines;
}

TEST(WmiLab, ScanWithTwoAccountsOnlyTheSecondValid) {
  REQUIRE_WSMAN(lab);
  const ServiceLog log(lab);
  const std::string ip = lab.Ip("WIN1");
  const std::string user = lab.Value("LAB_WSMAN_USER");
  const std::string password = lab.Value("LAB_WSMAN_PASS");
  const auto run = ScanWin1(lab, Account(1, user, "Not-The-Pass-7") + Account(2, user, password));
  ASSERT_TRUE(run.error.empty()) << run.error;
  ASSERT_FALSE(run.process.timed_out);
  EXPECT_EQ(run.process.exit_code, 0) << run.process.err;

  const std::string name = lab.Value("LAB_WSMAN_NAME");
  EXPECT_EQ(Count(run.process.out, "wmi:"), 1u) << run.process.out;
  EXPECT_EQ(Count(run.process.out, "[" + ip + "]wmi:" + name + "\n"), 1u) << run.process.out;
  // The refused first account leaves one line with its number and the kind, then the name.
  EXPECT_EQ(Count(run.log, "WMI["), 2u) << run.log;
  const auto refused = run.log.find("WMI[" + ip + "]: account 1: authentication refused\r\n");
  const auto named = run.log.find("WMI[" + ip + "]: " + name + "\r\n");
  EXPECT_NE(refused, std::string::npos) << run.log;
  EXPECT_NE(named, std::string::npos) << run.log;
  EXPECT_LT(refused, named) << run.log;
  // No account text reaches the log or the error stream.
  for (const std::string& secret : {password, std::string("Not-The-Pass-7")}) {
    EXPECT_EQ(run.log.find(secret), std::string::npos);
    EXPECT_EQ(run.process.err.find(secret), std::string::npos);
    EXPECT_EQ(run.process.out.find(secret), std::string::npos);
  }

  const auto lines = log.Since(2);
  EXPECT_EQ(Count(lines, "open from"), 2u) << lines;
  EXPECT_EQ(Count(lines, "authenticate: refused"), 1u) << lines;
  EXPECT_EQ(Count(lines, "authenticate: accepted"), 1u) << lines;
  EXPECT_LT(lines.find("authenticate: refused"), lines.find("authenticate: accepted")) << lines;
}

}  // namespace
}  // namespace ordalen::test
