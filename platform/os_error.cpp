#include "platform/os_error.h"

#include <cerrno>
#include <cstring>

namespace ordalen {

bool IsPermissionError(const OsError& error) {
  return error.code == EPERM || error.code == EACCES;
}

OsError MakeOsError(const std::string& what, int code) {
  char buf[256];
  // The GNU strerror_r returns the text (possibly not in buf); thread-safe either way.
  const char* text = strerror_r(code, buf, sizeof buf);
  return OsError{code, what + ": " + text};
}

}  // namespace ordalen
