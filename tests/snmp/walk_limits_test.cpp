// ctest-label: threads (its scripted agents answer on threads of their own)
// The bounds of the SNMP walk against scripted agents that would keep it going
// for ever: every answer a new, larger object name.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "snmp/snmp_manager.h"
#include "support/recording_output.h"
#include "support/snmp_agent.h"

namespace ordalen {
namespace {

using test::FakeAnswer;
using test::ScriptedAgent;
using Ids = std::vector<std::uint32_t>;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr std::uint8_t kGet = 0xA0;
const Ids kSysDescr = {1, 3, 6, 1, 2, 1, 1, 1, 0};
const Ids kArpColumn = {1, 3, 6, 1, 2, 1, 4, 22, 1, 2};
const Ids kPowerOnCount = {1, 3, 6, 1, 2, 1, 43, 10, 2, 1, 5, 1, 1};

FakeAnswer Text(const Ids& name, const std::string& text) {
  return {name, 0x04, {text.begin(), text.end()}};
}

// ARP-table rows for ever: the next row after any name, so every answer is kept.
FakeAnswer NextArpRow(std::uint8_t type, const Ids& name) {
  if (type == kGet) return Text(kSysDescr, "endless");
  Ids next = name;
  if (next.size() <= kArpColumn.size() ||
      !std::equal(kArpColumn.begin(), kArpColumn.end(), next.begin())) {
    next = kArpColumn;
    next.push_back(0);
  }
  ++next.back();
  return {next, 0x04, {0x02, 0, 0, 0, 0, 0x01}};
}

// The same, growing the name by one sub-identifier at every answer.
FakeAnswer LongerName(std::uint8_t type, const Ids& name) {
  if (type == kGet) return Text(kSysDescr, "endless");
  Ids next = name;
  if (next.size() < kArpColumn.size() ||
      !std::equal(kArpColumn.begin(), kArpColumn.end(), next.begin())) {
    next = kArpColumn;
  }
  next.push_back(1);
  // An agent cannot send a name past 128 sub-identifiers; wrap back to a later row.
  if (next.size() > 100) next = {1, 3, 6, 1, 2, 1, 4, 22, 1, 2, next[10] + 1};
  return {next, 0x04, {0x02, 0, 0, 0, 0, 0x01}};
}

class WalkLimitsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::OnlyLoopback()) GTEST_SKIP() << "needs the test's own network namespace";
    test::PrepareSnmpTestProcess();
  }
};

TEST_F(WalkLimitsTest, EndlessAgentIsCutAtTheObjectLimitKeepingWhatCame) {
  struct Case {
    const char* name;
    ScriptedAgent::Script script;
    int max_objects;
  } cases[] = {
      {"next row for ever", NextArpRow, 300},
      {"ever longer names", LongerName, 250},
      {"next row for ever, default limit", NextArpRow, kWalkMaxObjects},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    const ScriptedAgent agent("127.0.0.4", c.script);
    ASSERT_TRUE(agent.ready());
    test::RecordingOutput out;
    OidValueMap results;
    WalkLimits limits;
    limits.max_objects = c.max_objects;
    const auto started = Clock::now();
    EXPECT_EQ(WalkDevice("127.0.0.4", test::kAgentCommunity, results, out, limits), 0);
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    std::printf("%s: %d objects in %.2f s\n", c.name, c.max_objects, seconds);
    // sysDescr and every row up to the limit; the answer past it is not taken.
    EXPECT_EQ(static_cast<int>(results.size()), c.max_objects);
    EXPECT_EQ(agent.requests(), c.max_objects + 1);
    // The walk's one line, and nothing on the console or standard error.
    EXPECT_EQ(out.logged, std::vector<std::string>{"SNMP walk of 127.0.0.4 cut at its limit of " +
                                                   std::to_string(c.max_objects) + " objects"});
    EXPECT_EQ(out.Printed() + out.Errors(), "");
  }
}

TEST_F(WalkLimitsTest, SlowEndlessAgentIsCutAtTheTimeBudget) {
  // 40 ms per answer: well inside the request time-out, so only the budget ends it.
  const ScriptedAgent agent("127.0.0.4", [](std::uint8_t type, const Ids& name) {
    std::this_thread::sleep_for(milliseconds(40));
    return NextArpRow(type, name);
  });
  ASSERT_TRUE(agent.ready());
  test::RecordingOutput out;
  OidValueMap results;
  WalkLimits limits;
  limits.time_budget = milliseconds(600);
  const auto started = Clock::now();
  EXPECT_EQ(WalkDevice("127.0.0.4", test::kAgentCommunity, results, out, limits), 0);
  const auto took = Clock::now() - started;
  EXPECT_GE(took, milliseconds(600));
  // The budget, plus the one request under way when it ran out.
  EXPECT_LT(took, milliseconds(600 + 300));
  EXPECT_GE(results.size(), 5u);
  EXPECT_EQ(static_cast<int>(results.size()), agent.requests());
  // Every object answered was kept, so the line counts what was stored.
  EXPECT_EQ(out.logged, std::vector<std::string>{
                            "SNMP walk of 127.0.0.4 cut at its time limit of 600 ms after " +
                            std::to_string(results.size()) + " objects"});
}

TEST_F(WalkLimitsTest, WalkEndsAfterTheLastObjectItCouldKeep) {
  // A well-behaved agent with a large view behind the printer counters.
  const Ids enterprise = {1, 3, 6, 1, 4, 1, 77777, 1, 1, 0};
  struct Case {
    const char* name;
    std::vector<FakeAnswer> objects;
    int requests;
    std::size_t stored;
  } cases[] = {
      // The power-on count is the last object kept: nothing is asked after it.
      {"power-on count, then vendor objects",
       {Text(kSysDescr, "dev"), {kPowerOnCount, 0x41, {0x10}}, Text(enterprise, "x")},
       2,
       2},
      {"vendor objects right after sysDescr",
       {Text(kSysDescr, "dev"), Text(enterprise, "x")},
       2,
       1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto objects = c.objects;
    const ScriptedAgent agent("127.0.0.4", [objects](std::uint8_t type, const Ids& name) {
      for (const auto& object : objects) {
        if (type == kGet && object.name == name) return object;
        if (type != kGet && std::lexicographical_compare(name.begin(), name.end(),
                                                         object.name.begin(), object.name.end())) {
          return object;
        }
      }
      // Vendor objects without end after the listed ones.
      FakeAnswer more = Text(name, "more");
      more.name.push_back(1);
      return more;
    });
    ASSERT_TRUE(agent.ready());
    OidValueMap results;
    test::RecordingOutput out;
    EXPECT_EQ(WalkDevice("127.0.0.4", test::kAgentCommunity, results, out), 0);
    EXPECT_EQ(agent.requests(), c.requests);
    EXPECT_EQ(results.size(), c.stored);
    EXPECT_TRUE(out.logged.empty()) << "a walk that ends by itself is not cut";
  }
}

}  // namespace
}  // namespace ordalen
