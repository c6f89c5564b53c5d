// NTLM authentication and message sealing through GSSAPI, with the NTLM
// mechanism (1.3.6.1.4.1.311.2.2.10) that the gss-ntlmssp plug-in provides.
// Every GSSAPI object is owned by a unique_ptr with its release call.
#pragma once

#include <gssapi/gssapi.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace ordalen {

struct GssNameDeleter {
  void operator()(gss_name_t name) const;
};
using GssName = std::unique_ptr<std::remove_pointer_t<gss_name_t>, GssNameDeleter>;

struct GssCredDeleter {
  void operator()(gss_cred_id_t cred) const;
};
using GssCred = std::unique_ptr<std::remove_pointer_t<gss_cred_id_t>, GssCredDeleter>;

struct GssContextDeleter {
  void operator()(gss_ctx_id_t context) const;
};
using GssContext = std::unique_ptr<std::remove_pointer_t<gss_ctx_id_t>, GssContextDeleter>;

// A buffer the GSSAPI library filled in; released with it.
class GssBuffer {
 public:
  GssBuffer() = default;
  ~GssBuffer();
  GssBuffer(const GssBuffer&) = delete;
  GssBuffer& operator=(const GssBuffer&) = delete;
  gss_buffer_t get() { return &desc_; }
  [[nodiscard]] std::span<const std::uint8_t> bytes() const {
    return {static_cast<const std::uint8_t*>(desc_.value), desc_.length};
  }

 private:
  gss_buffer_desc desc_{0, nullptr};
};

// The NTLM mechanism OID.
gss_OID NtlmMechanism();

// Whether the NTLM mechanism is installed. The first call in the process
// checks; when it is missing that call writes one clear line to stderr and to
// the scan log. Later calls only return the answer.
bool NtlmMechanismAvailable();

// Diagnostic text of a GSSAPI failure: the major status text and the minor
// code. Never holds account texts.
std::string GssStatusText(OM_uint32 major, OM_uint32 minor);

// The client side of one NTLM exchange and the sealing of the messages that
// follow it. Sealing keeps per-direction sequence numbers, so every message is
// sealed and unsealed exactly once, in the order it travels.
class NtlmInitiator {
 public:
  // Acquires credentials for the account (user as "name", "DOMAIN\name" or
  // "name@domain") and makes the first token (NEGOTIATE). `service_host` names
  // the server ("HTTP@<host>").
  bool Start(std::string_view user, const std::string& password, std::string_view service_host,
             std::vector<std::uint8_t>& token);
  // Takes the server's CHALLENGE and makes the AUTHENTICATE token. The context
  // is then complete; false also when the server did not agree to sealing.
  bool Continue(std::span<const std::uint8_t> challenge, std::vector<std::uint8_t>& token);
  [[nodiscard]] bool Complete() const { return complete_; }

  // Signature (16 bytes) followed by the sealed data.
  std::optional<std::vector<std::uint8_t>> Seal(std::span<const std::uint8_t> plain);
  // Checks the signature and unseals; refuses messages that were only signed.
  std::optional<std::vector<std::uint8_t>> Unseal(std::span<const std::uint8_t> sealed);

  [[nodiscard]] const std::string& error_text() const { return error_text_; }

 private:
  bool Step(std::span<const std::uint8_t> input, std::vector<std::uint8_t>& token);
  bool Fail(const char* what, OM_uint32 major, OM_uint32 minor);

  GssCred cred_;
  GssName target_;
  GssContext context_;
  bool complete_ = false;
  std::string error_text_;
};

}  // namespace ordalen
