// ctest-label: threads (its scripted agents answer on threads of their own)
// The SNMPv1 manager queries against a real agent and a scripted one, both inside
// the test's own namespace.
#include "snmp/snmp_manager.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "support/recording_output.h"
#include "support/snmp_agent.h"

namespace ordalen {
namespace {

using test::FakeAnswer;
using test::kAgentCommunity;
using test::ScriptedAgent;
using test::TestSnmpAgent;
using Ids = std::vector<std::uint32_t>;
using Values = std::map<std::string, std::string>;

constexpr std::uint8_t kGet = 0xA0;
constexpr std::uint8_t kGetNext = 0xA1;
const Ids kSysDescr = {1, 3, 6, 1, 2, 1, 1, 1, 0};

Values Contents(const OidValueMap& map) {
  Values values;
  for (const auto& entry : map) values[entry.key] = entry.value;
  return values;
}

FakeAnswer Text(const Ids& name, const std::string& text) {
  return {name, 0x04, {text.begin(), text.end()}};
}
FakeAnswer Raw(const Ids& name, std::uint8_t type, std::vector<std::uint8_t> value) {
  return {name, type, std::move(value)};
}
FakeAnswer EndOfView() {
  FakeAnswer answer;
  answer.error_status = 2;  // noSuchName
  return answer;
}

// An agent that serves `objects` in order to GET and GET-NEXT.
ScriptedAgent::Script Serving(std::vector<FakeAnswer> objects) {
  return [objects = std::move(objects)](std::uint8_t type, const Ids& name) {
    for (const auto& object : objects) {
      if (type == kGet && object.name == name) return object;
      if (type == kGetNext &&
          std::lexicographical_compare(name.begin(), name.end(), object.name.begin(),
                                       object.name.end())) {
        return object;
      }
    }
    return EndOfView();
  };
}

class SnmpManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::OnlyLoopback()) GTEST_SKIP() << "needs the test's own network namespace";
    test::PrepareSnmpTestProcess();
  }
  void TearDown() override {
    // None of these walks is cut at its bounds.
    EXPECT_TRUE(out_.logged.empty());
  }

  test::RecordingOutput out_;
};

// The route table (4.21) is not asked for: nothing uses it.
TEST_F(SnmpManagerTest, WalkOfARealAgentKeepsExactlyTheWantedObjects) {
  const TestSnmpAgent agent(
      "127.0.0.1",
      "override 1.3.6.1.2.1.43.10.2.1.5.1.1 counter 99\n"
      "override 1.3.6.1.2.1.4.20.1.3.192.168.0.5 octet_str \"255.255.255.0\"\n"
      "override 1.3.6.1.2.1.4.20.1.2.192.168.0.5 integer 2\n"
      "override 1.3.6.1.2.1.4.21.1.7.10.0.0.0 octet_str \"gw\"\n"
      "override 1.3.6.1.2.1.4.22.1.2.1.192.168.0.10 octet_str 0x001B2C3D4E5F\n"
      "override 1.3.6.1.2.1.4.22.1.2.2.192.168.1.20 integer 7\n"
      "override 1.3.6.1.2.1.4.22.1.3.1.192.168.0.10 octet_str \"not kept\"\n"
      "override 1.3.6.1.2.1.43.10.2.1.4.1.2 counter 5\n");
  ASSERT_TRUE(agent.ready()) << agent.error();
  OidValueMap results;
  results["model_name"] = "kept from before";
  EXPECT_EQ(WalkDevice("127.0.0.1", kAgentCommunity, results, out_), 0);
  EXPECT_EQ(Contents(results), (Values{
                                   {"1.3.6.1.2.1.1.1.0", test::kAgentSysDescr},
                                   {"1.3.6.1.2.1.43.10.2.1.4.1.1", "123456"},
                                   {"1.3.6.1.2.1.43.10.2.1.5.1.1", "99"},
                                   {"1.3.6.1.2.1.4.20.1.3.192.168.0.5", "255.255.255.0"},
                                   {"1.3.6.1.2.1.4.20.1.2.192.168.0.5", "2"},
                                   // ARP rows: hex octets whatever the type.
                                   {"1.3.6.1.2.1.4.22.1.2.1.192.168.0.10", "00:1b:2c:3d:4e:5f"},
                                   {"1.3.6.1.2.1.4.22.1.2.2.192.168.1.20", ""},
                                   {"model_name", "kept from before"},
                               }));
}

TEST_F(SnmpManagerTest, GetDeviceValueOfARealAgent) {
  const TestSnmpAgent agent("127.0.0.1");
  ASSERT_TRUE(agent.ready()) << agent.error();
  struct Case {
    const char* oid;
    int result;
    std::string value;
  } cases[] = {
      {test::kAgentModelOid, 0, test::kAgentModel},
      {".1.3.6.1.4.1.77777.1.1.0", 0, test::kAgentFirmware},
      {"system.sysDescr.0", 0, test::kAgentSysDescr},
      {"1.3.6.1.2.1.43.10.2.1.4.1.1", 0, "123456"},
      {"1.3.6.1.2.1.1.99.0", 1, "untouched"},  // noSuchName
      {"1..3.6", 1, "untouched"},              // not an OID text
      {"system.sysName.0", 1, "untouched"},
  };
  for (const auto& c : cases) {
    std::string value = "untouched";
    EXPECT_EQ(GetDeviceValue("127.0.0.1", kAgentCommunity, c.oid, value), c.result) << c.oid;
    EXPECT_EQ(value, c.value) << c.oid;
  }
}

TEST_F(SnmpManagerTest, WalkEndsWhereAMisbehavingAgentWouldKeepItGoing) {
  const Ids kAddr1 = {1, 3, 6, 1, 2, 1, 4, 20, 1, 1, 10, 0, 0, 1};
  const Ids kAddr2 = {1, 3, 6, 1, 2, 1, 4, 20, 1, 1, 10, 0, 0, 2};
  const Ids kSysName = {1, 3, 6, 1, 2, 1, 1, 5, 0};
  struct Case {
    const char* name;
    ScriptedAgent::Script script;
    int result;
    Values values;
    int requests;
  } cases[] = {
      {"next object goes back (A -> B -> A)",
       [&](std::uint8_t type, const Ids& name) -> FakeAnswer {
         if (type == kGet) return Text(kSysDescr, "dev");
         if (name == kSysDescr) return Raw(kAddr1, 0x40, {10, 0, 0, 1});
         if (name == kAddr1) return Raw(kAddr2, 0x40, {10, 0, 0, 2});
         return Raw(kAddr1, 0x40, {10, 0, 0, 1});
       },
       0,
       {{"1.3.6.1.2.1.1.1.0", "dev"},
        {"1.3.6.1.2.1.4.20.1.1.10.0.0.1", "10.0.0.1"},
        {"1.3.6.1.2.1.4.20.1.1.10.0.0.2", "10.0.0.2"}},
       4},
      {"the same object again",
       [&](std::uint8_t type, const Ids&) -> FakeAnswer {
         return type == kGet ? Text(kSysDescr, "dev") : Raw(kAddr1, 0x40, {10, 0, 0, 1});
       },
       0,
       {{"1.3.6.1.2.1.1.1.0", "dev"}, {"1.3.6.1.2.1.4.20.1.1.10.0.0.1", "10.0.0.1"}},
       3},
      // The second request asks from the address table on: sysName is behind it.
      {"an object not kept, answered for ever",
       [&](std::uint8_t type, const Ids&) -> FakeAnswer {
         return type == kGet ? Text(kSysDescr, "dev") : Text(kSysName, "name");
       },
       0,
       {{"1.3.6.1.2.1.1.1.0", "dev"}},
       2},
      {"no sysDescr: noSuchName at the first GET", Serving({}), 1, {}, 1},
      {"ARP rows of other types are hex octets too",
       Serving({Text(kSysDescr, "dev"),
                Raw({1, 3, 6, 1, 2, 1, 4, 22, 1, 2, 1, 10, 0, 0, 9}, 0x40, {10, 0, 0, 9}),
                Raw({1, 3, 6, 1, 2, 1, 4, 22, 1, 2, 1, 10, 0, 0, 10}, 0x04,
                    {0x02, 0x77, 0x01, 0, 0, 0x99})}),
       0,
       {{"1.3.6.1.2.1.1.1.0", "dev"},
        {"1.3.6.1.2.1.4.22.1.2.1.10.0.0.9", "0a:00:00:09"},
        {"1.3.6.1.2.1.4.22.1.2.1.10.0.0.10", "02:77:01:00:00:99"}},
       4},
      // The library drops an answer holding a 6-octet IpAddress as malformed: the
      // request goes unanswered (1 + 3 retries) and the walk ends with what it has.
      {"malformed answer",
       Serving({Text(kSysDescr, "dev"), Raw(kAddr1, 0x40, {10, 0, 0, 1, 0, 0})}),
       0,
       {{"1.3.6.1.2.1.1.1.0", "dev"}},
       5},
  };
  for (auto& c : cases) {
    const ScriptedAgent agent("127.0.0.3", c.script);
    ASSERT_TRUE(agent.ready());
    OidValueMap results;
    EXPECT_EQ(WalkDevice("127.0.0.3", kAgentCommunity, results, out_), c.result) << c.name;
    EXPECT_EQ(Contents(results), c.values) << c.name;
    EXPECT_EQ(agent.requests(), c.requests) << c.name;
  }
}

TEST_F(SnmpManagerTest, SilentDeviceCostsFourTimesHalfASecond) {
  const ScriptedAgent silent("127.0.0.2", test::NoAnswer);
  ASSERT_TRUE(silent.ready());
  struct Case {
    const char* name;
    std::function<int(QueryOutcome&)> query;
  } cases[] = {
      {"walk",
       [this](QueryOutcome& outcome) {
         OidValueMap results;
         return WalkDevice("127.0.0.2", kAgentCommunity, results, out_, WalkLimits{}, &outcome);
       }},
      {"get",
       [](QueryOutcome& outcome) {
         std::string value = "untouched";
         const int result =
             GetDeviceValue("127.0.0.2", kAgentCommunity, test::kAgentModelOid, value, &outcome);
         return value == "untouched" ? result : -1;
       }},
  };
  for (const auto& c : cases) {
    QueryOutcome outcome = QueryOutcome::kAnswered;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(c.query(outcome), 1) << c.name;
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(outcome, QueryOutcome::kTimedOut) << c.name;
    // 500 ms, then 3 retries.
    EXPECT_GT(seconds, 1.9) << c.name;
    EXPECT_LT(seconds, 3.5) << c.name;
    std::printf("silent device, v1 %s: %.2f s\n", c.name, seconds);
  }
}

TEST_F(SnmpManagerTest, QueriesTellAnAnswerFromSilenceAndARefusedPort) {
  const ScriptedAgent silent("127.0.0.2", test::NoAnswer);
  const ScriptedAgent erring("127.0.0.3", [](std::uint8_t, const Ids&) {
    FakeAnswer answer;
    answer.error_status = 5;  // genErr
    return answer;
  });
  const ScriptedAgent answering("127.0.0.4", Serving({Text(kSysDescr, "dev")}));
  ASSERT_TRUE(silent.ready() && erring.ready() && answering.ready());
  struct Case {
    const char* agent;  // 127.0.0.9: nothing listens, the host refuses the port
    QueryOutcome walk;
    QueryOutcome get;
    int walk_requests;
  } cases[] = {
      {"127.0.0.4", QueryOutcome::kAnswered, QueryOutcome::kAnswered, 2},
      {"127.0.0.3", QueryOutcome::kAnswered, QueryOutcome::kAnswered, 1},
      {"127.0.0.2", QueryOutcome::kTimedOut, QueryOutcome::kTimedOut, 4},
      {"127.0.0.9", QueryOutcome::kPortClosed, QueryOutcome::kTimedOut, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.agent);
    const int before = silent.requests() + erring.requests() + answering.requests();
    QueryOutcome walk = QueryOutcome::kNotAsked;
    OidValueMap results;
    WalkDevice(c.agent, kAgentCommunity, results, out_, WalkLimits{}, &walk);
    EXPECT_EQ(walk, c.walk);
    EXPECT_EQ(silent.requests() + erring.requests() + answering.requests() - before,
              c.walk_requests);
    // Only the walk watches for a refused port: a GET waits it out.
    if (c.walk != QueryOutcome::kPortClosed) {
      QueryOutcome get = QueryOutcome::kNotAsked;
      std::string value;
      GetDeviceValue(c.agent, kAgentCommunity, test::kAgentModelOid, value, &get);
      EXPECT_EQ(get, c.get);
    }
  }
  QueryOutcome get = QueryOutcome::kAnswered;
  std::string value;
  EXPECT_EQ(GetDeviceValue("127.0.0.4", kAgentCommunity, "1..3", value, &get), 1);
  EXPECT_EQ(get, QueryOutcome::kNotAsked);
}

// What a step-by-step walk of an ordered view keeps: every object from
// sysDescr.0 on (when the view has it) up to the printer power-on count whose
// name is one of the kept ones, the route table left out.
Values StepByStepWalk(const std::vector<FakeAnswer>& view) {
  const Ids last = {1, 3, 6, 1, 2, 1, 43, 10, 2, 1, 5, 1, 1};
  Values kept;
  if (std::none_of(view.begin(), view.end(),
                   [](const FakeAnswer& o) { return o.name == kSysDescr; }))
    return kept;
  for (const FakeAnswer& object : view) {
    if (std::lexicographical_compare(last.begin(), last.end(), object.name.begin(),
                                     object.name.end()))
      break;
    std::string text;
    for (std::uint32_t id : object.name) text += (text.empty() ? "" : ".") + std::to_string(id);
    const bool arp = text.starts_with("1.3.6.1.2.1.4.22.1.2.");
    if (text == "1.3.6.1.2.1.1.1.0" || text == "1.3.6.1.2.1.43.10.2.1.4.1.1" ||
        text == "1.3.6.1.2.1.43.10.2.1.5.1.1" || text.starts_with("1.3.6.1.2.1.4.20.")) {
      kept[text] = std::string(object.value.begin(), object.value.end());
    } else if (arp) {
      std::string hex;
      for (std::uint8_t octet : object.value) {
        char part[4];
        std::snprintf(part, sizeof part, "%02x", octet);
        hex += (hex.empty() ? "" : ":") + std::string(part);
      }
      kept[text] = hex;
    }
  }
  return kept;
}

// Generated ordered views with objects on both sides of every region's edges:
// the walk that jumps between regions keeps exactly what a step-by-step walk
// keeps, and asks for little more than it keeps.
TEST_F(SnmpManagerTest, RegionWalkKeepsWhatAStepByStepWalkKeeps) {
  const std::vector<Ids> pool = [] {
    std::vector<Ids> names = {
        {1, 3, 6, 1, 2, 1, 1, 1},
        {1, 3, 6, 1, 2, 1, 1, 1, 0},
        {1, 3, 6, 1, 2, 1, 1, 1, 0, 4},
        {1, 3, 6, 1, 2, 1, 1, 5, 0},
        {1, 3, 6, 1, 2, 1, 4, 1, 0},
        {1, 3, 6, 1, 2, 1, 4, 20},
        {1, 3, 6, 1, 2, 1, 4, 21, 1, 1, 10, 0, 0, 0},
        {1, 3, 6, 1, 2, 1, 4, 21, 1, 7, 10, 0, 0, 0},
        {1, 3, 6, 1, 2, 1, 4, 22, 1, 1, 1, 10, 0, 0, 9},
        {1, 3, 6, 1, 2, 1, 4, 22, 1, 2},
        {1, 3, 6, 1, 2, 1, 4, 22, 1, 3, 1, 10, 0, 0, 9},
        {1, 3, 6, 1, 2, 1, 25, 3, 2, 1, 3, 1},
        {1, 3, 6, 1, 2, 1, 43, 10, 2, 1, 4, 1, 0},
        {1, 3, 6, 1, 2, 1, 43, 10, 2, 1, 4, 1, 0, 7},
        {1, 3, 6, 1, 2, 1, 43, 10, 2, 1, 4, 1, 1},
        {1, 3, 6, 1, 2, 1, 43, 10, 2, 1, 4, 1, 1, 3},
        {1, 3, 6, 1, 2, 1, 43, 10, 2, 1, 4, 1, 2},
        {1, 3, 6, 1, 2, 1, 43, 10, 2, 1, 5, 1, 0, 2},
        {1, 3, 6, 1, 2, 1, 43, 10, 2, 1, 5, 1, 1},
        {1, 3, 6, 1, 2, 1, 43, 10, 2, 1, 5, 1, 2},
        {1, 3, 6, 1, 4, 1, 77777, 1, 1, 0},
    };
    for (std::uint32_t i = 1; i <= 40; ++i) {
      names.push_back({1, 3, 6, 1, 2, 1, 2, 2, 1, 1, i});                    // interfaces
      names.push_back({1, 3, 6, 1, 2, 1, 4, 20, 1, i % 4, 10, 0, 0, i});     // addresses
      names.push_back({1, 3, 6, 1, 2, 1, 4, 21, 1, 1, 10, 0, i, 0});         // routes
      names.push_back({1, 3, 6, 1, 2, 1, 4, 22, 1, 2, i % 3, 10, 0, 0, i});  // ARP
    }
    return names;
  }();
  std::uint32_t seed = 12345;
  const auto random = [&seed] {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 16) & 0x7FFF;
  };
  for (int round = 0; round < 40; ++round) {
    SCOPED_TRACE("view " + std::to_string(round));
    // Each object with a chance of 1 in 2 (sysDescr.0 in 9 of 10 views).
    std::map<Ids, FakeAnswer> objects;
    for (const Ids& name : pool) {
      const bool sys_descr = name == kSysDescr;
      if (sys_descr ? random() % 10 == 0 : random() % 2 == 0) continue;
      std::vector<std::uint8_t> value = {0x02,
                                         0x77,
                                         0,
                                         0,
                                         static_cast<std::uint8_t>(name.size()),
                                         static_cast<std::uint8_t>(name.back())};
      if (name.size() < 10 || name[6] != 4 || name[7] != 22) {
        const std::string text = "v" + std::to_string(round) + "." + std::to_string(name.back());
        value.assign(text.begin(), text.end());
      }
      objects[name] = FakeAnswer{name, 0x04, value};
    }
    std::vector<FakeAnswer> view;
    for (auto& [name, object] : objects) view.push_back(object);

    const ScriptedAgent agent("127.0.0.3", Serving(view));
    ASSERT_TRUE(agent.ready());
    OidValueMap results;
    WalkDevice("127.0.0.3", kAgentCommunity, results, out_);
    const Values want = StepByStepWalk(view);
    EXPECT_EQ(Contents(results), want);
    // One request per kept object, one per region entered from a gap, one at the end.
    EXPECT_LE(agent.requests(), static_cast<int>(want.size()) + 6);
  }
}

}  // namespace
}  // namespace ordalen
