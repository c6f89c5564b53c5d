#include "snmp/netsnmp_get.h"

#include <cstdio>
#include <mutex>
#include <vector>

#include "app/log.h"
#include "app/settings.h"
#include "base/socket_mutex.h"
#include "snmp/oid_text.h"
#include "snmp/snmp_library.h"
#include "snmp/snmp_session.h"
#include "snmp/snmp_value.h"

namespace ordalen {
namespace {

constexpr const char* kProgram = "snmpwalk";
constexpr std::size_t kCommunityBuffer = 96;

// What the session record points at while it is prepared and opened.
struct PreparedStrings {
  std::string peer;
  std::string community;  // at most 95 characters
  std::string user;
};

void ReportPacketError(const netsnmp_pdu& response, const std::string& agent) {
  std::string reason;
  {
    std::lock_guard<std::mutex> lock(SocketMutex());
    reason = snmp_errstring(static_cast<int>(response.errstat));
  }
  WriteLog("%s|Error in packet. %s", agent.c_str(), reason.c_str());
  std::fprintf(stderr, "Error in packet.\nReason: %s\n", reason.c_str());
  if (response.errindex == 0) return;
  std::fprintf(stderr, "Failed object: ");
  const netsnmp_variable_list* variable = response.variables;
  for (long index = 1; variable != nullptr && index != response.errindex; ++index) {
    variable = variable->next_variable;
  }
  if (variable != nullptr) {
    std::lock_guard<std::mutex> lock(SocketMutex());
    fprint_objid(stderr, variable->name, variable->name_length);
  }
  std::fprintf(stderr, "\n");
}

}  // namespace

int NetSnmpGet(const std::string& oid_text, std::string& value, const std::string& agent,
               int version, QueryOutcome* outcome) {
  QueryOutcome ignored = QueryOutcome::kNotAsked;
  QueryOutcome& ended = outcome != nullptr ? *outcome : ignored;
  ended = QueryOutcome::kNotAsked;
  WriteLog("MIB[%s] snmp v%d", agent.c_str(), version);
  value.clear();
  const auto ids = SplitOidText(oid_text);
  InitSnmpLibrary();

  PreparedStrings strings;
  strings.peer = agent;
  netsnmp_session prepared;
  {
    std::lock_guard<std::mutex> lock(SocketMutex());
    snmp_sess_init(&prepared);
  }
  prepared.peername = strings.peer.data();
  if (version == 3) {
    prepared.version = SNMP_VERSION_3;
    const MIB_ACCOUNT* account = ScanConfig().mibAccounts.Find(agent);
    if (account != nullptr) {
      strings.user = account->userName;
      prepared.securityName = strings.user.data();
      prepared.securityNameLen = strings.user.size();
      const UsmKeys keys = SetUsmSecurity(*account, prepared);
      if (keys != UsmKeys::kReady) {
        std::fprintf(stderr, "Error generating Ku from %s pass phrase.\n",
                     keys == UsmKeys::kAuthKeyRefused ? "authentication" : "privacy");
        WriteLog("%s|password error", agent.c_str());
        return -1;
      }
    } else {
      prepared.securityLevel = SNMP_SEC_LEVEL_NOAUTH;
    }
  } else {
    prepared.version = version == 2 ? SNMP_VERSION_2c : SNMP_VERSION_1;
    strings.community = ScanConfig().community.substr(0, kCommunityBuffer - 1);
    prepared.community = reinterpret_cast<u_char*>(strings.community.data());
    prepared.community_len = strings.community.size();
  }

  auto session = SnmpSession::Open(prepared);
  if (!session) {
    WriteLog("%s|Error: snmp_sess_open", agent.c_str());
    WriteLog("%s|scan end", agent.c_str());
    return 0;
  }
  netsnmp_session* opened = session->session();
  if (opened == nullptr) {
    PrintSessionError(kProgram, prepared);
    WriteLog("%s|snmp_open error", agent.c_str());
  } else if (!ids) {
    // Longer than any OID a request may carry: nothing sensible to ask for.
    WriteLog("%s|Error [%d]%s", agent.c_str(), STAT_ERROR, "OID longer than 128 sub-identifiers");
  } else {
    const std::vector<oid> name(ids->begin(), ids->end());
    PduPtr response;
    const int status =
        session->SynchResponse(session->Request(SNMP_MSG_GET, name.data(), name.size()), response);
    if (status == STAT_SUCCESS && response) {
      ended = QueryOutcome::kAnswered;
      if (response->errstat == SNMP_ERR_NOERROR) {
        for (const netsnmp_variable_list* variable = response->variables; variable != nullptr;
             variable = variable->next_variable) {
          if (variable->type == SNMP_NOSUCHOBJECT || variable->type == SNMP_NOSUCHINSTANCE ||
              variable->type == SNMP_ENDOFMIBVIEW) {
            continue;
          }
          value = FormatVariable(VariableView(*variable).value);
        }
      } else if (response->errstat == SNMP_ERR_NOSUCHNAME) {
        std::printf("End of MIB\n");
        WriteLog("%s|End of MIB", agent.c_str());
      } else {
        ReportPacketError(*response, agent);
      }
    } else if (status == STAT_TIMEOUT) {
      ended = QueryOutcome::kTimedOut;
      std::fprintf(stderr, "Timeout: No Response from %s\n",
                   opened->peername != nullptr ? opened->peername : "");
      WriteLog("%s|Timeout", agent.c_str());
    } else {
      session->PrintError(kProgram);
      const std::string text = session->ErrorText();
      WriteLog("%s|Error [%d]%s", agent.c_str(), status, text.c_str());
    }
  }
  session->Close();
  WriteLog("%s|scan end", agent.c_str());
  return 0;
}

}  // namespace ordalen
