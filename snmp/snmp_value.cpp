#include "snmp/snmp_value.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "base/base64.h"

namespace ordalen {
namespace {

constexpr std::size_t kManagerTextLimit = 256;
constexpr std::size_t kBase64LineLength = 64;

bool IsUnsigned32Type(std::uint8_t type) {
  return type == kTypeCounter32 || type == kTypeGauge32 || type == kTypeTimeTicks ||
         type == kTypeUInteger32;
}

std::string SignedText(std::int64_t value) {
  // INTEGER is a 32-bit signed value on the wire.
  return std::to_string(static_cast<std::int32_t>(value));
}

std::string UnsignedText(std::int64_t value) {
  return std::to_string(static_cast<std::uint32_t>(value));
}

std::string IpAddressText(std::span<const std::uint8_t> octets) {
  if (octets.size() != 4) return {};
  char text[16];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", octets[0], octets[1], octets[2], octets[3]);
  return text;
}

// The octets up to the first NUL (all of them when there is none).
std::string_view UpToNul(std::span<const std::uint8_t> octets) {
  const auto nul = std::find(octets.begin(), octets.end(), std::uint8_t{0});
  return {reinterpret_cast<const char*>(octets.data()),
          static_cast<std::size_t>(nul - octets.begin())};
}

}  // namespace

bool HasControlOctet(std::span<const std::uint8_t> octets) {
  return std::any_of(octets.begin(), octets.end(), [](std::uint8_t b) {
    return b >= 0x01 && b <= 0x1F && b != 0x0A && b != 0x0D;
  });
}

std::string HexOctets(std::span<const std::uint8_t> octets) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(octets.size() * 3);
  for (std::size_t i = 0; i < octets.size(); ++i) {
    if (i != 0) text += ':';
    text += kDigits[octets[i] >> 4];
    text += kDigits[octets[i] & 0x0F];
  }
  return text;
}

std::string Base64Lines(std::span<const std::uint8_t> octets) {
  const std::string body = Base64Encode(octets);
  std::string text;
  text.reserve(body.size() + (body.size() / kBase64LineLength + 1) * 2);
  for (std::size_t i = 0; i < body.size(); i += kBase64LineLength) {
    text.append(body, i, kBase64LineLength);
    text += "\r\n";
  }
  return text;
}

std::string FormatValue(const SnmpValueView& value) {
  switch (value.type) {
    case kTypeInteger:
      return SignedText(value.integer);
    case kTypeBitString:
      return HexOctets(value.octets);
    case kTypeOctetString: {
      const auto octets = value.octets;
      if (octets.empty()) return {};
      if (HasControlOctet(octets)) return Base64Lines(octets);
      const std::string_view text = UpToNul(octets);
      // A string may end in one NUL; a NUL anywhere before that is not text.
      if (text.size() != octets.size() && text.size() != octets.size() - 1) return "invalid length";
      return std::string(text.substr(0, kManagerTextLimit));
    }
    case kTypeIpAddress:
      return IpAddressText(value.octets);
    case kTypeCounter64:
      return std::to_string(value.counter64);
    default:
      return IsUnsigned32Type(value.type) ? UnsignedText(value.integer) : std::string();
  }
}

std::string FormatVariable(const SnmpValueView& value) {
  switch (value.type) {
    case kTypeInteger:
      return SignedText(value.integer);
    case kTypeBitString:
      return HexOctets(value.octets);
    case kTypeOctetString:
      if (HasControlOctet(value.octets)) return Base64Lines(value.octets);
      return std::string(UpToNul(value.octets));
    case kTypeIpAddress:
      return IpAddressText(value.octets);
    case kTypeCounter64:
      return std::to_string(value.counter64);
    case kTypeObjectId: {
      std::string text;
      for (const std::uint32_t id : value.oid) {
        if (id == 0) break;
        if (!text.empty()) text += '.';
        text += std::to_string(id);
      }
      return text;
    }
    default:
      return IsUnsigned32Type(value.type) ? UnsignedText(value.integer) : std::string();
  }
}

}  // namespace ordalen
