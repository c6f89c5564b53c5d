#include "app/mib_accounts.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ordalen {
namespace {

using Fields = std::vector<std::string>;
using Auth = SnmpAuthProtocol;
using Priv = SnmpPrivProtocol;
using Level = SnmpSecurityLevel;
using Kind = AccountScope::Kind;

TEST(MibAccountsTest, FieldCombinationsGiveTheirAccountAndLevel) {
  struct Case {
    Fields fields;
    Auth auth;
    Priv priv;
    std::string priv_pass;
    Level level;
  } cases[] = {
      // Three fields: HMAC-MD5 without privacy, as ever.
      {{"10.0.0.1", "u", "authpass1"}, Auth::kMd5, Priv::kNone, "", Level::kAuthNoPriv},
      {{"10.0.0.1", "u", "authpass1", ""}, Auth::kMd5, Priv::kNone, "", Level::kAuthNoPriv},
      {{"10.0.0.1", "u", "authpass1", "", "", ""}, Auth::kMd5, Priv::kNone, "", Level::kAuthNoPriv},
      {{"10.0.0.1", "u", "authpass1", "md5"}, Auth::kMd5, Priv::kNone, "", Level::kAuthNoPriv},
      {{"10.0.0.1", "u", "authpass1", "sha"}, Auth::kSha, Priv::kNone, "", Level::kAuthNoPriv},
      {{"10.0.0.1", "u", "authpass1", "Sha-224"},
       Auth::kSha224,
       Priv::kNone,
       "",
       Level::kAuthNoPriv},
      {{"10.0.0.1", "u", "authpass1", "SHA-256", "AES", "privpass1"},
       Auth::kSha256,
       Priv::kAes,
       "privpass1",
       Level::kAuthPriv},
      {{"10.0.0.1", "u", "authpass1", "SHA-384", "aes-192", "privpass1"},
       Auth::kSha384,
       Priv::kAes192,
       "privpass1",
       Level::kAuthPriv},
      {{"10.0.0.1", "u", "authpass1", "SHA-512", "AES-256", "privpass1", "ignored", "x"},
       Auth::kSha512,
       Priv::kAes256,
       "privpass1",
       Level::kAuthPriv},
      // Privacy with the default (MD5) authentication.
      {{"10.0.0.1", "u", "authpass1", "", "des", "privpass1"},
       Auth::kMd5,
       Priv::kDes,
       "privpass1",
       Level::kAuthPriv},
      // No authentication pass phrase: noAuthNoPriv, whatever protocol is named.
      {{"10.0.0.1", "u", ""}, Auth::kMd5, Priv::kNone, "", Level::kNoAuthNoPriv},
      {{"10.0.0.1", "u", "", "SHA"}, Auth::kSha, Priv::kNone, "", Level::kNoAuthNoPriv},
      // Exactly the library's minimum length.
      {{"10.0.0.1", "u", "12345678", "SHA", "AES", "12345678"},
       Auth::kSha,
       Priv::kAes,
       "12345678",
       Level::kAuthPriv},
  };
  for (const auto& c : cases) {
    const auto parsed = ParseAccountLine(c.fields);
    const auto* line = std::get_if<AccountLine>(&parsed);
    ASSERT_NE(line, nullptr) << testing::PrintToString(c.fields) << ": "
                             << std::get<const char*>(parsed);
    EXPECT_EQ(line->account.userName, "u");
    EXPECT_EQ(line->account.authPassphrase, c.fields[2]);
    EXPECT_EQ(line->account.authProtocol, c.auth) << testing::PrintToString(c.fields);
    EXPECT_EQ(line->account.privProtocol, c.priv) << testing::PrintToString(c.fields);
    EXPECT_EQ(line->account.privPassphrase, c.priv_pass) << testing::PrintToString(c.fields);
    EXPECT_EQ(SecurityLevelOf(line->account), c.level) << testing::PrintToString(c.fields);
  }
}

TEST(MibAccountsTest, UnusableLinesNameTheirReasonAndNoField) {
  struct Case {
    Fields fields;
    std::string reason;
  } cases[] = {
      {{}, "fewer than three fields"},
      {{"10.0.0.1", "u"}, "fewer than three fields"},
      {{"10.0.0.1", "u", "authpass1", "SHA1"}, "unknown authentication protocol"},
      {{"10.0.0.1", "u", "authpass1", " SHA"}, "unknown authentication protocol"},
      {{"10.0.0.1", "u", "authpass1", "privpass1"}, "unknown authentication protocol"},
      {{"10.0.0.1", "u", "authpass1", "SHA", "AES128", "privpass1"}, "unknown privacy protocol"},
      {{"10.0.0.1", "u", "authpass1", "SHA", "3DES", "privpass1"}, "unknown privacy protocol"},
      {{"10.0.0.1", "u", "1234567"}, "authentication pass phrase shorter than 8 characters"},
      {{"10.0.0.1", "u", "x", "SHA", "AES", "privpass1"},
       "authentication pass phrase shorter than 8 characters"},
      {{"10.0.0.1", "u", "authpass1", "SHA", "AES"},
       "privacy protocol without a privacy pass phrase"},
      {{"10.0.0.1", "u", "authpass1", "SHA", "AES", ""},
       "privacy protocol without a privacy pass phrase"},
      {{"10.0.0.1", "u", "authpass1", "SHA", "AES", "1234567"},
       "privacy pass phrase shorter than 8 characters"},
      {{"10.0.0.1", "u", "authpass1", "SHA", "", "privpass1"},
       "privacy pass phrase without a privacy protocol"},
      {{"10.0.0.1", "u", "", "SHA", "AES", "privpass1"}, "privacy without authentication"},
  };
  for (const auto& c : cases) {
    const auto parsed = ParseAccountLine(c.fields);
    const auto* why = std::get_if<const char*>(&parsed);
    ASSERT_NE(why, nullptr) << testing::PrintToString(c.fields);
    EXPECT_EQ(std::string(*why), c.reason) << testing::PrintToString(c.fields);
    for (std::size_t i = 1; i < c.fields.size(); ++i) {
      if (!c.fields[i].empty() && c.fields[i] != "u") {
        EXPECT_EQ(std::string(*why).find(c.fields[i]), std::string::npos) << c.fields[i];
      }
    }
  }
}

TEST(MibAccountsTest, FirstFieldForms) {
  struct Case {
    std::string text;
    Kind kind;
    std::uint32_t first, last;
  } cases[] = {
      {"10.20.1.5", Kind::kAddress, 0x0A140105, 0x0A140105},
      {"0.0.0.0", Kind::kAddress, 0, 0},
      {"255.255.255.255", Kind::kAddress, 0xFFFFFFFF, 0xFFFFFFFF},
      {"10.20.0.0/16", Kind::kBlock, 0x0A140000, 0x0A14FFFF},
      {"0.0.0.0/0", Kind::kBlock, 0, 0xFFFFFFFF},
      {"10.20.1.5/32", Kind::kBlock, 0x0A140105, 0x0A140105},
      {"10.20.1.4/31", Kind::kBlock, 0x0A140104, 0x0A140105},
      {"128.0.0.0/1", Kind::kBlock, 0x80000000, 0xFFFFFFFF},
      {"10.20.1.1-10.20.1.99", Kind::kBlock, 0x0A140101, 0x0A140163},
      {"10.20.1.7-10.20.1.7", Kind::kBlock, 0x0A140107, 0x0A140107},
      {"0.0.0.0-255.255.255.255", Kind::kBlock, 0, 0xFFFFFFFF},
      {"*", Kind::kEveryDevice, 0, 0xFFFFFFFF},
  };
  for (const auto& c : cases) {
    const auto parsed = ParseAccountLine({c.text, "u", "authpass1"});
    const auto* line = std::get_if<AccountLine>(&parsed);
    ASSERT_NE(line, nullptr) << c.text << ": " << std::get<const char*>(parsed);
    EXPECT_EQ(line->scope.kind, c.kind) << c.text;
    EXPECT_EQ(line->scope.first, c.first) << c.text;
    EXPECT_EQ(line->scope.last, c.last) << c.text;
  }
}

TEST(MibAccountsTest, MalformedFirstFieldsAreRefused) {
  const std::string not_a_scope = "first field is not an address, block, range or *";
  const std::string host_bits = "block has address bits set past its prefix length";
  struct Case {
    std::string text;
    std::string reason;
  } cases[] = {
      {"10.20.1.99-10.20.1.1", "range ends before it starts"},
      {"10.20.1.0/16", host_bits},
      {"0.0.0.1/0", host_bits},
      {"10.20.0.0/33", not_a_scope},
      {"10.20.0.0/08", not_a_scope},
      {"10.20.0.0/", not_a_scope},
      {"/8", not_a_scope},
      {"10.20.0.0/1a", not_a_scope},
      {"10.20.0.0/16/16", not_a_scope},
      {"10.20.1.1-", not_a_scope},
      {"10.20.1.1 - 10.20.1.9", not_a_scope},
      {"10.20.1.1-10.20.1.9-10.20.1.12", not_a_scope},
      {"010.20.1.5", not_a_scope},  // octal or decimal? refused
      {"10.20.1.256", not_a_scope},
      {"10.20.1", not_a_scope},
      {" 10.20.1.5", not_a_scope},
      {"printer.lab", not_a_scope},
      {"**", not_a_scope},
      {"", not_a_scope},
  };
  for (const auto& c : cases) {
    const auto parsed = ParseAccountLine({c.text, "u", "authpass1"});
    const auto* why = std::get_if<const char*>(&parsed);
    ASSERT_NE(why, nullptr) << c.text;
    EXPECT_EQ(*why, c.reason) << c.text;
  }
}

// Lines in file order, each with the user name that tells it apart.
MibAccountTable TableOf(const std::vector<std::pair<std::string, std::string>>& lines) {
  MibAccountTable table;
  for (const auto& [where, user] : lines) {
    const auto parsed = ParseAccountLine({where, user, "authpass1"});
    EXPECT_TRUE(std::holds_alternative<AccountLine>(parsed)) << where;
    if (const auto* line = std::get_if<AccountLine>(&parsed)) table.Add(*line);
  }
  return table;
}

TEST(MibAccountsTest, OwnAddressThenNarrowestBlockThenEveryDevice) {
  const MibAccountTable table = TableOf({
      {"*", "every-1"},
      {"10.20.0.0/16", "cidr16"},
      {"10.20.1.0/24", "cidr24"},
      {"10.20.1.1-10.20.1.99", "range99"},
      {"10.20.1.50-10.20.1.51", "range2"},
      {"10.20.1.50/31", "cidr31"},  // as narrow as range2, later: loses
      {"10.20.1.60", "exact60"},
      {"10.20.1.60/32", "cidr32"},
      {"10.20.1.70/32", "cidr32-70"},
      {"10.20.1.70-10.20.1.70", "range1-70"},
      {"10.20.1.60", "exact60-again"},  // the same address again: replaces
      {"*", "every-2"},
      {"0.0.0.0/0", "all"},
      {"192.168.0.0/16", "other"},
  });
  struct Case {
    const char* address;
    const char* user;
  } cases[] = {
      {"10.20.1.60", "exact60-again"},  // own address over every block
      {"10.20.1.70", "cidr32-70"},      // equally narrow /32 and range of one: the first
      {"10.20.1.50", "range2"},
      {"10.20.1.51", "range2"},
      {"10.20.1.52", "range99"},
      {"10.20.1.1", "range99"},
      {"10.20.1.99", "range99"},
      {"10.20.1.100", "cidr24"},
      {"10.20.1.0", "cidr24"},
      {"10.20.1.255", "cidr24"},
      {"10.20.2.1", "cidr16"},
      {"10.21.0.0", "all"},  // /0 holds every address and is narrower than none
      {"192.168.3.4", "other"},
  };
  for (const auto& c : cases) {
    const MIB_ACCOUNT* found = table.Find(c.address);
    ASSERT_NE(found, nullptr) << c.address;
    EXPECT_EQ(found->userName, c.user) << c.address;
  }
  EXPECT_EQ(table.size(), 12u);  // the repeated address is one entry, "*" one
}

TEST(MibAccountsTest, EveryDeviceLineAndNoAccount) {
  EXPECT_EQ(TableOf({}).Find("10.0.0.1"), nullptr);
  EXPECT_EQ(TableOf({{"10.0.0.2", "a"}, {"10.0.1.0/24", "b"}}).Find("10.0.0.1"), nullptr);
  const MibAccountTable fallback = TableOf({{"10.0.1.0/24", "b"}, {"*", "first"}, {"*", "x"}});
  ASSERT_NE(fallback.Find("10.0.0.1"), nullptr);
  EXPECT_EQ(fallback.Find("10.0.0.1")->userName, "first");
  // A text that is no address reaches only "*".
  ASSERT_NE(fallback.Find("printer"), nullptr);
  EXPECT_EQ(fallback.Find("printer")->userName, "first");

  MibAccountTable table = TableOf({{"10.0.0.0/8", "block"}, {"*", "all"}});
  table["10.0.0.1"] = MIB_ACCOUNT{"set", "authpass1"};
  EXPECT_EQ(table.Find("10.0.0.1")->userName, "set");
  EXPECT_EQ(table.size(), 3u);
  table.RemoveAll();
  EXPECT_EQ(table.size(), 0u);
  EXPECT_EQ(table.Find("10.0.0.1"), nullptr);
}

}  // namespace
}  // namespace ordalen
