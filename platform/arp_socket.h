// ARP requests sent as raw frames on one interface (an AF_PACKET socket), so the
// answer always comes from the wire and never from the system's neighbour cache.
// Each request opens its own socket, filtered in the kernel down to the replies
// of its own target, so concurrent requests never wake each other.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>

#include "platform/os_error.h"

namespace ordalen {

using MacBytes = std::array<std::uint8_t, 6>;

// The card a request goes out on, and the sender it names.
struct ArpSender {
  int interface_index = 0;
  MacBytes mac{};
  std::uint32_t address = 0;  // host byte order
};

// How often and how long one target is asked.
struct ArpTiming {
  int requests = 0;  // requests sent, `interval` apart
  std::chrono::milliseconds interval{};
  std::chrono::milliseconds wait{};  // from the first request to giving up
};

inline constexpr std::size_t kArpPacketSize = 28;

// An Ethernet/IPv4 ARP request (operation 1) from `sender` for `target`.
std::array<std::uint8_t, kArpPacketSize> BuildArpRequest(const MacBytes& sender_mac,
                                                         std::uint32_t sender_address,
                                                         std::uint32_t target);

// The sender hardware address of an Ethernet/IPv4 ARP reply whose sender
// protocol address is `target`; nullopt for any other packet.
std::optional<MacBytes> ParseArpReply(std::span<const std::uint8_t> packet, std::uint32_t target);

// Whether this process may send raw frames; the reason when not.
bool CanOpenArpSocket(OsError* error);

// Asks `target` on the sender's interface. Its hardware address, or nullopt when
// no reply came within the timing. `error` gets a non-zero code only when the
// socket itself failed.
std::optional<MacBytes> AskArp(const ArpSender& sender, std::uint32_t target,
                               const ArpTiming& timing, OsError* error);

}  // namespace ordalen
