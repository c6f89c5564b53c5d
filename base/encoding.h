// Text encodings met at the edges: files written on Japanese Windows (CP932,
// the Windows form of Shift_JIS) and bytes that peers send.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace ordalen {

bool IsValidUtf8(std::string_view bytes);

// CP932 bytes as UTF-8; nullopt when the bytes are not valid CP932.
std::optional<std::string> Cp932ToUtf8(std::string_view bytes);

// Text as UTF-8 whatever it came as: valid UTF-8 stays; otherwise CP932 where it
// decodes as such; a byte that fits neither becomes U+FFFD.
std::string ToUtf8Lenient(std::string_view bytes);

}  // namespace ordalen
