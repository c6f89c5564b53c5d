// A host's computer name through its remote management service (WS-Management
// over HTTP on TCP 5985, authenticated and sealed with NTLM), asked with the
// WQL query "Select Name from Win32_ComputerSystem" in namespace "root\cimv2".
#pragma once

#include <memory>
#include <string>

namespace ordalen {

struct WmiSession;  // the authenticated connection (one TCP connection, one security context)

// One connection attempt with one account. Owned by the scan worker on its stack.
struct WmiConnection {
  std::unique_ptr<WmiSession> Services;  // set when connected
  int LastError = 0;                     // cause of the last failure, kept for diagnostics only
  std::string LastErrorText;             // never contains account texts

  WmiConnection();
  ~WmiConnection();
  WmiConnection(WmiConnection&&) noexcept;
  WmiConnection& operator=(WmiConnection&&) noexcept;
};

// Connects to `server` (dotted IPv4 text) with one account; 1 when connected.
int WmiConnect(WmiConnection& connection, const std::string& server, const std::string& user,
               const std::string& password);

// Runs the computer-name query on a connected session; 1 and `name` when a
// non-empty name was read.
int WmiQueryComputerName(WmiConnection& connection, std::string& name);

// Closes the session (the TCP connection and the security context).
void WmiRelease(WmiConnection& connection);

}  // namespace ordalen
