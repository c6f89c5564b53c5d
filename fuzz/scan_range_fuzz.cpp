// The command line's range argument "START-END".
#include <string>

#include "app/range.h"
#include "base/text.h"
#include "fuzz_check.h"
#include "platform/address_text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace ordalen;
  const std::string_view text = fuzz::Text(data, size);
  const auto range = SplitScanRange(text);
  const auto hyphen = text.find('-');
  if (!range) {
    FUZZ_CHECK(hyphen == std::string_view::npos || hyphen == 0);
    return 0;
  }
  FUZZ_CHECK(range->start_text.find('-') == std::string::npos);
  FUZZ_CHECK(range->start_text + "-" + range->end_text == text);
  // An address read back from its own dotted text is the same address.
  for (const auto& bound : {range->start, range->end}) {
    if (bound) FUZZ_CHECK(ParseIpv4Text(IpText(*bound)) == bound);
  }
  // Text holding a NUL byte is never an address (nothing after it may be ignored).
  if (range->start_text.find('\0') != std::string::npos) FUZZ_CHECK(!range->start);
  if (range->end_text.find('\0') != std::string::npos) FUZZ_CHECK(!range->end);
  return 0;
}
