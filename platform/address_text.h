// IPv4 address text in the classic forms of the C library's address parser.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace ordalen {

// The address in host byte order (first octet most significant) of dotted text
// with one to four parts, each decimal, octal (leading 0) or hexadecimal
// (leading 0x); nullopt when the text is not such an address.
std::optional<std::uint32_t> ParseIpv4Text(const std::string& text);

}  // namespace ordalen
