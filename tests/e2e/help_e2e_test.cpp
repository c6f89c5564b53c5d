// A lone --help, -h, --version or -V answers and exits 0 without a scan, a
// folder or a log line; the folder overrides move the settings and the work
// away from the program's own folder, which stays as it was.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/installed.h"
#include "support/loopback_only.h"
#include "support/process.h"
#include "support/scan_checks.h"
#include "support/scan_config.h"

namespace ordalen {
namespace {

namespace fs = std::filesystem;
using test::Installed;
using Lines = std::vector<std::string>;

class HelpE2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::OnlyLoopback()) GTEST_SKIP() << "needs a network namespace with only loopback";
    ASSERT_FALSE(test::OrdalenBinary().empty());
  }
};

TEST_F(HelpE2eTest, HelpAndVersionAnswerWithoutScanningOrWriting) {
  struct Case {
    std::string arg;
    std::vector<std::string> wanted;  // texts the output holds
  } cases[] = {
      {"--help",
       {"Usage: ordalen ", "ordalen JOB START-END", "ordalen OID AGENT", "config.ini",
        "accounts.csv", "targetMIB.xml", "OrdalenLog/ordalen.log", "man 8 ordalen"}},
      {"-h", {"Usage: ordalen "}},
      {"--version",
       {"ordalen ", "net-snmp ", "libxml2 ", "GSSAPI ", "has no cap_net_raw",
        "CAP_NET_RAW in effect now: "}},
      {"-V", {"net-snmp "}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arg);
    Installed app;
    const auto run = app.Run({c.arg});
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(run.err, "");
    for (const auto& text : c.wanted) EXPECT_NE(run.out.find(text), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("-------------------------"), std::string::npos) << "a phase ran";
    // Nothing was made: no log, no result folder, no SNMP folder.
    EXPECT_EQ(test::FilesIn(app.dir()), Lines{"ordalen"});
  }
}

TEST_F(HelpE2eTest, TheEnvironmentMovesTheSettingsAndTheWorkingFolder) {
  Installed app;
  test::TempDir elsewhere;
  elsewhere.Write("config.ini", "[Ordalen]\r\nThread=7\r\nUseARP=0\r\n");
  app.Write("config.ini", "[Ordalen]\r\nThread=5\r\n");  // not read
  const fs::path work = elsewhere.path() / "work";
  const auto run = app.Run({}, {"/usr/bin/env", "ORDALEN_SETTINGS_DIR=" + elsewhere.path().string(),
                                "ORDALEN_WORK_DIR=" + work.string()});
  ASSERT_FALSE(run.timed_out);
  EXPECT_EQ(run.exit_code, 0) << run.err;
  const Lines log = test::LogMessages(work / "OrdalenLog" / "ordalen.log");
  ASSERT_GE(log.size(), 4u);
  EXPECT_EQ(log[0], "Start-----------");
  EXPECT_EQ(log[1], "Folders: settings " + elsewhere.path().string() + ", work " + work.string());
  EXPECT_EQ(log[3], "Config: Thread=7");
  EXPECT_EQ(test::FilesIn(work / "Ordalen").size(), 1u);
  // The SNMP library's state went to the working folder too; the program's own
  // folder holds only what was put there.
  EXPECT_TRUE(fs::is_directory(work / "snmp" / "snmp" / "persist"));
  EXPECT_EQ(test::FilesIn(app.dir()), (Lines{"config.ini", "ordalen"}));
}

}  // namespace
}  // namespace ordalen
