// An environment failure as a value: which kind of call failed, its errno, and
// a message that says what failed. A platform call that fails says why in one
// of these; "no answer" (no reply, a port that refuses) stays an optional or a
// bool.
#pragma once

#include <string>

namespace ordalen {

// The kind of call that failed.
enum class OsErrorKind {
  kNone,          // nothing failed
  kOpen,          // open, creating a file
  kRead,          // read, fstat; reading a file that is not a regular one
  kWrite,         // write
  kSync,          // fsync
  kClose,         // close
  kRename,        // rename, renameat2, link
  kLock,          // flock
  kSocket,        // socket
  kSocketOption,  // setsockopt
  kBind,          // bind
  kLocalAddress,  // getsockname
  kConnect,       // connect, and the outcome of a non-blocking connect
  kSend,          // send, sendto
  kReceive,       // recv, recvfrom, recvmmsg
  kWait,          // poll, and a deadline that passed while waiting (ETIMEDOUT)
  kInterfaces,    // getifaddrs
};

struct OsError {
  OsErrorKind kind = OsErrorKind::kNone;
  int code = 0;         // errno
  std::string message;  // "<what>: <system text>"
};

// "<what>: <SystemErrorText(code)>".
OsError MakeOsError(OsErrorKind kind, const std::string& what, int code);

// The system's message for an errno value; thread-safe.
std::string SystemErrorText(int code);

// Whether the failure means the process lacks the right (EPERM, EACCES).
bool IsPermissionError(const OsError& error);

}  // namespace ordalen
