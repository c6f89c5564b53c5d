// Test pieces for the remote-management client: byte/text helpers, SOAP
// answers as a service writes them, the accepting side of NTLM, and a scripted
// TCP peer on loopback.
#pragma once

#include <gssapi/gssapi.h>
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "probes/ntlm_auth.h"

namespace ordalen::test {

inline std::span<const std::uint8_t> Bytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}
inline std::string Text(std::span<const std::uint8_t> bytes) {
  return {bytes.begin(), bytes.end()};
}
// How often `what` occurs in `text` (overlaps counted).
std::size_t Count(const std::string& text, const std::string& what);

// A SOAP 1.2 envelope with the usual prefixes (s, a, n, w, xsi), a RelatesTo
// header and `body` inside s:Body.
std::string Envelope(const std::string& body, const std::string& relates_to = "uuid:1");
// A PullResponse with `items`, ending the sequence or giving context "ctx-2".
std::string PullEnvelope(const std::string& items, bool end = true);
// The text of the first element with this local name in a document we built
// ("<not well-formed>" when it does not parse).
std::string ElementText(const std::string& xml, const char* local_name);

#if defined(__SANITIZE_ADDRESS__)
// The NTLM plug-in's acceptor leaks a name when it takes credentials without
// one and a digest per account it checks: allocations made during those calls
// are not the test's own.
using PluginLeakScope = __lsan::ScopedDisabler;
#else
struct PluginLeakScope {};
#endif

// The accepting side of NTLM, as a service runs it; accounts come from the
// file that NTLM_USER_FILE names.
class TestAcceptor {
 public:
  TestAcceptor();
  [[nodiscard]] bool ready() const { return !GSS_ERROR(major_); }
  // GSS_S_COMPLETE, GSS_S_CONTINUE_NEEDED or an error.
  OM_uint32 Step(std::span<const std::uint8_t> in, std::vector<std::uint8_t>& out);
  // Signature and data, sealed (`conf`) or only signed.
  std::vector<std::uint8_t> Wrap(std::string_view plain, bool conf);
  std::optional<std::string> Unwrap(std::span<const std::uint8_t> sealed);

 private:
  OM_uint32 major_ = GSS_S_FAILURE;
  GssCred cred_;
  GssContext context_;
};

// A listener on 127.0.0.1:`port` whose first connection is handed to `script`
// on a thread of its own (`accept` false: nobody accepts). Stops (and joins)
// when destroyed.
class ScriptedPeer {
 public:
  ScriptedPeer(std::uint16_t port, std::function<void(int)> script, int backlog = 4,
               bool accept = true);
  ~ScriptedPeer();
  ScriptedPeer(const ScriptedPeer&) = delete;
  ScriptedPeer& operator=(const ScriptedPeer&) = delete;

  [[nodiscard]] bool ok() const { return ok_; }
  [[nodiscard]] int connections() const { return connections_; }
  [[nodiscard]] bool stopping() const { return stop_; }
  // Whether a connection waits in the accept queue (for a peer that does not accept).
  [[nodiscard]] bool PendingConnection() const;

  // Reads one request (head and Content-Length body); empty when none came in time.
  static std::string ReadRequest(int fd, std::chrono::milliseconds limit = std::chrono::seconds(5));
  static void Send(int fd, const std::string& text);

 private:
  void Run();

  std::function<void(int)> script_;
  int fd_ = -1;
  bool ok_ = false;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  std::thread thread_;
};

}  // namespace ordalen::test
