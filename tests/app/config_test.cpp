#include "app/config.h"

#include <gtest/gtest.h>

#include "app/settings.h"
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

struct Expected {
  Ports ports;
  int threads;
  int use_arp;
  Fields users, passwords;
  std::string community;
  Fields log;
};

class LoadConfigurationTest : public ::testing::Test {
 protected:
  void Check(const std::string& ini, const Expected& e) {
    test::ScopedScanConfig scoped(dir_.path());
    if (!ini.empty()) dir_.Write("config.ini", ini);
    LoadConfiguration(dir_.path().string());
    const SCANCONFIG& c = ScanConfig();
    EXPECT_EQ(c.winPorts, e.ports) << ini;
    EXPECT_EQ(c.threadCount, e.threads) << ini;
    EXPECT_EQ(c.useArp, e.use_arp) << ini;
    EXPECT_EQ(c.wmiUserNames, e.users) << ini;
    EXPECT_EQ(c.wmiPasswords, e.passwords) << ini;
    EXPECT_EQ(c.community, e.community) << ini;
    EXPECT_EQ(test::LogMessages(dir_.path() / "ordalen.log"), e.log) << ini;
    std::filesystem::remove(dir_.path() / "ordalen.log");
  }
  test::TempDir dir_;
};

TEST_F(LoadConfigurationTest, SettingsAndTheirLogLines) {
  const Fields kDefaultLog = {"Config: WinPort=3389,", "Config: Thread=12", "Config: UseARP=1",
                              "Config: Community=vendra"};
  Check("", {{3389}, 12, 1, {}, {}, "vendra", kDefaultLog});
  Check("[Ordalen]\n", {{3389}, 12, 1, {}, {}, "vendra", kDefaultLog});
  Check("[Ordalen]\nWinPort=80, 443,,8080\nThread=300\nUseARP=5\nCommunity=\"pub lic\"\n",
        {{80, 443, 8080},
         300,
         1,
         {},
         {},
         "pub lic",
         {"Config: WinPort=80, 443,,8080", "Config: Thread=300", "Config: UseARP=1",
          "Config: Community=pub lic"}});
  Check("[Ordalen]\nWinPort=abc\nUseARP=0\n",
        {{}, 12, 0, {}, {}, "vendra",
         {"Config: WinPort=abc", "Config: Thread=12", "Config: UseARP=0", "Config: Community=vendra"}});
  Check("[Ordalen]\nUseARP=-1\n", {{3389}, 12, 0, {}, {}, "vendra",
                                   {"Config: WinPort=3389,", "Config: Thread=12", "Config: UseARP=0",
                                    "Config: Community=vendra"}});
}

TEST_F(LoadConfigurationTest, WindowsAccountsStopAtTheFirstIncompleteSection) {
  const auto with_wmi = [](Fields users, Fields passwords) {
    return Expected{{3389}, 12, 1, std::move(users), std::move(passwords), "vendra",
                    {"Config: WinPort=3389,", "Config: Thread=12", "Config: UseARP=1",
                     "Config: UseWMI=TRUE", "Config: Community=vendra"}};
  };
  const Expected none = {{3389}, 12, 1, {}, {}, "vendra",
                         {"Config: WinPort=3389,", "Config: Thread=12", "Config: UseARP=1",
                          "Config: Community=vendra"}};
  const std::string s1 = "[Ordalen_Account_1]\nUserName=u1\nPassword=p1\n";
  Check(s1, with_wmi({"u1"}, {"p1"}));
  // Sections 1 and 3 without 2: one account.
  Check(s1 + "[Ordalen_Account_3]\nUserName=u3\nPassword=p3\n", with_wmi({"u1"}, {"p1"}));
  // A user name without a password ends the list before it.
  Check(s1 + "[Ordalen_Account_2]\nUserName=u2\n[Ordalen_Account_3]\nUserName=u3\nPassword=p3\n",
        with_wmi({"u1"}, {"p1"}));
  Check("[Ordalen_Account_1]\nUserName=u1\nPassword=\n", none);
  Check("[Ordalen_Account_1]\nPassword=p1\n", none);
  // At most ten.
  std::string eleven;
  Fields users, passwords;
  for (int i = 1; i <= 11; ++i) {
    const auto n = std::to_string(i);
    eleven += "[Ordalen_Account_" + n + "]\nUserName=u" + n + "\nPassword=p" + n + "\n";
    if (i <= 10) users.push_back("u" + n), passwords.push_back("p" + n);
  }
  Check(eleven, with_wmi(users, passwords));
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

TEST(CsvFileTest, AccountsAreKeyedByAddressAndShortLinesSkipped) {
  test::TempDir dir;
  test::ScopedScanConfig scoped(dir.path());
  dir.Write("accounts.csv",
            "\xEF\xBB\xBF"
            "10.0.0.1,first,pass1\r\n"
            "10.0.0.2,onlyuser\r\n"
            "\r\n"
            "10.0.0.3,u3,\"p,3\"\"\",extra\r\n"
            "10.0.0.1,second,pass2\r\n");
  LoadConfiguration(dir.path().string());
  auto& accounts = ScanConfig().mibAccounts;
  EXPECT_EQ(accounts.size(), 2u);
  ASSERT_NE(accounts.Find("10.0.0.1"), nullptr);
  EXPECT_EQ(accounts.Find("10.0.0.1")->userName, "second");
  EXPECT_EQ(accounts.Find("10.0.0.1")->authPassphrase, "pass2");
  ASSERT_NE(accounts.Find("10.0.0.3"), nullptr);
  EXPECT_EQ(accounts.Find("10.0.0.3")->authPassphrase, "p,3\"");
  EXPECT_EQ(accounts.Find("10.0.0.2"), nullptr);
  const auto log = test::LogMessages(dir.path() / "ordalen.log");
  EXPECT_EQ(std::count(log.begin(), log.end(), "accounts.csv line 2 skipped: fewer than three fields"), 1);
  EXPECT_EQ(std::count(log.begin(), log.end(), "accounts.csv line 3 skipped: fewer than three fields"), 1);
}

}  // namespace
}  // namespace ordalen
