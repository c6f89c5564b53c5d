// A sealed multipart body ("multipart/encrypted") as the service sends it.
#include "fuzz_check.h"
#include "probes/encrypted_body.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace ordalen;
  const auto body = fuzz::Bytes(data, size);
  (void)IsEncryptedContentType(fuzz::Text(data, size));
  const auto parsed = ParseEncryptedBody(body);
  if (!parsed) return 0;
  // The sealed part lies inside the body: the signature, then exactly as many
  // bytes as the original text had.
  FUZZ_CHECK(parsed->sealed.data() >= data &&
             parsed->sealed.data() + parsed->sealed.size() <= data + size);
  FUZZ_CHECK(parsed->sealed.size() == kSealSignatureBytes + parsed->original_length);
  // What we build for a sealed message reads back as the same message.
  const auto rebuilt = BuildEncryptedBody(parsed->sealed);
  const auto again = ParseEncryptedBody(rebuilt);
  FUZZ_CHECK(again && again->original_length == parsed->original_length);
  FUZZ_CHECK(std::equal(again->sealed.begin(), again->sealed.end(), parsed->sealed.begin(),
                        parsed->sealed.end()));
  return 0;
}
