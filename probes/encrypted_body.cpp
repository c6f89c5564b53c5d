#include "probes/encrypted_body.h"

#include <cassert>
#include <string>

#include "base/byte_cursor.h"
#include "base/text.h"
#include "probes/http_response.h"

namespace ordalen {

namespace {

constexpr std::string_view kCrLf = "\r\n";

}  // namespace

bool IsEncryptedContentType(std::string_view content_type) {
  const auto params = SplitTrimmed(content_type, ';');
  if (!EqualsNoCase(params.front(), "multipart/encrypted")) return false;
  for (std::size_t i = 1; i < params.size(); ++i) {
    const std::size_t eq = params[i].find('=');
    if (eq == std::string_view::npos) continue;
    if (!EqualsNoCase(TrimSpace(params[i].substr(0, eq)), "protocol")) continue;
    std::string_view value = TrimSpace(params[i].substr(eq + 1));
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
      value = value.substr(1, value.size() - 2);
    return EqualsNoCase(value, kEncryptedProtocol);
  }
  return false;
}

std::vector<std::uint8_t> BuildEncryptedBody(std::span<const std::uint8_t> sealed) {
  assert(sealed.size() >= kSealSignatureBytes);
  const std::size_t original_length = sealed.size() - kSealSignatureBytes;
  std::string head = "--";
  head += kEncryptedBoundary;
  head += "\r\n\tContent-Type: ";
  head += kEncryptedProtocol;
  head += "\r\n\tOriginalContent: type=application/soap+xml;charset=UTF-8;Length=";
  head += std::to_string(original_length);
  head += "\r\n--";
  head += kEncryptedBoundary;
  head += "\r\n\tContent-Type: application/octet-stream\r\n";
  std::vector<std::uint8_t> out(head.begin(), head.end());
  const auto signature_length = static_cast<std::uint32_t>(kSealSignatureBytes);
  for (int shift = 0; shift < 32; shift += 8)
    out.push_back(static_cast<std::uint8_t>(signature_length >> shift));
  out.insert(out.end(), sealed.begin(), sealed.end());
  std::string tail = "--";
  tail += kEncryptedBoundary;
  tail += "--\r\n";
  out.insert(out.end(), tail.begin(), tail.end());
  return out;
}

std::optional<EncryptedBody> ParseEncryptedBody(std::span<const std::uint8_t> body) {
  constexpr std::size_t kMaxLine = 512;
  const std::string_view text = BytesAsText(body);
  const std::string delimiter = "--" + std::string(kEncryptedBoundary);
  std::size_t pos = 0;

  auto line = ReadCrLfLine(text, pos, kMaxLine);
  if (!line || *line != delimiter) return std::nullopt;

  // First part: what the sealed data holds.
  bool protocol_seen = false;
  std::optional<std::uint64_t> original_length;
  for (;;) {
    line = ReadCrLfLine(text, pos, kMaxLine);
    if (!line) return std::nullopt;
    if (*line == delimiter) break;
    const std::string_view header = TrimSpace(*line);
    if (header.empty()) continue;
    const std::size_t colon = header.find(':');
    if (colon == std::string_view::npos) return std::nullopt;
    const std::string_view name = TrimSpace(header.substr(0, colon));
    const std::string_view value = TrimSpace(header.substr(colon + 1));
    if (EqualsNoCase(name, "Content-Type")) {
      if (!EqualsNoCase(value, kEncryptedProtocol)) return std::nullopt;
      protocol_seen = true;
    } else if (EqualsNoCase(name, "OriginalContent")) {
      for (std::string_view param : SplitTrimmed(value, ';')) {
        const std::size_t eq = param.find('=');
        if (eq == std::string_view::npos) continue;
        if (!EqualsNoCase(TrimSpace(param.substr(0, eq)), "Length")) continue;
        original_length = ParseDecimal(TrimSpace(param.substr(eq + 1)));
        if (!original_length) return std::nullopt;
      }
    }
  }
  if (!protocol_seen || !original_length || *original_length > body.size()) return std::nullopt;

  // Second part: its one header line, then the signature length, signature and sealed data.
  line = ReadCrLfLine(text, pos, kMaxLine);
  if (!line) return std::nullopt;
  const std::string_view header = TrimSpace(*line);
  const std::size_t colon = header.find(':');
  if (colon == std::string_view::npos ||
      !EqualsNoCase(TrimSpace(header.substr(0, colon)), "Content-Type") ||
      !EqualsNoCase(TrimSpace(header.substr(colon + 1)), "application/octet-stream")) {
    return std::nullopt;
  }
  ByteCursor cursor(body);
  if (!cursor.Seek(pos)) return std::nullopt;
  const auto signature_length = cursor.U32Le();
  if (!signature_length || *signature_length != kSealSignatureBytes) return std::nullopt;
  const auto sealed =
      cursor.Bytes(kSealSignatureBytes + static_cast<std::size_t>(*original_length));
  if (!sealed) return std::nullopt;

  // The closing delimiter, with or without a line end before it.
  std::string_view rest = text.substr(cursor.position());
  if (rest.substr(0, 2) == kCrLf) rest.remove_prefix(2);
  const std::string closing = delimiter + "--";
  if (rest.substr(0, closing.size()) != closing) return std::nullopt;
  rest.remove_prefix(closing.size());
  if (!TrimSpace(rest).empty()) return std::nullopt;

  EncryptedBody out;
  out.original_length = static_cast<std::size_t>(*original_length);
  out.sealed = *sealed;
  return out;
}

}  // namespace ordalen
