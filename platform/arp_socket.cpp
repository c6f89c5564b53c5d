#include "platform/arp_socket.h"

#include <arpa/inet.h>
#include <linux/filter.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/byte_cursor.h"
#include "platform/unique_fd.h"

namespace ordalen {
namespace {

constexpr std::uint16_t kHardwareEthernet = 1;
constexpr std::uint16_t kProtocolIpv4 = 0x0800;
constexpr std::uint8_t kEthernetAddressLength = 6;
constexpr std::uint8_t kIpv4AddressLength = 4;
constexpr std::uint16_t kOperationRequest = 1;
constexpr std::uint16_t kOperationReply = 2;
// Offsets inside the ARP packet (the socket hands over the packet without its
// link header).
constexpr std::uint32_t kOperationOffset = 6;
constexpr std::uint32_t kSenderAddressOffset = 14;

void PutU16(std::uint8_t* at, std::uint16_t v) {
  at[0] = static_cast<std::uint8_t>(v >> 8);
  at[1] = static_cast<std::uint8_t>(v);
}

void PutU32(std::uint8_t* at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
}

std::optional<UniqueFd> OpenPacketSocket(OsError* error) {
  // Protocol 0: the socket receives nothing until it is bound, so no frame
  // slips past the filter attached before the bind.
  UniqueFd fd(::socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!fd) {
    if (error) *error = MakeOsError("socket(AF_PACKET)", errno);
    return std::nullopt;
  }
  return fd;
}

// Lets through only ARP replies whose sender protocol address is `target`.
bool AttachReplyFilter(int fd, std::uint32_t target, OsError* error) {
  sock_filter code[] = {
      BPF_STMT(BPF_LD | BPF_H | BPF_ABS, kOperationOffset),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kOperationReply, 0, 3),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, kSenderAddressOffset),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, target, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, 0xFFFF),
      BPF_STMT(BPF_RET | BPF_K, 0),
  };
  sock_fprog program{static_cast<unsigned short>(std::size(code)), code};
  if (::setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) == 0) return true;
  if (error) *error = MakeOsError("setsockopt(SO_ATTACH_FILTER)", errno);
  return false;
}

sockaddr_ll LinkAddress(int interface_index) {
  sockaddr_ll ll{};
  ll.sll_family = AF_PACKET;
  ll.sll_protocol = htons(ETH_P_ARP);
  ll.sll_ifindex = interface_index;
  return ll;
}

}  // namespace

std::array<std::uint8_t, kArpPacketSize> BuildArpRequest(const MacBytes& sender_mac,
                                                         std::uint32_t sender_address,
                                                         std::uint32_t target) {
  std::array<std::uint8_t, kArpPacketSize> p{};
  PutU16(&p[0], kHardwareEthernet);
  PutU16(&p[2], kProtocolIpv4);
  p[4] = kEthernetAddressLength;
  p[5] = kIpv4AddressLength;
  PutU16(&p[6], kOperationRequest);
  std::ranges::copy(sender_mac, p.begin() + 8);
  PutU32(&p[14], sender_address);
  // Target hardware address (18..23) stays zero: it is what we ask for.
  PutU32(&p[24], target);
  return p;
}

std::optional<MacBytes> ParseArpReply(std::span<const std::uint8_t> packet, std::uint32_t target) {
  ByteCursor c(packet);
  const auto hardware = c.U16Be();
  const auto protocol = c.U16Be();
  const auto hardware_length = c.U8();
  const auto protocol_length = c.U8();
  const auto operation = c.U16Be();
  const auto sender_mac = c.Bytes(kEthernetAddressLength);
  const auto sender_address = c.U32Be();
  // The target fields must be there too: a cut packet is no reply.
  if (!c.Skip(kEthernetAddressLength) || !c.U32Be()) return std::nullopt;
  if (*hardware != kHardwareEthernet || *protocol != kProtocolIpv4 ||
      *hardware_length != kEthernetAddressLength || *protocol_length != kIpv4AddressLength ||
      *operation != kOperationReply || *sender_address != target) {
    return std::nullopt;
  }
  MacBytes mac{};
  std::ranges::copy(*sender_mac, mac.begin());
  return mac;
}

bool CanOpenArpSocket(OsError* error) {
  return OpenPacketSocket(error).has_value();
}

std::optional<MacBytes> AskArp(const ArpSender& sender, std::uint32_t target,
                               const ArpTiming& timing, OsError* error) {
  auto fd = OpenPacketSocket(error);
  if (!fd || !AttachReplyFilter(fd->get(), target, error)) return std::nullopt;
  sockaddr_ll local = LinkAddress(sender.interface_index);
  if (::bind(fd->get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    if (error) *error = MakeOsError("bind(AF_PACKET)", errno);
    return std::nullopt;
  }
  sockaddr_ll broadcast = LinkAddress(sender.interface_index);
  broadcast.sll_halen = kEthernetAddressLength;
  std::fill_n(broadcast.sll_addr, kEthernetAddressLength, 0xFF);
  const auto request = BuildArpRequest(sender.mac, sender.address, target);

  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  const auto deadline = start + timing.wait;
  int sent = 0;
  for (;;) {
    const auto now = Clock::now();
    if (now >= deadline) return std::nullopt;
    const auto next_send = start + timing.interval * sent;
    if (sent < timing.requests && now >= next_send) {
      if (::sendto(fd->get(), request.data(), request.size(), 0,
                   reinterpret_cast<const sockaddr*>(&broadcast), sizeof broadcast) < 0) {
        if (errno == EINTR) continue;
        if (error) *error = MakeOsError("sendto(ARP)", errno);
        return std::nullopt;
      }
      ++sent;
      continue;
    }
    const auto wake =
        sent < timing.requests ? std::min(deadline, start + timing.interval * sent) : deadline;
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(wake - now);
    pollfd p{fd->get(), POLLIN, 0};
    const int rc = ::poll(&p, 1, static_cast<int>(std::max<std::int64_t>(wait.count(), 0)));
    if (rc < 0) {
      if (errno == EINTR) continue;
      if (error) *error = MakeOsError("poll(ARP)", errno);
      return std::nullopt;
    }
    if (rc == 0) continue;
    if ((p.revents & POLLIN) == 0) {
      if (error) *error = OsError{EIO, "poll(ARP): socket error"};
      return std::nullopt;
    }
    std::array<std::uint8_t, 128> buf{};
    const ssize_t n = ::recv(fd->get(), buf.data(), buf.size(), MSG_DONTWAIT);
    if (n < 0) continue;
    if (auto mac = ParseArpReply(std::span(buf.data(), static_cast<std::size_t>(n)), target))
      return mac;
  }
}

}  // namespace ordalen
