#include "platform/address_text.h"

#include <arpa/inet.h>

namespace ordalen {

std::optional<std::uint32_t> ParseIpv4Text(const std::string& text) {
  in_addr address{};
  if (::inet_aton(text.c_str(), &address) == 0) return std::nullopt;
  return ntohl(address.s_addr);
}

}  // namespace ordalen
