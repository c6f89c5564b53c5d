// Many workers querying at once: answers stay right (and, in the thread-sanitizer
// build, race-free), and silent devices cost each worker its own time-out only.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "snmp/netsnmp_get.h"
#include "snmp/snmp_manager.h"
#include "support/recording_output.h"
#include "support/snmp_agent.h"

namespace ordalen {
namespace {

constexpr int kWorkers = 16;

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Runs `work(i)` on kWorkers threads at once and returns the wall time.
double RunWorkers(const std::function<void(int)>& work) {
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int i = 0; i < kWorkers; ++i) {
    threads.emplace_back([&go, &work, i] {
      while (!go) std::this_thread::yield();
      work(i);
    });
  }
  const auto start = std::chrono::steady_clock::now();
  go = true;
  for (auto& t : threads) t.join();
  return SecondsSince(start);
}

class ParallelQueryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::OnlyLoopback()) GTEST_SKIP() << "needs the test's own network namespace";
    test::PrepareSnmpTestProcess();
  }

  const SnmpCredentials credentials_ = test::AgentCredentials();
  test::RecordingOutput out_;  // the walks' (none is cut)
};

TEST_F(ParallelQueryTest, SixteenWorkersQueryV1V2cAndV3AtOnce) {
  const test::TestSnmpAgent agent("127.0.0.1");
  ASSERT_TRUE(agent.ready()) << agent.error();
  constexpr int kRounds = 4;
  std::atomic<int> wrong{0};
  std::atomic<int> done{0};
  RunWorkers([&](int worker) {
    for (int round = 0; round < kRounds; ++round) {
      // Each worker starts with a different way, so all three run side by side.
      for (int step = 0; step < 4; ++step) {
        std::string value;
        switch ((worker + step) % 4) {
          case 0:
            if (GetDeviceValue("127.0.0.1", test::kAgentCommunity, test::kAgentModelOid, value) !=
                    0 ||
                value != test::kAgentModel)
              ++wrong;
            break;
          case 1: {
            OidValueMap results;
            const std::string* descr = nullptr;
            if (WalkDevice("127.0.0.1", test::kAgentCommunity, results, out_) != 0 ||
                (descr = results.Find("1.3.6.1.2.1.1.1.0")) == nullptr ||
                *descr != test::kAgentSysDescr) {
              ++wrong;
            }
            break;
          }
          case 2:
            if (NetSnmpGet(test::kAgentFirmwareOid, value, "127.0.0.1", SnmpVersion::kV2c,
                           credentials_) != 0 ||
                value != test::kAgentFirmware) {
              ++wrong;
            }
            break;
          default:
            if (NetSnmpGet("1.3.6.1.2.1.1.1.0", value, "127.0.0.1", SnmpVersion::kV3,
                           credentials_) != 0 ||
                value != test::kAgentSysDescr) {
              ++wrong;
            }
            break;
        }
        ++done;
      }
    }
  });
  EXPECT_EQ(done.load(), kWorkers * kRounds * 4);
  EXPECT_EQ(wrong.load(), 0);
}

// Sixteen devices that never answer, one per worker: the workers wait side by
// side, so the whole batch costs about one device's time-out. Any lock held
// across a wait would make it sixteen.
TEST_F(ParallelQueryTest, SixteenSilentDevicesCostAboutOneTimeOut) {
  struct Way {
    const char* name;
    double single_seconds;  // one silent device with the library's (or the manager's) defaults
    std::function<bool(const std::string&)> query;
  } ways[] = {
      {"v3 GET", 6.0,
       [this](const std::string& agent) {
         std::string value = "x";
         return NetSnmpGet("1.3.6.1.2.1.1.1.0", value, agent, SnmpVersion::kV3, credentials_) ==
                    0 &&
                value.empty();
       }},
      {"v2c GET", 6.0,
       [this](const std::string& agent) {
         std::string value = "x";
         return NetSnmpGet("1.3.6.1.2.1.1.1.0", value, agent, SnmpVersion::kV2c, credentials_) ==
                    0 &&
                value.empty();
       }},
      {"v1 walk", 2.0,
       [this](const std::string& agent) {
         OidValueMap results;
         return WalkDevice(agent, test::kAgentCommunity, results, out_) == 1 && results.empty();
       }},
  };
  // 127.0.1.x: agents that read every request and answer none.
  std::vector<std::unique_ptr<test::ScriptedAgent>> silent;
  for (int worker = 0; worker < kWorkers; ++worker) {
    silent.push_back(std::make_unique<test::ScriptedAgent>("127.0.1." + std::to_string(worker + 1),
                                                           test::NoAnswer));
    ASSERT_TRUE(silent.back()->ready());
  }
  for (const auto& way : ways) {
    std::atomic<int> wrong{0};
    const double seconds = RunWorkers([&](int worker) {
      if (!way.query("127.0.1." + std::to_string(worker + 1))) ++wrong;
    });
    std::printf("%d silent devices, %s, %d workers: %.2f s (one device: %.1f s)\n", kWorkers,
                way.name, kWorkers, seconds, way.single_seconds);
    EXPECT_EQ(wrong.load(), 0) << way.name;
    EXPECT_GT(seconds, way.single_seconds * 0.9) << way.name;
    // Serialised, this would take kWorkers times as long.
    EXPECT_LT(seconds, way.single_seconds * 2) << way.name;
  }
}

}  // namespace
}  // namespace ordalen
