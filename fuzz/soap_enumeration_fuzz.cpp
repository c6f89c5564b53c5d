// The SOAP answer to an enumeration or pull request (or a fault instead).
#include "fuzz_check.h"
#include "probes/soap_enumeration.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace ordalen;
  const auto answer = ParseEnumerationAnswer(fuzz::Text(data, size));
  if (!answer) return 0;
  // A name is taken only from an item, and only one fit for console and log lines.
  if (answer->first_name) {
    FUZZ_CHECK(answer->item_count >= 1);
    FUZZ_CHECK(UsableComputerName(*answer->first_name));
  }
  if (answer->fault) FUZZ_CHECK(!answer->first_name);
  return 0;
}
