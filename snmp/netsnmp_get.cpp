#include "snmp/netsnmp_get.h"

#include <array>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <vector>

#include "base/socket_mutex.h"
#include "base/text.h"
#include "snmp/oid_text.h"
#include "snmp/snmp_library.h"
#include "snmp/snmp_session.h"
#include "snmp/snmp_value.h"

namespace ordalen {
namespace {

constexpr const char* kProgram = "snmpwalk";
constexpr std::size_t kCommunityBuffer = 96;

// The library's text of an OID with its line end, as fprint_objid prints it
// (a received name has at most 128 sub-identifiers, far less than the buffer).
std::string ObjidLine(const oid* name, std::size_t length) {
  std::array<char, SPRINT_MAX_LEN> text{};
  int written = 0;
  {
    std::lock_guard<std::mutex> lock(SocketMutex());
    written = snprint_objid(text.data(), text.size(), name, length);
  }
  text.back() = '\0';
  return std::string(text.data()) + (written < 0 ? " [TRUNCATED]\n" : "\n");
}

// The library's report of a session record's error, as snmp_sess_perror prints it.
std::string SessionErrorReport(netsnmp_session& session) {
  char* text = nullptr;
  {
    std::lock_guard<std::mutex> lock(SocketMutex());
    snmp_error(&session, nullptr, nullptr, &text);
  }
  const std::unique_ptr<char, decltype(&std::free)> owned(text, &std::free);
  return Format("%s: %s\n", kProgram, owned != nullptr ? owned.get() : "");
}

void ReportPacketError(const netsnmp_pdu& response, const std::string& agent, OutputSink& out) {
  std::string reason;
  {
    std::lock_guard<std::mutex> lock(SocketMutex());
    reason = snmp_errstring(static_cast<int>(response.errstat));
  }
  LogTo(out, "%s|Error in packet. %s", agent.c_str(), reason.c_str());
  std::string report = "Error in packet.\nReason: " + reason + "\n";
  if (response.errindex != 0) {
    report += "Failed object: ";
    const netsnmp_variable_list* variable = response.variables;
    for (long index = 1; variable != nullptr && index != response.errindex; ++index) {
      variable = variable->next_variable;
    }
    if (variable != nullptr) report += ObjidLine(variable->name, variable->name_length);
    report += "\n";
  }
  out.Error(std::move(report));
}

}  // namespace

int NetSnmpGet(const std::string& oid_text, std::string& value, const std::string& agent,
               SnmpVersion version, const SnmpCredentials& credentials, QueryOutcome* outcome,
               const NetSnmpGetControl& control) {
  QueryOutcome ignored = QueryOutcome::kNotAsked;
  QueryOutcome& ended = outcome != nullptr ? *outcome : ignored;
  ended = QueryOutcome::kNotAsked;
  OutputSink& out = control.out != nullptr ? *control.out : ProcessOutput();
  // The library prints its own reports of a failed session; a GET whose lines
  // go elsewhere hands over the same text instead.
  const bool library_prints = &out == &ProcessOutput();
  LogTo(out, "MIB[%s] snmp v%d", agent.c_str(), VersionNumber(version));
  value.clear();
  const auto ids = SplitOidText(oid_text);
  InitSnmpLibrary();

  SessionRecord record(version, agent,
                       version == SnmpVersion::kV3
                           ? std::string()
                           : credentials.community.substr(0, kCommunityBuffer - 1));
  netsnmp_session& prepared = record.get();
  if (version == SnmpVersion::kV3) {
    const MIB_ACCOUNT* account = credentials.accounts.Find(agent);
    if (account != nullptr) {
      record.SetSecurityName(account->userName);
      const UsmKeys keys = SetUsmSecurity(*account, prepared);
      if (keys != UsmKeys::kReady) {
        out.Error(Format("Error generating Ku from %s pass phrase.\n",
                         keys == UsmKeys::kAuthKeyRefused ? "authentication" : "privacy"));
        LogTo(out, "%s|password error", agent.c_str());
        return -1;
      }
    } else {
      prepared.securityLevel = SNMP_SEC_LEVEL_NOAUTH;
    }
  }

  auto session = SnmpSession::Open(prepared);
  if (!session) {
    LogTo(out, "%s|Error: snmp_sess_open", agent.c_str());
    LogTo(out, "%s|scan end", agent.c_str());
    return 0;
  }
  netsnmp_session* opened = session->session();
  if (opened == nullptr) {
    if (library_prints) {
      PrintSessionError(kProgram, prepared);
    } else {
      out.Error(SessionErrorReport(prepared));
    }
    LogTo(out, "%s|snmp_open error", agent.c_str());
  } else if (!ids) {
    // Longer than any OID a request may carry: nothing sensible to ask for.
    LogTo(out, "%s|Error [%d]%s", agent.c_str(), STAT_ERROR, "OID longer than 128 sub-identifiers");
  } else {
    const std::vector<oid> name(ids->begin(), ids->end());
    PduPtr response;
    const int status = session->SynchResponse(
        session->Request(SNMP_MSG_GET, name.data(), name.size()), response, control.stop);
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
        out.Console("End of MIB\n");
        LogTo(out, "%s|End of MIB", agent.c_str());
      } else {
        ReportPacketError(*response, agent, out);
      }
    } else if (status == STAT_TIMEOUT) {
      ended = QueryOutcome::kTimedOut;
      out.Error(Format("Timeout: No Response from %s\n",
                       opened->peername != nullptr ? opened->peername : ""));
      LogTo(out, "%s|Timeout", agent.c_str());
    } else {
      const std::string text = session->FailureText();
      if (library_prints) {
        session->PrintError(kProgram);
      } else {
        out.Error(Format("%s: %s\n", kProgram, text.c_str()));
      }
      LogTo(out, "%s|Error [%d]%s", agent.c_str(), status, text.c_str());
    }
  }
  session->Close();
  LogTo(out, "%s|scan end", agent.c_str());
  return 0;
}

}  // namespace ordalen
