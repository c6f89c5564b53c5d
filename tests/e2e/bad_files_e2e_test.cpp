// The program with broken local files: config.ini in odd encodings, with odd
// line ends, doubled sections, huge or non-numeric values; accounts.csv with
// short lines, quotes that never close, a 1 MB line; targetMIB.xml that is not
// XML, is huge, declares an unknown encoding or nests deeply; an output folder
// on a full disk; a log folder that cannot be made. Each run happens in a
// namespace with only loopback (nothing to scan), and must end with its stated
// outcome, never a crash, a hang or a partial result file under a final name.
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <random>
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
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Lines = std::vector<std::string>;

// A scan with nothing to scan takes a fraction of a second; a run that needs
// longer than this waits for something it should not.
constexpr auto kQuick = 10s;

using test::Installed;

bool Has(const Lines& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

std::string Utf16(const std::string& ascii, bool big_endian) {
  std::string out = big_endian ? "\xFE\xFF" : "\xFF\xFE";
  for (const char c : ascii) {
    out += big_endian ? std::string{'\0', c} : std::string{c, '\0'};
  }
  return out;
}

std::string RandomBytes(std::size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string out(n, '\0');
  for (auto& c : out) c = static_cast<char>(gen());
  return out;
}

// One complete result file and nothing else in the output folder.
void ExpectOneCompleteResult(const Installed& app) {
  const Lines files = app.Results();
  ASSERT_EQ(files.size(), 1u) << testing::PrintToString(files);
  EXPECT_EQ(test::CheckResultFile(app.dir() / "Ordalen" / files[0]), "");
}

class BadFilesE2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::OnlyLoopback()) GTEST_SKIP() << "needs a network namespace with only loopback";
    ASSERT_FALSE(test::OrdalenBinary().empty());
  }
};

TEST_F(BadFilesE2eTest, OddConfigIniGivesTheSettingsItHoldsOrTheDefaults) {
  const std::string huge_ports(300000, ',');
  struct Case {
    const char* what;
    std::string bytes;
    bool as_folder;
    Lines expected;  // log messages that must be there
  } cases[] = {
      {"UTF-16LE with a byte-order mark, CR LF",
       Utf16("[Ordalen]\r\nThread=5\r\nCommunity=labo\r\n", false),
       false,
       {"Config: Thread=5", "Config: Community=labo"}},
      {"UTF-16BE with a byte-order mark and an odd last byte",
       Utf16("[Ordalen]\r\nThread=6\r\n", true) + "\x41",
       false,
       {"Config: Thread=6"}},
      {"UTF-8 with a byte-order mark",
       "\xEF\xBB\xBF[Ordalen]\nThread=7\n",
       false,
       {"Config: Thread=7"}},
      {"CP932 text",
       "[Ordalen]\r\nCommunity=\x8B\xA4\x93\xAF\x91\xCC\r\n",
       false,
       {"Config: Community=\xE5\x85\xB1\xE5\x90\x8C\xE4\xBD\x93"}},
      {"lone CR line ends",
       "[Ordalen]\rThread=8\rUseARP=0\r",
       false,
       {"Config: Thread=8", "Config: UseARP=0"}},
      {"a second section of the same name is not read",
       "[Ordalen]\r\nThread=3\r\n[Ordalen]\r\nThread=9\r\nUseARP=0\r\n",
       false,
       {"Config: Thread=3", "Config: UseARP=1"}},
      {"a second key of the same name is not read",
       "[Ordalen]\nThread=3\nThread=9\n",
       false,
       {"Config: Thread=3"}},
      {"huge values are cut to 259 characters; numbers wrap as the C library's do",
       "[Ordalen]\nWinPort=99999," + std::string(300000, '1') +
           "\nThread=99999999999\nCommunity=" + huge_ports + "\n",
       false,
       {"Config: WinPort=99999," + std::string(253, '1'), "Config: Thread=1215752191",
        "Thread=1215752191 is outside 1..4096: using 4096 for the ARP and ping sweeps",
        "Thread=1215752191 is outside 1..256: using 256 for the MIB phase and the host scan",
        "Config: Community=" + std::string(259, ','),
        "Config: WinPort 99999 is not a TCP port: skipped"}},
      {"numbers that are not numbers",
       "[Ordalen]\nThread=abc\nUseARP=yes\nWinPort=http,ssh\n",
       false,
       {"Config: WinPort=http,ssh", "Config: Thread=0", "Thread=0 is outside 1..4096: using 1",
        "Config: UseARP=0"}},
      {"1 MB of random bytes",
       RandomBytes(1 << 20, 7),
       false,
       {"Config: WinPort=3389,", "Config: Thread=12", "Config: Community=vendra"}},
      {"a folder named config.ini", "", true, {"Config: Thread=12", "Config: UseARP=1"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Installed app;
    if (c.as_folder) {
      fs::create_directory(app.dir() / "config.ini");
    } else {
      app.Write("config.ini", c.bytes);
    }
    const auto started = Clock::now();
    const auto run = app.Run();
    EXPECT_LT(Clock::now() - started, kQuick);
    ASSERT_FALSE(run.timed_out);
    EXPECT_EQ(run.exit_code, 0) << run.err;
    const Lines log = app.Log();
    for (const auto& line : c.expected) {
      EXPECT_TRUE(Has(log, line)) << line.substr(0, 80) << "\n" << testing::PrintToString(log);
    }
    EXPECT_EQ(test::CheckLogLines(test::ReadFile(app.LogFile()), ""), "");
    ExpectOneCompleteResult(app);
  }
}

TEST_F(BadFilesE2eTest, BadAccountsCsvLinesAreSkippedAndNamed) {
  const std::string mb(1 << 20, 'a');
  struct Case {
    const char* what;
    std::string bytes;
    bool as_folder;
    Lines skipped;  // the "skipped" lines logged, in order
  } cases[] = {
      {"short and empty lines",
       "10.0.0.1\r\n10.0.0.2,user\r\n\r\n10.0.0.3,user,passphrase\r\n,\r\n",
       false,
       {"accounts.csv line 1 skipped: fewer than three fields",
        "accounts.csv line 2 skipped: fewer than three fields",
        "accounts.csv line 3 skipped: fewer than three fields",
        "accounts.csv line 5 skipped: fewer than three fields"}},
      {"a quote that never closes",
       "10.0.0.1,user,\"never closed\n10.0.0.2,\"a,b\n",
       false,
       {"accounts.csv line 2 skipped: fewer than three fields"}},
      {"a 1 MB line without a comma",
       mb + "\n10.0.0.1,u,passphrase\n",
       false,
       {"accounts.csv line 1 skipped: fewer than three fields"}},
      {"a 1 MB pass phrase", "10.0.0.1,u," + mb + "\n", false, {}},
      {"NUL bytes and binary",
       std::string("10.0.0.1\0,u\0,p\n\x01\x02\xFF", 16),
       false,
       {"accounts.csv line 1 skipped: first field is not an address, block, range or *",
        "accounts.csv line 2 skipped: fewer than three fields"}},
      {"a folder named accounts.csv", "", true, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Installed app;
    if (c.as_folder) {
      fs::create_directory(app.dir() / "accounts.csv");
    } else {
      app.Write("accounts.csv", c.bytes);
    }
    const auto started = Clock::now();
    const auto run = app.Run();
    EXPECT_LT(Clock::now() - started, kQuick);
    ASSERT_FALSE(run.timed_out);
    EXPECT_EQ(run.exit_code, 0) << run.err;
    Lines skipped;
    for (const auto& line : app.Log()) {
      if (line.starts_with("accounts.csv")) skipped.push_back(line);
    }
    EXPECT_EQ(skipped, c.skipped);
    ExpectOneCompleteResult(app);
  }
}

std::string Nested(int depth) {
  std::string text = "<?xml version=\"1.0\"?><Root><T><ModelMIB>1.3</ModelMIB><Model>";
  for (int i = 0; i < depth; ++i) text += "<a>";
  text += "deep";
  for (int i = 0; i < depth; ++i) text += "</a>";
  return text + "</Model><VersionMIB>1.4</VersionMIB></T></Root>";
}

std::string ManyEntries(int count) {
  std::string text = "<?xml version=\"1.0\"?>\n<Root>\n";
  for (int i = 0; i < count; ++i) {
    text += "<Target><ModelMIB>1.3.6.1.2.1.25.3.2.1.3.1</ModelMIB><Model>Model " +
            std::to_string(i) +
            "</Model><VersionMIB>1.3.6.1.4.1.77777.1.1.0</VersionMIB></Target>\n";
  }
  return text + "</Root>\n";
}

std::string Laughs() {
  std::string text = "<?xml version=\"1.0\"?><!DOCTYPE Root [<!ENTITY l0 \"lol\">";
  for (int i = 1; i < 10; ++i) {
    text += "<!ENTITY l" + std::to_string(i) + " \"";
    for (int j = 0; j < 10; ++j) text += "&l" + std::to_string(i - 1) + ";";
    text += "\">";
  }
  return text +
         "]><Root><T><ModelMIB>&l9;</ModelMIB><Model>m</Model><VersionMIB>v</VersionMIB></T></"
         "Root>";
}

TEST_F(BadFilesE2eTest, BadTargetMibXmlLeavesNoModelsAndSaysWhy) {
  struct Case {
    const char* what;
    std::string bytes;
    bool as_folder;
    const char* reason;  // in the "not loaded" line; nullptr: the file loads
  } cases[] = {
      {"not XML", "this is not XML\n", false, "Start tag expected"},
      {"an encoding nobody knows", "<?xml version=\"1.0\" encoding=\"x-no-such\"?><Root/>", false,
       "ncoding"},
      {"nested 100000 deep", Nested(100000), false, "depth"},
      {"nested 200 deep (within the parser's limit)", Nested(200), false, nullptr},
      {"one text of 12 MB", "<Root><T><Model>" + std::string(12 << 20, 'x') + "</Model></T></Root>",
       false, "line 1: "},
      {"30 MB of entries", ManyEntries(200000), false, nullptr},
      {"entities that multiply", Laughs(), false, "entity"},
      {"cut in the middle", ManyEntries(3).substr(0, 150), false, "line"},
      {"a folder named targetMIB.xml", "", true, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Installed app;
    if (c.as_folder) {
      fs::create_directory(app.dir() / "targetMIB.xml");
    } else {
      app.Write("targetMIB.xml", c.bytes);
    }
    const auto started = Clock::now();
    const auto run = app.Run();
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    std::printf("targetMIB.xml %-45s %.2f s\n", c.what, seconds);
    EXPECT_LT(Clock::now() - started, kQuick);
    ASSERT_FALSE(run.timed_out);
    EXPECT_EQ(run.exit_code, 0) << run.err;
    Lines not_loaded;
    for (const auto& line : app.Log()) {
      if (line.starts_with("targetMIB.xml")) not_loaded.push_back(line);
    }
    if (c.reason == nullptr) {
      EXPECT_TRUE(not_loaded.empty()) << testing::PrintToString(not_loaded);
    } else {
      ASSERT_EQ(not_loaded.size(), 1u);
      EXPECT_TRUE(not_loaded[0].starts_with("targetMIB.xml not loaded (")) << not_loaded[0];
      EXPECT_TRUE(not_loaded[0].ends_with("): no model is identified")) << not_loaded[0];
      EXPECT_NE(not_loaded[0].find(c.reason), std::string::npos) << not_loaded[0];
    }
    ExpectOneCompleteResult(app);
  }
}

TEST_F(BadFilesE2eTest, OutputFolderOnAFullDiskGivesExitTwoAndNoFile) {
  // A 64 KiB file system of its own over the output folder, in a mount
  // namespace of this run only, filled to the last block before the scan.
  struct Case {
    const char* what;
    const char* fill;
  } cases[] = {
      {"no block left", "dd if=/dev/zero of=Ordalen/fill bs=4k 2>/dev/null; true"},
      {"no inode left", "i=0; while true > Ordalen/f$i 2>/dev/null; do i=$((i+1)); done; true"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Installed app;
    fs::create_directory(app.dir() / "Ordalen");
    const std::string script =
        std::string("unshare -m --propagation private sh -c '") +
        "mount -t tmpfs -o size=64k,nr_inodes=64 tmpfs Ordalen || exit 90; " + c.fill + "; " +
        "./ordalen; rc=$?; ls -A Ordalen | grep -v \"^f\" > left.txt; exit $rc'";
    const auto run = app.Shell(script);
    if (run.exit_code == 90) GTEST_SKIP() << "cannot mount a tmpfs here: " << run.err;
    ASSERT_FALSE(run.timed_out);
    EXPECT_EQ(run.exit_code, 2) << run.err;
    // Nothing but the filler: no result, no temporary file left behind.
    EXPECT_EQ(test::ReadFile(app.dir() / "left.txt"), "");
    const Lines log = app.Log();
    ASSERT_GE(log.size(), 2u);
    EXPECT_TRUE(log[log.size() - 2].starts_with("output file ")) << log[log.size() - 2];
    EXPECT_NE(log[log.size() - 2].find("No space left on device"), std::string::npos)
        << log[log.size() - 2];
    EXPECT_EQ(log.back(), "End-----------");
  }
}

TEST_F(BadFilesE2eTest, LogFolderThatCannotBeMadeCostsNoTimeAndLosesNoResult) {
  Installed app;
  app.Write("OrdalenLog", "a file where the log folder should be");
  const auto started = Clock::now();
  const auto run = app.Run({"3", "127.0.0.1-127.0.0.3"});
  const auto took = Clock::now() - started;
  ASSERT_FALSE(run.timed_out);
  std::printf("scan with an unwritable log: %.2f s\n", std::chrono::duration<double>(took).count());
  // Every line dropped at once, not after a wait of its own.
  EXPECT_LT(took, 5s);
  EXPECT_EQ(run.exit_code, 0) << run.err;
  const std::string notice = "ordalen: cannot write the log " +
                             (app.dir() / "OrdalenLog").string() +
                             "/ordalen.log: Not a directory\n";
  EXPECT_EQ(run.err, notice);
  EXPECT_EQ(test::ReadFile(app.dir() / "OrdalenLog"), "a file where the log folder should be");
  ExpectOneCompleteResult(app);
}

}  // namespace
}  // namespace ordalen
