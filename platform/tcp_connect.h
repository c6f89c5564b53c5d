// Whether a host accepts a TCP connection on a port, found out with one
// non-blocking connect and a bounded wait for its outcome.
#pragma once

#include <chrono>
#include <cstdint>

namespace ordalen {

// A silent (filtered) port costs at most this long; a refused one answers at once.
inline constexpr std::chrono::milliseconds kConnectTimeout{3000};

// Whether `address` (host byte order) accepted a connection on `port` within
// `timeout`; false when refused, no answer in time, a port outside 1..65535, or
// no socket to be had. The connection is closed at once.
bool ConnectProbe(std::uint32_t address, std::uint32_t port,
                  std::chrono::milliseconds timeout = kConnectTimeout);

}  // namespace ordalen
