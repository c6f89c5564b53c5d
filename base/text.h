// Small text helpers shared by every layer. Internal text is UTF-8 (or raw bytes a peer sent).
#pragma once

#include <cstdarg>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace ordalen {

// printf into a std::string, with no length limit.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string FormatV(const char* format, va_list args) __attribute__((format(printf, 1, 0)));

// "%d.%d.%d.%d" of an address held in host byte order (first octet most significant).
std::string IpText(std::uint32_t address);

// The inverse of IpText: four decimal numbers 0..255 of one to three digits,
// joined by dots, and nothing else; nullopt for any other text.
std::optional<std::uint32_t> ParseDottedQuad(std::string_view text);

// "%02X:%02X:%02X:%02X:%02X:%02X" of the first six bytes; empty when fewer are given.
std::string MacText(std::span<const std::uint8_t> bytes);
// The MAC text of six zero bytes: what a host that has no hardware address to
// give answers; it never counts as a host's MAC.
inline constexpr std::string_view kZeroMacText = "00:00:00:00:00:00";

// ASCII-only case folding: bytes from 0x80 are left alone (they are never ASCII in UTF-8).
char AsciiLower(char c);
char AsciiUpper(char c);
std::string AsciiLower(std::string_view text);
std::string AsciiUpper(std::string_view text);

// Case-insensitive comparison folding ASCII letters only; other bytes compare as
// unsigned bytes. Returns <0, 0 or >0.
int CompareNoCase(std::string_view a, std::string_view b);
bool EqualsNoCase(std::string_view a, std::string_view b);

bool StartsWith(std::string_view text, std::string_view prefix);

// Trims the C-locale white space characters (space, \t, \n, \v, \f, \r) at both ends.
std::string_view TrimSpace(std::string_view text);

// atoi/atol semantics: optional white space, optional sign, leading decimal digits,
// anything else ends the number; no digits gives 0. Wraps modulo 2^32 instead of overflowing.
std::int32_t AtoI(std::string_view text);

}  // namespace ordalen
