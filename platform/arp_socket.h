// ARP requests sent as raw frames on one interface (an AF_PACKET socket), so the
// answer always comes from the wire and never from the system's neighbour cache
// (which they leave untouched). An ArpProber keeps any number of requests in
// flight on one socket per card: a kernel filter lets only ARP replies to this
// machine through (one filter run per frame, whatever the number of requests),
// and each reply ends the request for the address it speaks for, and no other.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

#include "platform/os_error.h"
#include "platform/probe_wait.h"
#include "platform/socket_filter.h"
#include "platform/unique_fd.h"

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

// Who sent an Ethernet/IPv4 ARP reply: its sender protocol and hardware addresses.
struct ArpReply {
  std::uint32_t sender = 0;  // host byte order
  MacBytes mac{};
};
std::optional<ArpReply> ParseAnyArpReply(std::span<const std::uint8_t> packet);

// Whether this process may send raw frames; the reason when not.
bool CanOpenArpSocket(OsError* error);

// Requests in flight on one card. Not thread-safe: one thread starts, runs and
// reads it.
class ArpProber {
 public:
  struct Ended {
    int tag = 0;
    std::uint32_t target = 0;
    std::optional<MacBytes> mac;  // nullopt: no reply within the timing
  };

  // Opens the card's socket; nullopt (and the reason) when it cannot be opened.
  static std::optional<ArpProber> Open(const ArpSender& sender, OsError* error);

  // Starts asking `target`; `tag` comes back with its end. The first request goes
  // out at the next Run or Service. False when `target` is in flight already.
  bool Start(std::uint32_t target, int tag, const ArpTiming& timing);
  // Stops asking `target` without an end to report.
  void Cancel(std::uint32_t target) { probes_.erase(target); }
  [[nodiscard]] std::size_t InFlight() const { return probes_.size(); }

  // Waits until something is due or has come, at most until `until`; sends what
  // is due, reads every reply waiting, and appends the requests that ended, in
  // the order they ended. A request the socket failed for ends without a reply;
  // `error` then gets the first such failure.
  void Run(ProbeClock::time_point until, std::vector<Ended>& ended, OsError* error);

  // Run in pieces, for one wait over several sockets: the socket to wait on, when
  // the next timer is due, and the work once the wait is over.
  [[nodiscard]] int fd() const { return fd_.get(); }
  [[nodiscard]] ProbeClock::time_point NextDue() const { return timers_.Next(); }
  void Service(bool readable, std::vector<Ended>& ended, OsError* error);

  // Sends one frame of `ethertype` to `to` on the card. False when the system
  // refused it (`error`; IsTransientSendError(error->code) when only for now).
  bool SendFrame(const MacBytes& to, std::uint16_t ethertype, std::span<const std::uint8_t> bytes,
                 OsError* error);

  // What this prober did so far (the system's drop count read now).
  WireStats Stats();

 private:
  struct Probe {
    int tag = 0;
    ArpTiming timing;
    int sent = 0;
    ProbeClock::time_point started{};
    ProbeClock::time_point first_sent{};
    ProbeClock::time_point next{};  // the timer entry that is current
  };
  ArpProber(UniqueFd fd, const ArpSender& sender);
  void Receive(std::vector<Ended>& ended, OsError* error);
  void Due(std::uint32_t target, ProbeClock::time_point at, std::vector<Ended>& ended,
           OsError* error);
  void Schedule(std::uint32_t target, Probe& probe, ProbeClock::time_point at);

  UniqueFd fd_;
  ArpSender sender_;
  std::unordered_map<std::uint32_t, Probe> probes_;
  TimerQueue<std::uint32_t> timers_;
  WireStats stats_;
};

// A socket that receives the frames of `ethertype` on the card (their link
// header removed) that `code` keeps; the filter is in place before the first
// frame comes. nullopt (and the reason) when it cannot be opened.
std::optional<UniqueFd> OpenFrameReceiver(int interface_index, std::uint16_t ethertype,
                                          std::span<sock_filter> code, OsError* error);

// Frames the system dropped for a packet socket since the last call (its queue
// was full); 0 when it cannot tell.
std::uint64_t TakeFrameDrops(int fd);

// Asks `target` on the sender's interface. Its hardware address, or nullopt when
// no reply came within the timing. `error` gets a non-zero code only when the
// socket itself failed.
std::optional<MacBytes> AskArp(const ArpSender& sender, std::uint32_t target,
                               const ArpTiming& timing, OsError* error);

}  // namespace ordalen
