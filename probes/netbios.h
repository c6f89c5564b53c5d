// NetBIOS node status: asks a host's name service (UDP 137) for its name table
// and adapter MAC, and takes the computer name (first active unique name with
// suffix 0x00), the domain or workgroup (first active group name with suffix
// 0x00) and the MAC of the statistics block.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/udp_socket.h"

namespace ordalen {

inline constexpr std::uint16_t kNetbiosNamePort = 137;
inline constexpr std::size_t kNodeStatusRequestSize = 50;
// Longest answer read; the rest of a longer datagram is cut off.
inline constexpr std::size_t kNodeStatusReceiveSize = 500;
// Header, question name, type, class, TTL, data length and name count.
inline constexpr std::size_t kFirstNameEntry = 57;
inline constexpr std::size_t kNameEntrySize = 18;
inline constexpr int kNetbiosPolls = 20;
inline constexpr std::chrono::milliseconds kNetbiosPollInterval{100};
// Datagrams read per poll at most, so a flood cannot hold a worker.
inline constexpr int kDatagramsPerPoll = 32;
// Local ports: a block of 500 per job, one port per worker slot.
inline constexpr std::int64_t kNetbiosPortBase = 34100;
inline constexpr std::int64_t kNetbiosPortsPerJob = 500;

// What a usable answer told.
struct NodeStatus {
  std::string MacAddress;    // "%02X:..."; empty when the answer had no statistics block
  std::string ComputerName;  // empty when no active unique name with suffix 0x00 was listed
  std::string DomainName;    // empty when no active group name with suffix 0x00 was listed
};

// The NODE STATUS REQUEST for the name "*", transaction id 0, broadcast bit set.
std::array<std::uint8_t, kNodeStatusRequestSize> NodeStatusRequest();

// Reads one datagram as a NODE STATUS RESPONSE; nullopt when it is not a usable
// answer (57 bytes or fewer, not a response, RCODE not 0, ANCOUNT 0). Pure, and
// safe on any bytes.
std::optional<NodeStatus> ParseStatusResponse(std::span<const std::uint8_t> datagram);

// The local port of a worker slot: atoi(jobId) * 500 + 34100 + slot; nullopt
// when that falls outside 1..65535.
std::optional<std::uint16_t> NetbiosLocalPort(std::string_view job_id, int slot);

// Sends the request once to UDP 137 of `address_text`.
bool SendStatusRequest(DatagramSocket& socket, const std::string& address_text, OsError* error);

// Reads what is waiting (at most kDatagramsPerPoll datagrams) and returns the
// first usable answer that came from `address` port 137; anything else is read
// and dropped. A failed receive is reported in `error`.
std::optional<NodeStatus> ReadStatusResponse(DatagramSocket& socket, std::uint32_t address,
                                             OsError* error);

using PollSleep = std::function<void(std::chrono::milliseconds)>;

// The exchange over an open socket: one request, then up to 20 polls 100 ms
// apart. True and `answer` on success; else false, with `error` the failed send
// or receive (an empty OsError when the host simply did not answer).
bool RunNetbiosQuery(DatagramSocket& socket, std::uint32_t address, const PollSleep& sleep,
                     NodeStatus& answer, OsError& error);

// The whole query of one host (host byte order) from `local_port`: the socket
// is set up under SocketMutex(), then RunNetbiosQuery. A port that cannot be
// bound fails at once with its error.
bool NetbiosQuery(std::uint32_t address, std::uint16_t local_port, NodeStatus& answer,
                  OsError& error);

}  // namespace ordalen
