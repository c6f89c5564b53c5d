// The machine's network interfaces as the card listing needs them: one entry per
// IPv4 address, with the kind, state and hardware address of its interface.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/os_error.h"

namespace ordalen {

enum class LinkKind {
  kEthernet,  // an Ethernet-framed card (wired, veth, bridge, ...)
  kWireless,  // an Ethernet-framed IEEE 802.11 card
  kOther,     // loopback, tunnels, PPP, InfiniBand, ...
};

struct InterfaceAddress {
  std::string name;  // the interface name (an address label "eth0:1" gives "eth0")
  int index = 0;     // the interface index
  bool up = false;   // administratively up (IFF_UP)
  LinkKind kind = LinkKind::kOther;
  std::optional<std::array<std::uint8_t, 6>> mac;  // the hardware address, when it has six bytes
  std::uint32_t address = 0;                       // host byte order
  std::uint32_t mask = 0;                          // host byte order; 0 when the system gives none
};

// Every IPv4 address of every interface, in the order the system lists them;
// nullopt (and the reason) when the list cannot be read.
std::optional<std::vector<InterfaceAddress>> ListInterfaceAddresses(OsError* error);

}  // namespace ordalen
