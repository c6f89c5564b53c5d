#include "platform/icmp.h"

#include <arpa/inet.h>
#include <linux/errqueue.h>
#include <linux/icmp.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>

#include "base/byte_cursor.h"
#include "platform/deadline.h"
#include "platform/socket_filter.h"
#include "platform/unique_fd.h"

namespace ordalen {
namespace {

constexpr std::uint8_t kIpProtocolIcmp = 1;
constexpr std::uint8_t kTypeEchoReply = 0;
constexpr std::uint8_t kTypeDestinationUnreachable = 3;
constexpr std::uint8_t kTypeEchoRequest = 8;
constexpr std::uint8_t kTypeTimeExceeded = 11;
constexpr std::uint8_t kTypeParameterProblem = 12;
constexpr std::size_t kIcmpHeaderSize = 8;
constexpr std::size_t kReceiveBufferSize = 2048;
// The "more fragments" flag and the fragment offset of an IPv4 header.
constexpr std::uint16_t kMoreFragmentsAndOffset = 0x3FFF;

bool IsErrorType(std::uint8_t type) {
  return type == kTypeDestinationUnreachable || type == kTypeTimeExceeded ||
         type == kTypeParameterProblem;
}

// The IPv4 header at the cursor: its length, the packet's total length, the
// flags and fragment offset, TTL, protocol, source and destination; nullopt
// when it is not a well-formed IPv4 header.
struct IpHeader {
  std::size_t length = 0;
  std::size_t total_length = 0;
  std::uint16_t fragment = 0;  // flags and offset
  int ttl = 0;
  std::uint8_t protocol = 0;
  std::uint32_t source = 0;
  std::uint32_t destination = 0;
};

std::optional<IpHeader> ReadIpHeader(std::span<const std::uint8_t> bytes) {
  ByteCursor c(bytes);
  const auto version_ihl = c.U8();
  if (!version_ihl || (*version_ihl >> 4) != 4) return std::nullopt;
  IpHeader h;
  h.length = static_cast<std::size_t>(*version_ihl & 0x0F) * 4;
  if (h.length < 20 || !c.Skip(1)) return std::nullopt;  // TOS
  const auto total_length = c.U16Be();
  const bool id = c.Skip(2);
  const auto fragment = c.U16Be();
  if (!total_length || !id || !fragment) return std::nullopt;
  h.total_length = *total_length;
  h.fragment = *fragment;
  const auto ttl = c.U8();
  const auto protocol = c.U8();
  if (!ttl || !protocol || !c.Skip(2)) return std::nullopt;  // checksum
  const auto source = c.U32Be();
  const auto destination = c.U32Be();
  if (!source || !destination || !c.Seek(h.length)) return std::nullopt;
  h.ttl = *ttl;
  h.protocol = *protocol;
  h.source = *source;
  h.destination = *destination;
  return h;
}

// The first eight bytes of our echo request, as an error quotes them.
bool IsOurRequestHeader(std::span<const std::uint8_t> icmp, const EchoExpect& expect) {
  ByteCursor c(icmp);
  const auto type = c.U8();
  const auto code = c.U8();
  const bool checksum = c.Skip(2);
  const auto id = c.U16Be();
  const auto seq = c.U16Be();
  return type && code && checksum && id && seq && *type == kTypeEchoRequest && *code == 0 &&
         *id == expect.id && *seq == expect.seq;
}

// An ICMP message (header first) that came from `source` with `ttl`.
EchoMatch MatchIcmpMessage(std::span<const std::uint8_t> icmp, std::uint32_t source, int ttl,
                           const EchoExpect& expect) {
  ByteCursor c(icmp);
  const auto type = c.U8();
  const auto code = c.U8();
  if (!type || !code || !c.Skip(2)) return {};
  if (*type == kTypeEchoReply) {
    const auto id = c.U16Be();
    const auto seq = c.U16Be();
    if (!id || !seq || *code != 0 || source != expect.target || *id != expect.id ||
        *seq != expect.seq) {
      return {};
    }
    const auto data = c.Bytes(c.remaining());
    if (!data || !std::ranges::equal(*data, expect.payload)) return {};
    if (InternetChecksum(icmp) != 0) return {};
    return {EchoVerdict::kReply, ttl < 0 ? 0 : ttl};
  }
  if (IsErrorType(*type)) {
    if (!c.Skip(4)) return {};  // unused / pointer / next-hop MTU
    const auto quoted = c.Bytes(c.remaining());
    if (!quoted) return {};
    const auto inner = ReadIpHeader(*quoted);
    if (!inner || inner->protocol != kIpProtocolIcmp || inner->destination != expect.target)
      return {};
    if (!IsOurRequestHeader(quoted->subspan(inner->length), expect)) return {};
    return {EchoVerdict::kError, 0};
  }
  return {};
}

// Which identifier a raw socket's requests carry: one per process, so that two
// instances running side by side do not take each other's replies.
std::uint16_t ProcessEchoId() {
  static const std::uint16_t id = [] {
    std::random_device rd;
    return static_cast<std::uint16_t>(rd());
  }();
  return id;
}

// A sequence number per request, so that concurrent requests never share one.
std::uint16_t NextEchoSequence() {
  static std::atomic<std::uint16_t> next{[] {
    std::random_device rd;
    return static_cast<std::uint16_t>(rd());
  }()};
  return next.fetch_add(1, std::memory_order_relaxed);
}

// Errors of sendto that say "this address cannot be reached" rather than "the
// socket is broken": the host simply gives no reply.
bool IsUnreachableErrno(int code) {
  switch (code) {
    case EACCES:  // a broadcast address
    case EPERM:   // a packet filter
    case EHOSTUNREACH:
    case ENETUNREACH:
    case EHOSTDOWN:
    case ENETDOWN:
    case EADDRNOTAVAIL:
    case EINVAL:
      return true;
    default:
      return false;
  }
}

std::optional<UniqueFd> OpenIcmpSocket(IcmpSocketKind kind, OsError* error) {
  const int type = kind == IcmpSocketKind::kDatagram ? SOCK_DGRAM : SOCK_RAW;
  UniqueFd fd(::socket(AF_INET, type | SOCK_CLOEXEC, IPPROTO_ICMP));
  if (!fd) {
    if (error) {
      *error = MakeOsError(
          OsErrorKind::kSocket,
          kind == IcmpSocketKind::kDatagram ? "socket(ICMP datagram)" : "socket(ICMP raw)", errno);
    }
    return std::nullopt;
  }
  return fd;
}

// Opens a datagram socket where the system allows it, else a raw one.
std::optional<std::pair<UniqueFd, IcmpSocketKind>> OpenAnyIcmpSocket(OsError* error) {
  OsError datagram_error;
  if (auto fd = OpenIcmpSocket(IcmpSocketKind::kDatagram, &datagram_error)) {
    return std::pair{std::move(*fd), IcmpSocketKind::kDatagram};
  }
  OsError raw_error;
  if (auto fd = OpenIcmpSocket(IcmpSocketKind::kRaw, &raw_error)) {
    return std::pair{std::move(*fd), IcmpSocketKind::kRaw};
  }
  if (error) {
    error->kind = raw_error.kind;
    error->code = raw_error.code;
    error->message = datagram_error.message + "; " + raw_error.message;
  }
  return std::nullopt;
}

bool SetIntOption(int fd, int level, int name, int value, OsError* error, const char* what) {
  if (::setsockopt(fd, level, name, &value, sizeof value) == 0) return true;
  if (error) *error = MakeOsError(OsErrorKind::kSocketOption, what, errno);
  return false;
}

std::uint32_t SourceOf(const sockaddr_in& from) {
  return ntohl(from.sin_addr.s_addr);
}

// One message with its peer address and control data, as recvmsg leaves them.
struct ReceivedMessage {
  std::array<std::uint8_t, kReceiveBufferSize> buf{};
  std::array<char, 512> control{};
  sockaddr_in peer{};
  iovec iov{};
  msghdr msg{};

  ssize_t Receive(int fd, int flags) {
    iov = {buf.data(), buf.size()};
    msg = {};
    msg.msg_name = &peer;
    msg.msg_namelen = sizeof peer;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control.data();
    msg.msg_controllen = control.size();
    return ::recvmsg(fd, &msg, flags);
  }
};

// Reads one queued error of a datagram socket; true when it is about our request.
bool ReadQueuedError(int fd, const EchoExpect& expect) {
  ReceivedMessage m;
  const ssize_t n = m.Receive(fd, MSG_ERRQUEUE | MSG_DONTWAIT);
  if (n < 0) {
    int pending = 0;
    socklen_t len = sizeof pending;
    ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending,
                 &len);  // an error with nothing queued: clear it
    return false;
  }
  bool from_icmp = false;
  for (cmsghdr* cm = CMSG_FIRSTHDR(&m.msg); cm != nullptr; cm = CMSG_NXTHDR(&m.msg, cm)) {
    if (cm->cmsg_level == SOL_IP && cm->cmsg_type == IP_RECVERR) {
      sock_extended_err err{};
      std::memcpy(&err, CMSG_DATA(cm), sizeof err);
      from_icmp = err.ee_origin == SO_EE_ORIGIN_ICMP;
    }
  }
  return from_icmp && QuotesOurEcho(std::span(m.buf.data(), static_cast<std::size_t>(n)),
                                    SourceOf(m.peer), expect);
}

// Reads one message; its verdict.
EchoMatch ReadOne(int fd, IcmpSocketKind kind, const EchoExpect& expect) {
  ReceivedMessage m;
  const ssize_t n = m.Receive(fd, MSG_DONTWAIT);
  if (n < 0) {
    // A datagram socket reports an error of its own request this way too.
    if (kind == IcmpSocketKind::kDatagram && IsUnreachableErrno(errno))
      return {EchoVerdict::kError, 0};
    return {};
  }
  if ((m.msg.msg_flags & MSG_TRUNC) != 0)
    return {};  // ours is small; a cut packet is someone else's
  const std::span<const std::uint8_t> bytes(m.buf.data(), static_cast<std::size_t>(n));
  if (kind == IcmpSocketKind::kRaw) return MatchRawIcmp(bytes, expect);
  int ttl = -1;
  for (cmsghdr* cm = CMSG_FIRSTHDR(&m.msg); cm != nullptr; cm = CMSG_NXTHDR(&m.msg, cm)) {
    if (cm->cmsg_level == SOL_IP && cm->cmsg_type == IP_TTL)
      std::memcpy(&ttl, CMSG_DATA(cm), sizeof ttl);
  }
  return MatchDatagramIcmp(bytes, SourceOf(m.peer), ttl, expect);
}

// The kinds of ICMP a request of ours can get back.
bool SetIcmpTypeFilter(int fd, OsError* error) {
  icmp_filter filter{};
  filter.data = ~((1U << kTypeEchoReply) | (1U << kTypeDestinationUnreachable) |
                  (1U << kTypeTimeExceeded) | (1U << kTypeParameterProblem));
  if (::setsockopt(fd, SOL_RAW, ICMP_FILTER, &filter, sizeof filter) == 0) return true;
  if (error) *error = MakeOsError(OsErrorKind::kSocketOption, "setsockopt(ICMP_FILTER)", errno);
  return false;
}

// On a raw socket, which sees every ICMP packet of the machine: only echo
// replies with our identifier, and errors quoting an echo request (sent without
// IP options, as ours are) with our identifier. The packet starts with its IP
// header; the program ends in "keep" and then "drop".
std::vector<sock_filter> IdentifierFilterCode(std::uint16_t id) {
  return {
      BPF_STMT(BPF_LDX | BPF_B | BPF_MSH, 0),  // X = IP header length
      BPF_STMT(BPF_LD | BPF_B | BPF_IND, 0),   // ICMP type
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kTypeEchoReply, 0, 2),
      BPF_STMT(BPF_LD | BPF_H | BPF_IND, 4),  // its identifier
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, id, 11, 12),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kTypeDestinationUnreachable, 2, 0),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kTypeTimeExceeded, 1, 0),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kTypeParameterProblem, 0, 9),
      BPF_STMT(BPF_LD | BPF_B | BPF_IND, 8),  // the quoted IP header: version 4, 20 bytes
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0x45, 0, 7),
      BPF_STMT(BPF_LD | BPF_B | BPF_IND, 8 + 9),  // its protocol
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kIpProtocolIcmp, 0, 5),
      BPF_STMT(BPF_LD | BPF_B | BPF_IND, 8 + 20),  // the quoted ICMP type
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kTypeEchoRequest, 0, 3),
      BPF_STMT(BPF_LD | BPF_H | BPF_IND, 8 + 24),  // the quoted identifier
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, id, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, 0xFFFF),
      BPF_STMT(BPF_RET | BPF_K, 0),
  };
}

bool AttachIdentifierFilter(int fd, std::uint16_t id, OsError* error) {
  std::vector<sock_filter> code = IdentifierFilterCode(id);
  return AttachSocketFilter(fd, code, error);
}

// On a card's IPv4 frames: only those that came to this machine (not our own on
// their way out, nor another station's), whole (no fragment), of ICMP; of
// those, what the identifier filter keeps.
std::vector<sock_filter> FrameFilterCode(std::uint16_t id) {
  const std::vector<sock_filter> body = IdentifierFilterCode(id);
  constexpr std::size_t kPrefix = 7;
  const std::size_t drop_at = kPrefix + body.size() - 1;  // the body's "drop"
  const auto to_drop = [drop_at](std::size_t from) {
    return static_cast<std::uint8_t>(drop_at - from - 1);
  };
  std::vector<sock_filter> code = {
      BPF_STMT(BPF_LD | BPF_B | BPF_ABS, static_cast<std::uint32_t>(SKF_AD_OFF + SKF_AD_PKTTYPE)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, PACKET_OUTGOING, to_drop(1), 0),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, PACKET_OTHERHOST, to_drop(2), 0),
      BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 6),  // flags and fragment offset
      BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, kMoreFragmentsAndOffset, to_drop(4), 0),
      BPF_STMT(BPF_LD | BPF_B | BPF_ABS, 9),  // protocol
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kIpProtocolIcmp, 0, to_drop(6)),
  };
  assert(code.size() == kPrefix);
  code.insert(code.end(), body.begin(), body.end());
  return code;
}

// The TTL the system gives the packets it sends.
int SystemDefaultTtl() {
  std::ifstream in("/proc/sys/net/ipv4/ip_default_ttl");
  int ttl = 0;
  if (in >> ttl && ttl >= 1 && ttl <= 255) return ttl;
  return 64;
}

std::optional<int> EchoOnSocket(int fd, IcmpSocketKind kind, std::uint32_t address,
                                std::chrono::milliseconds timeout, OsError* error) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  const auto payload = EchoPayload();
  EchoExpect expect;
  expect.target = address;
  expect.seq = NextEchoSequence();
  expect.payload = payload;
  if (kind == IcmpSocketKind::kDatagram) {
    // The system sets the identifier (the socket's port) and demultiplexes by it.
    if (!SetIntOption(fd, SOL_IP, IP_RECVTTL, 1, error, "setsockopt(IP_RECVTTL)") ||
        !SetIntOption(fd, SOL_IP, IP_RECVERR, 1, error, "setsockopt(IP_RECVERR)")) {
      return std::nullopt;
    }
  } else {
    expect.id = ProcessEchoId();
    // A raw socket sees every ICMP packet of the machine: let through only the
    // kinds that can answer us.
    if (!SetIcmpTypeFilter(fd, error)) return std::nullopt;
  }
  const std::vector<std::uint8_t> request = BuildEchoRequest(expect.id, expect.seq, payload);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(address);
  while (::sendto(fd, request.data(), request.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                  sizeof to) < 0) {
    if (errno == EINTR) continue;
    if (!IsUnreachableErrno(errno) && error)
      *error = MakeOsError(OsErrorKind::kSend, "sendto(ICMP)", errno);
    return std::nullopt;
  }
  if (kind == IcmpSocketKind::kDatagram) {
    sockaddr_in local{};
    socklen_t len = sizeof local;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len) != 0) {
      if (error) *error = MakeOsError(OsErrorKind::kLocalAddress, "getsockname(ICMP)", errno);
      return std::nullopt;
    }
    expect.id = ntohs(local.sin_port);
  }
  for (;;) {
    const int wait_ms = MillisecondsLeft(deadline);
    if (wait_ms == 0) return std::nullopt;
    pollfd p{fd, POLLIN, 0};
    const int rc = ::poll(&p, 1, wait_ms);
    if (rc == 0) return std::nullopt;
    if (rc < 0) {
      if (errno == EINTR) continue;
      if (error) *error = MakeOsError(OsErrorKind::kWait, "poll(ICMP)", errno);
      return std::nullopt;
    }
    if ((p.revents & POLLERR) != 0) {
      if (kind == IcmpSocketKind::kDatagram) {
        if (ReadQueuedError(fd, expect)) return std::nullopt;
      } else {
        int pending = 0;
        socklen_t len = sizeof pending;
        ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &len);  // reads and clears it
      }
      continue;
    }
    if ((p.revents & POLLIN) != 0) {
      const EchoMatch match = ReadOne(fd, kind, expect);
      if (match.verdict == EchoVerdict::kReply) return match.ttl;
      if (match.verdict == EchoVerdict::kError) return std::nullopt;
      continue;
    }
    // POLLHUP or POLLNVAL: the socket cannot be read any further.
    if (error) *error = OsError{OsErrorKind::kWait, EIO, "poll(ICMP): socket error"};
    return std::nullopt;
  }
}

}  // namespace

std::array<std::uint8_t, kEchoPayloadSize> EchoPayload() {
  std::array<std::uint8_t, kEchoPayloadSize> data{};
  constexpr char kText[] = "Data Buffer";
  std::memcpy(data.data(), kText, sizeof kText - 1);
  return data;
}

std::uint16_t InternetChecksum(std::span<const std::uint8_t> bytes) {
  std::uint32_t sum = 0;
  std::size_t i = 0;
  for (; i + 1 < bytes.size(); i += 2)
    sum += static_cast<std::uint32_t>(bytes[i] << 8 | bytes[i + 1]);
  if (i < bytes.size()) sum += static_cast<std::uint32_t>(bytes[i] << 8);
  while ((sum >> 16) != 0) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<std::uint16_t>(~sum & 0xFFFF);
}

std::vector<std::uint8_t> BuildEchoRequest(std::uint16_t id, std::uint16_t seq,
                                           std::span<const std::uint8_t> payload) {
  std::vector<std::uint8_t> packet(kIcmpHeaderSize + payload.size(), 0);
  packet[0] = kTypeEchoRequest;
  packet[4] = static_cast<std::uint8_t>(id >> 8);
  packet[5] = static_cast<std::uint8_t>(id);
  packet[6] = static_cast<std::uint8_t>(seq >> 8);
  packet[7] = static_cast<std::uint8_t>(seq);
  std::ranges::copy(payload, packet.begin() + kIcmpHeaderSize);
  const std::uint16_t sum = InternetChecksum(packet);
  packet[2] = static_cast<std::uint8_t>(sum >> 8);
  packet[3] = static_cast<std::uint8_t>(sum);
  return packet;
}

EchoMatch MatchRawIcmp(std::span<const std::uint8_t> packet, const EchoExpect& expect) {
  const auto ip = ReadIpHeader(packet);
  if (!ip || ip->protocol != kIpProtocolIcmp) return {};
  return MatchIcmpMessage(packet.subspan(ip->length), ip->source, ip->ttl, expect);
}

EchoMatch MatchDatagramIcmp(std::span<const std::uint8_t> message, std::uint32_t source, int ttl,
                            const EchoExpect& expect) {
  return MatchIcmpMessage(message, source, ttl, expect);
}

bool QuotesOurEcho(std::span<const std::uint8_t> quoted, std::uint32_t destination,
                   const EchoExpect& expect) {
  return destination == expect.target && IsOurRequestHeader(quoted, expect);
}

bool CanOpenIcmpSocket(OsError* error) {
  return OpenAnyIcmpSocket(error).has_value();
}

std::optional<int> SendEcho(std::uint32_t address, std::chrono::milliseconds timeout,
                            OsError* error) {
  auto opened = OpenAnyIcmpSocket(error);
  if (!opened) return std::nullopt;
  return EchoOnSocket(opened->first.get(), opened->second, address, timeout, error);
}

std::optional<int> SendEchoOn(IcmpSocketKind kind, std::uint32_t address,
                              std::chrono::milliseconds timeout, OsError* error) {
  auto fd = OpenIcmpSocket(kind, error);
  if (!fd) return std::nullopt;
  return EchoOnSocket(fd->get(), kind, address, timeout, error);
}

std::optional<std::uint16_t> EchoSequenceOf(std::span<const std::uint8_t> icmp) {
  ByteCursor c(icmp);
  const auto type = c.U8();
  if (!type || !c.Skip(5)) return std::nullopt;  // code, checksum, identifier
  if (*type == kTypeEchoReply || *type == kTypeEchoRequest) return c.U16Be();
  if (!IsErrorType(*type) || !c.Skip(2)) return std::nullopt;  // the rest of the header
  const auto quoted = c.Bytes(c.remaining());
  if (!quoted) return std::nullopt;
  const auto inner = ReadIpHeader(*quoted);
  if (!inner || inner->protocol != kIpProtocolIcmp) return std::nullopt;
  ByteCursor q(quoted->subspan(inner->length));
  const auto inner_type = q.U8();
  if (!inner_type || *inner_type != kTypeEchoRequest || !q.Skip(5)) return std::nullopt;
  return q.U16Be();
}

std::optional<std::uint16_t> EchoSequenceOfRaw(std::span<const std::uint8_t> packet) {
  const auto ip = ReadIpHeader(packet);
  if (!ip || ip->protocol != kIpProtocolIcmp) return std::nullopt;
  return EchoSequenceOf(packet.subspan(ip->length));
}

std::optional<std::span<const std::uint8_t>> Ipv4PacketTo(std::span<const std::uint8_t> frame,
                                                          std::uint32_t own) {
  const auto ip = ReadIpHeader(frame);
  if (!ip || ip->total_length < ip->length || ip->total_length > frame.size() ||
      (ip->fragment & kMoreFragmentsAndOffset) != 0 || ip->destination != own ||
      InternetChecksum(frame.first(ip->length)) != 0) {
    return std::nullopt;
  }
  return frame.first(ip->total_length);
}

std::vector<std::uint8_t> BuildIpv4Echo(std::uint32_t source, std::uint32_t target, int ttl,
                                        std::uint16_t ip_id, std::uint16_t id, std::uint16_t seq,
                                        std::span<const std::uint8_t> payload) {
  const std::vector<std::uint8_t> icmp = BuildEchoRequest(id, seq, payload);
  constexpr std::size_t kHeader = 20;
  const std::size_t total = kHeader + icmp.size();
  std::vector<std::uint8_t> p(total, 0);
  p[0] = 0x45;
  p[2] = static_cast<std::uint8_t>(total >> 8);
  p[3] = static_cast<std::uint8_t>(total);
  p[4] = static_cast<std::uint8_t>(ip_id >> 8);
  p[5] = static_cast<std::uint8_t>(ip_id);
  p[6] = 0x40;  // don't fragment
  p[8] = static_cast<std::uint8_t>(ttl);
  p[9] = kIpProtocolIcmp;
  for (int i = 0; i < 4; ++i) {
    p[12 + i] = static_cast<std::uint8_t>(source >> (24 - 8 * i));
    p[16 + i] = static_cast<std::uint8_t>(target >> (24 - 8 * i));
  }
  const std::uint16_t sum = InternetChecksum(std::span(p.data(), kHeader));
  p[10] = static_cast<std::uint8_t>(sum >> 8);
  p[11] = static_cast<std::uint8_t>(sum);
  std::ranges::copy(icmp, p.begin() + kHeader);
  return p;
}

std::optional<EchoProber> EchoProber::Open(std::chrono::milliseconds timeout, OsError* error) {
  OsError list_error;
  std::optional<std::vector<InterfaceAddress>> interfaces = ListInterfaceAddresses(&list_error);
  // Without the list every target goes through the system.
  return Open(timeout, interfaces.value_or(std::vector<InterfaceAddress>{}), std::nullopt, error);
}

std::optional<EchoProber> EchoProber::Open(std::chrono::milliseconds timeout,
                                           const std::vector<InterfaceAddress>& interfaces,
                                           std::optional<IcmpSocketKind> only, OsError* error) {
  // A raw socket where the process may open one: the system then reports no
  // error of one request on the socket, where the next send would take it for
  // its own (a datagram socket that asks for errors does).
  std::optional<std::pair<UniqueFd, IcmpSocketKind>> opened;
  OsError raw_error;
  OsError datagram_error;
  if (only != IcmpSocketKind::kDatagram) {
    if (auto fd = OpenIcmpSocket(IcmpSocketKind::kRaw, &raw_error))
      opened.emplace(std::move(*fd), IcmpSocketKind::kRaw);
  }
  if (!opened && only != IcmpSocketKind::kRaw) {
    if (auto fd = OpenIcmpSocket(IcmpSocketKind::kDatagram, &datagram_error))
      opened.emplace(std::move(*fd), IcmpSocketKind::kDatagram);
  }
  if (!opened) {
    if (error) {
      *error = only == IcmpSocketKind::kDatagram ? datagram_error : raw_error;
      if (!only) error->message = datagram_error.message + "; " + raw_error.message;
    }
    return std::nullopt;
  }
  EchoProber p;
  p.icmp_ = std::move(opened->first);
  p.kind_ = opened->second;
  p.timeout_ = timeout;
  p.default_ttl_ = SystemDefaultTtl();
  p.ip_id_ = NextEchoSequence();
  const int fd = p.icmp_.get();
  if (p.kind_ == IcmpSocketKind::kDatagram) {
    // The system picks the identifier (the socket's port) when it is bound, and
    // hands this socket only what carries it.
    sockaddr_in any{};
    any.sin_family = AF_INET;
    socklen_t len = sizeof any;
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&any), &len) != 0) {
      if (error) *error = MakeOsError(OsErrorKind::kBind, "bind(ICMP datagram)", errno);
      return std::nullopt;
    }
    p.id_ = ntohs(any.sin_port);
    // No IP_RECVERR: with it, an "unreachable" about one request would make the
    // next send of any other fail. Such a request waits out its time-out.
    if (!SetIntOption(fd, SOL_IP, IP_RECVTTL, 1, error, "setsockopt(IP_RECVTTL)"))
      return std::nullopt;
  } else {
    p.id_ = ProcessEchoId();
    if (!SetIcmpTypeFilter(fd, error) || !AttachIdentifierFilter(fd, p.id_, error))
      return std::nullopt;
  }
  EnlargeReceiveBuffer(fd, kProbeReceiveBuffer);
  SetIntOption(fd, SOL_SOCKET, SO_RXQ_OVFL, 1, nullptr, "");
  for (const InterfaceAddress& a : interfaces) {
    p.own_addresses_.push_back(a.address);
    const bool framed = a.kind == LinkKind::kEthernet || a.kind == LinkKind::kWireless;
    // A /31 or /32 has no neighbours to resolve; a card without a hardware
    // address cannot send frames.
    if (!a.up || !framed || !a.mac || a.address == 0 || a.mask == 0 || a.mask > 0xFFFFFFFCu)
      continue;
    Link link;
    link.sender = ArpSender{a.index, *a.mac, a.address};
    link.mask = a.mask;
    link.net = a.address & a.mask;
    link.broadcast = link.net | ~a.mask;
    OsError link_error;
    link.prober = ArpProber::Open(link.sender, &link_error);
    if (link.prober) {
      std::vector<sock_filter> code = FrameFilterCode(p.id_);
      std::optional<UniqueFd> replies = OpenFrameReceiver(a.index, ETH_P_IP, code, &link_error);
      if (replies) {
        link.replies = std::move(*replies);
      } else {
        link.prober.reset();  // a frame whose answer we might not see is not sent
      }
    }
    if (!link.prober) p.on_link_by_frames_ = false;
    p.links_.push_back(std::move(link));
  }
  return p;
}

int EchoProber::LinkFor(std::uint32_t address) const {
  if (std::ranges::find(own_addresses_, address) != own_addresses_.end()) return -1;
  for (std::size_t i = 0; i < links_.size(); ++i) {
    const Link& l = links_[i];
    if ((address & l.mask) == l.net && address != l.broadcast)
      return l.prober ? static_cast<int>(i) : -1;
  }
  return -1;
}

void EchoProber::Schedule(std::uint16_t seq, Probe& probe, ProbeClock::time_point at) {
  probe.next = at;
  timers_.Add(at, seq);
}

std::uint16_t EchoProber::FreeSequence() {
  // Drawn at random, so that nobody who sees one request can tell the sequence
  // number of another; at most 4096 of 65536 are in use, so a free one comes
  // within a few draws (and the scan below ends the search in any case).
  for (int draw = 0; draw < 64; ++draw) {
    const auto seq = static_cast<std::uint16_t>(random_());
    if (!probes_.contains(seq)) return seq;
  }
  auto seq = static_cast<std::uint16_t>(random_());
  while (probes_.contains(seq)) ++seq;
  return seq;
}

void EchoProber::Start(std::uint32_t address, int tag) {
  assert(probes_.size() < 65536);
  const std::uint16_t seq = FreeSequence();
  Probe& probe = probes_[seq];
  probe.tag = tag;
  probe.target = address;
  const ProbeClock::time_point now = ProbeClock::now();
  probe.deadline = now + timeout_;
  probe.link = LinkFor(address);
  if (probe.link >= 0) {
    // Two ARP requests within the echo's own time-out; a silent address costs
    // the time-out, as through the system.
    const ArpTiming resolve{2, timeout_ / 2, timeout_};
    if (links_[static_cast<std::size_t>(probe.link)].prober->Start(address, seq, resolve)) {
      probe.stage = Stage::kResolving;
      Schedule(seq, probe, probe.deadline);
      return;
    }
    probe.link = -1;
  }
  probe.stage = Stage::kToSend;
  Schedule(seq, probe, now);
}

void EchoProber::Finish(std::uint16_t seq, std::optional<int> ttl, std::vector<Ended>& ended) {
  const auto it = probes_.find(seq);
  if (it == probes_.end()) return;
  if (it->second.stage == Stage::kResolving)
    links_[static_cast<std::size_t>(it->second.link)].prober->Cancel(it->second.target);
  ended.push_back(Ended{it->second.tag, ttl});
  probes_.erase(it);
}

void EchoProber::SendThroughSystem(std::uint16_t seq, Probe& probe, std::vector<Ended>& ended,
                                   OsError* error) {
  const auto payload = EchoPayload();
  const std::vector<std::uint8_t> request = BuildEchoRequest(id_, seq, payload);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(probe.target);
  ssize_t rc = 0;
  do {
    rc = ::sendto(icmp_.get(), request.data(), request.size(), 0,
                  reinterpret_cast<const sockaddr*>(&to), sizeof to);
  } while (rc < 0 && errno == EINTR);
  if (rc >= 0) {
    ++stats_.sent;
    probe.stage = Stage::kSent;
    Schedule(seq, probe, probe.deadline);
    return;
  }
  if (IsTransientSendError(errno)) {
    ++stats_.send_retries;
    Schedule(seq, probe, ProbeClock::now() + kSendRetryDelay);
    return;
  }
  if (!IsUnreachableErrno(errno) && error && error->code == 0)
    *error = MakeOsError(OsErrorKind::kSend, "sendto(ICMP)", errno);
  Finish(seq, std::nullopt, ended);
}

void EchoProber::SendFrame(std::uint16_t seq, Probe& probe, std::vector<Ended>& ended,
                           OsError* error) {
  Link& link = links_[static_cast<std::size_t>(probe.link)];
  const auto payload = EchoPayload();
  const std::vector<std::uint8_t> packet =
      BuildIpv4Echo(link.sender.address, probe.target, default_ttl_, ip_id_++, id_, seq, payload);
  constexpr std::uint16_t kEtherTypeIpv4 = 0x0800;
  OsError send_error;
  if (link.prober->SendFrame(probe.mac, kEtherTypeIpv4, packet, &send_error)) {
    ++stats_.sent;
    probe.stage = Stage::kSent;
    Schedule(seq, probe, probe.deadline);
    return;
  }
  if (IsTransientSendError(send_error.code)) {
    ++stats_.send_retries;
    Schedule(seq, probe, ProbeClock::now() + kSendRetryDelay);
    return;
  }
  if (error && error->code == 0) *error = send_error;
  Finish(seq, std::nullopt, ended);
}

void EchoProber::Due(std::uint16_t seq, ProbeClock::time_point at, std::vector<Ended>& ended,
                     OsError* error) {
  const auto it = probes_.find(seq);
  if (it == probes_.end() || it->second.next != at) return;  // ended, or moved on
  Probe& probe = it->second;
  if (ProbeClock::now() >= probe.deadline) {
    Finish(seq, std::nullopt, ended);
    return;
  }
  switch (probe.stage) {
    case Stage::kToSend:
      SendThroughSystem(seq, probe, ended, error);
      break;
    case Stage::kFrameReady:
      SendFrame(seq, probe, ended, error);
      break;
    case Stage::kResolving:
    case Stage::kSent:
      Schedule(seq, probe, probe.deadline);  // nothing to do before the time-out
      break;
  }
}

void EchoProber::Matched(std::uint16_t seq, EchoVerdict verdict, int ttl,
                         std::vector<Ended>& ended) {
  if (verdict == EchoVerdict::kReply) {
    Finish(seq, ttl, ended);
  } else if (verdict == EchoVerdict::kError) {
    Finish(seq, std::nullopt, ended);
  } else {
    ++stats_.unmatched;
  }
}

EchoProber::Probe* EchoProber::SentProbe(std::optional<std::uint16_t> seq) {
  if (!seq) return nullptr;
  const auto it = probes_.find(*seq);
  // Nothing can answer a request before it is out.
  if (it == probes_.end() || it->second.stage != Stage::kSent) return nullptr;
  return &it->second;
}

void EchoProber::Receive(std::vector<Ended>& ended) {
  for (int read = 0; read < kMaxReadsPerService; ++read) {
    ReceivedMessage m;
    const ssize_t n = m.Receive(icmp_.get(), MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) return;
      continue;  // EINTR, or an error the socket reported once: read on
    }
    ++stats_.received;
    int ttl = -1;
    for (cmsghdr* cm = CMSG_FIRSTHDR(&m.msg); cm != nullptr; cm = CMSG_NXTHDR(&m.msg, cm)) {
      if (cm->cmsg_level == SOL_IP && cm->cmsg_type == IP_TTL)
        std::memcpy(&ttl, CMSG_DATA(cm), sizeof ttl);
      if (cm->cmsg_level == SOL_SOCKET && cm->cmsg_type == SO_RXQ_OVFL) {
        std::uint32_t drops = 0;
        std::memcpy(&drops, CMSG_DATA(cm), sizeof drops);
        stats_.dropped += drops - drops_seen_;
        drops_seen_ = drops;
      }
    }
    if ((m.msg.msg_flags & MSG_TRUNC) != 0) {
      ++stats_.unmatched;
      continue;
    }
    const std::span<const std::uint8_t> bytes(m.buf.data(), static_cast<std::size_t>(n));
    Consider(bytes, kind_ == IcmpSocketKind::kRaw, SourceOf(m.peer), ttl, -1, ended);
  }
}

void EchoProber::ReceiveFrames(std::size_t link, std::vector<Ended>& ended) {
  std::array<std::uint8_t, kReceiveBufferSize> buf{};
  const int fd = links_[link].replies.get();
  for (int read = 0; read < kMaxReadsPerService; ++read) {
    // MSG_TRUNC: the length of the frame, also when it did not fit.
    const ssize_t n = ::recv(fd, buf.data(), buf.size(), MSG_DONTWAIT | MSG_TRUNC);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) return;
      continue;  // EINTR, or an error the socket reported once: read on
    }
    ++stats_.received;
    const auto size = static_cast<std::size_t>(n);
    // A frame cut short by the buffer is nobody's answer to us.
    std::optional<std::span<const std::uint8_t>> packet;
    if (size <= buf.size())
      packet = Ipv4PacketTo(std::span(buf.data(), size), links_[link].sender.address);
    if (!packet) {
      ++stats_.unmatched;
      continue;
    }
    Consider(*packet, true, 0, -1, static_cast<int>(link), ended);
  }
}

void EchoProber::Consider(std::span<const std::uint8_t> bytes, bool raw, std::uint32_t source,
                          int ttl, int via_link, std::vector<Ended>& ended) {
  const auto seq = raw ? EchoSequenceOfRaw(bytes) : EchoSequenceOf(bytes);
  const Probe* probe = SentProbe(seq);
  // A packet read off a card answers only a request sent as a frame on that card.
  if (probe == nullptr || (via_link >= 0 && probe->link != via_link)) {
    ++stats_.unmatched;
    return;
  }
  // The full check against the one request that number belongs to: its
  // target, identifier, sequence number and data.
  const auto payload = EchoPayload();
  EchoExpect expect;
  expect.target = probe->target;
  expect.id = id_;
  expect.seq = *seq;
  expect.payload = payload;
  const EchoMatch match =
      raw ? MatchRawIcmp(bytes, expect) : MatchDatagramIcmp(bytes, source, ttl, expect);
  Matched(*seq, match.verdict, match.ttl, ended);
}

void EchoProber::Service(bool icmp_readable, const std::vector<char>& link_readable,
                         const std::vector<char>& replies_readable, std::vector<Ended>& ended,
                         OsError* error) {
  if (icmp_readable) Receive(ended);
  for (std::size_t i = 0; i < links_.size(); ++i) {
    if (replies_readable[i] != 0) ReceiveFrames(i, ended);
  }
  for (std::size_t i = 0; i < links_.size(); ++i) {
    if (!links_[i].prober) continue;
    resolved_.clear();
    links_[i].prober->Service(link_readable[i] != 0, resolved_, error);
    for (const ArpProber::Ended& r : resolved_) {
      const auto seq = static_cast<std::uint16_t>(r.tag);
      const auto it = probes_.find(seq);
      if (it == probes_.end() || it->second.stage != Stage::kResolving ||
          it->second.target != r.target) {
        continue;
      }
      if (!r.mac) {
        Finish(seq, std::nullopt, ended);
        continue;
      }
      it->second.mac = *r.mac;
      it->second.stage = Stage::kFrameReady;
      SendFrame(seq, it->second, ended, error);
    }
  }
  const ProbeClock::time_point now = ProbeClock::now();
  while (const auto due = timers_.PopDue(now)) Due(due->second, due->first, ended, error);
}

void EchoProber::Run(ProbeClock::time_point until, std::vector<Ended>& ended, OsError* error) {
  std::vector<char> link_readable(links_.size(), 0);
  std::vector<char> replies_readable(links_.size(), 0);
  // Whatever is due goes out before the wait; a wait only when nothing ended.
  const std::size_t before = ended.size();
  Service(false, link_readable, replies_readable, ended, error);
  if (ended.size() != before) return;
  std::vector<int> fds{icmp_.get()};
  std::vector<std::size_t> link_of;  // fds[i + 1] belongs to links_[link_of[i]]
  ProbeClock::time_point wake = std::min(until, timers_.Next());
  for (std::size_t i = 0; i < links_.size(); ++i) {
    if (!links_[i].prober || links_[i].prober->InFlight() == 0) continue;
    fds.push_back(links_[i].prober->fd());
    link_of.push_back(i);
    wake = std::min(wake, links_[i].prober->NextDue());
  }
  // Then the cards' reply sockets: fds[1 + link_of.size() + j] reads links_[replies_of[j]].
  std::vector<std::size_t> replies_of;
  for (std::size_t i = 0; i < links_.size(); ++i) {
    if (!links_[i].prober) continue;
    fds.push_back(links_[i].replies.get());
    replies_of.push_back(i);
  }
  const std::unique_ptr<bool[]> ready(new bool[fds.size()]());
  OsError wait_error;
  if (!WaitForSockets(fds, wake, std::span(ready.get(), fds.size()), &wait_error) && error &&
      error->code == 0) {
    *error = wait_error;
  }
  ++stats_.wakeups;
  for (std::size_t i = 0; i < link_of.size(); ++i) link_readable[link_of[i]] = ready[i + 1] ? 1 : 0;
  for (std::size_t j = 0; j < replies_of.size(); ++j)
    replies_readable[replies_of[j]] = ready[1 + link_of.size() + j] ? 1 : 0;
  Service(ready[0], link_readable, replies_readable, ended, error);
}

WireStats EchoProber::Stats() {
  for (const Link& l : links_) {
    if (l.prober) stats_.dropped += TakeFrameDrops(l.replies.get());
  }
  WireStats all = stats_;
  if (kind_ == IcmpSocketKind::kRaw) all.filtered_sockets += 1;
  for (Link& l : links_) {
    if (!l.prober) continue;
    all += l.prober->Stats();
    all.filtered_sockets += 1;  // the reply socket
  }
  return all;
}

}  // namespace ordalen
