// An operating-system failure as a value: the errno and what failed.
#pragma once

#include <string>

namespace ordalen {

struct OsError {
  int code = 0;         // errno
  std::string message;  // what failed, with strerror
};

}  // namespace ordalen
