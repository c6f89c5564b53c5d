// ICMP echo: one request, the TTL of its reply. Uses an unprivileged datagram
// ICMP socket where the system allows it (net.ipv4.ping_group_range), else a raw
// ICMP socket. Each request opens and closes its own socket and carries an
// identifier and sequence of its own; only the echo reply from the address asked
// is accepted, and an ICMP error quoting our request ends the wait at once.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "platform/os_error.h"

namespace ordalen {

inline constexpr std::size_t kEchoPayloadSize = 32;

// The data of every echo request: "Data Buffer" followed by 21 zero bytes.
std::array<std::uint8_t, kEchoPayloadSize> EchoPayload();

// The one's-complement sum of RFC 1071 (0 over a packet whose checksum is right).
std::uint16_t InternetChecksum(std::span<const std::uint8_t> bytes);

// An ICMP echo request (type 8) with its checksum filled in.
std::vector<std::uint8_t> BuildEchoRequest(std::uint16_t id, std::uint16_t seq,
                                           std::span<const std::uint8_t> payload);

// What a received packet must show to belong to our request.
struct EchoExpect {
  std::uint32_t target = 0;  // the address asked, host byte order
  std::uint16_t id = 0;
  std::uint16_t seq = 0;
  std::span<const std::uint8_t> payload;
};

enum class EchoVerdict {
  kUnrelated,  // someone else's packet: keep waiting
  kReply,      // our echo reply, from the address asked
  kError,      // an ICMP error quoting our request: no reply will come
};

struct EchoMatch {
  EchoVerdict verdict = EchoVerdict::kUnrelated;
  int ttl = 0;  // of a reply
};

// A packet as a raw ICMP socket reads it (IP header first).
EchoMatch MatchRawIcmp(std::span<const std::uint8_t> packet, const EchoExpect& expect);

// A message as a datagram ICMP socket reads it (ICMP header first), with the
// address it came from and the TTL the system reported for it (-1: none).
EchoMatch MatchDatagramIcmp(std::span<const std::uint8_t> message, std::uint32_t source, int ttl,
                            const EchoExpect& expect);

// Whether an entry of a datagram ICMP socket's error queue (the quoted request,
// ICMP header first, and the address it was sent to) is about our request.
bool QuotesOurEcho(std::span<const std::uint8_t> quoted, std::uint32_t destination,
                   const EchoExpect& expect);

enum class IcmpSocketKind { kDatagram, kRaw };

// Whether this process can open an ICMP socket of either kind; the reason when not.
bool CanOpenIcmpSocket(OsError* error);

// One echo request to `address` (host byte order) and a wait of at most
// `timeout` for its reply. The reply's TTL, or nullopt when no usable reply came.
// `error` gets a non-zero code only when the socket itself failed (no right to
// open one, no descriptors, ...), never for a host that merely does not answer.
std::optional<int> SendEcho(std::uint32_t address, std::chrono::milliseconds timeout,
                            OsError* error);

// The same on a socket of the given kind only.
std::optional<int> SendEchoOn(IcmpSocketKind kind, std::uint32_t address,
                              std::chrono::milliseconds timeout, OsError* error);

}  // namespace ordalen
