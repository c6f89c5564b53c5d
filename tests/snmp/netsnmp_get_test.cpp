// NetSnmpGet against a real agent started inside the test's own namespace.
#include "snmp/netsnmp_get.h"

#include <gtest/gtest.h>

#include <chrono>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "app/mib_accounts.h"
#include "snmp/snmp_library.h"
#include "support/recording_output.h"
#include "support/snmp_agent.h"

namespace ordalen {
namespace {

using test::LogWatch;
using test::RecordingOutput;
constexpr SnmpVersion kV1 = SnmpVersion::kV1;
constexpr SnmpVersion kV2c = SnmpVersion::kV2c;
constexpr SnmpVersion kV3 = SnmpVersion::kV3;
using test::TestSnmpAgent;
using Lines = std::vector<std::string>;

constexpr const char* kAgent = "127.0.0.1";
// Nothing listens there: a device that never answers.
constexpr const char* kSilent = "127.0.0.2";

class NetSnmpGetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::OnlyLoopback()) GTEST_SKIP() << "needs the test's own network namespace";
    test::PrepareSnmpTestProcess();
    agent_ = std::make_unique<TestSnmpAgent>(
        kAgent,
        "override 1.3.6.1.4.1.77777.2.1.0 octet_str 0x41420943\n"
        "override 1.3.6.1.4.1.77777.2.2.0 octet_str 0x6162006300\n"
        "override 1.3.6.1.4.1.77777.2.3.0 object_id 1.3.6.1.4.1.0.5\n"
        "override 1.3.6.1.4.1.77777.2.4.0 integer -5\n");
    ASSERT_TRUE(agent_->ready()) << agent_->error();
    accounts_[kAgent] = MIB_ACCOUNT{test::kAgentV3User, test::kAgentV3Pass};
  }

  // One GET with this test's credentials, its lines to `out`.
  int Get(const std::string& oid, std::string& value, const std::string& agent, SnmpVersion version,
          OutputSink& out, QueryOutcome* outcome = nullptr, std::stop_token stop = {}) {
    NetSnmpGetControl control;
    control.out = &out;
    control.stop = std::move(stop);
    return NetSnmpGet(oid, value, agent, version, credentials_, outcome, control);
  }

  std::unique_ptr<TestSnmpAgent> agent_;
  MibAccountTable accounts_;  // the agent's v3 account; tests change it
  const SnmpCredentials credentials_{test::kAgentCommunity, accounts_};
};

TEST_F(NetSnmpGetTest, AnsweredGetsWriteOnlyTheOpeningAndClosingLines) {
  struct Case {
    const char* oid;
    SnmpVersion version;
    std::string value;
  } cases[] = {
      {"1.3.6.1.2.1.1.1.0", kV2c, test::kAgentSysDescr},
      {".1.3.6.1.2.1.1.1.0", kV2c, test::kAgentSysDescr},
      {"..1.3.6..1.2.1.1.1.0.", kV2c, test::kAgentSysDescr},
      {"1.3.6.1.2.1.1.1.0", kV1, test::kAgentSysDescr},
      {"1.3.6.1.2.1.1.1.0", kV3, test::kAgentSysDescr},
      {test::kAgentModelOid, kV3, test::kAgentModel},
      {test::kAgentFirmwareOid, kV2c, test::kAgentFirmware},
      {"1.3.6.1.2.1.43.10.2.1.4.1.1", kV2c, "123456"},
      {"1.3.6.1.4.1.77777.2.1.0", kV2c, "QUIJQw==\r\n"},
      {"1.3.6.1.4.1.77777.2.2.0", kV2c, "ab"},
      {"1.3.6.1.4.1.77777.2.3.0", kV2c, "1.3.6.1.4.1"},
      {"1.3.6.1.4.1.77777.2.4.0", kV1, "-5"},
      // An object the agent lacks: noSuchObject leaves the value empty, no outcome line.
      {"1.3.6.1.2.1.1.99.0", kV2c, ""},
      {"1.3.6.1.2.1.1.99.0", kV3, ""},
  };
  for (const auto& c : cases) {
    RecordingOutput out;
    const int datagrams = agent_->ConnectionCount();
    std::string value = "stale";
    EXPECT_EQ(Get(c.oid, value, kAgent, c.version, out), 0);
    // One GET; for v3 the engine-ID discovery before it, and no second try for
    // the agent's clock.
    EXPECT_EQ(agent_->ConnectionCount() - datagrams, c.version == kV3 ? 2 : 1)
        << c.oid << " v" << VersionNumber(c.version);
    EXPECT_EQ(value, c.value) << c.oid << " v" << VersionNumber(c.version);
    EXPECT_EQ(out.logged, (Lines{"MIB[127.0.0.1] snmp v" + std::to_string(VersionNumber(c.version)),
                                 "127.0.0.1|scan end"}))
        << c.oid << " v" << VersionNumber(c.version);
    EXPECT_EQ(out.Printed() + out.Errors(), "") << c.oid << " v" << VersionNumber(c.version);
  }
  EXPECT_GE(agent_->ConnectionCount(), static_cast<int>(std::size(cases)))
      << "the agent logs what it receives";
}

TEST_F(NetSnmpGetTest, OidLongerThanARequestMayCarryIsNotAsked) {
  std::string oid = "1";
  for (int i = 1; i < 129; ++i) oid += ".1";
  RecordingOutput out;
  std::string value = "stale";
  EXPECT_EQ(Get(oid, value, kAgent, kV2c, out), 0);
  EXPECT_EQ(value, "");
  EXPECT_EQ(out.logged, (Lines{"MIB[127.0.0.1] snmp v2",
                               "127.0.0.1|Error [1]OID longer than 128 sub-identifiers",
                               "127.0.0.1|scan end"}));
  EXPECT_EQ(agent_->ConnectionCount(), 0) << "nothing was sent";
}

TEST_F(NetSnmpGetTest, NoSuchNameOfVersion1IsTheEndOfTheMib) {
  RecordingOutput out;
  std::string value = "stale";
  EXPECT_EQ(Get("1.3.6.1.2.1.1.99.0", value, kAgent, kV1, out), 0);
  EXPECT_EQ(out.Printed(), "End of MIB\n");
  EXPECT_EQ(out.Errors(), "");
  EXPECT_EQ(value, "");
  EXPECT_EQ(out.logged,
            (Lines{"MIB[127.0.0.1] snmp v1", "127.0.0.1|End of MIB", "127.0.0.1|scan end"}));
}

TEST_F(NetSnmpGetTest, Version3OutcomesWithAndWithoutAnAccount) {
  struct Case {
    const char* name;
    std::optional<MIB_ACCOUNT> account;
    int result;
    Lines lines;
    std::string library_text;  // what the library prints to standard error itself
    std::string errors;        // the GET's own standard-error text
  } cases[] = {
      // First, so the cases after it show that its reason does not stick to
      // their messages.
      {"pass phrase too short for a key",
       MIB_ACCOUNT{test::kAgentV3User, "short"},
       -1,
       {"MIB[127.0.0.1] snmp v3", "127.0.0.1|password error"},
       // The library's own complaint, then ours.
       "Error: passphrase chosen is below the length requirements of the USM (min=8).\n",
       "Error generating Ku from authentication pass phrase.\n"},
      {"no account: noAuth without a user name",
       std::nullopt,
       0,
       {"MIB[127.0.0.1] snmp v3", "127.0.0.1|Error [1]No securityName specified",
        "127.0.0.1|scan end"},
       "",
       "snmpwalk: No securityName specified\n"},
      {"wrong pass phrase",
       MIB_ACCOUNT{test::kAgentV3User, "wrongpass123"},
       0,
       {"MIB[127.0.0.1] snmp v3",
        "127.0.0.1|Error [1]Authentication failure (incorrect password, community or key)",
        "127.0.0.1|scan end"},
       "",
       "snmpwalk: Authentication failure (incorrect password, community or key)\n"},
      {"unknown user",
       MIB_ACCOUNT{"nobody", test::kAgentV3Pass},
       0,
       {"MIB[127.0.0.1] snmp v3", "127.0.0.1|Error [1]Unknown user name", "127.0.0.1|scan end"},
       "",
       "snmpwalk: Unknown user name\n"},
  };
  for (const auto& c : cases) {
    accounts_.RemoveAll();
    if (c.account) accounts_[kAgent] = *c.account;
    RecordingOutput out;
    std::string value = "stale";
    testing::internal::CaptureStderr();
    EXPECT_EQ(Get("1.3.6.1.2.1.1.1.0", value, kAgent, kV3, out), c.result) << c.name;
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.library_text) << c.name;
    EXPECT_EQ(out.Errors(), c.errors) << c.name;
    EXPECT_EQ(value, "") << c.name;
    EXPECT_EQ(out.logged, c.lines) << c.name;
  }
}

TEST_F(NetSnmpGetTest, SilentDeviceTimesOutAfterTheLibraryDefaults) {
  struct Case {
    SnmpVersion version;
    std::string outcome;
    std::string stderr_text;
  } cases[] = {
      {kV2c, "127.0.0.2|Timeout", "Timeout: No Response from 127.0.0.2\n"},
      // Version 3 times out in the engine-ID discovery that comes before the GET.
      {kV3, "127.0.0.2|Timeout", "Timeout: No Response from 127.0.0.2\n"},
  };
  for (const auto& c : cases) {
    RecordingOutput out;
    std::string value = "stale";
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Get("1.3.6.1.2.1.1.1.0", value, kSilent, c.version, out), 0);
    const auto seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(out.Errors(), c.stderr_text);
    EXPECT_EQ(value, "");
    EXPECT_EQ(out.logged, (Lines{"MIB[127.0.0.2] snmp v" + std::to_string(VersionNumber(c.version)),
                                 c.outcome, "127.0.0.2|scan end"}));
    // Library defaults: 1 s, 5 retries.
    EXPECT_GT(seconds, 5.5) << "v" << VersionNumber(c.version);
    EXPECT_LT(seconds, 9.0) << "v" << VersionNumber(c.version);
    std::printf("silent device, v%d: %.2f s\n", VersionNumber(c.version), seconds);
  }
}

TEST_F(NetSnmpGetTest, ErrorStatusIsReportedWithTheFailedObject) {
  const test::ScriptedAgent agent("127.0.0.3", [](std::uint8_t, const std::vector<std::uint32_t>&) {
    test::FakeAnswer answer;
    answer.error_status = 5;  // genErr
    return answer;
  });
  ASSERT_TRUE(agent.ready());
  RecordingOutput out;
  std::string value = "stale";
  EXPECT_EQ(Get("1.3.6.1.4.1.77777.5.0", value, "127.0.0.3", kV2c, out), 0);
  EXPECT_EQ(out.Errors(),
            "Error in packet.\nReason: (genError) A general failure occured\n"
            "Failed object: iso.3.6.1.4.1.77777.5.0\n\n");  // the library ends the OID with its own
                                                            // line end
  EXPECT_EQ(value, "");
  EXPECT_EQ(out.logged, (Lines{"MIB[127.0.0.3] snmp v2",
                               "127.0.0.3|Error in packet. (genError) A general failure occured",
                               "127.0.0.3|scan end"}));
}

TEST_F(NetSnmpGetTest, PeerTheLibraryCannotUseIsReportedAsAnOpenError) {
  RecordingOutput out;
  std::string value = "stale";
  EXPECT_EQ(Get("1.3.6.1.2.1.1.1.0", value, "nosuchdomain:10.0.0.1", kV2c, out), 0);
  EXPECT_EQ(value, "");
  EXPECT_EQ(out.logged, (Lines{"MIB[nosuchdomain:10.0.0.1] snmp v2",
                               "nosuchdomain:10.0.0.1|Error: snmp_sess_open",
                               "nosuchdomain:10.0.0.1|scan end"}));
  EXPECT_EQ(out.Printed() + out.Errors(), "");

  // The reason of that failure does not stick to the next error message.
  accounts_.RemoveAll();
  RecordingOutput next;
  Get("1.3.6.1.2.1.1.1.0", value, kAgent, kV3, next);
  EXPECT_EQ(next.Errors(), "snmpwalk: No securityName specified\n");
  EXPECT_EQ(next.LoggedWith("127.0.0.1|Error"),
            (Lines{"127.0.0.1|Error [1]No securityName specified"}));
}

// A GET whose lines go to a sink writes nothing itself; replayed, its lines are
// exactly those of the same GET written straight out, the library's own report
// of a failed request included.
TEST_F(NetSnmpGetTest, HeldGetReplaysWhatAStraightGetWrites) {
  const test::ScriptedAgent failing("127.0.0.3",
                                    [](std::uint8_t, const std::vector<std::uint32_t>&) {
                                      test::FakeAnswer answer;
                                      answer.error_status = 5;  // genErr
                                      return answer;
                                    });
  ASSERT_TRUE(failing.ready());
  struct Case {
    const char* name;
    const char* oid;
    const char* agent;
    SnmpVersion version;
    bool account;  // v3: the agent's account; else none
  } cases[] = {
      {"answered", "1.3.6.1.2.1.1.1.0", kAgent, kV2c, true},
      {"end of the MIB, on standard output", "1.3.6.1.2.1.1.99.0", kAgent, kV1, true},
      {"the library's report: v3 without a user name", "1.3.6.1.2.1.1.1.0", kAgent, kV3, false},
      {"error status and its failed object", "1.3.6.1.4.1.77777.5.0", "127.0.0.3", kV2c, true},
      {"a peer the library cannot open", "1.3.6.1.2.1.1.1.0", "nosuchdomain:10.0.0.1", kV2c, true},
  };
  const MIB_ACCOUNT saved = *accounts_.Find(kAgent);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    accounts_.RemoveAll();
    if (c.account) accounts_[kAgent] = saved;
    struct Written {
      Lines log;
      std::string out;
      std::string err;
    };
    const auto written = [](const auto& call) {
      const LogWatch log;
      testing::internal::CaptureStdout();
      testing::internal::CaptureStderr();
      call();
      Written got;
      got.out = testing::internal::GetCapturedStdout();
      got.err = testing::internal::GetCapturedStderr();
      got.log = log.Lines();
      return got;
    };
    std::string straight_value;
    QueryOutcome straight_outcome = QueryOutcome::kNotAsked;
    const Written straight = written([&] {
      NetSnmpGet(c.oid, straight_value, c.agent, c.version, credentials_, &straight_outcome);
    });
    HeldOutput held;
    std::string held_value = "stale";
    QueryOutcome held_outcome = QueryOutcome::kNotAsked;
    NetSnmpGetControl control;
    control.out = &held;
    const Written while_held = written([&] {
      NetSnmpGet(c.oid, held_value, c.agent, c.version, credentials_, &held_outcome, control);
    });
    EXPECT_TRUE(while_held.log.empty());
    EXPECT_EQ(while_held.out, "");
    EXPECT_EQ(while_held.err, "");
    const Written replayed = written([&] { held.ReplayInto(ProcessOutput()); });
    EXPECT_EQ(replayed.log, straight.log);
    EXPECT_EQ(replayed.out, straight.out);
    EXPECT_EQ(replayed.err, straight.err);
    EXPECT_EQ(held_value, straight_value);
    EXPECT_EQ(held_outcome, straight_outcome);
    EXPECT_GE(straight.log.size(), 2u);
  }
}

// A stop ends the wait for a silent device's answer as a failed request, not as
// its time-out; for v3 in the engine-ID discovery too.
TEST_F(NetSnmpGetTest, StoppedGetGivesUpItsWait) {
  for (const SnmpVersion version : {kV2c, kV3}) {
    SCOPED_TRACE(VersionNumber(version));
    std::stop_source stop;
    const std::jthread stopper([&stop] {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      stop.request_stop();
    });
    RecordingOutput out;
    std::string value = "stale";
    QueryOutcome outcome = QueryOutcome::kAnswered;
    EXPECT_EQ(Get("1.3.6.1.2.1.1.1.0", value, kSilent, version, out, &outcome, stop.get_token()),
              0);
    EXPECT_EQ(outcome, QueryOutcome::kNotAsked);
    EXPECT_EQ(value, "");
    EXPECT_EQ(out.Errors(), "snmpwalk: Session abort failure\n");
    EXPECT_EQ(out.logged,
              (Lines{"MIB[127.0.0.2] snmp v" + std::to_string(VersionNumber(version)),
                     "127.0.0.2|Error [1]Session abort failure", "127.0.0.2|scan end"}));
  }
}

// An agent of its own (its own engine ID) with a user for every protocol an
// account may name; each user's level is the highest its keys allow, and the
// agent answers it at that level only.
constexpr const char* kV3Agent = "127.0.0.5";
struct V3User {
  const char* name;
  const char* auth;  // empty: no authentication
  const char* priv;  // empty: no privacy
};
constexpr V3User kV3Users[] = {
    {"v3md5", "MD5", ""},
    {"v3sha-des", "SHA", "DES"},
    {"v3sha224-aes", "SHA-224", "AES"},
    {"v3sha256-aes192", "SHA-256", "AES-192"},
    {"v3sha384-aes256", "SHA-384", "AES-256"},
    {"v3sha512-aes256", "SHA-512", "AES-256"},
    {"v3md5-aes", "MD5", "AES"},
    // Keys longer than the hash: the privacy key is stretched.
    {"v3sha-aes256", "SHA", "AES-256"},
    {"v3md5-aes192", "MD5", "AES-192"},
    {"v3noauth", "", ""},
};

std::string AuthPass(const V3User& user) {
  return std::string("auth-") + user.name;
}
std::string PrivPass(const V3User& user) {
  return std::string("priv-") + user.name;
}

std::string V3UsersConfig() {
  std::string text;
  for (const auto& u : kV3Users) {
    text += std::string("createUser ") + u.name;
    if (*u.auth) text += std::string(" ") + u.auth + " " + AuthPass(u);
    if (*u.priv) text += std::string(" ") + u.priv + " " + PrivPass(u);
    text += std::string("\nrouser ") + u.name + (*u.priv ? " priv" : *u.auth ? " auth" : " noauth");
    text += "\n";
  }
  return text;
}

// The account an "accounts.csv" line gives, from its fields after the address.
MIB_ACCOUNT AccountOf(std::vector<std::string> fields) {
  fields.insert(fields.begin(), kV3Agent);
  const auto parsed = ParseAccountLine(fields);
  EXPECT_TRUE(std::holds_alternative<AccountLine>(parsed)) << testing::PrintToString(fields);
  return std::holds_alternative<AccountLine>(parsed) ? std::get<AccountLine>(parsed).account
                                                     : MIB_ACCOUNT{};
}

MIB_ACCOUNT RightAccount(const V3User& user) {
  if (!*user.auth) return AccountOf({user.name, ""});
  if (!*user.priv) return AccountOf({user.name, AuthPass(user), user.auth});
  return AccountOf({user.name, AuthPass(user), user.auth, user.priv, PrivPass(user)});
}

const V3User& UserNamed(std::string_view name) {
  for (const auto& u : kV3Users) {
    if (name == u.name) return u;
  }
  return kV3Users[0];
}

TEST_F(NetSnmpGetTest, EveryProtocolAnAccountNamesReadsTheAgentWithKeysMadeOnce) {
  const TestSnmpAgent agent(kV3Agent, V3UsersConfig());
  ASSERT_TRUE(agent.ready()) << agent.error();
  const std::size_t keys_before = MasterKeysComputed();
  for (int round = 0; round < 2; ++round) {
    for (const auto& user : kV3Users) {
      accounts_[kV3Agent] = RightAccount(user);
      RecordingOutput out;
      const int datagrams = agent.ConnectionCount();
      std::string value = "stale";
      EXPECT_EQ(Get(test::kAgentModelOid, value, kV3Agent, kV3, out), 0) << user.name;
      EXPECT_EQ(value, test::kAgentModel) << user.name;
      EXPECT_EQ(out.logged, (Lines{"MIB[127.0.0.5] snmp v3", "127.0.0.5|scan end"})) << user.name;
      // The engine-ID discovery and the GET.
      EXPECT_EQ(agent.ConnectionCount() - datagrams, 2) << user.name;
    }
    // One key per distinct (protocol, pass phrase): nine authentication keys
    // and eight privacy keys, made in the first round and only then.
    EXPECT_EQ(MasterKeysComputed() - keys_before, 17u) << "round " << round;
  }
}

TEST_F(NetSnmpGetTest, WrongSettingsEndTheGetWithTheLibrarysReport) {
  const TestSnmpAgent agent(kV3Agent, V3UsersConfig());
  ASSERT_TRUE(agent.ready()) << agent.error();
  constexpr const char* kAuthFailure =
      "127.0.0.5|Error [1]Authentication failure (incorrect password, community or key)";
  struct Case {
    const char* name;
    MIB_ACCOUNT account;
    std::string outcome;
    int datagrams;  // discovery, then the GET and its retries
    bool waits;     // the library's time-out and retries, else a report at once
  } cases[] = {
      // The agent cannot tell a wrong privacy key from a damaged message and
      // drops it, so the GET waits out the library's time-out and retries.
      {"wrong privacy pass phrase",
       AccountOf({"v3sha256-aes192", AuthPass(UserNamed("v3sha256-aes192")), "SHA-256", "AES-192",
                  "wrong-privacy"}),
       "127.0.0.5|Timeout", 1 + 6, true},
      {"wrong privacy protocol",
       AccountOf({"v3sha384-aes256", AuthPass(UserNamed("v3sha384-aes256")), "SHA-384", "AES",
                  PrivPass(UserNamed("v3sha384-aes256"))}),
       "127.0.0.5|Timeout", 1 + 6, true},
      {"wrong authentication protocol",
       AccountOf({"v3sha512-aes256", AuthPass(UserNamed("v3sha512-aes256")), "SHA-256", "AES-256",
                  PrivPass(UserNamed("v3sha512-aes256"))}),
       kAuthFailure, 2, false},
      {"wrong authentication pass phrase",
       AccountOf({"v3sha224-aes", "wrong-authentication", "SHA-224", "AES",
                  PrivPass(UserNamed("v3sha224-aes"))}),
       kAuthFailure, 2, false},
      {"unknown user",
       AccountOf({"nobody", AuthPass(UserNamed("v3sha512-aes256")), "SHA-512", "AES-256",
                  PrivPass(UserNamed("v3sha512-aes256"))}),
       "127.0.0.5|Error [1]Unknown user name", 2, false},
      {"privacy left out for a user that demands it",
       AccountOf({"v3sha-des", AuthPass(UserNamed("v3sha-des")), "SHA"}),
       "127.0.0.5|Error in packet. authorizationError (access denied to that object)", 2, false},
  };
  for (const auto& c : cases) {
    accounts_[kV3Agent] = c.account;
    RecordingOutput out;
    const int datagrams = agent.ConnectionCount();
    std::string value = "stale";
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Get(test::kAgentModelOid, value, kV3Agent, kV3, out), 0) << c.name;
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(value, "") << c.name;
    EXPECT_EQ(out.logged, (Lines{"MIB[127.0.0.5] snmp v3", c.outcome, "127.0.0.5|scan end"}))
        << c.name;
    EXPECT_EQ(agent.ConnectionCount() - datagrams, c.datagrams) << c.name;
    // No hang: a report ends the GET at once, a dropped request within the
    // library's time-out and retries (1 s x 6 by default).
    if (c.waits) {
      EXPECT_GT(seconds, 5.5) << c.name;
      EXPECT_LT(seconds, 9.0) << c.name;
    } else {
      EXPECT_LT(seconds, 1.0) << c.name;
    }
    std::printf("%-45s %6.2f s, %d datagrams\n", c.name, seconds,
                agent.ConnectionCount() - datagrams);
  }
}

// The library keeps one user entry per engine and user name for the process; a
// GET must still go out with the keys of the account it was given.
TEST_F(NetSnmpGetTest, EachGetUsesItsOwnAccountWhateverTheAgentWasAskedWithBefore) {
  const TestSnmpAgent agent(kV3Agent, V3UsersConfig());
  ASSERT_TRUE(agent.ready()) << agent.error();
  const V3User& user = UserNamed("v3sha512-aes256");
  const MIB_ACCOUNT wrong =
      AccountOf({user.name, "wrong-authentication", user.auth, user.priv, PrivPass(user)});
  for (const bool right : {true, false, true, false, true}) {
    accounts_[kV3Agent] = right ? RightAccount(user) : wrong;
    RecordingOutput out;
    std::string value = "stale";
    Get(test::kAgentModelOid, value, kV3Agent, kV3, out);
    EXPECT_EQ(value, right ? test::kAgentModel : "") << (right ? "right" : "wrong");
    EXPECT_EQ(out.LoggedWith("127.0.0.5|Error").size(), right ? 0u : 1u);
  }
}

}  // namespace
}  // namespace ordalen
