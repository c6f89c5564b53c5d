// The single-device mode, in-process and as the built program, against a real
// agent inside the test's own namespace.
#include "snmp/single_device.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "app/settings.h"
#include "support/process.h"
#include "support/snmp_agent.h"

namespace ordalen {
namespace {

using namespace std::chrono_literals;
using test::TempDir;

class SingleDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::OnlyLoopback()) GTEST_SKIP() << "needs the test's own network namespace";
    test::PrepareSnmpTestProcess();
  }
};

TEST_F(SingleDeviceTest, PrintsResultAndTheValueWithoutALineEnd) {
  const test::TestSnmpAgent agent("127.0.0.1");
  ASSERT_TRUE(agent.ready()) << agent.error();
  SCANCONFIG config;
  config.community = test::kAgentCommunity;
  struct Case {
    const char* oid;
    const char* agent;
    std::string out;
  } cases[] = {
      {"1.3.6.1.2.1.1.1.0", "127.0.0.1", std::string("result: ") + test::kAgentSysDescr},
      {"1.3.6.1.2.1.1.99.0", "127.0.0.1", "result: "},
      {"", "127.0.0.1", "result: "},
  };
  for (const auto& c : cases) {
    testing::internal::CaptureStdout();
    EXPECT_TRUE(QueryOneDevice(config, c.oid, c.agent));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.out) << c.oid;
  }
}

// The program beside its own folders, started from a shell whose environment
// points the SNMP library elsewhere: only "snmp/share/snmp" beside the program
// counts, and no MIB is loaded.
// ORDALEN_BINARY, or the program the same build made next to the tests folder.
std::string BuiltProgram() {
  std::string path = test::OrdalenBinary();
  if (path.empty()) {
    std::error_code error;
    path = (std::filesystem::read_symlink("/proc/self/exe", error).parent_path().parent_path() /
            "ordalen")
               .string();
  }
  return path;
}

class SingleDeviceProgramTest : public SingleDeviceTest {
 protected:
  void SetUp() override {
    SingleDeviceTest::SetUp();
    if (IsSkipped()) return;
    const std::string built = BuiltProgram();
    ASSERT_TRUE(std::filesystem::is_regular_file(built)) << "no built program at " << built;
    program_ = (dir_.path() / "ordalen").string();
    std::filesystem::copy_file(built, program_);
    dir_.Write("config.ini",
               std::string("[Ordalen]\r\nCommunity=") + test::kAgentCommunity + "\r\n");
    dir_.Write("home/.snmp/snmp.conf", "timeout 3\nretries 4\n");
    dir_.Write("elsewhere/snmp.conf", "timeout 2\nretries 3\n");
  }

  test::ProcessResult Run(const std::string& agent) {
    return test::RunProcess(
        {"env", "HOME=" + (dir_.path() / "home").string(),
         "SNMPCONFPATH=" + (dir_.path() / "elsewhere").string(),
         "SNMP_PERSISTENT_DIR=" + (dir_.path() / "elsewhere").string(), "MIBS=ALL",
         "MIBDIRS=/usr/share/snmp/mibs", program_, "1.3.6.1.2.1.1.1.0", agent, "x"},
        60s, dir_.path().string());
  }

  TempDir dir_;
  std::string program_;
};

TEST_F(SingleDeviceProgramTest, AnsweredQueryPrintsExactlyTheResult) {
  const test::TestSnmpAgent agent("127.0.0.1");
  ASSERT_TRUE(agent.ready()) << agent.error();
  const auto run = Run("127.0.0.1");
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.out, std::string("result: ") + test::kAgentSysDescr);
  EXPECT_EQ(run.err, "") << "no MIB warnings, no library chatter";
  EXPECT_TRUE(std::filesystem::is_directory(dir_.path() / "snmp/snmp/persist"));
  EXPECT_TRUE(std::filesystem::is_directory(dir_.path() / "snmp/share/snmp/mibs"));
  const std::string log = test::ReadFile(dir_.path() / "OrdalenLog/ordalen.log");
  EXPECT_NE(log.find("|MIB[127.0.0.1] snmp v2\r\n"), std::string::npos) << log;
  EXPECT_NE(log.find("|127.0.0.1|scan end\r\n"), std::string::npos) << log;
}

TEST_F(SingleDeviceProgramTest, SilentDeviceUsesTheTuningBesideTheProgramOnly) {
  dir_.Write("snmp/share/snmp/snmp.conf", "timeout 1\nretries 0\n");
  const auto start = std::chrono::steady_clock::now();
  const auto run = Run("127.0.0.2");
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.out, "result: ");
  EXPECT_EQ(run.err, "Timeout: No Response from 127.0.0.2\n");
  // One second, no retry: not the library's 6 s, nor what the home folder (16 s)
  // or the environment's folder (8 s) would make it.
  EXPECT_GT(seconds, 0.9);
  EXPECT_LT(seconds, 2.5);
  const std::string log = test::ReadFile(dir_.path() / "OrdalenLog/ordalen.log");
  EXPECT_NE(log.find("|127.0.0.2|Timeout\r\n"), std::string::npos) << log;
}

}  // namespace
}  // namespace ordalen
