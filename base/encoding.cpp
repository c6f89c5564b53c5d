#include "base/encoding.h"

#include <cerrno>

namespace ordalen {
namespace {

// What iconv_open and iconv return on failure.
// NOLINTNEXTLINE(performance-no-int-to-ptr)
const iconv_t kNoDescriptor = reinterpret_cast<iconv_t>(-1);
constexpr std::size_t kIconvFailed = static_cast<std::size_t>(-1);

// Converts one CP932 character (1 or 2 bytes) at s[i]; returns bytes consumed, 0 on failure.
std::size_t DecodeOneCp932(IconvConverter& cv, std::string_view s, std::size_t i,
                           std::string& out) {
  for (std::size_t len = 1; len <= 2 && i + len <= s.size(); ++len) {
    cv.Reset();
    std::string one;
    if (cv.Convert(s.substr(i, len), one) == len) {
      out += one;
      return len;
    }
  }
  return 0;
}

}  // namespace

std::optional<Utf8Char> DecodeUtf8(std::string_view bytes) {
  if (bytes.empty()) return std::nullopt;
  const auto b0 = static_cast<unsigned char>(bytes[0]);
  if (b0 < 0x80) return Utf8Char{b0, 1};
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
    return std::nullopt;
  }
  if (len > bytes.size()) return std::nullopt;
  for (std::size_t k = 1; k < len; ++k) {
    const auto b = static_cast<unsigned char>(bytes[k]);
    if ((b & 0xC0) != 0x80) return std::nullopt;
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return std::nullopt;
  return Utf8Char{cp, len};
}

bool IsValidUtf8(std::string_view bytes) {
  for (std::size_t i = 0; i < bytes.size();) {
    const auto c = DecodeUtf8(bytes.substr(i));
    if (!c) return false;
    i += c->length;
  }
  return true;
}

std::optional<std::string> Cp932ToUtf8(std::string_view bytes) {
  IconvConverter cv("UTF-8", "CP932");
  if (!cv.ok()) return std::nullopt;
  std::string out;
  out.reserve(bytes.size() * 3 / 2);
  if (cv.Convert(bytes, out) != bytes.size() || !cv.Finish(out)) return std::nullopt;
  return out;
}

std::string ToUtf8Lenient(std::string_view bytes) {
  if (IsValidUtf8(bytes)) return std::string(bytes);
  IconvConverter cv("UTF-8", "CP932");
  std::string out;
  for (std::size_t i = 0; i < bytes.size();) {
    const auto b = static_cast<unsigned char>(bytes[i]);
    if (b < 0x80) {
      out.push_back(bytes[i++]);
      continue;
    }
    std::size_t n = cv.ok() ? DecodeOneCp932(cv, bytes, i, out) : 0;
    if (n == 0) {
      out.append(kUtf8Replacement);
      n = 1;
    }
    i += n;
  }
  return out;
}

IconvConverter::IconvConverter(const char* to, const char* from)
    : descriptor_(iconv_open(to, from)) {}

IconvConverter::~IconvConverter() {
  if (ok()) iconv_close(descriptor_);
}

bool IconvConverter::ok() const {
  return descriptor_ != kNoDescriptor;
}

std::size_t IconvConverter::Convert(std::string_view in, std::string& out) {
  char* next = const_cast<char*>(in.data());  // iconv's interface; it only reads
  std::size_t in_left = in.size();
  while (in_left > 0) {
    char buf[4096];
    char* o = buf;
    std::size_t out_left = sizeof buf;
    const std::size_t rc = iconv(descriptor_, &next, &in_left, &o, &out_left);
    const int failure = rc == kIconvFailed ? errno : 0;
    out.append(buf, sizeof buf - out_left);
    if (failure != 0 && failure != E2BIG) break;
  }
  return in.size() - in_left;
}

bool IconvConverter::Finish(std::string& out) {
  char buf[64];
  char* o = buf;
  std::size_t out_left = sizeof buf;
  if (iconv(descriptor_, nullptr, nullptr, &o, &out_left) == kIconvFailed) return false;
  out.append(buf, sizeof buf - out_left);
  return true;
}

void IconvConverter::Reset() {
  iconv(descriptor_, nullptr, nullptr, nullptr, nullptr);
}

}  // namespace ordalen
