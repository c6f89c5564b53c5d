#include "snmp/snmp_manager.h"

#include <algorithm>
#include <array>
#include <mutex>
#include <span>
#include <vector>

#include "app/settings.h"
#include "base/socket_mutex.h"
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

constexpr std::string_view kArpPhysAddressPrefix = "1.3.6.1.2.1.4.22.1.2.";

// Which walked objects are kept, and whether the value is forced to hex octets.
enum class Keep { kNo, kByType, kHexOctets };

Keep KeepRule(std::string_view oid_text) {
  if (oid_text == "1.3.6.1.2.1.1.1.0" || oid_text == "1.3.6.1.2.1.43.10.2.1.4.1.1" ||
      oid_text == "1.3.6.1.2.1.43.10.2.1.5.1.1") {
    return Keep::kByType;
  }
  if (StartsWith(oid_text, kArpPhysAddressPrefix)) return Keep::kHexOctets;
  if (StartsWith(oid_text, "1.3.6.1.2.1.4.20.") || StartsWith(oid_text, "1.3.6.1.2.1.4.21.")) {
    return Keep::kByType;
  }
  return Keep::kNo;
}

std::span<const oid> NameOf(const netsnmp_variable_list& variable) {
  return {variable.name, variable.name_length};
}

// A v1 session to `agent` with the manager's parameters.
std::unique_ptr<SnmpSession> OpenManagerSession(const std::string& agent) {
  InitSnmpLibrary();
  std::string peer = agent;
  std::string community = ScanConfig().community;
  netsnmp_session prepared;
  {
    std::lock_guard<std::mutex> lock(SocketMutex());
    snmp_sess_init(&prepared);
  }
  prepared.version = SNMP_VERSION_1;
  prepared.peername = peer.data();
  prepared.community = reinterpret_cast<u_char*>(community.data());
  prepared.community_len = community.size();
  prepared.timeout = kManagerTimeoutMicroseconds;
  prepared.retries = kManagerRetries;
  return SnmpSession::Open(prepared);
}

std::vector<oid> ToLibraryOid(const OidIds& ids) {
  return {ids.begin(), ids.end()};
}

}  // namespace

int WalkDevice(const std::string& agent, OidValueMap& results) {
  const auto start = ParseOidText(kWalkStart);
  if (!start) return 1;
  auto session = OpenManagerSession(agent);
  if (!session) return 1;

  std::vector<oid> name = ToLibraryOid(*start);
  int command = SNMP_MSG_GET;
  bool stored = false;
  std::string last_stored;
  bool walking = true;
  while (walking) {
    PduPtr response;
    const int status =
        session->SynchResponse(session->Request(command, name.data(), name.size()), response);
    // No answer, an error status (noSuchName at the end of the view): done.
    if (status != STAT_SUCCESS || !response || response->errstat > 0) break;
    const netsnmp_variable_list* last = nullptr;
    for (const netsnmp_variable_list* variable = response->variables; variable != nullptr;
         variable = variable->next_variable) {
      const std::string text = OidText(NameOf(*variable));
      if (stored && text == last_stored) {
        walking = false;
        break;
      }
      // An agent whose next object is not after the one asked for would lead the
      // walk in a circle; stop there, keeping what was stored.
      if (command == SNMP_MSG_GETNEXT &&
          !std::lexicographical_compare(name.begin(), name.end(), variable->name,
                                        variable->name + variable->name_length)) {
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
    name.assign(last->name, last->name + last->name_length);
    command = SNMP_MSG_GETNEXT;
  }
  if (!session->Close()) return 1;
  return stored ? 0 : 1;
}

int GetDeviceValue(const std::string& agent, const std::string& oid_text, std::string& value) {
  const auto ids = ParseOidText(oid_text);
  if (!ids) return 1;
  auto session = OpenManagerSession(agent);
  if (!session) return 1;
  const std::vector<oid> name = ToLibraryOid(*ids);
  PduPtr response;
  const int status =
      session->SynchResponse(session->Request(SNMP_MSG_GET, name.data(), name.size()), response);
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
