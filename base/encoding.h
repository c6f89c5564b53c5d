// Text encodings met at the edges: files written on Japanese Windows (CP932,
// the Windows form of Shift_JIS) and bytes that peers send.
#pragma once

#include <iconv.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ordalen {

// U+FFFD REPLACEMENT CHARACTER in UTF-8: what stands for bytes that cannot be read.
inline constexpr std::string_view kUtf8Replacement = "\xEF\xBF\xBD";

// One well-formed UTF-8 sequence: its code point and its length in bytes.
struct Utf8Char {
  std::uint32_t code_point = 0;
  std::size_t length = 0;
};

// The UTF-8 sequence at the front of `bytes`; nullopt when it is not well-formed
// there: a continuation or never-used lead byte, a sequence cut short, an
// overlong form, a surrogate (U+D800..U+DFFF) or a code point past U+10FFFF.
std::optional<Utf8Char> DecodeUtf8(std::string_view bytes);

bool IsValidUtf8(std::string_view bytes);

// CP932 bytes as UTF-8; nullopt when the bytes are not valid CP932.
std::optional<std::string> Cp932ToUtf8(std::string_view bytes);

// Text as UTF-8 whatever it came as: valid UTF-8 stays; otherwise CP932 where it
// decodes as such; a byte that fits neither becomes U+FFFD.
std::string ToUtf8Lenient(std::string_view bytes);

// One conversion of the system's iconv from one encoding to another, closed
// when destroyed. Not for use by two threads at once.
class IconvConverter {
 public:
  IconvConverter(const char* to, const char* from);
  ~IconvConverter();
  IconvConverter(const IconvConverter&) = delete;
  IconvConverter& operator=(const IconvConverter&) = delete;

  // False when the system cannot convert between the two encodings; then
  // nothing else may be called.
  [[nodiscard]] bool ok() const;

  // Converts `in` from its front, appending to `out`, up to its end or the first
  // sequence it cannot convert (malformed, cut short by the end of `in`, or
  // without a form in the target encoding). Returns the bytes of `in` taken:
  // fewer than in.size() when it stopped at such a sequence.
  std::size_t Convert(std::string_view in, std::string& out);

  // Appends what ends the output (a stateful target's return to its initial
  // shift state); false on failure.
  bool Finish(std::string& out);

  // Back to the initial state: a conversion that stopped may go on from here.
  void Reset();

 private:
  iconv_t descriptor_;
};

}  // namespace ordalen
