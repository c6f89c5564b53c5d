// The sealed multipart body ("multipart/encrypted", protocol
// "application/HTTP-SPNEGO-session-encrypted") that carries one sealed SOAP
// message over HTTP, without any I/O. The parser takes bytes a peer sent,
// checks every bound and returns nothing for a body it cannot use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace ordalen {

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

}  // namespace ordalen
