// ARP sweep of the selected cards' subnets.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/log.h"
#include "app/settings.h"
#include "platform/arp_socket.h"
#include "platform/os_error.h"
#include "probes/cards.h"
#include "probes/host_lookup.h"

namespace ordalen {

// How one address is asked: kArpRequestCount requests kArpRequestInterval apart;
// without a reply kArpWait after the first, the address counts as silent.
inline constexpr int kArpRequestCount = 3;
inline constexpr std::chrono::milliseconds kArpRequestInterval{500};
inline constexpr std::chrono::milliseconds kArpWait{1500};

// Requests in flight on one card, all asked with the timing above.
class ArpAsker {
 public:
  struct Answer {
    int slot = 0;
    std::optional<MacBytes> mac;  // nullopt: no reply
  };
  virtual ~ArpAsker() = default;
  // Starts asking `target`; its end comes back from Wait with `slot`.
  virtual void Ask(std::uint32_t target, int slot) = 0;
  // Waits at most `max_wait` for requests to end and appends those that ended,
  // in the order they ended. `error` gets a non-zero code only when the socket
  // itself failed.
  virtual void Wait(std::chrono::milliseconds max_wait, std::vector<Answer>& ended,
                    OsError* error) = 0;
  // What the requests cost on the wire so far.
  virtual WireStats Stats() { return {}; }
};

// What the sweep asks of the network; tests give a fake.
class ArpOps {
 public:
  virtual ~ArpOps() = default;
  // Whether ARP requests can be sent at all; the reason when not.
  virtual bool CanAsk(OsError* error) = 0;
  // Requests on the sender's card; nullptr (and the reason) when its socket
  // cannot be opened.
  virtual std::unique_ptr<ArpAsker> OpenAsker(const ArpSender& sender, OsError* error) = 0;
  // The names of the hosts that answered.
  virtual HostLookup& Names() = 0;
};

// Raw ARP frames and the system resolver.
ArpOps& SystemArpOps();

// Sweeps every card of `cards` with a non-zero ScanFlag, clipped to the
// settings' command-line range when both of its ends are set. Up to
// "Thread" addresses (at most 4096) are asked at once; the names of answering
// hosts are looked up beside the requests, on up to 256 threads. Each answering
// host is stored, printed "[ip]MAC" and logged "ARP[ip]: MAC" through `out`.
void ArpSweep(const SCANCONFIG& config, const CardTable& cards, ArpOps& probes, OutputSink& out);

// The text in upper case when it is 17 characters of ':' and hex digits, else "".
std::string ValidateMac(std::string_view text);

// What the last ArpSweep of this process cost on the wire (benchmarks).
WireStats LastArpSweepStats();

}  // namespace ordalen
