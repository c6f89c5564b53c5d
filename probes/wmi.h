// A host's computer name through its remote management service (WS-Management
// over HTTP on TCP 5985, authenticated and sealed with NTLM), asked with the
// WQL query "Select Name from Win32_ComputerSystem" in namespace "root\cimv2".
//
// One connection attempt is one TCP connection holding one NTLM security
// context: WmiConnect authenticates the account with the first sealed request
// (which opens the query's enumeration), WmiQueryComputerName pulls the
// enumeration to its end and takes "Name" of the first object. Every step has
// a time limit. Account texts never reach the log, stderr or LastErrorText.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace ordalen {

inline constexpr std::uint16_t kWsmanPort = 5985;
inline constexpr std::chrono::milliseconds kWsmanConnectTimeout{3000};
// One request: sending it and receiving its whole answer.
inline constexpr std::chrono::milliseconds kWsmanRequestTimeout{10000};
// A whole query: the enumeration's every pull together.
inline constexpr std::chrono::milliseconds kWsmanQueryLimit{30000};
// What the service is asked to keep to (below the request time limit).
inline constexpr const char* kWsmanOperationTimeout = "PT8.000S";
inline constexpr std::size_t kWsmanMaxAnswerBytes = std::size_t{1024} * 1024;
inline constexpr int kWsmanMaxPulls = 16;

// Why the last attempt failed (WmiConnection::LastError).
enum WmiError : int {
  kWmiNoError = 0,
  kWmiNoMechanism,   // the NTLM mechanism is not installed
  kWmiBadAddress,    // the server text is not a dotted IPv4 address
  kWmiCredentials,   // the account texts cannot be used
  kWmiRefused,       // TCP connect refused (nothing listens on the port)
  kWmiConnect,       // TCP connect unreachable, timed out or failed otherwise
  kWmiTimeout,       // a request got no whole answer in time
  kWmiClosed,        // the service closed the connection
  kWmiProtocol,      // an answer that is not what the exchange expects
  kWmiAccessDenied,  // the service refused the account
  kWmiHttpStatus,    // an HTTP status other than the expected one
  kWmiSeal,          // sealing failed, or an answer's signature or layout is wrong
  kWmiFault,         // the service answered with a SOAP fault
  kWmiNotConnected,  // query without a connection
  kWmiNoName,        // no object, or its Name is missing, null or empty
};

struct WmiSession;  // the authenticated connection (one TCP connection, one security context)

// One connection attempt with one account. Owned by the scan worker on its stack.
struct WmiConnection {
  std::unique_ptr<WmiSession> Services;  // set when connected
  int LastError = kWmiNoError;           // a WmiError
  int LastHttpStatus = 0;                // the status that failed it (kWmiHttpStatus)
  std::string LastErrorText;             // details; never contains account texts

  WmiConnection();
  ~WmiConnection();
  WmiConnection(WmiConnection&&) noexcept;
  WmiConnection& operator=(WmiConnection&&) noexcept;
};

// Connects to `server` (dotted IPv4 text) with one account; 1 when the service
// accepted the account, 0 otherwise.
int WmiConnect(WmiConnection& connection, const std::string& server, const std::string& user,
               const std::string& password);

// Runs the computer-name query on a connected session; 1 and `name` when a
// non-empty name was read.
int WmiQueryComputerName(WmiConnection& connection, std::string& name);

// Closes the session (the TCP connection and the security context).
void WmiRelease(WmiConnection& connection);

// The kind of the last failure as a short fixed text for the scan log
// ("authentication refused", "connection refused", "HTTP status 500", ...).
// Holds neither account texts nor anything the peer sent.
std::string WmiFailureText(const WmiConnection& connection);

}  // namespace ordalen
