#include "probes/http_response.h"

#include "base/base64.h"
#include "base/text.h"

namespace ordalen {

namespace {

constexpr std::string_view kCrLf = "\r\n";

bool IsTokenChar(char c) {
  if (c >= 'a' && c <= 'z') return true;
  if (c >= 'A' && c <= 'Z') return true;
  if (c >= '0' && c <= '9') return true;
  return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool AllDigits(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

}  // namespace

// ---- HTTP/1.1 text syntax ----

std::string_view BytesAsText(std::span<const std::uint8_t> bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

std::optional<std::string_view> ReadCrLfLine(std::string_view text, std::size_t& pos,
                                             std::size_t max_length) {
  const std::size_t end = text.find(kCrLf, pos);
  if (end == std::string_view::npos || end - pos > max_length) return std::nullopt;
  const std::string_view line = text.substr(pos, end - pos);
  pos = end + kCrLf.size();
  return line;
}

std::optional<std::uint64_t> ParseDecimal(std::string_view text) {
  if (!AllDigits(text) || text.size() > 18) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : text) value = value * 10 + static_cast<std::uint64_t>(c - '0');
  return value;
}

std::vector<std::string_view> SplitTrimmed(std::string_view text, char separator) {
  std::vector<std::string_view> pieces;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = text.find(separator, start);
    pieces.push_back(
        TrimSpace(text.substr(start, end == std::string_view::npos ? end : end - start)));
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return pieces;
}

// ---- Response heads ----

std::vector<std::string_view> HttpResponseHead::Values(std::string_view name) const {
  std::vector<std::string_view> values;
  for (const auto& [key, value] : headers) {
    if (EqualsNoCase(key, name)) values.emplace_back(value);
  }
  return values;
}

std::optional<std::uint64_t> HttpResponseHead::ContentLength(bool& valid) const {
  valid = true;
  std::optional<std::uint64_t> length;
  for (std::string_view value : Values("Content-Length")) {
    // A list "n, n" of equal values is allowed; anything else is not.
    for (std::string_view piece : SplitTrimmed(value, ',')) {
      const auto parsed = ParseDecimal(piece);
      if (!parsed || (length && *length != *parsed)) {
        valid = false;
        return std::nullopt;
      }
      length = parsed;
    }
  }
  return length;
}

bool HttpResponseHead::Chunked() const {
  const auto values = Values("Transfer-Encoding");
  if (values.empty()) return false;
  const auto codings = SplitTrimmed(values.back(), ',');
  return EqualsNoCase(codings.back(), "chunked");
}

bool HttpResponseHead::ClosesConnection() const {
  bool close = false;
  bool keep_alive = false;
  for (std::string_view value : Values("Connection")) {
    for (std::string_view option : SplitTrimmed(value, ',')) {
      if (EqualsNoCase(option, "close")) close = true;
      if (EqualsNoCase(option, "keep-alive")) keep_alive = true;
    }
  }
  if (close) return true;
  return version_minor == 0 && !keep_alive;
}

std::optional<std::size_t> FindHttpHeadEnd(std::span<const std::uint8_t> bytes) {
  const std::string_view text = BytesAsText(bytes);
  const std::size_t at = text.find("\r\n\r\n");
  if (at == std::string_view::npos) return std::nullopt;
  return at + 4;
}

std::optional<HttpResponseHead> ParseHttpResponseHead(std::string_view head) {
  if (head.size() > kMaxHttpHeadBytes) return std::nullopt;
  HttpResponseHead out;
  std::size_t pos = 0;
  const auto status_line = ReadCrLfLine(head, pos, kMaxHttpHeadBytes);
  if (!status_line) return std::nullopt;
  // "HTTP/1.1 200 OK" (the reason phrase may be empty or missing).
  const std::string_view line = *status_line;
  if (line.size() < 12 || line.substr(0, 7) != "HTTP/1." || line[8] != ' ') return std::nullopt;
  if (line[7] != '0' && line[7] != '1') return std::nullopt;
  out.version_minor = line[7] - '0';
  const std::string_view code = line.substr(9, 3);
  if (!AllDigits(code) || (line.size() > 12 && line[12] != ' ')) return std::nullopt;
  out.status = (code[0] - '0') * 100 + (code[1] - '0') * 10 + (code[2] - '0');
  if (out.status < 100) return std::nullopt;

  for (;;) {
    if (pos == head.size()) break;  // head given without its blank line
    const auto header_line = ReadCrLfLine(head, pos, kMaxHttpHeadBytes);
    if (!header_line) return std::nullopt;
    if (header_line->empty()) break;
    const std::size_t colon = header_line->find(':');
    if (colon == 0 || colon == std::string_view::npos) return std::nullopt;
    const std::string_view name = header_line->substr(0, colon);
    for (char c : name) {
      if (!IsTokenChar(c)) return std::nullopt;  // also refuses folded continuation lines
    }
    const std::string_view value = TrimSpace(header_line->substr(colon + 1));
    for (char c : value) {
      const auto u = static_cast<unsigned char>(c);
      if ((u < 0x20 && c != '\t') || u == 0x7F) return std::nullopt;
    }
    if (out.headers.size() == kMaxHttpHeaders) return std::nullopt;
    out.headers.emplace_back(std::string(name), std::string(value));
  }
  return out;
}

// ---- Chunked bodies ----

ChunkedBody DecodeChunked(std::span<const std::uint8_t> bytes, std::size_t max_body) {
  constexpr std::size_t kMaxLine = 1024;
  ChunkedBody out;
  const std::string_view text = BytesAsText(bytes);
  std::size_t pos = 0;
  auto fail = [&out] {
    out.state = ChunkedBody::State::kMalformed;
    out.body.clear();
    return out;
  };
  for (;;) {
    const std::size_t line_end = text.find(kCrLf, pos);
    if (line_end == std::string_view::npos) {
      if (text.size() - pos > kMaxLine) return fail();
      out.body.clear();
      return out;  // incomplete
    }
    if (line_end - pos > kMaxLine) return fail();
    std::string_view size_text = text.substr(pos, line_end - pos);
    size_text =
        TrimSpace(size_text.substr(0, size_text.find(';')));  // chunk extensions are ignored
    if (size_text.empty() || size_text.size() > 15) return fail();
    std::uint64_t size = 0;
    for (char c : size_text) {
      int digit;
      if (c >= '0' && c <= '9') {
        digit = c - '0';
      } else if (c >= 'a' && c <= 'f') {
        digit = c - 'a' + 10;
      } else if (c >= 'A' && c <= 'F') {
        digit = c - 'A' + 10;
      } else {
        return fail();
      }
      size = size * 16 + static_cast<std::uint64_t>(digit);
    }
    pos = line_end + kCrLf.size();
    if (size == 0) {
      // Trailer lines up to the blank line.
      for (;;) {
        const std::size_t end = text.find(kCrLf, pos);
        if (end == std::string_view::npos) {
          if (text.size() - pos > kMaxLine) return fail();
          out.body.clear();
          return out;
        }
        if (end - pos > kMaxLine) return fail();
        const bool blank = end == pos;
        pos = end + kCrLf.size();
        if (blank) {
          out.state = ChunkedBody::State::kComplete;
          out.consumed = pos;
          return out;
        }
      }
    }
    if (size > max_body - out.body.size()) return fail();
    if (text.size() - pos < size + kCrLf.size()) {
      out.body.clear();
      return out;  // incomplete
    }
    out.body.insert(out.body.end(), bytes.begin() + static_cast<std::ptrdiff_t>(pos),
                    bytes.begin() + static_cast<std::ptrdiff_t>(pos + size));
    pos += size;
    if (text.substr(pos, kCrLf.size()) != kCrLf) return fail();
    pos += kCrLf.size();
  }
}

std::optional<std::vector<std::uint8_t>> NegotiateToken(const HttpResponseHead& head) {
  for (std::string_view value : head.Values("WWW-Authenticate")) {
    for (std::string_view challenge : SplitTrimmed(value, ',')) {
      const std::size_t space = challenge.find_first_of(" \t");
      const std::string_view scheme = challenge.substr(0, space);
      if (!EqualsNoCase(scheme, "Negotiate")) continue;
      if (space == std::string_view::npos) return std::vector<std::uint8_t>{};
      return Base64Decode(TrimSpace(challenge.substr(space)));
    }
  }
  return std::nullopt;
}

}  // namespace ordalen
