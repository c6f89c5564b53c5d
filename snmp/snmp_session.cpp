#include "snmp/snmp_session.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "base/socket_mutex.h"
#include "platform/os_error.h"
#include "platform/udp_errors.h"

namespace ordalen {
namespace {

using Lock = std::lock_guard<std::mutex>;

// How often a wait that may be stopped looks at its stop.
constexpr long kStopLatencyMicroseconds = 50000;

// What the answer callback reports to the waiting worker.
struct SynchState {
  bool waiting = false;
  int status = STAT_ERROR;
  long reqid = 0;
  netsnmp_pdu* pdu = nullptr;
};

// Runs inside the library (under the lock) when an answer, a report, a time-out
// or a disconnect ends the request.
int SynchInput(int op, netsnmp_session* session, int reqid, netsnmp_pdu* pdu, void* magic) {
  auto* state = static_cast<SynchState*>(magic);
  if (reqid != state->reqid && pdu != nullptr && pdu->command != SNMP_MSG_REPORT) return 0;
  state->waiting = false;
  if (op == NETSNMP_CALLBACK_OP_RECEIVED_MESSAGE && pdu != nullptr) {
    if (pdu->command == SNMP_MSG_REPORT) {
      const int report = snmpv3_get_report_type(pdu);
      // The library answers a not-in-time-window report by resending with the
      // agent's clock; that resend is still ours to wait for.
      if (report == SNMPERR_NOT_IN_TIME_WINDOW) state->waiting = true;
      state->pdu = nullptr;
      state->status = STAT_ERROR;
      session->s_snmp_errno = report;
    } else if (pdu->command == SNMP_MSG_RESPONSE) {
      state->pdu = snmp_clone_pdu(pdu);
      state->status = state->pdu != nullptr ? STAT_SUCCESS : STAT_ERROR;
      session->s_snmp_errno = SNMPERR_SUCCESS;
    } else {
      state->status = STAT_ERROR;
      session->s_snmp_errno = SNMPERR_PROTOCOL;
      return 0;
    }
  } else if (op == NETSNMP_CALLBACK_OP_TIMED_OUT) {
    state->pdu = nullptr;
    state->status = STAT_TIMEOUT;
    session->s_snmp_errno = SNMPERR_TIMEOUT;
  } else if (op == NETSNMP_CALLBACK_OP_DISCONNECT) {
    state->pdu = nullptr;
    state->status = STAT_ERROR;
    session->s_snmp_errno = SNMPERR_ABORT;
  }
  return 1;
}

// The wait for one session's socket(s), without the lock.
class FdSet {
 public:
  FdSet() { netsnmp_large_fd_set_init(&set_, FD_SETSIZE); }
  ~FdSet() { netsnmp_large_fd_set_cleanup(&set_); }
  FdSet(const FdSet&) = delete;
  FdSet& operator=(const FdSet&) = delete;
  netsnmp_large_fd_set* get() { return &set_; }

 private:
  netsnmp_large_fd_set set_;
};

}  // namespace

void PduDeleter::operator()(netsnmp_pdu* pdu) const {
  Lock lock(SocketMutex());
  snmp_free_pdu(pdu);
}

std::unique_ptr<SnmpSession> SnmpSession::Open(netsnmp_session& prepared) {
  Lock lock(SocketMutex());
  void* handle = snmp_sess_open(&prepared);
  if (handle == nullptr) {
    // The library keeps the reason in its one error-detail buffer, where it
    // would be appended to the next error message of any session.
    snmp_api_errstring(prepared.s_snmp_errno);
    return nullptr;
  }
  if (netsnmp_session* opened = snmp_sess_session(handle);
      opened != nullptr && opened->version == SNMP_VERSION_3) {
    // The library would discover the engine ID inside the first request and wait
    // for it under our lock; SynchResponse does it first, without the lock.
    opened->flags |= SNMP_FLAGS_DONT_PROBE;
  }
  return std::unique_ptr<SnmpSession>(new SnmpSession(handle));
}

SnmpSession::~SnmpSession() {
  Close();
}

bool SnmpSession::WatchPortUnreachable() {
  if (handle_ == nullptr) return false;
  int fd = -1;
  {
    Lock lock(SocketMutex());
    if (const netsnmp_transport* transport = snmp_sess_transport(handle_)) fd = transport->sock;
  }
  if (fd < 0 || !QueueUdpErrors(fd, nullptr)) return false;
  watched_fd_ = fd;
  return true;
}

bool SnmpSession::Close() {
  if (handle_ == nullptr) return true;
  Lock lock(SocketMutex());
  const int closed = snmp_sess_close(handle_);
  handle_ = nullptr;
  watched_fd_ = -1;
  return closed != 0;
}

netsnmp_session* SnmpSession::session() const {
  if (handle_ == nullptr) return nullptr;
  Lock lock(SocketMutex());
  return snmp_sess_session(handle_);
}

PduPtr SnmpSession::Request(int command, const oid* name, std::size_t length) {
  Lock lock(SocketMutex());
  netsnmp_pdu* pdu = snmp_pdu_create(command);
  if (pdu != nullptr && snmp_add_null_var(pdu, name, length) == nullptr) {
    snmp_free_pdu(pdu);
    pdu = nullptr;
  }
  return PduPtr(pdu);
}

int SnmpSession::SynchResponse(PduPtr request, PduPtr& response, const std::stop_token& stop) {
  response.reset();
  if (handle_ == nullptr || request == nullptr) return STAT_ERROR;
  bool probe = false;
  {
    Lock lock(SocketMutex());
    netsnmp_session* ss = snmp_sess_session(handle_);
    probe = ss != nullptr && ss->version == SNMP_VERSION_3 && ss->securityEngineIDLen == 0;
  }
  // A failed discovery fails the request it came with; a device that never
  // answered the discovery is reported as silent, the same as for v1 and v2c.
  if (probe) {
    const int discovery = DiscoverEngineId(stop);
    if (discovery != STAT_SUCCESS) return discovery;
  }
  return Exchange(request.release(), response, stop);
}

int SnmpSession::Exchange(netsnmp_pdu* request, PduPtr& response, const std::stop_token& stop) {
  SynchState state;
  netsnmp_session* ss = nullptr;
  snmp_callback saved_callback = nullptr;
  void* saved_magic = nullptr;
  {
    Lock lock(SocketMutex());
    ss = snmp_sess_session(handle_);
    if (ss == nullptr) {
      snmp_free_pdu(request);
      return STAT_ERROR;
    }
    saved_callback = ss->callback;
    saved_magic = ss->callback_magic;
    ss->callback = SynchInput;
    ss->callback_magic = &state;
    const long reqid = request->reqid;
    if (snmp_sess_send(handle_, request) == 0) {
      snmp_free_pdu(request);
      state.status = STAT_ERROR;
    } else {
      state.waiting = true;
      state.reqid = reqid;
    }
  }

  FdSet fds;
  while (state.waiting) {
    if (stop.stop_requested()) {
      // Given up: the request stays outstanding until the session closes.
      Lock lock(SocketMutex());
      ss->s_snmp_errno = SNMPERR_ABORT;
      state.status = STAT_ERROR;
      break;
    }
    int numfds = 0;
    int block = NETSNMP_SNMPBLOCK;
    timeval timeout{};
    NETSNMP_LARGE_FD_ZERO(fds.get());
    {
      Lock lock(SocketMutex());
      snmp_sess_select_info2_flags(handle_, &numfds, fds.get(), &timeout, &block,
                                   NETSNMP_SELECT_NOALARMS);
      if (block == NETSNMP_SNMPBLOCK) {
        // Nothing outstanding any more: never wait without a limit.
        state.status = STAT_ERROR;
        break;
      }
    }
    // Waking before the library's time-out only makes snmp_sess_timeout find
    // nothing expired.
    if (stop.stop_possible() &&
        (timeout.tv_sec > 0 || timeout.tv_usec > kStopLatencyMicroseconds)) {
      timeout = timeval{0, kStopLatencyMicroseconds};
    }
    const int count = netsnmp_large_fd_set_select(numfds, fds.get(), nullptr, nullptr, &timeout);
    const int select_errno = errno;
    // A watched socket is readable for a queued error too: take the errors off
    // (the library would read the socket and block), and end at a refusal.
    if (count > 0 && watched_fd_ >= 0 && NETSNMP_LARGE_FD_ISSET(watched_fd_, fds.get())) {
      if (TakePortUnreachable(watched_fd_)) {
        port_unreachable_ = true;
        Lock lock(SocketMutex());
        ss->s_snmp_errno = SNMPERR_BAD_RECVFROM;
        state.status = STAT_ERROR;
        break;
      }
      if (!DatagramWaiting(watched_fd_)) continue;
    }
    Lock lock(SocketMutex());
    if (count > 0) {
      snmp_sess_read2(handle_, fds.get());
    } else if (count == 0) {
      snmp_sess_timeout(handle_);
    } else if (select_errno != EINTR) {
      snmp_set_detail(SystemErrorText(select_errno).c_str());
      ss->s_snmp_errno = SNMPERR_GENERR;
      state.status = STAT_ERROR;
      state.waiting = false;
    }
  }

  netsnmp_pdu* answer = nullptr;
  {
    Lock lock(SocketMutex());
    ss->callback = saved_callback;
    ss->callback_magic = saved_magic;
    if (state.status == STAT_SUCCESS) {
      answer = state.pdu;
    } else if (state.pdu != nullptr) {
      snmp_free_pdu(state.pdu);
    }
  }
  // Handed over outside the lock: the deleter takes it itself.
  response = PduPtr(answer);
  return state.status;
}

int SnmpSession::DiscoverEngineId(const std::stop_token& stop) {
  netsnmp_pdu* probe = nullptr;
  {
    Lock lock(SocketMutex());
    // The discovery request: a GET with no variables, no user and no
    // authentication; the agent answers with a report that carries its engine ID
    // and clock, which the library takes into the session and its engine cache.
    probe = snmp_pdu_create(SNMP_MSG_GET);
    if (probe == nullptr) return STAT_ERROR;
    probe->version = SNMP_VERSION_3;
    probe->securityName = strdup("");
    probe->securityNameLen = 0;
    probe->securityLevel = SNMP_SEC_LEVEL_NOAUTH;
    probe->securityModel = SNMP_SEC_MODEL_USM;
  }
  PduPtr answer;
  const int status = Exchange(probe, answer, stop);
  answer.reset();

  Lock lock(SocketMutex());
  netsnmp_session* ss = snmp_sess_session(handle_);
  if (ss == nullptr) return STAT_ERROR;
  if (stop.stop_requested()) {
    ss->s_snmp_errno = SNMPERR_ABORT;
    return STAT_ERROR;
  }
  switch (status) {
    case STAT_SUCCESS:
      ss->s_snmp_errno = SNMPERR_INVALID_MSG;  // a response where a report was due
      break;
    case STAT_ERROR:
      ss->s_snmp_errno = SNMPERR_UNKNOWN_ENG_ID;  // the expected report
      break;
    case STAT_TIMEOUT:
      ss->s_snmp_errno = SNMPERR_TIMEOUT;
      break;
    default:
      break;
  }
  if (ss->securityEngineIDLen == 0) return status == STAT_TIMEOUT ? STAT_TIMEOUT : STAT_ERROR;
  ss->s_snmp_errno = SNMPERR_SUCCESS;
  // With the engine known, the user's localized keys go into the user table. The
  // library keeps one entry per engine ID and user name for the whole process and
  // fills it only once, so an earlier session with other keys for the same
  // engine (an agent that answers on several addresses, each with its own
  // account) would decide this session's keys: the entry is made anew.
  if (ss->securityNameLen != 0) {
    if (usmUser* earlier =
            usm_get_user(ss->securityEngineID, ss->securityEngineIDLen, ss->securityName)) {
      usm_remove_user(earlier);  // returns the list's head, not the entry
      // Out of the list, so freeing it touches no neighbour.
      earlier->next = nullptr;
      earlier->prev = nullptr;
      usm_free_user(earlier);
    }
  }
  return create_user_from_session(ss) == SNMPERR_SUCCESS ? STAT_SUCCESS : STAT_ERROR;
}

SessionRecord::SessionRecord(SnmpVersion version, std::string peer, std::string community)
    : peer_(std::move(peer)), community_(std::move(community)) {
  {
    Lock lock(SocketMutex());
    snmp_sess_init(&record_);
  }
  record_.peername = peer_.data();
  switch (version) {
    case SnmpVersion::kV1:
      record_.version = SNMP_VERSION_1;
      break;
    case SnmpVersion::kV2c:
      record_.version = SNMP_VERSION_2c;
      break;
    case SnmpVersion::kV3:
      record_.version = SNMP_VERSION_3;
      return;
  }
  record_.community = reinterpret_cast<u_char*>(community_.data());
  record_.community_len = community_.size();
}

void SessionRecord::SetSecurityName(std::string user) {
  user_ = std::move(user);
  record_.securityName = user_.data();
  record_.securityNameLen = user_.size();
}

std::string SnmpSession::FailureText() {
  if (handle_ == nullptr) return {};
  Lock lock(SocketMutex());
  int system_errno = 0;
  int library_errno = 0;
  char* text = nullptr;
  snmp_sess_error(handle_, &system_errno, &library_errno, &text);
  const std::unique_ptr<char, decltype(&std::free)> owned(text, &std::free);
  return owned != nullptr ? std::string(owned.get()) : std::string();
}

void SnmpSession::PrintError(const char* program) {
  if (handle_ == nullptr) return;
  Lock lock(SocketMutex());
  if (netsnmp_session* ss = snmp_sess_session(handle_)) snmp_sess_perror(program, ss);
}

void PrintSessionError(const char* program, netsnmp_session& session) {
  Lock lock(SocketMutex());
  snmp_sess_perror(program, &session);
}

VariableView::VariableView(const netsnmp_variable_list& variable) {
  value.type = variable.type;
  switch (variable.type) {
    case ASN_INTEGER:
    case ASN_COUNTER:
    case ASN_GAUGE:
    case ASN_TIMETICKS:
    case ASN_UINTEGER:
      if (variable.val.integer != nullptr) value.integer = *variable.val.integer;
      break;
    case ASN_COUNTER64:
      if (variable.val.counter64 != nullptr) {
        value.counter64 =
            (static_cast<std::uint64_t>(variable.val.counter64->high & 0xFFFFFFFFu) << 32) |
            (variable.val.counter64->low & 0xFFFFFFFFu);
      }
      break;
    case ASN_OBJECT_ID:
      if (variable.val.objid != nullptr) {
        const std::size_t count = variable.val_len / sizeof(oid);
        oid_.reserve(count);
        for (std::size_t i = 0; i < count; ++i) {
          oid_.push_back(static_cast<std::uint32_t>(variable.val.objid[i]));
        }
        value.oid = oid_;
      }
      break;
    default:
      if (variable.val.string != nullptr) value.octets = {variable.val.string, variable.val_len};
      break;
  }
}

}  // namespace ordalen
