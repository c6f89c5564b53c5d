// ctest-label: threads (its scripted peers answer on threads of their own)
#include "probes/http_client.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "support/loopback_peer.h"
#include "support/wsman_peer.h"

namespace ordalen {
namespace {

using namespace std::chrono_literals;
using test::Bytes;
using test::ScriptedPeer;
using test::Text;

constexpr std::uint32_t kLoopback = 0x7F000001;
constexpr std::uint16_t kPort = 8085;
constexpr std::size_t kMaxBody = 64;

class HttpClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (test::NoNetworkNamespace()) GTEST_SKIP() << "no network namespace: socket tests skipped";
  }
};

TEST_F(HttpClientTest, ReadsEachFormOfAnswer) {
  struct Case {
    const char* what;
    std::string answer;  // sent after the request, then the peer closes
    bool ok;
    HttpFailure failure = HttpFailure::kNone;
    int status = 0;
    std::string body = {};
    bool open_after = true;  // the connection kept for the next request
  };
  const std::vector<Case> cases = {
      {"content length", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello", true,
       HttpFailure::kNone, 200, "hello"},
      {"chunked", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n",
       true, HttpFailure::kNone, 200, "abc"},
      {"interim answers skipped",
       "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 102 Processing\r\n\r\n"
       "HTTP/1.1 401 No\r\nContent-Length: 0\r\n\r\n",
       true, HttpFailure::kNone, 401, ""},
      {"body to the close", "HTTP/1.0 200 OK\r\n\r\nuntil the end", true, HttpFailure::kNone, 200,
       "until the end", false},
      {"connection: close", "HTTP/1.1 500 X\r\nConnection: close\r\nContent-Length: 1\r\n\r\nx",
       true, HttpFailure::kNone, 500, "x", false},
      {"too many interim answers",
       "HTTP/1.1 100 A\r\n\r\nHTTP/1.1 100 B\r\n\r\nHTTP/1.1 100 C\r\n\r\n"
       "HTTP/1.1 100 D\r\n\r\nHTTP/1.1 100 E\r\n\r\n",
       false, HttpFailure::kProtocol},
      {"unknown transfer coding", "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip\r\n\r\nxx", false,
       HttpFailure::kProtocol},
      {"conflicting lengths", "HTTP/1.1 200 OK\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\nab",
       false, HttpFailure::kProtocol},
      {"length over the limit", "HTTP/1.1 200 OK\r\nContent-Length: 65\r\n\r\n", false,
       HttpFailure::kProtocol},
      {"chunks over the limit",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n41\r\n" + std::string(65, 'a') +
           "\r\n0\r\n\r\n",
       false, HttpFailure::kProtocol},
      {"body to the close over the limit", "HTTP/1.0 200 OK\r\n\r\n" + std::string(200, 'b'), false,
       HttpFailure::kProtocol},
      {"not HTTP", "SSH-2.0-OpenSSH\r\n\r\n", false, HttpFailure::kProtocol},
      {"body shorter than its length", "HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\nshort", false,
       HttpFailure::kClosed},
      {"closed without an answer", "", false, HttpFailure::kClosed},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ScriptedPeer peer(kPort, [&c](int fd) {
      ScriptedPeer::ReadRequest(fd);
      ScriptedPeer::Send(fd, c.answer);
    });
    ASSERT_TRUE(peer.ok());
    HttpClient client("127.0.0.1:8085", kMaxBody);
    ASSERT_TRUE(client.Connect(kLoopback, kPort, 1s, nullptr));
    HttpAnswer answer;
    EXPECT_EQ(client.Post("/x", "", {}, HttpClient::Clock::now() + 3s, answer), c.ok)
        << client.error_text();
    EXPECT_EQ(client.failure(), c.failure) << client.error_text();
    if (!c.ok) continue;
    EXPECT_EQ(answer.head.status, c.status);
    EXPECT_EQ(Text(answer.body), c.body);
    EXPECT_EQ(client.is_open(), c.open_after);
  }
}

TEST_F(HttpClientTest, SendsTheRequestAsWrittenAndKeepsBytesPastAnAnswer) {
  std::string request;
  HttpAnswer first;
  HttpAnswer second;
  {
    ScriptedPeer peer(kPort, [&request](int fd) {
      request = ScriptedPeer::ReadRequest(fd);
      // Both answers at once: the second must wait in the client for the second request.
      ScriptedPeer::Send(fd,
                         "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\none"
                         "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\ntwo");
      ScriptedPeer::ReadRequest(fd);
    });
    ASSERT_TRUE(peer.ok());
    HttpClient client("10.0.0.1:5985", kMaxBody);
    ASSERT_TRUE(client.Connect(kLoopback, kPort, 1s, nullptr));
    ASSERT_TRUE(
        client.Post("/wsman", "X-One: 1\r\n", Bytes("abc"), HttpClient::Clock::now() + 3s, first))
        << client.error_text();
    ASSERT_TRUE(client.Post("/wsman", "", {}, HttpClient::Clock::now() + 3s, second))
        << client.error_text();
  }  // the peer has ended: its request text is complete
  EXPECT_EQ(Text(first.body), "one");
  EXPECT_EQ(Text(second.body), "two");
  EXPECT_EQ(request,
            "POST /wsman HTTP/1.1\r\nHost: 10.0.0.1:5985\r\nConnection: Keep-Alive\r\n"
            "User-Agent: ordalen\r\nX-One: 1\r\nContent-Length: 3\r\n\r\nabc");
}

TEST_F(HttpClientTest, ASilentServiceCostsTheDeadlineAndAClosedOneNothing) {
  ScriptedPeer peer(kPort, [&peer](int fd) {
    ScriptedPeer::ReadRequest(fd);
    while (!peer.stopping()) std::this_thread::sleep_for(10ms);
  });
  ASSERT_TRUE(peer.ok());
  HttpClient client("127.0.0.1:8085", kMaxBody);
  ASSERT_TRUE(client.Connect(kLoopback, kPort, 1s, nullptr));
  HttpAnswer answer;
  const auto start = HttpClient::Clock::now();
  EXPECT_FALSE(client.Post("/x", "", {}, start + 300ms, answer));
  const auto spent = HttpClient::Clock::now() - start;
  EXPECT_EQ(client.failure(), HttpFailure::kTimeout);
  EXPECT_GE(spent, 300ms);
  EXPECT_LT(spent, 2s);

  HttpClient never_connected("127.0.0.1:8085", kMaxBody);
  EXPECT_FALSE(never_connected.Post("/x", "", {}, HttpClient::Clock::now() + 1s, answer));
  EXPECT_EQ(never_connected.failure(), HttpFailure::kClosed);
}

}  // namespace
}  // namespace ordalen
