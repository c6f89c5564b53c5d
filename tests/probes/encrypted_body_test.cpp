#include "probes/encrypted_body.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "support/wsman_peer.h"

namespace ordalen {
namespace {

using test::Bytes;
using test::Text;

// ---------------------------------------------------------------- sealed bodies

std::vector<std::uint8_t> FakeSealed(std::string_view plain) {
  const std::string text = std::string(kSealSignatureBytes, '\xA5') + std::string(plain);
  return {text.begin(), text.end()};
}

TEST(SealedBody, HasTheExactLayout) {
  const auto body = BuildEncryptedBody(FakeSealed("<x/>"));
  const std::string expected =
      std::string(
          "--Encrypted Boundary\r\n"
          "\tContent-Type: application/HTTP-SPNEGO-session-encrypted\r\n"
          "\tOriginalContent: type=application/soap+xml;charset=UTF-8;Length=4\r\n"
          "--Encrypted Boundary\r\n"
          "\tContent-Type: application/octet-stream\r\n") +
      std::string("\x10\x00\x00\x00", 4) + std::string(16, '\xA5') +
      "<x/>--Encrypted Boundary--\r\n";
  EXPECT_EQ(Text(body), expected);
}

TEST(SealedBody, ParsesWhatItBuildsAndTolerantVariants) {
  const auto sealed = FakeSealed("<soap>payload</soap>");
  const auto body = BuildEncryptedBody(sealed);
  const auto parsed = ParseEncryptedBody(body);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->original_length, 20u);
  EXPECT_EQ(std::vector<std::uint8_t>(parsed->sealed.begin(), parsed->sealed.end()), sealed);

  // Without the tab indentation and with a line end before the closing boundary.
  std::string variant = Text(body);
  for (auto pos = variant.find("\r\n\t"); pos != std::string::npos; pos = variant.find("\r\n\t"))
    variant.erase(pos + 2, 1);
  variant.insert(variant.rfind("--Encrypted Boundary--"), "\r\n");
  EXPECT_TRUE(ParseEncryptedBody(Bytes(variant)));
}

TEST(SealedBody, RefusesDamagedBodies) {
  const std::string good = Text(BuildEncryptedBody(FakeSealed("<soap>payload</soap>")));
  auto replace = [&good](const std::string& from, const std::string& to) {
    std::string s = good;
    const auto pos = s.find(from);
    EXPECT_NE(pos, std::string::npos) << from;
    return s.replace(pos, from.size(), to);
  };
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"first boundary", replace("--Encrypted Boundary\r\n\tContent-Type: application/HTTP",
                                 "--Other\r\n\tContent-Type: application/HTTP")},
      {"other protocol",
       replace("HTTP-SPNEGO-session-encrypted", "HTTP-CredSSP-session-encrypted")},
      {"no length", replace(";Length=20", "")},
      {"length too big", replace("Length=20", "Length=21")},
      {"length too small", replace("Length=20", "Length=19")},
      {"length not a number", replace("Length=20", "Length=2x")},
      {"signature length 15",
       replace(std::string("\x10\x00\x00\x00", 4), std::string("\x0F\x00\x00\x00", 4))},
      {"signature length 17",
       replace(std::string("\x10\x00\x00\x00", 4), std::string("\x11\x00\x00\x00", 4))},
      {"second part type", replace("application/octet-stream", "text/plain")},
      {"no closing boundary", replace("--Encrypted Boundary--\r\n", "")},
      {"garbage after end", good + "junk"},
  };
  for (const auto& [what, body] : cases) EXPECT_FALSE(ParseEncryptedBody(Bytes(body))) << what;
  // Every truncation fails cleanly.
  for (std::size_t cut = 0; cut + 2 < good.size(); ++cut) {
    EXPECT_FALSE(ParseEncryptedBody(Bytes(good).first(cut))) << "cut " << cut;
  }
}

TEST(SealedBody, RecognisesTheContentType) {
  EXPECT_TRUE(IsEncryptedContentType(kEncryptedContentType));
  EXPECT_TRUE(
      IsEncryptedContentType("Multipart/Encrypted; boundary=\"Encrypted Boundary\"; "
                             "protocol=\"application/http-spnego-session-encrypted\""));
  EXPECT_FALSE(IsEncryptedContentType("application/soap+xml;charset=UTF-8"));
  EXPECT_FALSE(IsEncryptedContentType(
      "multipart/encrypted;protocol=\"application/HTTP-CredSSP-session-encrypted\""));
  EXPECT_FALSE(IsEncryptedContentType("multipart/encrypted"));
}

}  // namespace
}  // namespace ordalen
