#include "platform/interfaces.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>

namespace ordalen {
namespace {

struct LinkInfo {
  int index = 0;
  unsigned short hatype = 0;
  std::optional<std::array<std::uint8_t, 6>> mac;
};

struct IfaddrsFree {
  void operator()(ifaddrs* list) const { freeifaddrs(list); }
};

// An address label ("eth0:1") belongs to the interface named before the colon.
std::string LinkName(const char* label) {
  std::string name = label ? label : "";
  const auto colon = name.find(':');
  if (colon != std::string::npos) name.resize(colon);
  return name;
}

// 802.11 cards carry a "wireless" or "phy80211" entry in sysfs. sysfs shows the
// interfaces of the namespace it was mounted in, which need not be ours, so the
// entry counts only when its interface index is the one we were given.
bool IsWireless(const std::string& name, int index) {
  namespace fs = std::filesystem;
  if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..")
    return false;
  const fs::path dir = fs::path("/sys/class/net") / name;
  std::error_code ec;
  if (!fs::exists(dir / "wireless", ec) && !fs::exists(dir / "phy80211", ec)) return false;
  std::ifstream in(dir / "ifindex");
  int sys_index = -1;
  return static_cast<bool>(in >> sys_index) && sys_index == index;
}

std::uint32_t HostOrder(const sockaddr* sa) {
  if (sa == nullptr || sa->sa_family != AF_INET) return 0;
  sockaddr_in sin{};
  std::memcpy(&sin, sa, sizeof sin);
  return ntohl(sin.sin_addr.s_addr);
}

}  // namespace

std::optional<std::vector<InterfaceAddress>> ListInterfaceAddresses(OsError* error) {
  ifaddrs* raw = nullptr;
  if (getifaddrs(&raw) != 0) {
    if (error) *error = MakeOsError(OsErrorKind::kInterfaces, "getifaddrs", errno);
    return std::nullopt;
  }
  const std::unique_ptr<ifaddrs, IfaddrsFree> list(raw);

  std::map<std::string, LinkInfo> links;
  for (const ifaddrs* it = raw; it != nullptr; it = it->ifa_next) {
    if (it->ifa_addr == nullptr || it->ifa_addr->sa_family != AF_PACKET) continue;
    sockaddr_ll ll{};
    std::memcpy(&ll, it->ifa_addr, sizeof ll);
    LinkInfo info;
    info.index = ll.sll_ifindex;
    info.hatype = ll.sll_hatype;
    if (ll.sll_halen == 6) {
      std::array<std::uint8_t, 6> mac{};
      std::memcpy(mac.data(), ll.sll_addr, mac.size());
      info.mac = mac;
    }
    links[LinkName(it->ifa_name)] = info;
  }

  std::vector<InterfaceAddress> out;
  for (const ifaddrs* it = raw; it != nullptr; it = it->ifa_next) {
    if (it->ifa_addr == nullptr || it->ifa_addr->sa_family != AF_INET) continue;
    InterfaceAddress entry;
    entry.name = LinkName(it->ifa_name);
    entry.up = (it->ifa_flags & IFF_UP) != 0;
    entry.address = HostOrder(it->ifa_addr);
    entry.mask = HostOrder(it->ifa_netmask);
    const auto link = links.find(entry.name);
    if (link != links.end()) {
      entry.index = link->second.index;
      entry.mac = link->second.mac;
      if (link->second.hatype == ARPHRD_ETHER) {
        entry.kind =
            IsWireless(entry.name, entry.index) ? LinkKind::kWireless : LinkKind::kEthernet;
      }
    } else {
      entry.index = static_cast<int>(if_nametoindex(entry.name.c_str()));
    }
    out.push_back(std::move(entry));
  }
  return out;
}

}  // namespace ordalen
