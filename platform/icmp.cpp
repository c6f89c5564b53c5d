#include "platform/icmp.h"

#include <arpa/inet.h>
#include <linux/errqueue.h>
#include <linux/icmp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <random>

#include "base/byte_cursor.h"
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

bool IsErrorType(std::uint8_t type) {
  return type == kTypeDestinationUnreachable || type == kTypeTimeExceeded ||
         type == kTypeParameterProblem;
}

// The IPv4 header at the cursor: its length, TTL, protocol, source and
// destination; nullopt when it is not a well-formed IPv4 header.
struct IpHeader {
  std::size_t length = 0;
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
  if (h.length < 20 || !c.Skip(7)) return std::nullopt;  // TOS, length, id, fragment
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
    error->code = raw_error.code;
    error->message = datagram_error.message + "; " + raw_error.message;
  }
  return std::nullopt;
}

bool SetIntOption(int fd, int level, int name, int value, OsError* error, const char* what) {
  if (::setsockopt(fd, level, name, &value, sizeof value) == 0) return true;
  if (error) *error = MakeOsError(what, errno);
  return false;
}

// Milliseconds left until `deadline`, rounded up; 0 once it has passed.
int MillisecondsLeft(std::chrono::steady_clock::time_point deadline) {
  const auto left = deadline - std::chrono::steady_clock::now();
  if (left <= std::chrono::steady_clock::duration::zero()) return 0;
  return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
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
    icmp_filter filter{};
    filter.data = ~((1U << kTypeEchoReply) | (1U << kTypeDestinationUnreachable) |
                    (1U << kTypeTimeExceeded) | (1U << kTypeParameterProblem));
    if (::setsockopt(fd, SOL_RAW, ICMP_FILTER, &filter, sizeof filter) != 0) {
      if (error) *error = MakeOsError("setsockopt(ICMP_FILTER)", errno);
      return std::nullopt;
    }
  }
  const std::vector<std::uint8_t> request = BuildEchoRequest(expect.id, expect.seq, payload);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(address);
  while (::sendto(fd, request.data(), request.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                  sizeof to) < 0) {
    if (errno == EINTR) continue;
    if (!IsUnreachableErrno(errno) && error) *error = MakeOsError("sendto(ICMP)", errno);
    return std::nullopt;
  }
  if (kind == IcmpSocketKind::kDatagram) {
    sockaddr_in local{};
    socklen_t len = sizeof local;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len) != 0) {
      if (error) *error = MakeOsError("getsockname(ICMP)", errno);
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
      if (error) *error = MakeOsError("poll(ICMP)", errno);
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
    if (error) *error = OsError{EIO, "poll(ICMP): socket error"};
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

}  // namespace ordalen
