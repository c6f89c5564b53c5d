// A datagram on the NetBIOS query port, read as a node-status answer.
#include <algorithm>

#include "fuzz_check.h"
#include "probes/netbios.h"

namespace {

bool NoControlBytes(const std::string& text) {
  return std::none_of(text.begin(), text.end(),
                      [](char c) { return static_cast<unsigned char>(c) < 0x20; });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace ordalen;
  const auto datagram = fuzz::Bytes(data, size);
  const auto status = ParseStatusResponse(datagram);
  if (!status) return 0;
  FUZZ_CHECK(size > kFirstNameEntry);
  FUZZ_CHECK(status->MacAddress.empty() || status->MacAddress.size() == 17);
  // A name is at most the 15 bytes of its entry, and never carries a control byte
  // into the log or the result file.
  FUZZ_CHECK(status->ComputerName.size() <= 15 && status->DomainName.size() <= 15);
  FUZZ_CHECK(NoControlBytes(status->ComputerName) && NoControlBytes(status->DomainName));
  FUZZ_CHECK(!status->ComputerName.starts_with("IS~"));
  // The receive buffer keeps only the first kNodeStatusReceiveSize bytes; whether
  // a datagram is an answer at all is decided by its header alone.
  if (size > kNodeStatusReceiveSize) {
    FUZZ_CHECK(ParseStatusResponse(datagram.first(kNodeStatusReceiveSize)).has_value());
  }
  return 0;
}
