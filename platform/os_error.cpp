#include "platform/os_error.h"

#include <cerrno>
#include <cstring>

namespace ordalen {

OsError MakeOsError(OsErrorKind kind, const std::string& what, int code) {
  return OsError{kind, code, what + ": " + SystemErrorText(code)};
}

std::string SystemErrorText(int code) {
  char buf[256];
  // The GNU strerror_r returns the text (possibly not in buf); thread-safe either way.
  return strerror_r(code, buf, sizeof buf);
}

bool IsPermissionError(const OsError& error) {
  return error.code == EPERM || error.code == EACCES;
}

}  // namespace ordalen
