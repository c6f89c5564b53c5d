// ARP sweep of the selected cards' subnets.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/arp_socket.h"
#include "platform/os_error.h"
#include "probes/cards.h"

namespace ordalen {

// How one address is asked: kArpRequestCount requests kArpRequestInterval apart;
// without a reply kArpWait after the first, the address counts as silent.
inline constexpr int kArpRequestCount = 3;
inline constexpr std::chrono::milliseconds kArpRequestInterval{500};
inline constexpr std::chrono::milliseconds kArpWait{1500};

// The system side of the sweep; tests give a fake.
class ArpOps {
 public:
  virtual ~ArpOps() = default;
  // Whether ARP requests can be sent at all; the reason when not.
  virtual bool CanAsk(OsError* error) = 0;
  // Asks `target` on the sender's card: its hardware address, or nullopt.
  // `error` gets a non-zero code only when the socket itself failed.
  virtual std::optional<MacBytes> Ask(const ArpSender& sender, std::uint32_t target,
                                      OsError* error) = 0;
  // The name registered for an address, or nullopt.
  virtual std::optional<std::string> ReverseName(std::uint32_t address) = 0;
};

// Raw ARP frames and the system resolver.
ArpOps& SystemArpOps();

// Sweeps every card with a non-zero ScanFlag, clipped to the command-line range
// when both of its ends are set; returns 1.
int ArpSweep(const CardTable& cards);
int ArpSweep(const CardTable& cards, ArpOps& ops);

// The text in upper case when it is 17 characters of ':' and hex digits, else "".
std::string ValidateMac(std::string_view text);

// Reverse lookup of a dotted address; "(unknown)" when nothing is found.
std::string LookupHostName(const std::string& ip);
std::string LookupHostName(const std::string& ip, ArpOps& ops);

}  // namespace ordalen
