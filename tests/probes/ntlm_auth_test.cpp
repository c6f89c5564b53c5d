#include "probes/ntlm_auth.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "probes/encrypted_body.h"
#include "probes/soap_enumeration.h"
#include "support/process.h"
#include "support/wsman_peer.h"

namespace ordalen {
namespace {

using test::Bytes;
using test::TestAcceptor;
using test::Text;

constexpr const char* kUser = "labadmin";
constexpr const char* kPassword = "Lab-Pass-1";
constexpr const char* kComputerName = "WIN-WSMAN";

// ---------------------------------------------------------------- NTLM in one process

class NtlmPair : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!NtlmMechanismAvailable())
      GTEST_SKIP() << "the NTLM mechanism (gss-ntlmssp) is not installed";
    users_ = dir_.Write("users", std::string(kComputerName) + ":" + kUser + ":" + kPassword + "\n");
    ::setenv("NTLM_USER_FILE", users_.c_str(), 1);
  }
  void TearDown() override { ::unsetenv("NTLM_USER_FILE"); }

  // Runs the three messages; true when the acceptor took the account.
  bool Handshake(NtlmInitiator& client, TestAcceptor& server, const std::string& password) {
    std::vector<std::uint8_t> negotiate, challenge, authenticate, last;
    if (!client.Start(kUser, password, "127.0.0.1", negotiate)) return false;
    if (server.Step(negotiate, challenge) != GSS_S_CONTINUE_NEEDED) return false;
    if (!client.Continue(challenge, authenticate)) return false;
    EXPECT_TRUE(client.Complete());
    return server.Step(authenticate, last) == GSS_S_COMPLETE;
  }

  test::TempDir dir_;
  std::filesystem::path users_;
};

TEST_F(NtlmPair, SealFrameParseUnsealBothWays) {
  NtlmInitiator client;
  TestAcceptor server;
  ASSERT_TRUE(server.ready());
  ASSERT_TRUE(Handshake(client, server, kPassword));

  for (int round = 0; round < 3; ++round) {
    const std::string request = BuildEnumerateRequest("http://127.0.0.1:5985/wsman",
                                                      "uuid:" + std::to_string(round), "PT8.000S");
    const auto sealed = client.Seal(Bytes(request));
    ASSERT_TRUE(sealed) << client.error_text();
    EXPECT_EQ(sealed->size(), request.size() + kSealSignatureBytes);
    EXPECT_EQ(Text(*sealed).find("Enumerate"), std::string::npos) << "the text travels sealed";
    const auto body = BuildEncryptedBody(*sealed);
    const auto parsed = ParseEncryptedBody(body);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->original_length, request.size());
    EXPECT_EQ(server.Unwrap(parsed->sealed), request);

    const std::string reply = test::PullEnvelope("<w:XmlFragment><Name>R" + std::to_string(round) +
                                                 "</Name></w:XmlFragment>");
    const auto reply_body = BuildEncryptedBody(server.Wrap(reply, true));
    const auto reply_parsed = ParseEncryptedBody(reply_body);
    ASSERT_TRUE(reply_parsed);
    const auto plain = client.Unseal(reply_parsed->sealed);
    ASSERT_TRUE(plain) << client.error_text();
    EXPECT_EQ(Text(*plain), reply);
  }
}

TEST_F(NtlmPair, UnsealRefusesTamperedReplayedAndSignedOnlyMessages) {
  NtlmInitiator client;
  TestAcceptor server;
  ASSERT_TRUE(server.ready());
  ASSERT_TRUE(Handshake(client, server, kPassword));

  // A changed byte in the data, then one in the signature.
  for (std::size_t at : {std::size_t{20}, std::size_t{4}}) {
    auto sealed = server.Wrap("<answer>text</answer>", true);
    sealed[at] ^= 0x01;
    EXPECT_FALSE(client.Unseal(sealed)) << "byte " << at;
  }
  // The same message twice: the second is out of sequence.
  NtlmInitiator client2;
  TestAcceptor server2;
  ASSERT_TRUE(Handshake(client2, server2, kPassword));
  const auto sealed = server2.Wrap("<answer/>", true);
  EXPECT_TRUE(client2.Unseal(sealed));
  EXPECT_FALSE(client2.Unseal(sealed));
  // Shorter than a signature.
  EXPECT_FALSE(client2.Unseal(std::vector<std::uint8_t>(15, 0)));

  // Signed but not sealed: refused even though the signature is right.
  NtlmInitiator client3;
  TestAcceptor server3;
  ASSERT_TRUE(Handshake(client3, server3, kPassword));
  const auto signed_only = server3.Wrap("<answer/>", false);
  if (Text(signed_only).find("<answer/>") != std::string::npos) {
    EXPECT_FALSE(client3.Unseal(signed_only));
  }
}

TEST_F(NtlmPair, WrongPasswordIsRefusedByTheAcceptor) {
  NtlmInitiator client;
  TestAcceptor server;
  ASSERT_TRUE(server.ready());
  EXPECT_FALSE(Handshake(client, server, "wrong-password"));
}

TEST_F(NtlmPair, NothingSealsBeforeAuthentication) {
  NtlmInitiator client;
  EXPECT_FALSE(client.Seal(Bytes("x")));
  EXPECT_FALSE(client.Unseal(std::vector<std::uint8_t>(32, 0)));
  std::vector<std::uint8_t> token;
  EXPECT_FALSE(client.Continue(Bytes("challenge"), token));
}

}  // namespace
}  // namespace ordalen
