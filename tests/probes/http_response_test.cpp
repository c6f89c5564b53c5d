#include "probes/http_response.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "support/wsman_peer.h"

namespace ordalen {
namespace {

using test::Bytes;
using test::Text;

// ---------------------------------------------------------------- HTTP heads

TEST(HttpHead, ParsesStatusAndHeaders) {
  const auto head = ParseHttpResponseHead(
      "HTTP/1.1 401 \r\nServer: x\r\nWWW-Authenticate: Negotiate\r\nwww-authenticate: Kerberos\r\n"
      "Content-Length: 0\r\n\r\n");
  ASSERT_TRUE(head);
  EXPECT_EQ(head->status, 401);
  EXPECT_EQ(head->version_minor, 1);
  EXPECT_EQ(head->Values("WWW-AUTHENTICATE"),
            (std::vector<std::string_view>{"Negotiate", "Kerberos"}));
  bool valid = false;
  EXPECT_EQ(head->ContentLength(valid), 0u);
  EXPECT_TRUE(valid);
}

TEST(HttpHead, RefusesMalformedHeads) {
  const std::string many_headers = [] {
    std::string s = "HTTP/1.1 200 OK\r\n";
    for (std::size_t i = 0; i <= kMaxHttpHeaders; ++i) s += "X-" + std::to_string(i) + ": 1\r\n";
    return s + "\r\n";
  }();
  const std::vector<std::string> cases = {
      "",
      "HTTP/2.0 200 OK\r\n\r\n",
      "HTTP/1.1 20 OK\r\n\r\n",
      "HTTP/1.1 2000 OK\r\n\r\n",
      "HTTP/1.1 0x1 OK\r\n\r\n",
      "HTTP/1.1 099 Low\r\n\r\n",
      "ICY 200 OK\r\n\r\n",
      "HTTP/1.1 200 OK\r\nNo colon here\r\n\r\n",
      "HTTP/1.1 200 OK\r\n: empty name\r\n\r\n",
      "HTTP/1.1 200 OK\r\nBad Name: x\r\n\r\n",
      "HTTP/1.1 200 OK\r\nA: 1\r\n folded\r\n\r\n",
      "HTTP/1.1 200 OK\r\nA: bell\a\r\n\r\n",
      "HTTP/1.1 200 OK\r\nA: unterminated",
      many_headers,
      "HTTP/1.1 200 OK\r\nX: " + std::string(kMaxHttpHeadBytes, 'a') + "\r\n\r\n",
  };
  for (const auto& text : cases) EXPECT_FALSE(ParseHttpResponseHead(text)) << text.substr(0, 60);
}

TEST(HttpHead, ContentLengthAndConnection) {
  struct Case {
    std::string headers;
    std::optional<std::uint64_t> length;
    bool valid;
    bool closes;
  };
  const std::vector<Case> cases = {
      {"Content-Length: 42\r\n", 42, true, false},
      {"Content-Length: 42, 42\r\n", 42, true, false},
      {"Content-Length: 42\r\nContent-Length: 42\r\n", 42, true, false},
      {"Content-Length: 42\r\nContent-Length: 43\r\n", std::nullopt, false, false},
      {"Content-Length: -1\r\n", std::nullopt, false, false},
      {"Content-Length: 1e3\r\n", std::nullopt, false, false},
      {"Content-Length: 9999999999999999999\r\n", std::nullopt, false, false},
      {"Connection: close\r\n", std::nullopt, true, true},
      {"Connection: Keep-Alive, CLOSE\r\n", std::nullopt, true, true},
      {"Connection: keep-alive\r\n", std::nullopt, true, false},
  };
  for (const auto& c : cases) {
    const auto head = ParseHttpResponseHead("HTTP/1.1 200 OK\r\n" + c.headers + "\r\n");
    ASSERT_TRUE(head) << c.headers;
    bool valid = false;
    EXPECT_EQ(head->ContentLength(valid), c.length) << c.headers;
    EXPECT_EQ(valid, c.valid) << c.headers;
    EXPECT_EQ(head->ClosesConnection(), c.closes) << c.headers;
  }
  // HTTP/1.0 closes unless it asks to keep the connection.
  EXPECT_TRUE(ParseHttpResponseHead("HTTP/1.0 200 OK\r\n\r\n")->ClosesConnection());
  EXPECT_FALSE(ParseHttpResponseHead("HTTP/1.0 200 OK\r\nConnection: keep-alive\r\n\r\n")
                   ->ClosesConnection());
  EXPECT_TRUE(ParseHttpResponseHead("HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, chunked\r\n\r\n")
                  ->Chunked());
  EXPECT_FALSE(ParseHttpResponseHead("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked, gzip\r\n\r\n")
                   ->Chunked());
}

TEST(HttpHead, FindsTheEndOfTheHead) {
  EXPECT_EQ(FindHttpHeadEnd(Bytes("HTTP/1.1 200 OK\r\n\r\nbody")), 19u);
  EXPECT_FALSE(FindHttpHeadEnd(Bytes("HTTP/1.1 200 OK\r\n\r")));
}

// ---------------------------------------------------------------- chunked bodies

TEST(Chunked, DecodesCompleteBodies) {
  struct Case {
    std::string wire;
    std::string body;
    std::size_t consumed;
  };
  const std::vector<Case> cases = {
      {"0\r\n\r\n", "", 5},
      {"5\r\nhello\r\n0\r\n\r\n", "hello", 15},
      {"5;ext=1\r\nhello\r\n6\r\n world\r\n0\r\n\r\nNEXT", "hello world", 32},
      {"A\r\n0123456789\r\n0\r\nTrailer: x\r\n\r\n", "0123456789", 32},
      {"a\r\n0123456789\r\n0\r\n\r\n", "0123456789", 20},
  };
  for (const auto& c : cases) {
    const auto out = DecodeChunked(Bytes(c.wire), 1024);
    ASSERT_EQ(out.state, ChunkedBody::State::kComplete) << c.wire;
    EXPECT_EQ(Text(out.body), c.body);
    EXPECT_EQ(out.consumed, c.consumed);
    // Every shorter prefix is incomplete, never malformed.
    for (std::size_t cut = 0; cut < c.consumed; ++cut) {
      EXPECT_EQ(DecodeChunked(Bytes(c.wire).first(cut), 1024).state,
                ChunkedBody::State::kIncomplete)
          << c.wire << " cut " << cut;
    }
  }
}

TEST(Chunked, RefusesMalformedOrOversizedBodies) {
  const std::vector<std::string> cases = {
      "x\r\n",                                            // not hex
      "\r\n",                                             // no size
      "5\r\nhelloXX0\r\n\r\n",                            // no line end after the data
      "FFFFFFFFFFFFFFFF\r\n",                             // absurd size
      "11\r\n" + std::string(17, 'a') + "\r\n0\r\n\r\n",  // 17 bytes, limit 16
      std::string(2000, '1'),                             // size line without end
  };
  for (const auto& wire : cases) {
    EXPECT_EQ(DecodeChunked(Bytes(wire), 16).state, ChunkedBody::State::kMalformed)
        << wire.substr(0, 40);
  }
}

// ---------------------------------------------------------------- Negotiate headers and base64

TEST(Negotiate, FindsTheTokenAmongSeveralChallenges) {
  struct Case {
    std::string headers;
    std::optional<std::string> token;
  };
  const std::vector<Case> cases = {
      {"WWW-Authenticate: Kerberos\r\nWWW-Authenticate: Negotiate aGVsbG8=\r\n", "hello"},
      {"WWW-Authenticate: Basic realm=\"x\", negotiate aGVsbG8=\r\n", "hello"},
      {"WWW-Authenticate: Negotiate\r\nWWW-Authenticate: Negotiate aGVsbG8=\r\n", ""},
      {"WWW-Authenticate: NegotiateX aGVsbG8=\r\n", std::nullopt},
      {"WWW-Authenticate: Negotiate a*b=\r\n", std::nullopt},
      {"WWW-Authenticate: Kerberos\r\n", std::nullopt},
      {"X-Other: Negotiate aGVsbG8=\r\n", std::nullopt},
  };
  for (const auto& c : cases) {
    const auto head = ParseHttpResponseHead("HTTP/1.1 401 Unauthorized\r\n" + c.headers + "\r\n");
    ASSERT_TRUE(head);
    const auto token = NegotiateToken(*head);
    ASSERT_EQ(token.has_value(), c.token.has_value()) << c.headers;
    if (token) {
      EXPECT_EQ(Text(*token), *c.token) << c.headers;
    }
  }
}

}  // namespace
}  // namespace ordalen
