// ICMP echo sweep and the TTL-based OS class.
#pragma once

#include <cstdint>

namespace ordalen {

// Sweeps [first, last] inclusive; returns 1.
int PingSweep(std::uint32_t first, std::uint32_t last);

// One echo request; 1 and the reply's TTL on a usable reply, else 0 (ttl 0).
int PingHost(std::uint32_t address, int& ttl);

// 0 for TTL 0, 3 for 1..64, 1 for 65..128, 4 for 129..255.
int TtlToOsType(int ttl);

}  // namespace ordalen
