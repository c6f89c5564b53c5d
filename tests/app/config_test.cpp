#include "app/config.h"

#include <gtest/gtest.h>

#include "app/settings.h"
#include "base/text.h"
#include "support/process.h"
#include "support/scan_config.h"

namespace ordalen {
namespace {

using Ports = std::vector<std::uint32_t>;
using Fields = std::vector<std::string>;

TEST(ConfigTest, WinPortTokens) {
  struct Case {
    const char* text;
    Ports ports;
  } cases[] = {
      {"80, 443,,8080", {80, 443, 8080}},
      {"abc,0,-5", {}},
      {"3389", {3389}},
      {"3389,", {3389}},
      {",,3389,,", {3389}},
      {"22,22", {22, 22}},
      {" 8 0 ,9x", {8, 9}},
      {"65535,65536,70000", {65535}},  // not TCP ports: skipped
      {"", {}},
  };
  test::TempDir dir;
  test::ScopedScanConfig config(dir.path());
  for (const auto& c : cases) EXPECT_EQ(ParseWinPorts(c.text), c.ports) << c.text;
}

TEST(LoadConfigurationTest, SettingsAndTheirLogLines) {
  struct Case {
    std::string ini;
    Ports ports;
    int threads, use_arp;
    std::string community;
    Fields log;
  } cases[] = {
      {"",
       {3389},
       12,
       1,
       "vendra",
       {"Config: WinPort=3389,", "Config: Thread=12", "Config: UseARP=1",
        "Config: Community=vendra"}},
      {"[Ordalen]\nWinPort=80, 443,,8080\nThread=300\nUseARP=5\nCommunity=\"pub lic\"\n",
       {80, 443, 8080},
       300,
       1,
       "pub lic",
       {"Config: WinPort=80, 443,,8080", "Config: Thread=300", "Config: UseARP=1",
        "Config: Community=pub lic"}},
      {"[Ordalen]\nWinPort=abc\nUseARP=0\n",
       {},
       12,
       0,
       "vendra",
       {"Config: WinPort=abc", "Config: Thread=12", "Config: UseARP=0",
        "Config: Community=vendra"}},
      {"[Ordalen]\nUseARP=-1\n",
       {3389},
       12,
       0,
       "vendra",
       {"Config: WinPort=3389,", "Config: Thread=12", "Config: UseARP=0",
        "Config: Community=vendra"}},
  };
  for (const auto& c : cases) {
    test::TempDir dir;
    test::ScopedScanConfig scoped(dir.path());
    if (!c.ini.empty()) dir.Write("config.ini", c.ini);
    LoadConfiguration(dir.path().string());
    const SCANCONFIG& got = ScanConfig();
    EXPECT_EQ(got.winPorts, c.ports) << c.ini;
    EXPECT_EQ(got.threadCount, c.threads) << c.ini;
    EXPECT_EQ(got.useArp, c.use_arp) << c.ini;
    EXPECT_EQ(got.community, c.community) << c.ini;
    EXPECT_EQ(test::LogMessages(dir.path() / "ordalen.log"), c.log) << c.ini;
  }
}

TEST(LoadConfigurationTest, WindowsAccountsStopAtTheFirstIncompleteSection) {
  const auto section = [](int i, const char* user, const char* password) {
    return "[Ordalen_Account_" + std::to_string(i) + "]\nUserName=" + user +
           "\nPassword=" + password + "\n";
  };
  std::string eleven;
  Fields ten;
  for (int i = 1; i <= 11; ++i) {
    eleven += section(i, ("u" + std::to_string(i)).c_str(), "p");
    if (i <= 10) ten.push_back("u" + std::to_string(i));
  }
  struct Case {
    std::string ini;
    Fields users;
  } cases[] = {
      {section(1, "u1", "p"), {"u1"}},
      {section(1, "u1", "p") + section(3, "u3", "p"), {"u1"}},  // no section 2
      {section(1, "u1", "p") + section(2, "u2", "") + section(3, "u3", "p"), {"u1"}},
      {section(1, "", "p") + section(2, "u2", "p"), {}},
      {eleven, ten},
  };
  for (const auto& c : cases) {
    test::TempDir dir;
    test::ScopedScanConfig scoped(dir.path());
    dir.Write("config.ini", c.ini);
    LoadConfiguration(dir.path().string());
    EXPECT_EQ(ScanConfig().wmiUserNames, c.users) << c.ini;
    EXPECT_EQ(ScanConfig().wmiPasswords, Fields(c.users.size(), "p")) << c.ini;
    const Fields log = test::LogMessages(dir.path() / "ordalen.log");
    EXPECT_EQ(std::count(log.begin(), log.end(), "Config: UseWMI=TRUE"), c.users.empty() ? 0 : 1);
  }
}

TEST(CsvFileTest, ReadDataSplitsFields) {
  struct Case {
    std::string line;
    Fields fields;
  } cases[] = {
      {"a,b,c", {"a", "b", "c"}},
      {"a,b,", {"a", "b"}},
      {",", {""}},
      {"", {}},
      {"a,,c", {"a", "", "c"}},
      {" a , b ", {" a ", " b "}},
      {"10.0.0.1,user,\"pa,ss\"\"word\"", {"10.0.0.1", "user", "pa,ss\"word"}},
      {"\"x\"", {"x"}},
      {"\"x\",y", {"x", "y"}},
      {"\"x\"yz", {"x", "z"}},  // the byte after the closing quote is the separator
      {"\"open,field", {"open,field"}},
      {"\"\"", {""}},
      {"a\rb,c", {"a\rb", "c"}},  // a lone CR is an ordinary byte
  };
  for (const auto& c : cases) {
    CCsvFile file(c.line + "\r\n");
    Fields fields = {"old1", "old2", "old3", "old4"};
    ASSERT_TRUE(file.ReadData(fields)) << c.line;
    EXPECT_EQ(fields, c.fields) << c.line;
    EXPECT_FALSE(file.ReadData(fields));
    EXPECT_EQ(fields, c.fields) << "end of file leaves the fields alone";
  }
}

TEST(CsvFileTest, LinesEndInLfOrCrLfAndTheLastMayHaveNoEnd) {
  CCsvFile file("a\r\nb\n\nc");
  Fields f;
  std::vector<Fields> lines;
  while (file.ReadData(f)) lines.push_back(f);
  EXPECT_EQ(lines, (std::vector<Fields>{{"a"}, {"b"}, {}, {"c"}}));
}

TEST(LoadConfigurationTest, AccountsFileLinesAreReadOrSkippedByLineNumber) {
  test::TempDir dir;
  test::ScopedScanConfig scoped(dir.path());
  dir.Write("accounts.csv",
            "\xEF\xBB\xBF"
            "10.0.0.1,first,passphrase1\r\n"                                       // 1
            "10.0.0.2,onlyuser\r\n"                                                // 2
            "\r\n"                                                                 // 3
            "10.0.0.3,u3,\"p,3\"\"word\",\"SHA-256\",aes,\"priv,pass\",extra\r\n"  // 4
            "10.0.0.1,second,passphrase2\r\n"                                      // 5
            "10.0.0.4,u4,secret-auth-1,SHA-1\r\n"                                  // 6
            "10.0.0.5,u5,secret-auth-2,SHA,AES,secret7\r\n"                        // 7
            "10.0.0.6,u6,secret8,SHA\r\n"                                          // 8
            "10.9.0.0/16,block,passphrase3,sha-512,aes-256,privphrase\n"           // 9
            "10.9.9.9-10.9.9.1,reversed,passphrase4\r\n"                           // 10
            "10.9.0.0/8,hostbits,passphrase5\r\n"                                  // 11
            "printer,named,passphrase6\r\n"                                        // 12
            "*,guest,\"\"\r\n"                                                     // 13
            "10.0.0.7,u7,secret-auth-3,,,secret-priv-3\r\n"                        // 14
            "10.0.0.8,u8,\r\n"     // a last comma ends the line: two fields           15
            "10.0.0.9,u9,,\r\n");  // 16
  LoadConfiguration(dir.path().string());
  const auto& accounts = ScanConfig().mibAccounts;
  EXPECT_EQ(accounts.size(), 5u);  // 10.0.0.1, 10.0.0.3, 10.0.0.9, the /16, "*"
  ASSERT_NE(accounts.Find("10.0.0.1"), nullptr);
  EXPECT_EQ(accounts.Find("10.0.0.1")->userName, "second");  // the later line replaces
  EXPECT_EQ(accounts.Find("10.0.0.1")->authPassphrase, "passphrase2");
  EXPECT_EQ(SecurityLevelOf(*accounts.Find("10.0.0.1")), SnmpSecurityLevel::kAuthNoPriv);
  const MIB_ACCOUNT* quoted = accounts.Find("10.0.0.3");
  ASSERT_NE(quoted, nullptr);
  EXPECT_EQ(quoted->authPassphrase, "p,3\"word");
  EXPECT_EQ(quoted->authProtocol, SnmpAuthProtocol::kSha256);
  EXPECT_EQ(quoted->privProtocol, SnmpPrivProtocol::kAes);
  EXPECT_EQ(quoted->privPassphrase, "priv,pass");
  ASSERT_NE(accounts.Find("10.9.200.1"), nullptr);
  EXPECT_EQ(accounts.Find("10.9.200.1")->userName, "block");
  EXPECT_EQ(accounts.Find("10.9.200.1")->privProtocol, SnmpPrivProtocol::kAes256);
  ASSERT_NE(accounts.Find("10.0.0.9"), nullptr);
  EXPECT_EQ(SecurityLevelOf(*accounts.Find("10.0.0.9")), SnmpSecurityLevel::kNoAuthNoPriv);
  // The skipped lines' devices fall back to "*": noAuthNoPriv as guest.
  for (const char* fallback :
       {"10.0.0.2", "10.0.0.4", "10.0.0.5", "10.0.0.6", "10.0.0.7", "10.0.0.8"}) {
    ASSERT_NE(accounts.Find(fallback), nullptr) << fallback;
    EXPECT_EQ(accounts.Find(fallback)->userName, "guest") << fallback;
    EXPECT_EQ(SecurityLevelOf(*accounts.Find(fallback)), SnmpSecurityLevel::kNoAuthNoPriv);
  }

  Fields skipped;
  for (const auto& message : test::LogMessages(dir.path() / "ordalen.log")) {
    if (StartsWith(message, "accounts.csv")) skipped.push_back(message);
    for (const char* secret : {"secret", "passphrase", "privphrase", "priv,pass", "p,3"}) {
      EXPECT_EQ(message.find(secret), std::string::npos) << message;
    }
  }
  EXPECT_EQ(
      skipped,
      (Fields{"accounts.csv line 2 skipped: fewer than three fields",
              "accounts.csv line 3 skipped: fewer than three fields",
              "accounts.csv line 6 skipped: unknown authentication protocol",
              "accounts.csv line 7 skipped: privacy pass phrase shorter than 8 characters",
              "accounts.csv line 8 skipped: authentication pass phrase shorter than 8 "
              "characters",
              "accounts.csv line 10 skipped: range ends before it starts",
              "accounts.csv line 11 skipped: block has address bits set past its prefix "
              "length",
              "accounts.csv line 12 skipped: first field is not an address, block, range or *",
              "accounts.csv line 14 skipped: privacy pass phrase without a privacy "
              "protocol",
              "accounts.csv line 15 skipped: fewer than three fields"}));
}

}  // namespace
}  // namespace ordalen
