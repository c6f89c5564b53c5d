#include "snmp/snmp_manager.h"

#include <algorithm>
#include <chrono>
#include <optional>
#include <span>
#include <vector>

#include "base/mib_keys.h"
#include "base/text.h"
#include "snmp/oid_text.h"
#include "snmp/snmp_library.h"
#include "snmp/snmp_session.h"
#include "snmp/snmp_value.h"

namespace ordalen {
namespace {

constexpr long kManagerTimeoutMicroseconds = 500L * 1000L;
constexpr int kManagerRetries = 3;
constexpr const char* kWalkStart = "system.sysDescr.0";

// Which walked objects are kept, and whether the value is forced to hex octets.
enum class Keep { kNo, kByType, kHexOctets };

Keep KeepRule(std::string_view oid_text) {
  if (oid_text == kSysDescrOid || oid_text == kMarkerCountOid || oid_text == kMarkerPowerOnOid) {
    return Keep::kByType;
  }
  if (StartsWith(oid_text, kArpTablePrefix)) return Keep::kHexOctets;
  if (StartsWith(oid_text, kAddressTablePrefix)) return Keep::kByType;
  return Keep::kNo;
}

// The parts of a view that KeepRule keeps, in object order: single objects and
// subtrees. The walk asks for these only.
struct WalkRegion {
  std::span<const oid> name;
  bool subtree;
};
constexpr WalkRegion kWalkRegions[] = {
    {kOidIds<oid, kSysDescrOid>, false},      {kOidIds<oid, kAddressTablePrefix>, true},
    {kOidIds<oid, kArpTablePrefix>, true},    {kOidIds<oid, kMarkerCountOid>, false},
    {kOidIds<oid, kMarkerPowerOnOid>, false},
};

bool Before(std::span<const oid> a, std::span<const oid> b) {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end());
}

// The name the walk asks GET-NEXT for after the object `answered`: that object
// itself while it lies inside a region or just before one; otherwise a name
// just before the next region, so that every object in between is passed over
// without being asked for. nullopt once `answered` is at or past the last object
// that could be kept. For a view in object order this finds every object the
// regions hold, as a step-by-step walk would.
std::optional<std::vector<oid>> NextWalkName(std::span<const oid> answered) {
  const std::vector<oid> self(answered.begin(), answered.end());
  for (const WalkRegion& region : kWalkRegions) {
    if (region.subtree) {
      // GET-NEXT of the subtree's own name is its first object.
      if (Before(answered, region.name))
        return std::vector<oid>(region.name.begin(), region.name.end());
      if (answered.size() >= region.name.size() &&
          std::equal(region.name.begin(), region.name.end(), answered.begin())) {
        return self;
      }
      continue;
    }
    if (!Before(answered, region.name)) continue;
    // Just before a single object: its last sub-identifier one less (objects
    // below that name still come before it), or its parent for a last 0.
    std::vector<oid> jump(region.name.begin(), region.name.end());
    if (jump.back() > 0) {
      --jump.back();
    } else {
      jump.pop_back();
    }
    return Before(answered, jump) ? jump : self;
  }
  return std::nullopt;
}

std::span<const oid> NameOf(const netsnmp_variable_list& variable) {
  return {variable.name, variable.name_length};
}

// A v1 session to `agent` with the manager path's parameters.
std::unique_ptr<SnmpSession> OpenManagerSession(const std::string& agent,
                                                const std::string& community) {
  InitSnmpLibrary();
  SessionRecord prepared(SnmpVersion::kV1, agent, community);
  prepared.get().timeout = kManagerTimeoutMicroseconds;
  prepared.get().retries = kManagerRetries;
  return SnmpSession::Open(prepared.get());
}

std::vector<oid> ToLibraryOid(const OidIds& ids) {
  return {ids.begin(), ids.end()};
}

}  // namespace

int WalkDevice(const std::string& agent, const std::string& community, OidValueMap& results,
               OutputSink& out, const WalkLimits& limits, QueryOutcome* outcome) {
  QueryOutcome first_outcome = QueryOutcome::kNotAsked;
  const int result = [&] {
    const auto start = ParseOidText(kWalkStart);
    if (!start) return 1;
    auto session = OpenManagerSession(agent, community);
    if (!session) return 1;
    // A host without an agent refuses the first request at once; the walk need
    // not wait out its time-outs to learn that.
    session->WatchPortUnreachable();

    const auto started = std::chrono::steady_clock::now();
    std::vector<oid> name = ToLibraryOid(*start);
    int command = SNMP_MSG_GET;
    bool stored = false;
    std::string last_stored;
    int objects = 0;
    bool walking = true;
    while (walking) {
      if (std::chrono::steady_clock::now() - started >= limits.time_budget) {
        LogTo(out, "SNMP walk of %s cut at its time limit of %lld ms after %d objects",
              agent.c_str(), static_cast<long long>(limits.time_budget.count()), objects);
        break;
      }
      PduPtr response;
      const int status =
          session->SynchResponse(session->Request(command, name.data(), name.size()), response);
      if (command == SNMP_MSG_GET) {
        first_outcome = status == STAT_SUCCESS       ? QueryOutcome::kAnswered
                        : status == STAT_TIMEOUT     ? QueryOutcome::kTimedOut
                        : session->PortUnreachable() ? QueryOutcome::kPortClosed
                                                     : QueryOutcome::kNotAsked;
      }
      // No answer, an error status (noSuchName at the end of the view): done.
      if (status != STAT_SUCCESS || !response || response->errstat > 0) break;
      const netsnmp_variable_list* last = nullptr;
      for (const netsnmp_variable_list* variable = response->variables; variable != nullptr;
           variable = variable->next_variable) {
        if (++objects > limits.max_objects) {
          LogTo(out, "SNMP walk of %s cut at its limit of %d objects", agent.c_str(),
                limits.max_objects);
          walking = false;
          break;
        }
        const std::string text = OidText(NameOf(*variable));
        if (stored && text == last_stored) {
          walking = false;
          break;
        }
        // An agent whose next object is not after the one asked for would lead
        // the walk in a circle; stop there, keeping what was stored.
        if (command == SNMP_MSG_GETNEXT && !Before(name, NameOf(*variable))) {
          walking = false;
          break;
        }
        last = variable;
        const Keep keep = KeepRule(text);
        if (keep == Keep::kNo) continue;
        const VariableView view(*variable);
        results[text] =
            keep == Keep::kHexOctets ? HexOctets(view.value.octets) : FormatValue(view.value);
        last_stored = text;
        stored = true;
      }
      if (!walking || last == nullptr) break;
      // Past the last object that could be kept nothing more is asked for.
      std::optional<std::vector<oid>> next = NextWalkName(NameOf(*last));
      if (!next) break;
      name = std::move(*next);
      command = SNMP_MSG_GETNEXT;
    }
    if (!session->Close()) return 1;
    return stored ? 0 : 1;
  }();
  if (outcome != nullptr) *outcome = first_outcome;
  return result;
}

int GetDeviceValue(const std::string& agent, const std::string& community,
                   const std::string& oid_text, std::string& value, QueryOutcome* outcome) {
  if (outcome != nullptr) *outcome = QueryOutcome::kNotAsked;
  const auto ids = ParseOidText(oid_text);
  if (!ids) return 1;
  auto session = OpenManagerSession(agent, community);
  if (!session) return 1;
  const std::vector<oid> name = ToLibraryOid(*ids);
  PduPtr response;
  const int status =
      session->SynchResponse(session->Request(SNMP_MSG_GET, name.data(), name.size()), response);
  if (outcome != nullptr && status == STAT_SUCCESS) *outcome = QueryOutcome::kAnswered;
  if (outcome != nullptr && status == STAT_TIMEOUT) *outcome = QueryOutcome::kTimedOut;
  bool set = false;
  if (status == STAT_SUCCESS && response && response->errstat <= 0) {
    std::string previous;
    for (const netsnmp_variable_list* variable = response->variables; variable != nullptr;
         variable = variable->next_variable) {
      std::string text = OidText(NameOf(*variable));
      if (set && text == previous) break;
      value = FormatValue(VariableView(*variable).value);
      previous = std::move(text);
      set = true;
    }
  }
  response.reset();
  if (!session->Close()) return 1;
  return set ? 0 : 1;
}

}  // namespace ordalen
