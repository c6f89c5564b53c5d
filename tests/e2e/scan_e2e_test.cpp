// The built program, copied into a fresh folder with its own config files, run
// inside a namespace whose only card is loopback.
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <sstream>

#include "base/xml_doc.h"
#include "support/installed.h"
#include "support/loopback_only.h"
#include "support/process.h"
#include "support/scan_config.h"

namespace ordalen {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

const std::string kArp = "ARP-------------------------";
const std::string kPing = "ping-------------------------";
const std::string kMib = "MIB-------------------------";
const std::string kScan = "scan-------------------------";

using test::Installed;

// The phase banners (each ending in CR LF) among the console lines.
Lines Banners(const std::string& out) {
  Lines banners;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) {
    if (line.ends_with("-------------------------\r"))
      banners.push_back(line.substr(0, line.size() - 1));
  }
  return banners;
}

// Parses the result file as any reader would and checks the empty-scan layout;
// returns the scan_date.
std::string CheckEmptyResult(const fs::path& file) {
  const std::string bytes = test::ReadFile(file);
  EXPECT_TRUE(bytes.starts_with("<?xml version=\"1.0\" encoding=\"Shift_JIS\" ?><NODE_SCAN"));
  XmlDocPtr doc(xmlReadFile(file.c_str(), nullptr, XML_PARSE_NONET));
  if (!doc) {
    ADD_FAILURE() << "not well-formed: " << bytes;
    return {};
  }
  xmlNode* root = xmlDocGetRootElement(doc.get());
  EXPECT_STREQ(reinterpret_cast<const char*>(root->name), "NODE_SCAN");
  const XmlCharPtr date(xmlGetProp(root, BAD_CAST "scan_date"));
  const std::string scan_date = date ? reinterpret_cast<const char*>(date.get()) : "";
  EXPECT_TRUE(test::HasShape(scan_date, "9999-99-99 99:99:99.000")) << scan_date;
  int cards = 0;
  for (xmlNode* n = root->children; n; n = n->next) {
    if (n->type != XML_ELEMENT_NODE) continue;
    ++cards;
    EXPECT_STREQ(reinterpret_cast<const char*>(n->name), "NETWORK_CARD");
    for (xmlNode* c = n->children; c; c = c->next) {
      EXPECT_NE(c->type, XML_ELEMENT_NODE) << "a NODE";
    }
  }
  EXPECT_EQ(cards, 1);
  return scan_date;
}

// "2026-12-07 08:10:13.000" -> "20261207_081013"
std::string Stamp(const std::string& scan_date) {
  std::string digits;
  for (char c : scan_date.substr(0, 19)) {
    if (std::isdigit(static_cast<unsigned char>(c))) digits.push_back(c);
  }
  return digits.size() == 14 ? digits.substr(0, 8) + "_" + digits.substr(8) : "";
}

class ScanE2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::OnlyLoopback()) GTEST_SKIP() << "needs a network namespace with only loopback";
    ASSERT_FALSE(test::OrdalenBinary().empty());
  }
};

TEST_F(ScanE2eTest, ScanWithoutRangeWritesAnEmptyResultAndExitsZero) {
  struct Case {
    Lines args;
    std::string ini;
    Lines banners;
    std::string use_arp;
  } cases[] = {
      {{}, "", {kArp, kPing, kMib, kScan}, "Config: UseARP=1"},
      {{"ignored"}, "[Ordalen]\r\nUseARP=0\r\n", {kPing, kMib, kScan}, "Config: UseARP=0"},
  };
  for (const auto& c : cases) {
    Installed app;
    if (!c.ini.empty()) app.Write("config.ini", c.ini);
    const auto run = app.Run(c.args);
    ASSERT_FALSE(run.timed_out);
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(Banners(run.out), c.banners) << run.out;

    const auto files = app.ResultFiles();
    ASSERT_EQ(files.size(), 1u);
    const std::string scan_date = CheckEmptyResult(files[0]);
    EXPECT_EQ(files[0].filename().string(), Stamp(scan_date) + ".xml");

    const Lines log = app.Log();
    ASSERT_GE(log.size(), 8u);
    EXPECT_EQ(Lines(log.begin(), log.begin() + 5),
              (Lines{"Start-----------", "Config: WinPort=3389,", "Config: Thread=12", c.use_arp,
                     "Config: Community=vendra"}));
    EXPECT_EQ(Lines(log.end() - 3, log.end()),
              (Lines{"Output-----------", files[0].string(), "End-----------"}));
  }
}

TEST_F(ScanE2eTest, JobAndRangeMarkTheLogAndTheFileName) {
  Installed app;
  app.Write("config.ini",
            "[Ordalen]\nUseARP=0\nThread=4\n[Ordalen_Account_1]\nUserName=a\nPassword=b\n");
  app.Write("accounts.csv", "10.0.0.1,user,pass\n");
  const auto run = app.Run({"7", "10.0.0.1-10.0.0.2"});
  ASSERT_FALSE(run.timed_out);
  EXPECT_EQ(run.exit_code, 0) << run.err;
  EXPECT_EQ(Banners(run.out), (Lines{kPing, kMib, kScan}));
  const auto files = app.ResultFiles();
  ASSERT_EQ(files.size(), 1u);
  const std::string scan_date = CheckEmptyResult(files[0]);
  EXPECT_EQ(files[0].filename().string(), Stamp(scan_date) + "_7.xml");

  const Lines log = app.Log();
  EXPECT_EQ(Lines(log.begin(), log.begin() + 6),
            (Lines{"Start-----------", "Config: WinPort=3389,", "Config: Thread=4",
                   "Config: UseARP=0", "Config: UseWMI=TRUE", "Config: Community=vendra"}));
  const auto range = std::find(log.begin(), log.end(), "7|Range: 10.0.0.1-10.0.0.2");
  ASSERT_NE(range, log.end());
  for (auto it = range; it != log.end(); ++it) EXPECT_TRUE(it->starts_with("7|")) << *it;
  EXPECT_EQ(Lines(log.end() - 3, log.end()),
            (Lines{"7|Output-----------", "7|" + files[0].string(), "7|End-----------"}));
}

TEST_F(ScanE2eTest, ARangeThatIsNotAddressesIsRefusedAndNothingIsScanned) {
  Installed app;
  const auto run = app.Run({"7", "10.0.0.1-10.0.0.9-x"});
  ASSERT_FALSE(run.timed_out);
  EXPECT_EQ(run.exit_code, 2);
  EXPECT_NE(run.err.find("\"10.0.0.9-x\" is not an IPv4 address"), std::string::npos) << run.err;
  EXPECT_EQ(run.out, "");
  EXPECT_TRUE(app.ResultFiles().empty());
  const Lines log = app.Log();
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ(Lines(log.end() - 2, log.end()),
            (Lines{"7|Range: 10.0.0.1-10.0.0.9-x",
                   "7|Range error: \"10.0.0.9-x\" is not an IPv4 address; nothing is scanned"}));
}

TEST_F(ScanE2eTest, AnOutputFolderThatCannotBeWrittenGivesExitTwo) {
  struct Case {
    const char* why;
    bool as_file;  // "Ordalen" is a plain file; else a folder the user cannot write
    std::string log;
  } cases[] = {
      {"a file", true, "output file open error:[0x3]Not a directory"},
      {"read-only folder", false, "output file open error:[0x5]Permission denied"},
  };
  for (const auto& c : cases) {
    Installed app;
    Lines prefix;
    fs::create_directory(app.dir() / "OrdalenLog");
    if (c.as_file) {
      app.Write("Ordalen", "not a folder");
    } else {
      fs::create_directory(app.dir() / "Ordalen");
      fs::permissions(app.dir() / "Ordalen", fs::perms(0555));
      fs::permissions(app.dir() / "OrdalenLog", fs::perms(0777));
      if (::access((app.dir() / "Ordalen").c_str(), W_OK) == 0) {
        // Root writes anywhere: run the program as an unprivileged user instead.
        prefix = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"};
        const auto probe = test::RunProcess(
            {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--", "true"}, 10s);
        if (probe.exit_code != 0) GTEST_SKIP() << "cannot drop to an unprivileged user";
      }
    }
    const auto run = app.Run({}, prefix);
    ASSERT_FALSE(run.timed_out) << c.why;
    EXPECT_EQ(run.exit_code, 2) << c.why << run.err;
    EXPECT_EQ(Banners(run.out), (Lines{kArp, kPing, kMib, kScan})) << c.why;
    const Lines log = app.Log();
    ASSERT_GE(log.size(), 3u) << c.why;
    EXPECT_EQ(Lines(log.end() - 2, log.end()), (Lines{c.log, "End-----------"})) << c.why;
    if (!c.as_file) {
      EXPECT_TRUE(fs::is_empty(app.dir() / "Ordalen")) << c.why;
    }
  }
}

TEST_F(ScanE2eTest, ThreeArgumentsQueryOneDeviceAndExitZero) {
  Installed app;
  const auto run = app.Run({"1.3.6.1.2.1.1.1.0", "127.0.0.1", "extra"});
  ASSERT_FALSE(run.timed_out);
  EXPECT_EQ(run.exit_code, 0) << run.err;
  EXPECT_TRUE(Banners(run.out).empty()) << run.out;
  EXPECT_TRUE(app.ResultFiles().empty());
  const Lines log = app.Log();
  ASSERT_GE(log.size(), 5u);
  EXPECT_EQ(log[0], "Start-----------");
  EXPECT_EQ(std::count(log.begin(), log.end(), "Output-----------"), 0);
}

}  // namespace
}  // namespace ordalen
