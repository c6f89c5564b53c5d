// The one process-wide mutex that serialises socket set-up in the NetBIOS query
// and session open/close in the SNMP library code.
#pragma once

#include <mutex>

namespace ordalen {

inline std::mutex& SocketMutex() {
  static std::mutex mutex;
  return mutex;
}

}  // namespace ordalen
