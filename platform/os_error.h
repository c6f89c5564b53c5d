// An environment failure as a value: the errno and a message that says what failed.
#pragma once

#include <string>

namespace ordalen {

struct OsError {
  int code = 0;         // errno
  std::string message;  // what failed, with strerror
};

// Whether the failure means the process lacks the right (EPERM, EACCES).
bool IsPermissionError(const OsError& error);

// "<what>: <strerror(code)>".
OsError MakeOsError(const std::string& what, int code);

}  // namespace ordalen
