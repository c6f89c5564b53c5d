// Reverse name lookup through the system's resolver (hosts file, DNS, ...).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace ordalen {

// The name registered for `address` (host byte order), or nullopt when there is
// none. Safe to call from several threads at once.
std::optional<std::string> ReverseLookup(std::uint32_t address);

}  // namespace ordalen
