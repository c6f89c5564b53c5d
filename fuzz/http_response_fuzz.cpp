// What the remote management service sends back over HTTP: the response head,
// its Negotiate token, and a chunked body after it.
#include <string>

#include "base/base64.h"
#include "fuzz_check.h"
#include "probes/http_response.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace ordalen;
  constexpr std::size_t kMaxBody = 64 * 1024;
  const auto bytes = fuzz::Bytes(data, size);
  const auto end = FindHttpHeadEnd(bytes);
  if (end) FUZZ_CHECK(*end >= 4 && *end <= size);
  const std::string_view head = end ? fuzz::Text(data, *end) : fuzz::Text(data, size);
  if (const auto parsed = ParseHttpResponseHead(head)) {
    FUZZ_CHECK(parsed->headers.size() <= kMaxHttpHeaders);
    bool valid = true;
    (void)parsed->ContentLength(valid);
    (void)parsed->Chunked();
    (void)parsed->ClosesConnection();
    if (const auto token = NegotiateToken(*parsed)) {
      // The token came as base64 text: written out again it reads back the same.
      FUZZ_CHECK(Base64Decode(Base64Encode(*token)) == *token);
    }
  }
  const auto body = bytes.subspan(end ? *end : 0);
  const ChunkedBody chunked = DecodeChunked(body, kMaxBody);
  FUZZ_CHECK(chunked.consumed <= body.size());
  if (chunked.state == ChunkedBody::State::kComplete) {
    FUZZ_CHECK(chunked.body.size() <= kMaxBody);
    FUZZ_CHECK(chunked.consumed >= chunked.body.size() + 5);  // at least "0\r\n\r\n"
    // A body that came whole decodes the same from exactly the bytes it used.
    const ChunkedBody again = DecodeChunked(body.first(chunked.consumed), kMaxBody);
    FUZZ_CHECK(again.state == ChunkedBody::State::kComplete && again.body == chunked.body);
  }
  return 0;
}
