// Bounds-checked reader over bytes a peer sent. Every read either succeeds or
// leaves the cursor failed; a failed cursor never reads again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace ordalen {

class ByteCursor {
 public:
  explicit ByteCursor(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

  [[nodiscard]] std::size_t position() const { return pos_; }
  [[nodiscard]] std::size_t remaining() const { return ok_ ? bytes_.size() - pos_ : 0; }
  [[nodiscard]] bool ok() const { return ok_; }

  std::optional<std::uint8_t> U8() {
    if (!Need(1)) return std::nullopt;
    return bytes_[pos_++];
  }
  std::optional<std::uint16_t> U16Be() {
    if (!Need(2)) return std::nullopt;
    const auto v = static_cast<std::uint16_t>((bytes_[pos_] << 8) | bytes_[pos_ + 1]);
    pos_ += 2;
    return v;
  }
  std::optional<std::uint32_t> U32Be() {
    if (!Need(4)) return std::nullopt;
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v = (v << 8) | bytes_[pos_ + i];
    pos_ += 4;
    return v;
  }
  std::optional<std::uint32_t> U32Le() {
    if (!Need(4)) return std::nullopt;
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | bytes_[pos_ + i];
    pos_ += 4;
    return v;
  }
  // The next n bytes, consumed.
  std::optional<std::span<const std::uint8_t>> Bytes(std::size_t n) {
    if (!Need(n)) return std::nullopt;
    auto out = bytes_.subspan(pos_, n);
    pos_ += n;
    return out;
  }
  bool Skip(std::size_t n) { return Bytes(n).has_value(); }
  // Moves to an absolute offset inside the data.
  bool Seek(std::size_t offset) {
    if (!ok_ || offset > bytes_.size()) return Fail();
    pos_ = offset;
    return true;
  }

 private:
  bool Need(std::size_t n) {
    if (!ok_ || n > bytes_.size() - pos_) return Fail();
    return true;
  }
  bool Fail() {
    ok_ = false;
    return false;
  }

  std::span<const std::uint8_t> bytes_;
  std::size_t pos_ = 0;
  bool ok_ = true;
};

}  // namespace ordalen
