#include "base/encoding.h"

#include <iconv.h>

#include <cerrno>
#include <vector>

namespace ordalen {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Length of the UTF-8 sequence starting at s[i], or 0 when it is not valid there.
std::size_t Utf8SequenceLength(std::string_view s, std::size_t i) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  if (b0 < 0x80) return 1;
  std::size_t len = 0;
  std::uint32_t min = 0;
  std::uint32_t cp = 0;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2, min = 0x80, cp = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3, min = 0x800, cp = b0 & 0x0F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4, min = 0x10000, cp = b0 & 0x07;
  } else {
    return 0;
  }
  if (i + len > s.size()) return 0;
  for (std::size_t k = 1; k < len; ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}

class Iconv {
 public:
  Iconv(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
  ~Iconv() {
    if (ok()) iconv_close(cd_);
  }
  Iconv(const Iconv&) = delete;
  Iconv& operator=(const Iconv&) = delete;
  // NOLINTNEXTLINE(performance-no-int-to-ptr): iconv's failure value
  [[nodiscard]] bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
  iconv_t get() const { return cd_; }

 private:
  iconv_t cd_;
};

// Converts one CP932 character (1 or 2 bytes) at s[i]; returns bytes consumed, 0 on failure.
std::size_t DecodeOneCp932(Iconv& cv, std::string_view s, std::size_t i, std::string& out) {
  for (std::size_t len = 1; len <= 2 && i + len <= s.size(); ++len) {
    iconv(cv.get(), nullptr, nullptr, nullptr, nullptr);
    char* in = const_cast<char*>(s.data() + i);
    std::size_t in_left = len;
    char buf[16];
    char* o = buf;
    std::size_t out_left = sizeof buf;
    if (iconv(cv.get(), &in, &in_left, &o, &out_left) != static_cast<std::size_t>(-1) &&
        in_left == 0) {
      out.append(buf, sizeof buf - out_left);
      return len;
    }
  }
  return 0;
}

}  // namespace

bool IsValidUtf8(std::string_view bytes) {
  for (std::size_t i = 0; i < bytes.size();) {
    const std::size_t n = Utf8SequenceLength(bytes, i);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

std::optional<std::string> Cp932ToUtf8(std::string_view bytes) {
  Iconv cv("UTF-8", "CP932");
  if (!cv.ok()) return std::nullopt;
  std::string out;
  out.reserve(bytes.size() * 3 / 2);
  char* in = const_cast<char*>(bytes.data());
  std::size_t in_left = bytes.size();
  std::vector<char> buf(bytes.size() * 3 + 16);
  char* o = buf.data();
  std::size_t out_left = buf.size();
  if (iconv(cv.get(), &in, &in_left, &o, &out_left) == static_cast<std::size_t>(-1))
    return std::nullopt;
  if (iconv(cv.get(), nullptr, nullptr, &o, &out_left) == static_cast<std::size_t>(-1))
    return std::nullopt;
  out.assign(buf.data(), buf.size() - out_left);
  return out;
}

std::string ToUtf8Lenient(std::string_view bytes) {
  if (IsValidUtf8(bytes)) return std::string(bytes);
  Iconv cv("UTF-8", "CP932");
  std::string out;
  for (std::size_t i = 0; i < bytes.size();) {
    const auto b = static_cast<unsigned char>(bytes[i]);
    if (b < 0x80) {
      out.push_back(bytes[i++]);
      continue;
    }
    std::size_t n = cv.ok() ? DecodeOneCp932(cv, bytes, i, out) : 0;
    if (n == 0) {
      out.append(kReplacement);
      n = 1;
    }
    i += n;
  }
  return out;
}

}  // namespace ordalen
