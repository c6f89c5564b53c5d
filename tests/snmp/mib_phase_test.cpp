// ctest-label: threads (the phase asks its devices on worker threads)
// The MIB phase: the three ways of identifying a model, the merge of what a
// device answered, and whole phases over scripted devices and a real agent in
// the test's own namespace.
#include "snmp/mib_phase.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "app/log.h"
#include "app/settings.h"
#include "base/text.h"
#include "engine/result_store.h"
#include "platform/address_text.h"
#include "snmp/model_table.h"
#include "support/fake_network.h"
#include "support/process.h"
#include "support/recording_output.h"
#include "support/scan_config.h"
#include "support/snmp_agent.h"

namespace ordalen {
namespace {

using Lines = std::vector<std::string>;
using Pairs = std::vector<std::pair<std::string, std::string>>;

constexpr const char* kHost = "192.168.1.30";
constexpr const char* kModelOid = "1.3.6.1.2.1.25.3.2.1.3.1";
constexpr const char* kVersionOid = "1.3.6.1.4.1.77777.1.1.0";
constexpr const char* kOtherVersionOid = "1.3.6.1.4.1.77777.9.9.0";

// Answers of a library GET whose key cannot be made, and of one that names the
// end of the MIB (SNMPv1's noSuchName).
constexpr const char* kPasswordError = "<password error>";
constexpr const char* kEndOfMib = "<end of mib>";

// Scripted devices. Answers are keyed "A|agent|oid" (SNMPv1 manager GET),
// "B|agent|oid" (library v2c) and "C|agent|oid" (library v3); every call is
// recorded per agent as "walk", "A oid", "B oid" or "C oid". A query without an
// answer is an answer without a value (an error status; "End of MIB" for a
// library GET) unless its way is in `outcomes` ("walk|agent", "A|agent", ... or,
// for one OID, "A|agent|oid"), which then gives its outcome.
class FakeMibOps final : public MibOps {
 public:
  std::map<std::string, Pairs> walks;
  std::map<std::string, std::string> answers;
  std::map<std::string, QueryOutcome> outcomes;
  test::FakeLookup lookup;
  test::FakeEcho echo;
  // Set: every walk waits (at most 5 s) until this many walks run at once.
  int walk_barrier = 0;

  bool Walk(const std::string& agent, OidValueMap& results, QueryOutcome& outcome,
            OutputSink& /*out*/) override {
    Record(agent, "walk");
    Leave(agent);
    WaitForPeers();
    outcome = OutcomeOf("walk|" + agent);
    const auto found = walks.find(agent);
    if (found == walks.end()) return false;
    for (const auto& [key, value] : found->second) results[key] = value;
    return !found->second.empty();
  }
  bool ManagerGet(const std::string& agent, const std::string& oid, std::string& value,
                  QueryOutcome& outcome) override {
    Record(agent, "A " + oid);
    Leave(agent);
    outcome = OutcomeOf("A|" + agent, oid);
    const auto found = answers.find("A|" + agent + "|" + oid);
    if (found == answers.end()) return false;
    value = found->second;
    return true;
  }
  // With `writes_lines`, writes the lines NetSnmpGet writes for the same
  // outcome, where `control` says.
  bool LibraryGet(const std::string& oid, std::string& value, const std::string& agent,
                  SnmpVersion version, QueryOutcome& outcome,
                  const NetSnmpGetControl& control) override {
    const std::string way = version == SnmpVersion::kV2c  ? "B"
                            : version == SnmpVersion::kV3 ? "C"
                                                          : "v1?";
    Record(agent, way + " " + oid);
    HeldOutput unwritten;
    OutputSink& out = writes_lines && control.out != nullptr ? *control.out : unwritten;
    LogTo(out, "MIB[%s] snmp v%d", agent.c_str(), VersionNumber(version));
    value.clear();
    if (on_net_get) on_net_get(way, control.stop);
    Leave(agent);
    outcome = OutcomeOf(way + "|" + agent, oid);
    const auto found = answers.find(way + "|" + agent + "|" + oid);
    const std::string answer = found != answers.end() ? found->second : "";
    if (answer == kPasswordError) {
      out.Error("Error generating Ku from authentication pass phrase.\n");
      LogTo(out, "%s|password error", agent.c_str());
      return false;
    }
    if (outcome == QueryOutcome::kTimedOut) {
      out.Error("Timeout: No Response from " + agent + "\n");
      LogTo(out, "%s|Timeout", agent.c_str());
    } else if (answer == kEndOfMib) {
      out.Console("End of MIB\n");
      LogTo(out, "%s|End of MIB", agent.c_str());
    } else if (found == answers.end()) {
      out.Error("Error in packet.\nReason: (genError) A general failure occured\n");
      LogTo(out, "%s|Error in packet. (genError) A general failure occured", agent.c_str());
    } else {
      value = answer;
    }
    LogTo(out, "%s|scan end", agent.c_str());
    return true;
  }
  HostLookup& Names() override { return lookup; }
  EchoOps& Echoes() override { return echo; }

  QueryOutcome OutcomeOf(const std::string& way, const std::string& oid = {}) const {
    auto found = outcomes.find(way + "|" + oid);
    if (found == outcomes.end()) found = outcomes.find(way);
    return found == outcomes.end() ? QueryOutcome::kAnswered : found->second;
  }
  Lines CallsOf(const std::string& agent) {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_[agent];
  }
  std::vector<std::string> walk_order;
  int most_walks_at_once = 0;
  bool writes_lines = false;
  // The most queries one device had in flight at once.
  int most_in_flight = 0;
  // Called inside every library GET (the way's letter, the GET's stop) before it ends.
  std::function<void(const std::string&, const std::stop_token&)> on_net_get;

 private:
  void Record(const std::string& agent, const std::string& call) {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_[agent].push_back(call);
    if (call == "walk") walk_order.push_back(agent);
    most_in_flight = std::max(most_in_flight, ++in_flight_[agent]);
  }
  void Leave(const std::string& agent) {
    std::lock_guard<std::mutex> lock(mutex_);
    --in_flight_[agent];
  }
  void WaitForPeers() {
    if (walk_barrier <= 0) return;
    std::unique_lock<std::mutex> lock(mutex_);
    ++walking_;
    most_walks_at_once = std::max(most_walks_at_once, walking_);
    cv_.notify_all();
    cv_.wait_for(lock, std::chrono::seconds(5), [this] { return walking_ >= walk_barrier; });
    // Leave the count up: later walks of the same batch pass at once.
  }

  std::mutex mutex_;
  std::condition_variable cv_;
  int walking_ = 0;
  std::map<std::string, Lines> calls_;
  std::map<std::string, int> in_flight_;
};

// Settings, store and model table of one test, all fresh; the phase's lines recorded.
class MibPhaseTest : public ::testing::Test {
 protected:
  MibPhaseTest() : config_(dir_.path()) {}
  ~MibPhaseTest() override { FreeTargetTable(); }

  // Log messages that begin with `prefix`.
  Lines LogMessages(const std::string& prefix) const { return out_.LoggedWith(prefix); }
  void RunPhase(MibOps& probes) { RunMibPhase(ScanConfig(), TargetTable(), probes, out_); }
  void Merge(MibJob& job, MibOps& probes) { MergeDeviceResults(job, ScanConfig(), probes, out_); }
  void Identify(MibJob& job, MibOps& probes) { IdentifyDevice(job, TargetTable(), probes, out_); }
  static void SetRange(const char* first, const char* last) {
    ScanConfig().rangeStart = first ? *ParseIpv4Text(first) : 0;
    ScanConfig().rangeEnd = last ? *ParseIpv4Text(last) : 0;
  }
  static SCANRESULT& AddHost(const std::string& ip) {
    auto record = std::make_unique<SCANRESULT>();
    record->IpAddress = ip;
    SCANRESULT& stored = *record;
    HostSlot(ip) = std::move(record);
    return stored;
  }
  static std::optional<std::string> Value(const MibJob& job, std::string_view key) {
    const std::string* found = job.Values.Find(key);
    return found ? std::optional<std::string>(*found) : std::nullopt;
  }

  // What one identification of kHost wrote and kept.
  struct Identified {
    Lines log;
    std::string out;
    std::string err;
    std::optional<std::string> model_name;
    std::optional<std::string> firm_version;
    Lines calls;
    int most_in_flight = 0;
  };
  static Identified Identify(MibOps& ops, WaysSideBySide side_by_side) {
    MibJob job;
    job.HostText = kHost;
    test::RecordingOutput out;
    IdentifyDevice(job, TargetTable(), ops, out, side_by_side);
    Identified got;
    got.out = out.Printed();
    got.err = out.Errors();
    got.log = out.logged;
    got.model_name = Value(job, "model_name");
    got.firm_version = Value(job, "firm_version");
    return got;
  }

  test::TempDir dir_;
  test::ScopedScanConfig config_;
  test::RecordingOutput out_;
};

// --- the model match -----------------------------------------------------------

TEST_F(MibPhaseTest, ModelValueMatchesByLowerCasePrefix) {
  struct Case {
    std::string value;
    std::string model;
    bool matches;
  } cases[] = {
      {"LabPrinter 9000", "LabPrinter 9000", true},
      {"LabPrinter 9000 rev.2", "LabPrinter", true},
      {"LABPRINTER 9000", "labprinter 9000", true},
      {"labprinter 9000", "LABPrinter", true},
      {"Lab", "LabPrinter", false},
      {"OtherMaker X-100", "LabPrinter", false},
      {" LabPrinter", "LabPrinter", false},
      {"", "", true},
      {"anything", "", true},
      // Device bytes in Shift_JIS against a UTF-8 table name (the result file
      // shows the same characters).
      {"\x83\x76\x83\x8A\x83\x93\x83\x5E PX-1", "\xE3\x83\x97\xE3\x83\xAA\xE3\x83\xB3\xE3\x82\xBF",
       true},
      // UTF-8 from the device as it is.
      {"\xE3\x83\x97\xE3\x83\xAA\xE3\x83\xB3\xE3\x82\xBF", "\xE3\x83\x97\xE3\x83\xAA", true},
      // Non-ASCII letters are not folded.
      {"\xC3\x84rger", "\xC3\xA4rger", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ModelValueMatches(c.value, c.model), c.matches)
        << "value '" << c.value << "' model '" << c.model << "'";
  }
}

// --- IdentifyDevice ------------------------------------------------------------

TEST_F(MibPhaseTest, IdentifyDeviceTriesTheWaysOfEachEntryInOrder) {
  const ModelMIB other{kModelOid, "OtherMaker X-100", kOtherVersionOid};
  const ModelMIB lab{kModelOid, "LabPrinter 9000", kVersionOid};
  const std::string A = std::string("A|") + kHost + "|";
  const std::string B = std::string("B|") + kHost + "|";
  const std::string C = std::string("C|") + kHost + "|";
  const std::string mA = std::string("A ") + kModelOid, vA = std::string("A ") + kVersionOid;
  const std::string mB = std::string("B ") + kModelOid, vB = std::string("B ") + kVersionOid;
  const std::string mC = std::string("C ") + kModelOid, vC = std::string("C ") + kVersionOid;
  struct Case {
    const char* name;
    std::vector<ModelMIB> table;
    std::map<std::string, std::string> answers;
    std::optional<std::string> model_name;
    std::optional<std::string> firm_version;
    Lines calls;
  } cases[] = {
      {"empty table: only the walk", {}, {{A + kModelOid, "LabPrinter 9000"}}, {}, {}, {"walk"}},
      {"second entry through way A",
       {other, lab},
       {{A + kModelOid, "LabPrinter 9000"}, {A + kVersionOid, "FW 1.2.3"}},
       "LabPrinter 9000",
       "FW 1.2.3",
       {"walk", mA, mB, mC, mA, vA}},
      {"empty version through way A is an answer",
       {lab},
       {{A + kModelOid, "LabPrinter 9000"}, {A + kVersionOid, ""}},
       "LabPrinter 9000",
       "",
       {"walk", mA, vA}},
      {"way B when v1 is silent",
       {lab},
       {{B + kModelOid, "LabPrinter 9000 Plus"}, {B + kVersionOid, "2.0"}},
       "LabPrinter 9000 Plus",
       "2.0",
       {"walk", mA, mB, vB}},
      {"empty version through way B is none; way C reads it",
       {lab},
       {{B + kModelOid, "LabPrinter 9000"},
        {B + kVersionOid, ""},
        {C + kModelOid, "LabPrinter 9000"},
        {C + kVersionOid, "3.1"}},
       "LabPrinter 9000",
       "3.1",
       {"walk", mA, mB, vB, mC, vC}},
      {"way C alone",
       {lab},
       {{C + kModelOid, "labprinter 9000"}, {C + kVersionOid, "FW 9"}},
       "labprinter 9000",
       "FW 9",
       {"walk", mA, mB, mC, vC}},
      {"name matches, version never read",
       {lab},
       {{A + kModelOid, "LabPrinter 9000"},
        {B + kModelOid, "LabPrinter 9000"},
        {C + kModelOid, "LabPrinter 9000"},
        {C + kVersionOid, ""}},
       "LabPrinter 9000",
       "(MIB) No Key",
       {"walk", mA, vA, mB, vB, mC, vC}},
      {"way A without version, way B completes",
       {lab},
       {{A + kModelOid, "LabPrinter 9000"},
        {B + kModelOid, "LabPrinter 9000 B"},
        {B + kVersionOid, "1.0b"}},
       "LabPrinter 9000 B",
       "1.0b",
       {"walk", mA, vA, mB, vB}},
      {"no way matches",
       {other, lab},
       {{A + kModelOid, "Something Else"}, {B + kModelOid, "Something Else"}},
       {},
       {},
       {"walk", mA, mB, mC, mA, mB, mC}},
      {"a first entry's unread version stays when no later entry matches",
       {lab, other},
       {{A + kModelOid, "LabPrinter 9000"}},
       "LabPrinter 9000",
       "(MIB) No Key",
       {"walk", mA, vA, mB, mC, mA, mB, mC}},
      {"an empty model name takes an answered value of way A",
       {{kModelOid, "", kVersionOid}},
       {{A + kModelOid, "Any Device"}, {A + kVersionOid, "7"}},
       "Any Device",
       "7",
       {"walk", mA, vA}},
      // A library GET that got nothing leaves its value empty, which cannot be
      // told from an empty answer: a silent device is never identified.
      {"an empty model name does not take a silent device",
       {{kModelOid, "", kVersionOid}},
       {},
       {},
       {},
       {"walk", mA, mB, mC}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TargetTable() = c.table;
    FakeMibOps ops;
    ops.answers = c.answers;
    MibJob job;
    job.HostText = kHost;
    IdentifyDevice(job, TargetTable(), ops, out_);
    EXPECT_EQ(Value(job, "model_name"), c.model_name);
    EXPECT_EQ(Value(job, "firm_version"), c.firm_version);
    EXPECT_EQ(ops.CallsOf(kHost), c.calls);
    EXPECT_EQ(job.Values.size(), c.model_name ? 2u : 0u);
  }
}

TEST_F(MibPhaseTest, AWayThatStayedSilentIsNotAskedForLaterEntries) {
  const ModelMIB first{kModelOid, "OtherMaker X-100", kOtherVersionOid};
  const ModelMIB lab{kModelOid, "LabPrinter 9000", kVersionOid};
  const std::string A = std::string("A|") + kHost + "|";
  const std::string mA = std::string("A ") + kModelOid, vA = std::string("A ") + kVersionOid;
  const std::string mB = std::string("B ") + kModelOid, vB = std::string("B ") + kVersionOid;
  const std::string mC = std::string("C ") + kModelOid;
  const std::string walk = std::string("walk|") + kHost;
  const std::string wayA = std::string("A|") + kHost, wayB = std::string("B|") + kHost,
                    wayC = std::string("C|") + kHost;
  constexpr QueryOutcome kSilent = QueryOutcome::kTimedOut;
  struct Case {
    const char* name;
    std::map<std::string, QueryOutcome> outcomes;  // unlisted ways answer without a value
    std::map<std::string, std::string> answers;
    Lines calls;  // three entries: first, lab, first
    std::optional<std::string> model_name;
  } cases[] = {
      {"answers without values keep every way open",
       {},
       {},
       {"walk", mA, mB, mC, mA, mB, mC, mA, mB, mC},
       {}},
      {"silent everywhere: the first entry's ways B and C only",
       {{walk, kSilent}, {wayA, kSilent}, {wayB, kSilent}, {wayC, kSilent}},
       {},
       {"walk", mB, mC},
       {}},
      {"walk answered, way A silent",
       {{wayA, kSilent}},
       {},
       {"walk", mA, mB, mC, mB, mC, mB, mC},
       {}},
      {"way B silent, way C answers an error",
       {{wayB, kSilent}},
       {},
       {"walk", mA, mB, mC, mA, mC, mA, mC},
       {}},
      {"a walk that sent nothing leaves way A open",
       {{walk, QueryOutcome::kNotAsked}, {wayB, kSilent}, {wayC, kSilent}},
       {},
       {"walk", mA, mB, mC, mA, mA},
       {}},
      {"silent walk, way B identifies the second entry",
       {{walk, kSilent}},
       {{std::string("B|") + kHost + "|" + kModelOid, "LabPrinter 9000"},
        {std::string("B|") + kHost + "|" + kVersionOid, "2.0"}},
       {"walk", mB, mC, mB, vB},
       "LabPrinter 9000"},
      // The version GET's silence closes the way too.
      {"way A names the model, then its version times out",
       {{A + kVersionOid, kSilent}},
       {{A + kModelOid, "LabPrinter 9000"}},
       {"walk", mA, mB, mC, mA, vA, mB, mC, mB, mC},
       "LabPrinter 9000"},
      {"refused port: nothing is asked",
       {{walk, QueryOutcome::kPortClosed}},
       {{A + kModelOid, "LabPrinter 9000"}},
       {"walk"},
       {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TargetTable() = {first, lab, first};
    FakeMibOps ops;
    ops.outcomes = c.outcomes;
    ops.answers = c.answers;
    MibJob job;
    job.HostText = kHost;
    // One GET after the other: the order the calls are made in (asked side by
    // side, the same calls write the same lines, below).
    out_.Clear();
    IdentifyDevice(job, TargetTable(), ops, out_, WaysSideBySide::kNever);
    EXPECT_EQ(ops.CallsOf(kHost), c.calls);
    EXPECT_EQ(Value(job, "model_name"), c.model_name);
    const bool refused = c.calls.size() == 1;
    EXPECT_EQ(LogMessages("MIB[" + std::string(kHost) + "]: no SNMP agent"),
              refused ? Lines{"MIB[192.168.1.30]: no SNMP agent (port 161 closed)"} : Lines{});
  }
}

// --- way C's first GET beside way B's -------------------------------------------

// Asked side by side or one after the other, the identification writes the same
// lines to the log, standard output and error, in the same order, and keeps the
// same values; a GET the identification never comes to leaves no line.
TEST_F(MibPhaseTest, GetsAskedSideBySideWriteWhatOneAfterTheOtherWrites) {
  const ModelMIB lab{kModelOid, "LabPrinter 9000", kVersionOid};
  const ModelMIB other{kModelOid, "OtherMaker X-100", kOtherVersionOid};
  const std::string B = std::string("B|") + kHost + "|";
  const std::string C = std::string("C|") + kHost + "|";
  const std::string wayB = std::string("B|") + kHost, wayC = std::string("C|") + kHost;
  const std::string mC = std::string("C ") + kModelOid;
  constexpr QueryOutcome kSilent = QueryOutcome::kTimedOut;
  struct Case {
    const char* name;
    bool walk_silent;
    std::map<std::string, QueryOutcome> outcomes;  // unlisted ways answer
    std::map<std::string, std::string> answers;
    bool discarded;  // way C's early GET is not one the identification makes
  } cases[] = {
      {"B and C silent", true, {{wayB, kSilent}, {wayC, kSilent}}, {}, false},
      {"B identifies",
       true,
       {},
       {{B + kModelOid, "LabPrinter 9000"}, {B + kVersionOid, "2.0"}},
       true},
      {"B identifies, C silent",
       true,
       {{wayC, kSilent}},
       {{B + kModelOid, "LabPrinter 9000"}, {B + kVersionOid, "2.0"}},
       true},
      {"B names the model without its version, C reads both",
       true,
       {},
       {{B + kModelOid, "LabPrinter 9000"},
        {B + kVersionOid, ""},
        {C + kModelOid, "LabPrinter 9000 C"},
        {C + kVersionOid, "3.1"}},
       false},
      {"B answers another model, C identifies",
       true,
       {},
       {{B + kModelOid, "Something Else"},
        {C + kModelOid, "LabPrinter 9000"},
        {C + kVersionOid, "3.1"}},
       false},
      {"B answers an error, C silent", true, {{wayC, kSilent}}, {}, false},
      {"B silent, C names the second entry's model",
       true,
       {{wayB, kSilent}},
       {{C + kModelOid, "OtherMaker X-100"}, {C + kOtherVersionOid, "9.9"}},
       false},
      {"B silent, C's key cannot be made",
       true,
       {{wayB, kSilent}},
       {{C + kModelOid, kPasswordError}},
       false},
      {"B silent, C at the end of the MIB",
       true,
       {{wayB, kSilent}},
       {{C + kModelOid, kEndOfMib}},
       false},
      {"walk answered: nothing is asked early",
       false,
       {{wayB, kSilent}, {wayC, kSilent}},
       {},
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TargetTable() = {lab, other};
    const auto run = [&](WaysSideBySide side_by_side) {
      FakeMibOps ops;
      ops.writes_lines = true;
      ops.outcomes = c.outcomes;
      if (c.walk_silent) ops.outcomes["walk|" + std::string(kHost)] = kSilent;
      ops.answers = c.answers;
      Identified got = Identify(ops, side_by_side);
      got.calls = ops.CallsOf(kHost);
      got.most_in_flight = ops.most_in_flight;
      return got;
    };
    const Identified want = run(WaysSideBySide::kNever);
    const Identified got = run(WaysSideBySide::kWhenWalkSilent);
    EXPECT_EQ(got.log, want.log);
    EXPECT_EQ(got.out, want.out);
    EXPECT_EQ(got.err, want.err);
    EXPECT_EQ(got.model_name, want.model_name);
    EXPECT_EQ(got.firm_version, want.firm_version);
    EXPECT_FALSE(want.log.empty());
    // The same requests, the early one besides when it was not needed; never
    // more than two of them at once.
    Lines want_calls = want.calls;
    if (c.discarded) want_calls.push_back(mC);
    Lines got_calls = got.calls;
    std::sort(want_calls.begin(), want_calls.end());
    std::sort(got_calls.begin(), got_calls.end());
    EXPECT_EQ(got_calls, want_calls);
    if (!c.walk_silent) {
      EXPECT_EQ(got.calls, want.calls);
    }
    EXPECT_LE(got.most_in_flight, 2);
    if (c.discarded) {
      EXPECT_EQ(std::count(got.log.begin(), got.log.end(), "MIB[192.168.1.30] snmp v3"), 0);
    }
  }
}

// The early GET runs while way B's waits, and one the identification no longer
// needs is stopped instead of waited for.
TEST_F(MibPhaseTest, EarlyGetRunsBesideWayBAndIsStoppedWhenNotNeeded) {
  TargetTable() = {{kModelOid, "LabPrinter 9000", kVersionOid}};
  const std::string B = std::string("B|") + kHost + "|";
  struct Case {
    const char* name;
    std::map<std::string, std::string> answers;
    bool c_needed;
  } cases[] = {
      {"both silent", {}, true},
      {"B identifies", {{B + kModelOid, "LabPrinter 9000"}, {B + kVersionOid, "2.0"}}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeMibOps ops;
    ops.writes_lines = true;
    ops.outcomes = {{"walk|" + std::string(kHost), QueryOutcome::kTimedOut}};
    if (c.c_needed) {
      ops.outcomes["B|" + std::string(kHost)] = QueryOutcome::kTimedOut;
      ops.outcomes["C|" + std::string(kHost)] = QueryOutcome::kTimedOut;
    }
    ops.answers = c.answers;
    std::mutex mutex;
    std::condition_variable_any changed;
    bool c_running = false;
    bool b_running = false;
    bool b_saw_c = false;
    bool c_stopped = false;
    ops.on_net_get = [&](const std::string& way, const std::stop_token& stop) {
      std::unique_lock lock(mutex);
      if (way == "C") {
        c_running = true;
        changed.notify_all();
        if (c.c_needed) {
          // Both GETs wait out their time-out together: C ends only once B is in flight too.
          changed.wait_for(lock, std::chrono::seconds(5), [&] { return b_running; });
        } else {
          // A silent device: the GET waits until it is stopped (5 s at most).
          changed.wait_for(lock, stop, std::chrono::seconds(5), [] { return false; });
          c_stopped = stop.stop_requested();
        }
      } else if (c.c_needed) {
        b_running = true;
        changed.notify_all();
        b_saw_c = changed.wait_for(lock, std::chrono::seconds(5), [&] { return c_running; });
      }
    };
    const Identified got = Identify(ops, WaysSideBySide::kWhenWalkSilent);
    if (c.c_needed) {
      EXPECT_TRUE(b_saw_c);
      EXPECT_EQ(ops.most_in_flight, 2);
      EXPECT_EQ(got.log, (Lines{"MIB[192.168.1.30] snmp v2", "192.168.1.30|Timeout",
                                "192.168.1.30|scan end", "MIB[192.168.1.30] snmp v3",
                                "192.168.1.30|Timeout", "192.168.1.30|scan end"}));
      EXPECT_EQ(got.err,
                "Timeout: No Response from 192.168.1.30\nTimeout: No Response from 192.168.1.30\n");
    } else {
      EXPECT_TRUE(c_stopped);
      EXPECT_EQ(got.model_name, "LabPrinter 9000");
      EXPECT_EQ(got.log, (Lines{"MIB[192.168.1.30] snmp v2", "192.168.1.30|scan end",
                                "MIB[192.168.1.30] snmp v2", "192.168.1.30|scan end"}));
      EXPECT_EQ(got.out, "");
    }
  }
}

// --- MergeDeviceResults --------------------------------------------------------

TEST_F(MibPhaseTest, MergeTakesDeviceTableRowsInsideTheRangeOnly) {
  struct Case {
    const char* name;
    const char* first;  // range; nullptr: none given
    const char* last;
    std::vector<std::string> stored;  // hosts in the store before the merge
    Pairs values;
    // Expected afterwards: address -> (MacAddress, NetMask, FromDeviceTable);
    // addresses not listed must not be in the store.
    std::map<std::string, std::tuple<std::string, std::string, int>> hosts;
  } cases[] = {
      {"ARP row of a new host",
       "192.168.1.1",
       "192.168.1.254",
       {},
       {{"1.3.6.1.2.1.4.22.1.2.2.192.168.1.20", "00:1b:2c:3d:4e:5f"}},
       {{"192.168.1.20", {"00:1B:2C:3D:4E:5F", "", 1}}}},
      {"ARP row of a stored host sets only its MAC",
       "192.168.1.1",
       "192.168.1.254",
       {"192.168.1.20"},
       {{"1.3.6.1.2.1.4.22.1.2.2.192.168.1.20", "00:1b:2c:3d:4e:5f"}},
       {{"192.168.1.20", {"00:1B:2C:3D:4E:5F", "", 0}}}},
      {"address row of a stored host sets its mask",
       "192.168.1.1",
       "192.168.1.254",
       {"192.168.1.5"},
       {{"1.3.6.1.2.1.4.20.1.3.192.168.1.5", "255.255.255.0"}},
       {{"192.168.1.5", {"", "255.255.255.0", 0}}}},
      {"address row of a new host",
       "192.168.1.1",
       "192.168.1.254",
       {},
       {{"1.3.6.1.2.1.4.20.1.3.192.168.1.5", "255.255.255.0"}},
       {{"192.168.1.5", {"", "255.255.255.0", 1}}}},
      {"bounds are included, outside is not",
       "192.168.1.20",
       "192.168.1.21",
       {},
       {{"1.3.6.1.2.1.4.22.1.2.2.192.168.1.19", "02:00:00:00:00:19"},
        {"1.3.6.1.2.1.4.22.1.2.2.192.168.1.20", "02:00:00:00:00:20"},
        {"1.3.6.1.2.1.4.22.1.2.3.192.168.1.21", "02:00:00:00:00:21"},
        {"1.3.6.1.2.1.4.22.1.2.2.192.168.1.22", "02:00:00:00:00:22"}},
       {{"192.168.1.20", {"02:00:00:00:00:20", "", 1}},
        {"192.168.1.21", {"02:00:00:00:00:21", "", 1}}}},
      {"no range given: no row, not even 0.0.0.0",
       nullptr,
       nullptr,
       {},
       {{"1.3.6.1.2.1.4.22.1.2.2.192.168.1.20", "00:1b:2c:3d:4e:5f"},
        {"1.3.6.1.2.1.4.22.1.2.2.0.0.0.0", "00:1b:2c:3d:4e:60"},
        {"1.3.6.1.2.1.4.20.1.3.0.0.0.0", "0.0.0.0"}},
       {}},
      {"a range with one end 0 is a range",
       nullptr,
       "0.0.0.10",
       {},
       {{"1.3.6.1.2.1.4.22.1.2.2.0.0.0.0", "00:1b:2c:3d:4e:60"}},
       {{"0.0.0.0", {"00:1B:2C:3D:4E:60", "", 1}}}},
      {"empty and zero MACs are passed over",
       "192.168.1.1",
       "192.168.1.254",
       {},
       {{"1.3.6.1.2.1.4.22.1.2.2.192.168.1.20", ""},
        {"1.3.6.1.2.1.4.22.1.2.2.192.168.1.21", "00:00:00:00:00:00"}},
       {}},
      {"rows whose index is no IPv4 address are passed over",
       "0.0.0.1",
       "255.255.255.254",
       {},
       {{"1.3.6.1.2.1.4.22.1.2.2.192.168.1", "02:00:00:00:00:01"},
        {"1.3.6.1.2.1.4.22.1.2.2.192.168.1.20.7", "02:00:00:00:00:02"},
        {"1.3.6.1.2.1.4.22.1.2.2.192.168.1.300", "02:00:00:00:00:03"},
        {"1.3.6.1.2.1.4.22.1.2.7", "02:00:00:00:00:04"},
        {"1.3.6.1.2.1.4.20.1.3.10.1", "255.0.0.0"}},
       {}},
      {"other columns and tables add nothing",
       "0.0.0.1",
       "255.255.255.254",
       {},
       {{"1.3.6.1.2.1.4.20.1.1.192.168.1.5", "192.168.1.5"},
        {"1.3.6.1.2.1.4.20.1.2.192.168.1.5", "2"},
        {"1.3.6.1.2.1.4.21.1.1.192.168.2.0", "192.168.2.0"},
        {"1.3.6.1.2.1.43.10.2.1.5.1.1", "77"}},
       {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ClearHosts();
    SetRange(c.first, c.last);
    for (const auto& ip : c.stored) AddHost(ip);
    FakeMibOps ops;
    MibJob job;
    job.HostText = kHost;
    for (const auto& [key, value] : c.values) job.Values[key] = value;
    Merge(job, ops);

    EXPECT_EQ(Results().size(), c.hosts.size());
    for (const auto& [ip, want] : c.hosts) {
      const SCANRESULT* host = FindHost(ip);
      ASSERT_NE(host, nullptr) << ip;
      EXPECT_EQ(host->IpAddress, ip);
      EXPECT_EQ(host->MacAddress, std::get<0>(want)) << ip;
      EXPECT_EQ(host->NetMask, std::get<1>(want)) << ip;
      EXPECT_EQ(host->FromDeviceTable, std::get<2>(want)) << ip;
    }
  }
}

TEST_F(MibPhaseTest, NewDeviceTableHostGetsNameAndOsClassFromOneEcho) {
  SetRange("10.0.0.1", "10.0.0.254");
  struct Case {
    std::string ip;
    std::optional<int> ttl;  // echo reply TTL; nullopt: no reply
    std::string name;        // empty: the lookup finds nothing
    int os_type;
    std::string netbios_name;
  } cases[] = {
      {"10.0.0.20", 128, "win.lab", 1, "win.lab"},
      {"10.0.0.21", 64, "", 3, "(unknown)"},
      {"10.0.0.22", 255, "", 4, "(unknown)"},
      {"10.0.0.23", std::nullopt, "quiet.lab", 0, "quiet.lab"},
  };
  FakeMibOps ops;
  MibJob job;
  job.HostText = kHost;
  for (const auto& c : cases) {
    job.Values["1.3.6.1.2.1.4.22.1.2.1." + c.ip] = "02:00:00:00:00:aa";
    if (c.ttl) ops.echo.ttls[*ParseIpv4Text(c.ip)] = *c.ttl;
    if (!c.name.empty()) ops.lookup.names[*ParseIpv4Text(c.ip)] = c.name;
  }
  Merge(job, ops);
  for (const auto& c : cases) {
    const SCANRESULT* host = FindHost(c.ip);
    ASSERT_NE(host, nullptr) << c.ip;
    EXPECT_EQ(host->OsType, c.os_type) << c.ip;
    EXPECT_EQ(host->NetbiosName, c.netbios_name) << c.ip;
    EXPECT_EQ(host->MacAddress, "02:00:00:00:00:AA") << c.ip;
    EXPECT_EQ(host->FromDeviceTable, 1) << c.ip;
  }
  // One echo and one lookup per new host, none for a host already stored.
  EXPECT_EQ(ops.echo.asked.size(), std::size(cases));
  EXPECT_EQ(ops.lookup.asked.size(), std::size(cases));
  Merge(job, ops);
  EXPECT_EQ(ops.echo.asked.size(), std::size(cases));
  EXPECT_EQ(ops.lookup.asked.size(), std::size(cases));
}

TEST_F(MibPhaseTest, MergeSetsTheDevicesOwnValuesOnItsRecord) {
  struct Case {
    std::string key;
    std::string value;
    std::string SCANRESULT::*field;  // nullptr: no field changes
  } cases[] = {
      {"1.3.6.1.2.1.1.1.0", "LabPrinter 9000 Series", &SCANRESULT::SysDescr},
      {"1.3.6.1.2.1.43.10.2.1.4.1.1", "123456", &SCANRESULT::MarkerCount},
      {"model_name", "LabPrinter 9000", &SCANRESULT::ModelName},
      {"firm_version", "FW 1.2.3", &SCANRESULT::FirmVersion},
      {"MODEL_NAME", "Upper Model", &SCANRESULT::ModelName},
      {"Firm_Version", "(MIB) No Key", &SCANRESULT::FirmVersion},
      {"1.3.6.1.2.1.1.1.0.1", "not the description", nullptr},
      {"1.3.6.1.2.1.43.10.2.1.5.1.1", "power-on count", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.key);
    ClearHosts();
    SCANRESULT& host = AddHost(kHost);
    host.NetbiosName = "printer";
    FakeMibOps ops;
    MibJob job;
    job.HostText = kHost;
    job.Values[c.key] = c.value;
    Merge(job, ops);
    const std::string SCANRESULT::*fields[] = {&SCANRESULT::SysDescr, &SCANRESULT::MarkerCount,
                                               &SCANRESULT::ModelName, &SCANRESULT::FirmVersion};
    for (const auto field : fields) {
      EXPECT_EQ(host.*field, field == c.field ? c.value : "");
    }
    EXPECT_EQ(host.NetbiosName, "printer");
    EXPECT_EQ(Results().size(), 1u);
  }
  // A device not in the store: nothing is created for it.
  ClearHosts();
  FakeMibOps ops;
  MibJob job;
  job.HostText = kHost;
  job.Values["1.3.6.1.2.1.1.1.0"] = "descr";
  job.Values["model_name"] = "m";
  Merge(job, ops);
  EXPECT_TRUE(Results().empty());
}

TEST_F(MibPhaseTest, MergeReportsEveryTableRowOnConsoleAndLog) {
  SetRange("10.0.0.1", "10.0.0.254");
  FakeMibOps ops;
  MibJob job;
  job.HostText = "10.0.0.30";
  job.Values["1.3.6.1.2.1.4.22.1.2.2.10.0.0.99"] = "02:77:01:00:00:99";
  job.Values["1.3.6.1.2.1.4.20.1.3.10.0.0.30"] = "255.255.255.0";
  job.Values["1.3.6.1.2.1.4.22.1.2.2.172.16.0.1"] = "00:00:00:00:00:00";
  job.Values["1.3.6.1.2.1.1.1.0"] = "descr";
  Merge(job, ops);
  const std::string out = out_.Printed();

  // In the order of the job's own map.
  std::string want_out;
  Lines want_log;
  for (const auto& entry : job.Values) {
    std::string address;
    if (StartsWith(entry.key, "1.3.6.1.2.1.4.22.1.2.2.")) {
      address = entry.key.substr(std::string("1.3.6.1.2.1.4.22.1.2.2.").size());
    } else if (StartsWith(entry.key, "1.3.6.1.2.1.4.20.1.3.")) {
      address = entry.key.substr(std::string("1.3.6.1.2.1.4.20.1.3.").size());
    } else {
      continue;
    }
    want_out += " ip:" + address + " mac:" + entry.value + "\r\n";
    want_log.push_back("SNMP[10.0.0.30]: ip[" + address + "] mac[" + entry.value + "]");
  }
  EXPECT_EQ(want_log.size(), 3u);
  EXPECT_EQ(out, want_out);
  EXPECT_EQ(LogMessages("SNMP["), want_log);
}

// --- RunMibPhase over scripted devices -----------------------------------------

TEST_F(MibPhaseTest, PhaseVisitsEveryHostInTextOrderAndMergesOnlyAnswers) {
  ScanConfig().threadCount = 1;
  SetRange("10.0.0.1", "10.0.0.254");
  for (const char* ip : {"10.0.0.9", "10.0.0.2", "10.0.0.10", "10.0.0.77"}) AddHost(ip);
  TargetTable() = {{kModelOid, "LabPrinter", kVersionOid}};
  FakeMibOps ops;
  ops.walks["10.0.0.10"] = {{"1.3.6.1.2.1.1.1.0", "ten"}};
  ops.walks["10.0.0.2"] = {{"1.3.6.1.2.1.1.1.0", "two"},
                           {"1.3.6.1.2.1.4.22.1.2.1.10.0.0.50", "02:00:00:00:00:50"}};
  ops.walks["10.0.0.9"] = {{"1.3.6.1.2.1.1.1.0", "nine"}};
  ops.answers = {{std::string("A|10.0.0.9|") + kModelOid, "LabPrinter 1"},
                 {std::string("A|10.0.0.9|") + kVersionOid, "v9"}};
  RunPhase(ops);
  const std::string out = out_.Printed();

  // Ascending text order; the host learned from a table is not walked.
  EXPECT_EQ(ops.walk_order, (Lines{"10.0.0.10", "10.0.0.2", "10.0.0.77", "10.0.0.9"}));
  // One worker: every host is merged in the dispatch loop (the last one just
  // before the loop sees the list exhausted); the silent one writes nothing.
  EXPECT_EQ(LogMessages("MIB[10.0.0."),
            (Lines{"MIB[10.0.0.10]: scan", "MIB[10.0.0.2]: scan", "MIB[10.0.0.9]: scan"}));
  EXPECT_EQ(out,
            "[10.0.0.10]scan\r\n"
            "[10.0.0.2]scan\r\n"
            " ip:10.0.0.50 mac:02:00:00:00:00:50\r\n"
            "[10.0.0.9]scan\r\n");
  EXPECT_EQ(FindHost("10.0.0.10")->SysDescr, "ten");
  EXPECT_EQ(FindHost("10.0.0.2")->SysDescr, "two");
  EXPECT_EQ(FindHost("10.0.0.9")->SysDescr, "nine");
  EXPECT_EQ(FindHost("10.0.0.9")->ModelName, "LabPrinter 1");
  EXPECT_EQ(FindHost("10.0.0.9")->FirmVersion, "v9");
  EXPECT_EQ(FindHost("10.0.0.77")->SysDescr, "");
  ASSERT_NE(FindHost("10.0.0.50"), nullptr);
  EXPECT_EQ(FindHost("10.0.0.50")->FromDeviceTable, 1);
  EXPECT_EQ(Results().size(), 5u);
}

TEST_F(MibPhaseTest, PhaseRunsDevicesSideBySideAndMergesEachOnce) {
  constexpr int kHosts = 12;
  ScanConfig().threadCount = kHosts;
  FakeMibOps ops;
  ops.walk_barrier = kHosts;
  for (int i = 1; i <= kHosts; ++i) {
    const std::string ip = "10.1.0." + std::to_string(i);
    AddHost(ip);
    ops.walks[ip] = {{"1.3.6.1.2.1.1.1.0", "device " + ip}};
  }
  RunPhase(ops);
  // Every walk waited for all the others: they ran at once.
  EXPECT_EQ(ops.most_walks_at_once, kHosts);
  const Lines merged = LogMessages("MIB[10.1.0.");
  EXPECT_EQ(merged.size(), static_cast<std::size_t>(kHosts));
  // As many slots as hosts: the first to end is merged in the dispatch loop,
  // which then has nothing left to start; the others in the drain.
  EXPECT_EQ(std::count_if(merged.begin(), merged.end(),
                          [](const std::string& m) { return m.ends_with("]: scan"); }),
            1);
  for (int i = 1; i <= kHosts; ++i) {
    const std::string ip = "10.1.0." + std::to_string(i);
    EXPECT_EQ(FindHost(ip)->SysDescr, "device " + ip);
  }
}

// Every field of every record, in the store's order.
std::vector<std::string> StoreSnapshot() {
  std::vector<std::string> rows;
  for (const auto& entry : Results()) {
    const SCANRESULT& h = *entry.value;
    rows.push_back(entry.key + "|" + h.IpAddress + "|" + h.MacAddress + "|" + h.NetMask + "|" +
                   h.NetbiosName + "|" + h.SysDescr + "|" + std::to_string(h.OsType) + "|" +
                   std::to_string(h.FromDeviceTable));
  }
  return rows;
}

// Device-table hosts are named and pinged after the devices, on the pool: the
// records, the console and the log come out as when each was named and pinged
// inside its merge.
TEST_F(MibPhaseTest, DeviceTableHostsNamedLaterGiveTheSameRecordsAndLines) {
  const std::string arp = "1.3.6.1.2.1.4.22.1.2.1.";
  const std::string mask = "1.3.6.1.2.1.4.20.1.3.";
  struct Case {
    const char* name;
    std::map<std::string, Pairs> walks;
  } cases[] = {
      {"rows of two devices, one host listed by both and by both tables",
       {{"10.0.0.2",
         {{"1.3.6.1.2.1.1.1.0", "two"},
          {arp + "10.0.0.50", "02:00:00:00:00:50"},
          {arp + "10.0.0.51", "02:00:00:00:00:51"},
          {mask + "10.0.0.50", "255.255.255.0"}}},
        {"10.0.0.3",
         {{arp + "10.0.0.50", "02:00:00:00:00:aa"},
          {arp + "10.0.0.3", "02:00:00:00:00:03"},
          {arp + "10.0.0.52", "00:00:00:00:00:00"},
          {arp + "192.168.9.9", "02:00:00:00:00:99"}}}}},
      {"one device, rows only", {{"10.0.0.7", {{mask + "10.0.0.60", "255.0.0.0"}}}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto run = [&](bool reference) {
      ClearHosts();
      ScanConfig().threadCount = 1;
      SetRange("10.0.0.1", "10.0.0.254");
      for (const auto& [ip, rows] : c.walks) AddHost(ip);
      FakeMibOps ops;
      ops.walks = c.walks;
      ops.lookup.names[*ParseIpv4Text("10.0.0.50")] = "fifty.lab";
      ops.echo.ttls[*ParseIpv4Text("10.0.0.51")] = 128;
      out_.Clear();
      if (reference) {
        // Named and pinged inside each merge, in the order one worker merges.
        for (const auto& [ip, rows] : c.walks) {
          MibJob job;
          job.HostText = ip;
          Identify(job, ops);
          out_.Console("[" + ip + "]scan\r\n");
          LogTo(out_, "MIB[%s]: scan", ip.c_str());
          Merge(job, ops);
        }
      } else {
        RunPhase(ops);
      }
      std::vector<std::uint32_t> pings = ops.echo.asked;
      std::vector<std::uint32_t> lookups = ops.lookup.asked;
      std::sort(pings.begin(), pings.end());
      std::sort(lookups.begin(), lookups.end());
      return std::make_tuple(out_.Printed(), out_.logged, StoreSnapshot(), pings, lookups);
    };
    const auto want = run(true);
    const auto got = run(false);
    EXPECT_EQ(std::get<0>(got), std::get<0>(want));
    EXPECT_EQ(std::get<1>(got), std::get<1>(want));
    EXPECT_EQ(std::get<2>(got), std::get<2>(want));
    // One echo and one lookup per new host.
    EXPECT_EQ(std::get<3>(got), std::get<3>(want));
    EXPECT_EQ(std::get<4>(got), std::get<4>(want));
    EXPECT_FALSE(std::get<4>(got).empty());
  }
}

TEST_F(MibPhaseTest, DeviceTableHostsArePingedSideBySide) {
  constexpr int kRows = 20;
  ScanConfig().threadCount = 64;
  SetRange("10.0.0.1", "10.0.0.254");
  AddHost("10.0.0.2");
  FakeMibOps ops;
  ops.echo.barrier = kRows;
  Pairs rows;
  for (int i = 1; i <= kRows; ++i) {
    rows.emplace_back("1.3.6.1.2.1.4.22.1.2.1.10.0.0." + std::to_string(100 + i),
                      "02:00:00:00:00:01");
    ops.echo.ttls[*ParseIpv4Text("10.0.0." + std::to_string(100 + i))] = 64;
  }
  ops.walks["10.0.0.2"] = rows;
  RunPhase(ops);
  // Every echo waited for all the others: they ran at once.
  EXPECT_EQ(ops.echo.most_echoes_at_once, kRows);
  EXPECT_EQ(Results().size(), static_cast<std::size_t>(kRows + 1));
  for (int i = 1; i <= kRows; ++i) {
    const SCANRESULT* host = FindHost("10.0.0." + std::to_string(100 + i));
    ASSERT_NE(host, nullptr);
    EXPECT_EQ(host->OsType, 3);
    EXPECT_EQ(host->NetbiosName, "(unknown)");
  }
}

TEST_F(MibPhaseTest, PhaseOverAnEmptyStoreDoesNothing) {
  FakeMibOps ops;
  RunPhase(ops);
  EXPECT_EQ(out_.Printed(), "");
  EXPECT_TRUE(out_.logged.empty());
  EXPECT_TRUE(ops.walk_order.empty());
  EXPECT_TRUE(Results().empty());
}

// --- against a real agent in the test's own namespace --------------------------

// Times every query of the real operations, by way.
class TimedOps final : public MibOps {
 public:
  explicit TimedOps(const SnmpCredentials& credentials) : real_(MakeSystemMibOps(credentials)) {}
  bool Walk(const std::string& agent, OidValueMap& results, QueryOutcome& outcome,
            OutputSink& out) override {
    return Timed("walk", [&] { return real_->Walk(agent, results, outcome, out); });
  }
  bool ManagerGet(const std::string& agent, const std::string& oid, std::string& value,
                  QueryOutcome& outcome) override {
    return Timed("A", [&] { return real_->ManagerGet(agent, oid, value, outcome); });
  }
  bool LibraryGet(const std::string& oid, std::string& value, const std::string& agent,
                  SnmpVersion version, QueryOutcome& outcome,
                  const NetSnmpGetControl& control) override {
    return Timed(version == SnmpVersion::kV2c ? "B" : "C",
                 [&] { return real_->LibraryGet(oid, value, agent, version, outcome, control); });
  }
  HostLookup& Names() override { return real_->Names(); }
  EchoOps& Echoes() override { return real_->Echoes(); }

  std::map<std::string, std::vector<double>> seconds;

 private:
  const std::unique_ptr<MibOps> real_;
  template <class F>
  bool Timed(const std::string& way, F&& call) {
    const auto start = std::chrono::steady_clock::now();
    const bool result = call();
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::lock_guard<std::mutex> lock(mutex_);
    seconds[way].push_back(took);
    return result;
  }
  std::mutex mutex_;
};

class MibPhaseAgentTest : public MibPhaseTest {
 protected:
  void SetUp() override {
    if (!test::OnlyLoopback()) GTEST_SKIP() << "needs the test's own network namespace";
    test::PrepareSnmpTestProcess();
  }
  static int CountOf(const Lines& lines, const std::string& line) {
    return static_cast<int>(std::count(lines.begin(), lines.end(), line));
  }
};

TEST_F(MibPhaseAgentTest, PrinterIdentifiedByTheSecondEntrysFirstWay) {
  const test::TestSnmpAgent agent("127.0.0.1");
  ASSERT_TRUE(agent.ready()) << agent.error();
  TargetTable() = {{test::kAgentModelOid, "OtherMaker X-100", kOtherVersionOid},
                   {test::kAgentModelOid, test::kAgentModel, test::kAgentFirmwareOid}};
  AddHost("127.0.0.1");
  RunPhase(*MakeSystemMibOps(test::AgentCredentials()));
  EXPECT_EQ(out_.Printed(), "[127.0.0.1]scan\r\n");

  const SCANRESULT* host = FindHost("127.0.0.1");
  ASSERT_NE(host, nullptr);
  EXPECT_EQ(host->SysDescr, test::kAgentSysDescr);
  EXPECT_EQ(host->MarkerCount, "123456");
  EXPECT_EQ(host->ModelName, test::kAgentModel);
  EXPECT_EQ(host->FirmVersion, test::kAgentFirmware);
  // The first entry's library ways ran once each; the second entry stopped at way A.
  const Lines& log = out_.logged;
  EXPECT_EQ(CountOf(log, "MIB[127.0.0.1] snmp v2"), 1);
  EXPECT_EQ(CountOf(log, "MIB[127.0.0.1] snmp v3"), 1);
  EXPECT_EQ(CountOf(log, "MIB[127.0.0.1]: found"), 1);
}

TEST_F(MibPhaseAgentTest, WrongCommunityLeavesTheV3Way) {
  const test::TestSnmpAgent agent("127.0.0.1");
  ASSERT_TRUE(agent.ready()) << agent.error();
  SnmpCredentials credentials = test::AgentCredentials();
  credentials.community = "not-the-community";
  TargetTable() = {{test::kAgentModelOid, "labprinter", test::kAgentFirmwareOid}};
  MibJob job;
  job.HostText = "127.0.0.1";
  TimedOps ops(credentials);
  Identify(job, ops);
  // The walk and way B go unanswered (way A, asking as the walk did, is not
  // asked at all); v3 with the account reads both.
  EXPECT_EQ(Value(job, "model_name"), test::kAgentModel);
  EXPECT_EQ(Value(job, "firm_version"), test::kAgentFirmware);
  EXPECT_EQ(job.Values.size(), 2u);
  EXPECT_EQ(ops.seconds["walk"].size(), 1u);
  EXPECT_EQ(ops.seconds["A"].size(), 0u);
  EXPECT_EQ(ops.seconds["B"].size(), 1u);
  EXPECT_EQ(ops.seconds["C"].size(), 2u);
}

// Silent devices: each costs the walk and, for the first model entry only, ways
// B and C up to their time-outs, waited out side by side (way A is closed by the
// walk's time-out, and a way that timed out is not asked again); the pool waits
// for all at once.
TEST_F(MibPhaseAgentTest, SilentDevicesCostTheirTimeOutsSideBySide) {
  constexpr int kHosts = 8;
  ScanConfig().threadCount = kHosts;
  TargetTable() = {{test::kAgentModelOid, test::kAgentModel, test::kAgentFirmwareOid},
                   {test::kAgentModelOid, "OtherMaker X-100", kOtherVersionOid},
                   {test::kAgentModelOid, "ThirdMaker", kOtherVersionOid}};
  std::vector<std::unique_ptr<test::ScriptedAgent>> silent;
  for (int i = 1; i <= kHosts; ++i) {
    const std::string ip = "127.0.1." + std::to_string(i);
    AddHost(ip);
    silent.push_back(std::make_unique<test::ScriptedAgent>(ip, test::NoAnswer));
    ASSERT_TRUE(silent.back()->ready());
  }
  TimedOps ops(test::AgentCredentials());
  const auto start = std::chrono::steady_clock::now();
  RunPhase(ops);
  EXPECT_EQ(out_.Printed(), "");
  const std::string errors = out_.Errors();
  const double total =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  // The floors: the walk 4 x 500 ms, ways B and C the library's 6 x 1 s.
  const std::map<std::string, double> floor = {{"walk", 2.0}, {"B", 6.0}, {"C", 6.0}};
  for (const auto& [way, seconds] : floor) {
    const auto& took = ops.seconds[way];
    ASSERT_EQ(took.size(), static_cast<std::size_t>(kHosts)) << way;
    const double slowest = *std::max_element(took.begin(), took.end());
    const double fastest = *std::min_element(took.begin(), took.end());
    std::printf("way %-4s per silent device: %.2f .. %.2f s (time-outs: %.1f s)\n", way.c_str(),
                fastest, slowest, seconds);
    EXPECT_GE(fastest, seconds * 0.95) << way;
  }
  const double one_device = floor.at("walk") + std::max(floor.at("B"), floor.at("C"));
  EXPECT_TRUE(ops.seconds["A"].empty());
  std::printf("%d silent devices, %d workers, 3 model entries: %.2f s (one device: %.1f s)\n",
              kHosts, kHosts, total, one_device);
  EXPECT_LT(total, one_device * 2);
  for (const auto& entry : Results()) EXPECT_EQ(entry.value->ModelName, "") << entry.key;
  // Each library way ran once and wrote its lines, as for a one-entry table.
  EXPECT_EQ(LogMessages("MIB[127.0.1.1]"),
            (Lines{"MIB[127.0.1.1] snmp v2", "MIB[127.0.1.1] snmp v3"}));
  EXPECT_EQ(LogMessages("127.0.1.1|"), (Lines{"127.0.1.1|Timeout", "127.0.1.1|scan end",
                                              "127.0.1.1|Timeout", "127.0.1.1|scan end"}));
  EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 2 * kHosts);
}

// A host without an agent refuses the walk's first request: nothing else is
// asked, one line says why, and no time-out is waited for.
TEST_F(MibPhaseAgentTest, RefusedPortEndsTheDevicesIdentificationAtOnce) {
  TargetTable() = {{test::kAgentModelOid, test::kAgentModel, test::kAgentFirmwareOid},
                   {test::kAgentModelOid, "OtherMaker X-100", kOtherVersionOid}};
  AddHost("127.0.0.9");  // nothing listens there
  TimedOps ops(test::AgentCredentials());
  RunPhase(ops);
  EXPECT_EQ(out_.Printed(), "");
  EXPECT_EQ(out_.Errors(), "");
  EXPECT_EQ(LogMessages("MIB[127.0.0.9]"),
            (Lines{"MIB[127.0.0.9]: no SNMP agent (port 161 closed)"}));
  EXPECT_TRUE(LogMessages("127.0.0.9|").empty());
  ASSERT_EQ(ops.seconds["walk"].size(), 1u);
  EXPECT_EQ(ops.seconds.size(), 1u);
  std::printf("refused port: walk %.3f s\n", ops.seconds["walk"][0]);
  EXPECT_EQ(FindHost("127.0.0.9")->SysDescr, "");
}

}  // namespace
}  // namespace ordalen
