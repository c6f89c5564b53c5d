// A frame read by the ARP sweep's packet socket (ARP header first), checked as
// the reply of the target named by the first four bytes, and as a reply of
// whoever it names.
#include <cstring>

#include "fuzz_check.h"
#include "platform/arp_socket.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace ordalen;
  if (size < 4) return 0;
  const std::uint32_t target =
      static_cast<std::uint32_t>(data[0]) << 24 | data[1] << 16 | data[2] << 8 | data[3];
  const auto packet = fuzz::Bytes(data + 4, size - 4);
  // The sweep's reading: a reply speaks for its sender, and for no one else.
  if (const auto any = ParseAnyArpReply(packet)) {
    FUZZ_CHECK(ParseArpReply(packet, any->sender) == any->mac);
    FUZZ_CHECK(!ParseArpReply(packet, any->sender + 1));
  }
  const auto mac = ParseArpReply(packet, target);
  if (!mac) return 0;
  FUZZ_CHECK(packet.size() >= kArpPacketSize);
  // The MAC is the sender hardware address, and the sender is the target.
  FUZZ_CHECK(std::memcmp(mac->data(), packet.data() + 8, 6) == 0);
  const std::uint32_t sender = static_cast<std::uint32_t>(packet[14]) << 24 | packet[15] << 16 |
                               packet[16] << 8 | packet[17];
  FUZZ_CHECK(sender == target);
  // Operation 2 (reply): a request for the same address is not an answer.
  FUZZ_CHECK(packet[6] == 0 && packet[7] == 2);
  return 0;
}
