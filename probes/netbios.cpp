#include "probes/netbios.h"

#include <mutex>
#include <thread>

#include "base/byte_cursor.h"
#include "base/socket_mutex.h"
#include "base/text.h"

namespace ordalen {
namespace {

constexpr std::uint8_t kResponseBit = 0x80;
constexpr std::uint8_t kRcodeMask = 0x0F;
constexpr std::uint8_t kGroupActive = 0x84;  // G and ACT bits of the first flag byte
constexpr std::uint8_t kUniqueActive = 0x04;
constexpr std::size_t kNameBytes = 15;

// Name bytes as text: a control byte shows as '.', a space ends the name.
std::string NameText(std::span<const std::uint8_t> name) {
  std::string text;
  for (std::uint8_t byte : name) {
    if (byte == ' ') break;
    text.push_back(byte < 0x20 ? '.' : static_cast<char>(byte));
  }
  return text;
}

}  // namespace

std::array<std::uint8_t, kNodeStatusRequestSize> NodeStatusRequest() {
  std::array<std::uint8_t, kNodeStatusRequestSize> request{};
  request[3] = 0x10;   // broadcast bit; query, opcode 0, transaction id 0
  request[5] = 0x01;   // QDCOUNT 1
  request[12] = 0x20;  // encoded name length 32
  request[13] = 'C';   // '*' (0x2A) as two half-bytes + 'A'
  request[14] = 'K';
  for (std::size_t i = 15; i < 45; ++i) request[i] = 'A';  // 15 NUL bytes of padding
  request[45] = 0x00;
  request[47] = 0x21;  // NBSTAT
  request[49] = 0x01;  // IN
  return request;
}

std::optional<NodeStatus> ParseStatusResponse(std::span<const std::uint8_t> datagram) {
  const std::size_t n = datagram.size();
  if (n <= kFirstNameEntry) return std::nullopt;
  ByteCursor header(datagram);
  const auto ids = header.Bytes(2);
  const auto flags = header.U8();
  const auto rcode = header.U8();
  const auto qdcount = header.U16Be();
  const auto ancount = header.U16Be();
  if (!ids || !flags || !rcode || !qdcount || !ancount) return std::nullopt;
  if ((*flags & kResponseBit) == 0) return std::nullopt;
  if ((*rcode & kRcodeMask) != 0) return std::nullopt;
  if (*ancount == 0) return std::nullopt;

  // The name table is followed by the statistics block, whose first six bytes
  // are the unit id (the MAC). Entries are looked at only while a whole entry and
  // at least one more byte follow, and never past the statistics block's position:
  // read on, its counters (sent-frame counts and so on) would pass for a MAC.
  header.Seek(kFirstNameEntry - 1);
  const auto name_count = header.U8();
  if (!name_count) return std::nullopt;

  NodeStatus status;
  ByteCursor entry(datagram);
  std::size_t index = 0;
  for (std::size_t i = kFirstNameEntry; i + kNameEntrySize < n; i += kNameEntrySize, ++index) {
    if (!entry.Seek(i)) break;
    const auto bytes = entry.Bytes(kNameEntrySize);
    if (!bytes) break;
    const std::uint8_t suffix = (*bytes)[kNameBytes];
    const std::uint8_t first_flags = (*bytes)[kNameBytes + 1];
    if (suffix == 0 && first_flags == 0) {
      status.MacAddress = MacText(bytes->first(6));
      break;
    }
    const bool last = index == *name_count;  // the statistics position, not recognised
    if (suffix == 0) {
      std::string name = NameText(bytes->first(kNameBytes));
      if (!StartsWith(name, "IS~")) {
        if ((first_flags & kGroupActive) == kGroupActive) {
          if (status.DomainName.empty()) status.DomainName = std::move(name);
        } else if ((first_flags & kGroupActive) == kUniqueActive) {
          if (status.ComputerName.empty()) status.ComputerName = std::move(name);
        }
      }
    }
    if (last) break;
  }
  return status;
}

std::optional<std::uint16_t> NetbiosLocalPort(std::string_view job_id, int slot) {
  const std::int64_t port =
      std::int64_t{AtoI(job_id)} * kNetbiosPortsPerJob + kNetbiosPortBase + slot;
  if (port < 1 || port > 65535) return std::nullopt;
  return static_cast<std::uint16_t>(port);
}

bool SendStatusRequest(DatagramSocket& socket, const std::string& address_text, OsError* error) {
  const auto request = NodeStatusRequest();
  return socket.SendTo(request, kNetbiosNamePort, address_text, error);
}

std::optional<NodeStatus> ReadStatusResponse(DatagramSocket& socket, std::uint32_t address,
                                             OsError* error) {
  std::array<std::uint8_t, kNodeStatusReceiveSize> buffer{};
  for (int i = 0; i < kDatagramsPerPoll; ++i) {
    const auto datagram = socket.ReceiveFrom(buffer, error);
    if (!datagram) return std::nullopt;
    // Only the queried host's name service may answer: a late answer to an
    // earlier query on this port, or anyone else's datagram, is dropped.
    if (datagram->from_address != address || datagram->from_port != kNetbiosNamePort) continue;
    auto status = ParseStatusResponse(std::span<const std::uint8_t>(buffer.data(), datagram->size));
    if (status) return status;
  }
  return std::nullopt;
}

bool RunNetbiosQuery(DatagramSocket& socket, std::uint32_t address, const PollSleep& sleep,
                     NodeStatus& answer, OsError& error) {
  error = OsError{};
  answer = NodeStatus{};
  if (!SendStatusRequest(socket, IpText(address), &error)) return false;
  for (int poll = 0; poll < kNetbiosPolls; ++poll) {
    OsError receive_error;
    if (auto status = ReadStatusResponse(socket, address, &receive_error)) {
      answer = std::move(*status);
      error = OsError{};
      return true;
    }
    // The last failed receive is the one reported.
    if (receive_error.code != 0) error = receive_error;
    sleep(kNetbiosPollInterval);
  }
  return false;
}

bool NetbiosQuery(std::uint32_t address, std::uint16_t local_port, NodeStatus& answer,
                  OsError& error) {
  answer = NodeStatus{};
  error = OsError{};
  std::optional<CUDP> socket;
  {
    std::lock_guard<std::mutex> lock(SocketMutex());
    socket = CUDP::Create(local_port, &error);
  }
  if (!socket) return false;
  return RunNetbiosQuery(
      *socket, address, [](std::chrono::milliseconds wait) { std::this_thread::sleep_for(wait); },
      answer, error);
}

}  // namespace ordalen
