// Text renderings of SNMP values: the manager path's rule (FormatValue), the
// library path's rule (FormatVariable), and the pieces both share. They differ
// on purpose (snmp/README.md).
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace ordalen {

// ASN.1 / SNMP type tags as they arrive on the wire.
inline constexpr std::uint8_t kTypeInteger = 0x02;
inline constexpr std::uint8_t kTypeBitString = 0x03;
inline constexpr std::uint8_t kTypeOctetString = 0x04;
inline constexpr std::uint8_t kTypeNull = 0x05;
inline constexpr std::uint8_t kTypeObjectId = 0x06;
inline constexpr std::uint8_t kTypeIpAddress = 0x40;
inline constexpr std::uint8_t kTypeCounter32 = 0x41;
inline constexpr std::uint8_t kTypeGauge32 = 0x42;
inline constexpr std::uint8_t kTypeTimeTicks = 0x43;
inline constexpr std::uint8_t kTypeOpaque = 0x44;
inline constexpr std::uint8_t kTypeCounter64 = 0x46;
inline constexpr std::uint8_t kTypeUInteger32 = 0x47;
inline constexpr std::uint8_t kTypeNoSuchObject = 0x80;
inline constexpr std::uint8_t kTypeNoSuchInstance = 0x81;
inline constexpr std::uint8_t kTypeEndOfMibView = 0x82;

// One received value, borrowed from the answer that holds it.
struct SnmpValueView {
  std::uint8_t type = kTypeNull;
  // INTEGER (signed) and the unsigned 32-bit types.
  std::int64_t integer = 0;
  std::uint64_t counter64 = 0;
  // OCTET STRING, BIT STRING, IpAddress, Opaque.
  std::span<const std::uint8_t> octets;
  // OBJECT IDENTIFIER sub-identifiers.
  std::span<const std::uint32_t> oid;
};

// The manager path's rendering (walk and way A's GET).
std::string FormatValue(const SnmpValueView& value);

// The library path's rendering (ways B and C, the single-device mode).
std::string FormatVariable(const SnmpValueView& value);

// Every octet as two lower-case hex digits, joined by ":"; no octets give "".
std::string HexOctets(std::span<const std::uint8_t> octets);

// Base64 in the line layout of the platform's binary-to-text call: 64-character
// lines, each (the last one too) ending in CR LF; no octets give "".
std::string Base64Lines(std::span<const std::uint8_t> octets);

// Whether an octet string counts as binary: any control character other than
// NUL, LF and CR.
bool HasControlOctet(std::span<const std::uint8_t> octets);

}  // namespace ordalen
