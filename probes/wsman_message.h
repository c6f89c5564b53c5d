// The messages of the remote management exchange, without any I/O: HTTP/1.1
// response heads and bodies, the Negotiate header tokens, the sealed
// multipart body, and the SOAP enumeration requests and answers. Every parser
// takes bytes a peer sent, checks every bound and returns nothing for input it
// cannot use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace ordalen {

// ---- HTTP/1.1 ----

inline constexpr std::size_t kMaxHttpHeadBytes = std::size_t{16} * 1024;
inline constexpr std::size_t kMaxHttpHeaders = 64;

struct HttpResponseHead {
  int version_minor = 1;  // HTTP/1.<minor>
  int status = 0;
  std::vector<std::pair<std::string, std::string>> headers;  // name as sent, value trimmed

  // Values of every header named `name` (case-insensitive), in order.
  [[nodiscard]] std::vector<std::string_view> Values(std::string_view name) const;
  // The body length from Content-Length; nullopt when absent. `valid` turns
  // false for a malformed or conflicting length.
  [[nodiscard]] std::optional<std::uint64_t> ContentLength(bool& valid) const;
  // Transfer-Encoding ends in "chunked".
  [[nodiscard]] bool Chunked() const;
  // The connection ends after this response (Connection: close, or HTTP/1.0
  // without keep-alive).
  [[nodiscard]] bool ClosesConnection() const;
};

// Offset just past the blank line that ends the head ("\r\n\r\n"), when the
// bytes hold a whole head.
std::optional<std::size_t> FindHttpHeadEnd(std::span<const std::uint8_t> bytes);

// Parses a response head (status line and header lines, up to and including the
// blank line or without it).
std::optional<HttpResponseHead> ParseHttpResponseHead(std::string_view head);

// Decoding a chunked body that may still be arriving.
struct ChunkedBody {
  enum class State { kIncomplete, kComplete, kMalformed };
  State state = State::kIncomplete;
  std::vector<std::uint8_t> body;  // the decoded body (kComplete)
  std::size_t consumed = 0;        // bytes of input that made up the body and its trailer
};
ChunkedBody DecodeChunked(std::span<const std::uint8_t> bytes, std::size_t max_body);

// The token of the first "Negotiate" challenge among the WWW-Authenticate
// values (a response may carry several headers, each possibly listing several
// challenges). Empty vector for a bare "Negotiate"; nullopt when there is no
// Negotiate challenge or its token is not valid base64.
std::optional<std::vector<std::uint8_t>> NegotiateToken(const HttpResponseHead& head);

// ---- Sealed bodies ----

inline constexpr std::string_view kEncryptedProtocol = "application/HTTP-SPNEGO-session-encrypted";
inline constexpr std::string_view kEncryptedBoundary = "Encrypted Boundary";
inline constexpr std::string_view kEncryptedContentType =
    "multipart/encrypted;protocol=\"application/"
    "HTTP-SPNEGO-session-encrypted\";boundary=\"Encrypted Boundary\"";
inline constexpr std::size_t kSealSignatureBytes = 16;

// Whether a Content-Type value announces a sealed body of this protocol.
bool IsEncryptedContentType(std::string_view content_type);

// The multipart body for one sealed message: `sealed` is the signature
// (kSealSignatureBytes) followed by the sealed data, which is as long as the
// original SOAP text.
std::vector<std::uint8_t> BuildEncryptedBody(std::span<const std::uint8_t> sealed);

struct EncryptedBody {
  std::size_t original_length = 0;       // OriginalContent Length
  std::span<const std::uint8_t> sealed;  // signature followed by the sealed data
};
// Parses a sealed multipart body; the signature length must be
// kSealSignatureBytes and the sealed data exactly as long as the original text.
std::optional<EncryptedBody> ParseEncryptedBody(std::span<const std::uint8_t> body);

// ---- SOAP enumeration of the computer-name query ----

inline constexpr std::string_view kWmiResourceUri =
    "http://schemas.microsoft.com/wbem/wsman/1/wmi/root/cimv2/*";
inline constexpr std::string_view kWqlDialect = "http://schemas.microsoft.com/wbem/wsman/1/WQL";
inline constexpr std::string_view kComputerNameQuery = "Select Name from Win32_ComputerSystem";
inline constexpr int kPullMaxElements = 32;

// `to` is the service address ("http://10.0.0.1:5985/wsman"); `message_id` a
// "uuid:..." text; `operation_timeout` an xs:duration ("PT8.000S").
std::string BuildEnumerateRequest(std::string_view to, std::string_view message_id,
                                  std::string_view operation_timeout);
std::string BuildPullRequest(std::string_view to, std::string_view message_id,
                             std::string_view operation_timeout,
                             std::string_view enumeration_context);

// What an EnumerateResponse or PullResponse (or a fault instead) says.
struct EnumerationAnswer {
  bool fault = false;
  std::string fault_text;  // the fault's reason text (diagnostics only)
  std::string relates_to;  // the message it answers
  std::string context;     // enumeration context to pull with
  bool end_of_sequence = false;
  std::size_t item_count = 0;  // items in this answer
  // "Name" of the first item of this answer; nullopt when there is no item or
  // the first item has no usable Name (missing, nil, empty).
  std::optional<std::string> first_name;
};
std::optional<EnumerationAnswer> ParseEnumerationAnswer(std::string_view xml);

// A computer name is usable when it is non-empty, at most kMaxComputerNameBytes
// long and holds no control characters (it goes into console and log lines).
inline constexpr std::size_t kMaxComputerNameBytes = 255;
bool UsableComputerName(std::string_view name);

// Escapes &, <, >, " and ' for XML text and attribute values.
std::string XmlEscape(std::string_view text);

}  // namespace ordalen
