// ICMP echo: one request, the TTL of its reply. Uses an unprivileged datagram
// ICMP socket where the system allows it (net.ipv4.ping_group_range), else a raw
// ICMP socket. SendEcho opens and closes a socket of its own for one request; an
// EchoProber keeps many requests in flight on one socket. Every request carries
// an identifier and a sequence number; only the echo reply from the address
// asked, with its sequence number and data, is accepted, and an ICMP error
// quoting our request ends the wait at once.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <random>
#include <span>
#include <unordered_map>
#include <vector>

#include "platform/arp_socket.h"
#include "platform/interfaces.h"
#include "platform/os_error.h"
#include "platform/probe_wait.h"
#include "platform/unique_fd.h"

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

// The sequence number an ICMP message (header first) is about: that of an echo
// reply or request, or that of the echo request an ICMP error quotes; nullopt
// for anything else. The same for a packet with its IP header first.
std::optional<std::uint16_t> EchoSequenceOf(std::span<const std::uint8_t> icmp);
std::optional<std::uint16_t> EchoSequenceOfRaw(std::span<const std::uint8_t> packet);

// An IPv4 packet holding an echo request from `source` to `target` (no options,
// "don't fragment", header checksum filled in), as a card sends it.
std::vector<std::uint8_t> BuildIpv4Echo(std::uint32_t source, std::uint32_t target, int ttl,
                                        std::uint16_t ip_id, std::uint16_t id, std::uint16_t seq,
                                        std::span<const std::uint8_t> payload);

// The IPv4 packet a frame that a card received holds, when it is addressed to
// `own` (host byte order): its header well-formed with the right checksum, no
// fragment, cut to its total length (a short frame is padded). nullopt for any
// other frame.
std::optional<std::span<const std::uint8_t>> Ipv4PacketTo(std::span<const std::uint8_t> frame,
                                                          std::uint32_t own);

enum class IcmpSocketKind { kDatagram, kRaw };

// Echo requests in flight, on one ICMP socket. On a raw socket a kernel filter
// lets through only echo replies and errors that carry our identifier; a
// datagram socket gets from the system only what carries its own.
//
// A target on the subnet of one of the machine's Ethernet cards (not one of its
// own addresses, not the broadcast address) is first asked by an ARP request of
// our own and then sent the echo request in a frame to the hardware address
// that answered: the system's neighbour table, which every network namespace of
// the machine shares and which holds about a thousand unresolved entries, never
// sees thousands of silent addresses at once. Every other target goes through
// the system's routing. Without the right to send frames, on-link targets go
// through the system too (OnLinkByFrames() is then false). The answer to a
// frame is read off the card as well, ahead of the system's packet filter:
// having never seen the request, the system tracks no connection for the reply
// and a firewall that drops untracked packets would drop it.
//
// Not thread-safe: one thread starts, runs and reads it.
class EchoProber {
 public:
  struct Ended {
    int tag = 0;
    std::optional<int> ttl;  // nullopt: no usable reply within the time-out
  };

  // Opens the ICMP socket (raw where the process may, else datagram) and the
  // cards' sockets; nullopt (and the reason) when no ICMP socket of either kind
  // can be opened. A datagram socket reports no ICMP errors: a request that one
  // answers waits out its time-out.
  static std::optional<EchoProber> Open(std::chrono::milliseconds timeout, OsError* error);
  // The same with a given list of the machine's addresses, and on a socket of
  // kind `only` when it is set (tests).
  static std::optional<EchoProber> Open(std::chrono::milliseconds timeout,
                                        const std::vector<InterfaceAddress>& interfaces,
                                        std::optional<IcmpSocketKind> only, OsError* error);

  // Starts one request to `address` (host byte order); `tag` comes back with its end.
  void Start(std::uint32_t address, int tag);
  [[nodiscard]] std::size_t InFlight() const { return probes_.size(); }
  [[nodiscard]] bool OnLinkByFrames() const { return on_link_by_frames_; }
  [[nodiscard]] IcmpSocketKind kind() const { return kind_; }

  // As ArpProber::Run: waits at most until `until`, sends what is due, reads what
  // came, appends the requests that ended in the order they ended; `error` gets
  // the first failure of a socket (the request it hit ends without a reply).
  void Run(ProbeClock::time_point until, std::vector<Ended>& ended, OsError* error);

  WireStats Stats();

 private:
  struct Link {
    ArpSender sender;
    std::uint32_t net = 0;
    std::uint32_t mask = 0;
    std::uint32_t broadcast = 0;
    std::optional<ArpProber> prober;
    UniqueFd replies;  // the card's ICMP frames for our identifier (with a prober)
  };
  enum class Stage {
    kToSend,      // to go out through the system
    kResolving,   // our ARP request for the target is in flight
    kFrameReady,  // the target's hardware address is known, the frame not yet out
    kSent,        // the request is out: only now can anything answer it
  };
  struct Probe {
    int tag = 0;
    std::uint32_t target = 0;
    int link = -1;  // the card it is sent on as a frame; -1: through the system
    Stage stage = Stage::kToSend;
    MacBytes mac{};  // from kFrameReady on, with a link
    ProbeClock::time_point deadline{};
    ProbeClock::time_point next{};  // the timer entry that is current
  };
  EchoProber() = default;
  [[nodiscard]] int LinkFor(std::uint32_t address) const;
  std::uint16_t FreeSequence();
  Probe* SentProbe(std::optional<std::uint16_t> seq);
  void Due(std::uint16_t seq, ProbeClock::time_point at, std::vector<Ended>& ended, OsError* error);
  void SendThroughSystem(std::uint16_t seq, Probe& probe, std::vector<Ended>& ended,
                         OsError* error);
  void SendFrame(std::uint16_t seq, Probe& probe, std::vector<Ended>& ended, OsError* error);
  void Finish(std::uint16_t seq, std::optional<int> ttl, std::vector<Ended>& ended);
  void Receive(std::vector<Ended>& ended);
  void ReceiveFrames(std::size_t link, std::vector<Ended>& ended);
  void Consider(std::span<const std::uint8_t> bytes, bool raw, std::uint32_t source, int ttl,
                int via_link, std::vector<Ended>& ended);
  void Matched(std::uint16_t seq, EchoVerdict verdict, int ttl, std::vector<Ended>& ended);
  void Service(bool icmp_readable, const std::vector<char>& link_readable,
               const std::vector<char>& replies_readable, std::vector<Ended>& ended,
               OsError* error);
  void Schedule(std::uint16_t seq, Probe& probe, ProbeClock::time_point at);

  UniqueFd icmp_;
  IcmpSocketKind kind_ = IcmpSocketKind::kRaw;
  std::uint16_t id_ = 0;
  int default_ttl_ = 64;
  std::uint16_t ip_id_ = 0;
  std::chrono::milliseconds timeout_{};
  bool on_link_by_frames_ = true;
  std::vector<Link> links_;
  std::vector<std::uint32_t> own_addresses_;
  std::unordered_map<std::uint16_t, Probe> probes_;  // by sequence number
  TimerQueue<std::uint16_t> timers_;
  std::mt19937 random_{std::random_device{}()};
  std::vector<ArpProber::Ended> resolved_;
  WireStats stats_;
  std::uint32_t drops_seen_ = 0;
};

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
