// HTTP/1.1 as a client reads it, without any I/O: the response head, a chunked
// body that may still be arriving, and the token of a Negotiate challenge;
// also the pieces of HTTP/1.1 text syntax (CR LF lines, decimal numbers,
// comma lists) that the sealed multipart body shares. Every parser takes bytes
// a peer sent, checks every bound and returns nothing for input it cannot use.
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

// ---- HTTP/1.1 text syntax ----

// The bytes as text (no copy).
std::string_view BytesAsText(std::span<const std::uint8_t> bytes);

// The line from `pos` up to its CR LF (without it), when it ends within
// `max_length` bytes; `pos` then moves past the CR LF.
std::optional<std::string_view> ReadCrLfLine(std::string_view text, std::size_t& pos,
                                             std::size_t max_length);

// Decimal text of one to 18 digits (no sign, no spaces).
std::optional<std::uint64_t> ParseDecimal(std::string_view text);

// `text` split at every `separator`, each piece trimmed (an empty text gives
// one empty piece).
std::vector<std::string_view> SplitTrimmed(std::string_view text, char separator);

}  // namespace ordalen
