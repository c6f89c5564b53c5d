// A packet read by the ping sweep's ICMP socket, checked against the request
// it waits for. The first bytes choose the expected request; the rest is the
// packet, read both as a raw socket delivers it (IP header first) and as a
// datagram socket does (ICMP header first), and as an error-queue quote; and
// as a frame read off the card, addressed to the expected target.
#include <cstring>

#include "fuzz_check.h"
#include "platform/icmp.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace ordalen;
  constexpr std::size_t kHead = 9;  // target (4), id (2), seq (2), ttl (1)
  if (size < kHead) return 0;
  const auto payload = EchoPayload();
  EchoExpect expect;
  std::memcpy(&expect.target, data, 4);
  expect.id = static_cast<std::uint16_t>(data[4] << 8 | data[5]);
  expect.seq = static_cast<std::uint16_t>(data[6] << 8 | data[7]);
  expect.payload = payload;
  const int ttl = static_cast<int>(data[8]) - 1;  // -1: none reported
  const auto packet = fuzz::Bytes(data + kHead, size - kHead);

  const EchoMatch raw = MatchRawIcmp(packet, expect);
  if (raw.verdict == EchoVerdict::kReply) {
    FUZZ_CHECK(raw.ttl >= 0 && raw.ttl <= 255);
    FUZZ_CHECK(packet.size() >= 20 + 8 + payload.size());
  }
  const EchoMatch datagram = MatchDatagramIcmp(packet, expect.target, ttl, expect);
  if (datagram.verdict == EchoVerdict::kReply) {
    FUZZ_CHECK(datagram.ttl == (ttl < 0 ? 0 : ttl));
    // A reply carries exactly our request's data, behind its checksum.
    FUZZ_CHECK(packet.size() == 8 + payload.size());
    FUZZ_CHECK(InternetChecksum(packet) == 0);
  }
  // The sweep finds the request a packet may answer by its sequence number
  // alone: whatever the full match takes for ours carries that number.
  if (raw.verdict != EchoVerdict::kUnrelated) FUZZ_CHECK(EchoSequenceOfRaw(packet) == expect.seq);
  if (datagram.verdict != EchoVerdict::kUnrelated) FUZZ_CHECK(EchoSequenceOf(packet) == expect.seq);
  // An echo reply from anyone but the target is never ours.
  FUZZ_CHECK(MatchDatagramIcmp(packet, expect.target + 1, ttl, expect).verdict !=
             EchoVerdict::kReply);
  (void)QuotesOurEcho(packet, expect.target, expect);
  // A frame off the card: what is kept is a whole header and lies inside the frame.
  if (const auto kept = Ipv4PacketTo(packet, expect.target)) {
    FUZZ_CHECK(kept->data() == packet.data());
    FUZZ_CHECK(kept->size() >= 20 && kept->size() <= packet.size());
    (void)MatchRawIcmp(*kept, expect);
  }
  return 0;
}
