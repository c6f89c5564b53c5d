#include "platform/arp_socket.h"

#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/byte_cursor.h"
#include "platform/socket_filter.h"
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
    if (error) *error = MakeOsError(OsErrorKind::kSocket, "socket(AF_PACKET)", errno);
    return std::nullopt;
  }
  return fd;
}

// Lets through only ARP replies that came to this machine: not our own frames,
// which the socket sees leave, nor frames the card saw for another station (a
// bridge floods them), which the system's own ARP ignores too. Everybody's
// requests never reach the queue.
bool AttachReplyFilter(int fd, OsError* error) {
  sock_filter code[] = {
      BPF_STMT(BPF_LD | BPF_B | BPF_ABS, static_cast<std::uint32_t>(SKF_AD_OFF + SKF_AD_PKTTYPE)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, PACKET_OUTGOING, 4, 0),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, PACKET_OTHERHOST, 3, 0),
      BPF_STMT(BPF_LD | BPF_H | BPF_ABS, kOperationOffset),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kOperationReply, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, 0xFFFF),
      BPF_STMT(BPF_RET | BPF_K, 0),
  };
  return AttachSocketFilter(fd, code, error);
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

std::optional<ArpReply> ParseAnyArpReply(std::span<const std::uint8_t> packet) {
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
      *operation != kOperationReply) {
    return std::nullopt;
  }
  ArpReply reply;
  reply.sender = *sender_address;
  std::ranges::copy(*sender_mac, reply.mac.begin());
  return reply;
}

std::optional<MacBytes> ParseArpReply(std::span<const std::uint8_t> packet, std::uint32_t target) {
  const std::optional<ArpReply> reply = ParseAnyArpReply(packet);
  if (!reply || reply->sender != target) return std::nullopt;
  return reply->mac;
}

bool CanOpenArpSocket(OsError* error) {
  return OpenPacketSocket(error).has_value();
}

std::optional<ArpProber> ArpProber::Open(const ArpSender& sender, OsError* error) {
  auto fd = OpenPacketSocket(error);
  if (!fd || !AttachReplyFilter(fd->get(), error)) return std::nullopt;
  EnlargeReceiveBuffer(fd->get(), kProbeReceiveBuffer);
  sockaddr_ll local = LinkAddress(sender.interface_index);
  if (::bind(fd->get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    if (error) *error = MakeOsError(OsErrorKind::kBind, "bind(AF_PACKET)", errno);
    return std::nullopt;
  }
  return ArpProber(std::move(*fd), sender);
}

ArpProber::ArpProber(UniqueFd fd, const ArpSender& sender) : fd_(std::move(fd)), sender_(sender) {}

bool ArpProber::Start(std::uint32_t target, int tag, const ArpTiming& timing) {
  const auto [it, inserted] = probes_.try_emplace(target);
  if (!inserted) return false;
  it->second.tag = tag;
  it->second.timing = timing;
  it->second.started = ProbeClock::now();
  Schedule(target, it->second, it->second.started);
  return true;
}

void ArpProber::Schedule(std::uint32_t target, Probe& probe, ProbeClock::time_point at) {
  probe.next = at;
  timers_.Add(at, target);
}

void ArpProber::Run(ProbeClock::time_point until, std::vector<Ended>& ended, OsError* error) {
  const int fds[] = {fd_.get()};
  bool ready[] = {false};
  const std::size_t before = ended.size();
  // Whatever is due now goes out before the wait.
  Service(false, ended, error);
  if (ended.size() != before) return;
  const ProbeClock::time_point wake = std::min(until, NextDue());
  OsError wait_error;
  if (!WaitForSockets(fds, wake, ready, &wait_error) && error && error->code == 0)
    *error = wait_error;
  ++stats_.wakeups;
  Service(ready[0], ended, error);
}

void ArpProber::Service(bool readable, std::vector<Ended>& ended, OsError* error) {
  if (readable) Receive(ended, error);
  const ProbeClock::time_point now = ProbeClock::now();
  while (const auto due = timers_.PopDue(now)) Due(due->second, due->first, ended, error);
}

void ArpProber::Due(std::uint32_t target, ProbeClock::time_point at, std::vector<Ended>& ended,
                    OsError* error) {
  const auto it = probes_.find(target);
  if (it == probes_.end() || it->second.next != at) return;  // ended, or moved on
  Probe& probe = it->second;
  const ProbeClock::time_point now = ProbeClock::now();
  const auto finish = [&](std::optional<MacBytes> mac) {
    ended.push_back(Ended{probe.tag, target, mac});
    probes_.erase(it);
  };
  // The wait runs from the first request; a request the system never took
  // within that time (its queue full all along) ends the probe as well.
  if (now >= (probe.sent > 0 ? probe.first_sent : probe.started) + probe.timing.wait) {
    finish(std::nullopt);
    return;
  }
  if (probe.sent < probe.timing.requests &&
      (probe.sent == 0 || now >= probe.first_sent + probe.timing.interval * probe.sent)) {
    sockaddr_ll broadcast = LinkAddress(sender_.interface_index);
    broadcast.sll_halen = kEthernetAddressLength;
    std::fill_n(broadcast.sll_addr, kEthernetAddressLength, 0xFF);
    const auto request = BuildArpRequest(sender_.mac, sender_.address, target);
    ssize_t rc = 0;
    do {
      rc = ::sendto(fd_.get(), request.data(), request.size(), 0,
                    reinterpret_cast<const sockaddr*>(&broadcast), sizeof broadcast);
    } while (rc < 0 && errno == EINTR);
    if (rc < 0) {
      if (IsTransientSendError(errno)) {
        ++stats_.send_retries;
        Schedule(target, probe, now + kSendRetryDelay);
        return;
      }
      if (error && error->code == 0) *error = MakeOsError(OsErrorKind::kSend, "sendto(ARP)", errno);
      finish(std::nullopt);
      return;
    }
    ++stats_.sent;
    if (probe.sent++ == 0) probe.first_sent = now;
  }
  const ProbeClock::time_point deadline = probe.first_sent + probe.timing.wait;
  const ProbeClock::time_point next =
      probe.sent < probe.timing.requests
          ? std::min(deadline, probe.first_sent + probe.timing.interval * probe.sent)
          : deadline;
  Schedule(target, probe, next);
}

void ArpProber::Receive(std::vector<Ended>& ended, OsError* error) {
  constexpr std::size_t kBatch = 32;
  constexpr std::size_t kFrame = 64;  // an ARP packet is 28 bytes, padded to 46 at most
  std::array<std::array<std::uint8_t, kFrame>, kBatch> bufs{};
  std::array<iovec, kBatch> iov{};
  std::array<mmsghdr, kBatch> msgs{};
  for (int read = 0; read < kMaxReadsPerService;) {
    for (std::size_t i = 0; i < kBatch; ++i) {
      iov[i] = iovec{bufs[i].data(), bufs[i].size()};
      msgs[i] = mmsghdr{};
      msgs[i].msg_hdr.msg_iov = &iov[i];
      msgs[i].msg_hdr.msg_iovlen = 1;
    }
    const int n = ::recvmmsg(fd_.get(), msgs.data(), kBatch, MSG_DONTWAIT, nullptr);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK && error && error->code == 0)
        *error = MakeOsError(OsErrorKind::kReceive, "recvmmsg(ARP)", errno);
      return;
    }
    read += n;
    for (int i = 0; i < n; ++i) {
      ++stats_.received;
      const std::size_t len = std::min<std::size_t>(msgs[i].msg_len, kFrame);
      const std::optional<ArpReply> reply = ParseAnyArpReply(std::span(bufs[i].data(), len));
      // A reply ends the request for the address it speaks for, once that
      // request is out; any other reply (late, unasked, a copy) ends nothing.
      const auto it = reply ? probes_.find(reply->sender) : probes_.end();
      if (it == probes_.end() || it->second.sent == 0) {
        ++stats_.unmatched;
        continue;
      }
      ended.push_back(Ended{it->second.tag, reply->sender, reply->mac});
      probes_.erase(it);
    }
    if (static_cast<std::size_t>(n) < kBatch) return;
  }
}

bool ArpProber::SendFrame(const MacBytes& to, std::uint16_t ethertype,
                          std::span<const std::uint8_t> bytes, OsError* error) {
  sockaddr_ll link = LinkAddress(sender_.interface_index);
  link.sll_protocol = htons(ethertype);
  link.sll_halen = kEthernetAddressLength;
  std::ranges::copy(to, link.sll_addr);
  ssize_t rc = 0;
  do {
    rc = ::sendto(fd_.get(), bytes.data(), bytes.size(), 0,
                  reinterpret_cast<const sockaddr*>(&link), sizeof link);
  } while (rc < 0 && errno == EINTR);
  if (rc >= 0) return true;
  if (error) *error = MakeOsError(OsErrorKind::kSend, "sendto(frame)", errno);
  return false;
}

std::uint64_t TakeFrameDrops(int fd) {
  tpacket_stats counts{};
  socklen_t len = sizeof counts;
  // The system's counters restart at each read.
  if (::getsockopt(fd, SOL_PACKET, PACKET_STATISTICS, &counts, &len) != 0) return 0;
  return counts.tp_drops;
}

WireStats ArpProber::Stats() {
  stats_.dropped += TakeFrameDrops(fd_.get());
  WireStats stats = stats_;
  stats.filtered_sockets = 1;
  return stats;
}

std::optional<UniqueFd> OpenFrameReceiver(int interface_index, std::uint16_t ethertype,
                                          std::span<sock_filter> code, OsError* error) {
  auto fd = OpenPacketSocket(error);
  if (!fd || !AttachSocketFilter(fd->get(), code, error)) return std::nullopt;
  EnlargeReceiveBuffer(fd->get(), kProbeReceiveBuffer);
  sockaddr_ll local = LinkAddress(interface_index);
  local.sll_protocol = htons(ethertype);
  if (::bind(fd->get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    if (error) *error = MakeOsError(OsErrorKind::kBind, "bind(AF_PACKET)", errno);
    return std::nullopt;
  }
  return fd;
}

std::optional<MacBytes> AskArp(const ArpSender& sender, std::uint32_t target,
                               const ArpTiming& timing, OsError* error) {
  std::optional<ArpProber> prober = ArpProber::Open(sender, error);
  if (!prober) return std::nullopt;
  prober->Start(target, 0, timing);
  std::vector<ArpProber::Ended> ended;
  while (ended.empty()) prober->Run(ProbeClock::time_point::max(), ended, error);
  return ended.front().mac;
}

}  // namespace ordalen
