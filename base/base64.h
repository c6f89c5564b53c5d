// Base64 in the standard alphabet with padding.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace ordalen {

std::string Base64Encode(std::span<const std::uint8_t> bytes);
// Strict: standard alphabet, padding required, no white space.
std::optional<std::vector<std::uint8_t>> Base64Decode(std::string_view text);

}  // namespace ordalen
