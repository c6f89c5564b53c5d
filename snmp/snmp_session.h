// One open SNMP library session that many workers can use side by side.
//
// The library takes no locks of its own: its request and message counters, its
// statistics, its callbacks, the SNMPv3 user table and engine-time cache are
// shared by every session of the process. So every call into the library here
// runs under SocketMutex(), and the lock is never held while waiting for the
// network: a request is sent under the lock, the wait for its answer (or its
// time-out) runs without it, and the answer is taken in under the lock again.
// Locked stretches are CPU-only and short, so a silent device costs its own
// worker its time-out and nobody else anything.
//
// SNMPv3 engine-ID discovery, which the library would run inside the first
// request (a wait of the whole time-out when the device is silent), is done
// here through the same lock-free wait before that request.
#pragma once

#include <memory>
#include <stop_token>
#include <string>
#include <vector>

#include "snmp/netsnmp.h"
#include "snmp/snmp_value.h"
#include "snmp/snmp_version.h"

namespace ordalen {

struct PduDeleter {
  void operator()(netsnmp_pdu* pdu) const;
};
using PduPtr = std::unique_ptr<netsnmp_pdu, PduDeleter>;

// The record a session is opened from, as both client paths prepare it:
// snmp_sess_init's defaults (the library's time-out and retries), `version`,
// `peer` and, for SNMPv1 and v2c, `community`; SNMPv3 security is the caller's
// to add. The strings the record points at live here; SnmpSession::Open copies
// the record, so it need last only until then.
class SessionRecord {
 public:
  SessionRecord(SnmpVersion version, std::string peer, std::string community = {});
  SessionRecord(const SessionRecord&) = delete;
  SessionRecord& operator=(const SessionRecord&) = delete;

  netsnmp_session& get() { return record_; }
  // The SNMPv3 user name, kept here with the record.
  void SetSecurityName(std::string user);

 private:
  std::string peer_;
  std::string community_;
  std::string user_;
  netsnmp_session record_{};
};

class SnmpSession {
 public:
  // Opens a session from a record prepared with snmp_sess_init. Empty when the
  // library refuses; the prepared record's s_snmp_errno tells why.
  static std::unique_ptr<SnmpSession> Open(netsnmp_session& prepared);
  ~SnmpSession();
  SnmpSession(const SnmpSession&) = delete;
  SnmpSession& operator=(const SnmpSession&) = delete;

  // The library's copy of the session record, or nullptr.
  netsnmp_session* session() const;

  // A new request PDU of `command` (SNMP_MSG_GET, SNMP_MSG_GETNEXT) asking for `name`.
  PduPtr Request(int command, const oid* name, std::size_t length);

  // Sends `request` and waits for its answer, as snmp_sess_synch_response does:
  // STAT_SUCCESS with the answer in `response`, STAT_TIMEOUT, or STAT_ERROR (the
  // session's error fields tell why). A stop requested through `stop` ends the
  // wait within 50 ms as STAT_ERROR (SNMPERR_ABORT).
  int SynchResponse(PduPtr request, PduPtr& response, const std::stop_token& stop = {});

  // From now on, a request that the host refuses with ICMP port unreachable
  // ends at once (STAT_ERROR) instead of waiting out its time-out and retries,
  // and PortUnreachable() tells so. False when the socket cannot be asked for
  // its errors (requests then wait as before).
  bool WatchPortUnreachable();
  // Whether a request ended because the host refused the port.
  [[nodiscard]] bool PortUnreachable() const { return port_unreachable_; }

  // Closes the session; false when the library reports a failure. Later calls
  // and the destructor do nothing.
  bool Close();

  // The library's text for the session's last error (snmp_sess_error).
  std::string FailureText();
  // Reports the session's last error on the standard error stream, prefixed
  // with `program` (snmp_sess_perror).
  void PrintError(const char* program);

 private:
  explicit SnmpSession(void* handle) : handle_(handle) {}
  int Exchange(netsnmp_pdu* request, PduPtr& response, const std::stop_token& stop);
  // STAT_SUCCESS once the engine is known, else STAT_TIMEOUT or STAT_ERROR.
  int DiscoverEngineId(const std::stop_token& stop);

  void* handle_;
  int watched_fd_ = -1;  // the transport socket, while WatchPortUnreachable holds
  bool port_unreachable_ = false;
};

// Reports `session`'s error on the standard error stream (for a record that
// never opened).
void PrintSessionError(const char* program, netsnmp_session& session);

// The value of one received variable, for FormatValue / FormatVariable.
struct VariableView {
  explicit VariableView(const netsnmp_variable_list& variable);
  VariableView(const VariableView&) = delete;
  VariableView& operator=(const VariableView&) = delete;
  SnmpValueView value;  // may point into oid_

 private:
  std::vector<std::uint32_t> oid_;
};

}  // namespace ordalen
