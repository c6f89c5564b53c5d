#include "probes/wmi.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <optional>
#include <thread>

#include "base/base64.h"
#include "base/text.h"
#include "platform/tcp_stream.h"
#include "probes/encrypted_body.h"
#include "probes/http_response.h"
#include "probes/ntlm_auth.h"
#include "probes/soap_enumeration.h"
#include "support/child_process.h"
#include "support/process.h"
#include "support/wsman_peer.h"

namespace ordalen {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::Bytes;
using test::Count;
using test::ElementText;
using test::Envelope;
using test::ScriptedPeer;
using test::TestAcceptor;
using test::Text;

constexpr std::uint32_t kLoopback = 0x7F000001;
constexpr const char* kUser = "labadmin";
constexpr const char* kPassword = "Lab-Pass-1";
constexpr const char* kComputerName = "WIN-WSMAN";

double Seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

bool NoNamespace() {
  return std::getenv("ORDALEN_NO_NETNS") != nullptr;
}

// ---------------------------------------------------------------- scripted peers on loopback

class WmiPeer : public ::testing::Test {
 protected:
  void SetUp() override {
    if (NoNamespace()) GTEST_SKIP() << "no network namespace: socket tests skipped";
    if (!NtlmMechanismAvailable())
      GTEST_SKIP() << "the NTLM mechanism (gss-ntlmssp) is not installed";
  }
  // Connects with the test account and measures how long it took.
  int Connect(WmiConnection& connection, double& seconds) {
    const auto start = Clock::now();
    const int ok = WmiConnect(connection, "127.0.0.1", kUser, kPassword);
    seconds = Seconds(Clock::now() - start);
    return ok;
  }
};

TEST_F(WmiPeer, FailuresOfTheFirstLegEndTheAttemptAtOnce) {
  struct Case {
    std::string what;
    std::string answer;  // sent after the first request; empty = close at once
    int error;
  };
  const std::vector<Case> cases = {
      {"closed at once", "", kWmiClosed},
      {"no challenge",
       "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Kerberos\r\nContent-Length: 0\r\n\r\n",
       kWmiProtocol},
      {"bad challenge",
       "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Negotiate TlRMTVNTUAACAAAA\r\n"
       "Content-Length: 0\r\n\r\n",
       kWmiProtocol},
      {"no authentication asked", "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok", kWmiHttpStatus},
      {"garbage", "SSH-2.0-OpenSSH\r\n\r\n", kWmiProtocol},
      {"body longer than sent", "HTTP/1.1 401 Unauthorized\r\nContent-Length: 100\r\n\r\nshort",
       kWmiClosed},
  };
  for (const auto& c : cases) {
    ScriptedPeer peer(kWsmanPort, [&c](int fd) {
      const auto request = ScriptedPeer::ReadRequest(fd);
      EXPECT_NE(request.find("Authorization: Negotiate TlRMTVNTUA"), std::string::npos)
          << "NTLM NEGOTIATE sent";
      if (!c.answer.empty()) ScriptedPeer::Send(fd, c.answer);
    });
    ASSERT_TRUE(peer.ok());
    WmiConnection connection;
    double seconds = 0;
    EXPECT_EQ(Connect(connection, seconds), 0) << c.what;
    EXPECT_EQ(connection.LastError, c.error) << c.what << ": " << connection.LastErrorText;
    if (c.error == kWmiHttpStatus) {
      EXPECT_EQ(WmiFailureText(connection), "HTTP status 200");
    }
    EXPECT_FALSE(connection.Services) << c.what;
    EXPECT_LT(seconds, 2.0) << c.what;
  }
}

TEST_F(WmiPeer, CostWithNothingListening) {
  WmiConnection connection;
  double seconds = 0;
  EXPECT_EQ(Connect(connection, seconds), 0);
  EXPECT_EQ(connection.LastError, kWmiRefused);
  EXPECT_NE(connection.LastErrorText.find("refused"), std::string::npos)
      << connection.LastErrorText;
  EXPECT_EQ(WmiFailureText(connection), "connection refused");
  EXPECT_LT(seconds, 0.5);
  std::cout << "measured: port 5985 closed costs " << seconds * 1000 << " ms\n";
}

TEST_F(WmiPeer, CostWithASilentPort) {
  // A listener whose accept queue is full drops further connection requests
  // unanswered, as a filtered port does.
  ScriptedPeer peer(
      kWsmanPort, [](int) {}, 0, false);
  ASSERT_TRUE(peer.ok());
  TcpStream filler;
  ASSERT_TRUE(filler.Connect(kLoopback, kWsmanPort, 1s, nullptr));
  WmiConnection connection;
  double seconds = 0;
  EXPECT_EQ(Connect(connection, seconds), 0);
  EXPECT_EQ(connection.LastError, kWmiConnect);
  EXPECT_NE(connection.LastErrorText.find("timed out"), std::string::npos)
      << connection.LastErrorText;
  EXPECT_EQ(WmiFailureText(connection), "no connection");
  EXPECT_GE(seconds, Seconds(kWsmanConnectTimeout) - 0.05);
  EXPECT_LT(seconds, Seconds(kWsmanConnectTimeout) + 0.5);
  std::cout << "measured: port 5985 silent costs " << seconds * 1000 << " ms\n";
}

TEST_F(WmiPeer, CostWithAServiceThatNeverAnswers) {
  ScriptedPeer peer(kWsmanPort, [&](int fd) {
    ScriptedPeer::ReadRequest(fd);
    while (!peer.stopping())
      std::this_thread::sleep_for(20ms);  // holds the connection open, says nothing
  });
  ASSERT_TRUE(peer.ok());
  WmiConnection connection;
  double seconds = 0;
  EXPECT_EQ(Connect(connection, seconds), 0);
  EXPECT_EQ(connection.LastError, kWmiTimeout) << connection.LastErrorText;
  EXPECT_EQ(WmiFailureText(connection), "no answer in time");
  EXPECT_GE(seconds, Seconds(kWsmanRequestTimeout) - 0.05);
  EXPECT_LT(seconds, Seconds(kWsmanRequestTimeout) + 1.0);
  std::cout << "measured: a service that accepts and never answers costs " << seconds * 1000
            << " ms\n";
}

// A peer that runs a real NTLM acceptor (in this process) and answers each
// sealed request as the case says, so the client's handling of the service's
// answers after authentication can be driven exactly.
class SealedPeer : public WmiPeer {
 protected:
  // Given the acceptor, the unsealed SOAP text of request k (0-based) and its
  // MessageID, returns the raw HTTP answer; empty closes the connection.
  using Answer =
      std::function<std::string(TestAcceptor&, const std::string&, const std::string&, int)>;

  void SetUp() override {
    WmiPeer::SetUp();
    if (IsSkipped()) return;
    users_ = dir_.Write("users", std::string(kComputerName) + ":" + kUser + ":" + kPassword + "\n");
    ::setenv("NTLM_USER_FILE", users_.c_str(), 1);
  }
  void TearDown() override { ::unsetenv("NTLM_USER_FILE"); }

  static std::string Header(const std::string& request, const std::string& name) {
    const auto at = request.find("\r\n" + name + ": ");
    if (at == std::string::npos) return {};
    const auto start = at + name.size() + 4;
    return request.substr(start, request.find("\r\n", start) - start);
  }

  // The script: handshake, then `answer` for every sealed request until it returns "".
  static void Serve(int fd, const Answer& answer, std::atomic<int>& requests,
                    const std::string& after_challenge = {}) {
    TestAcceptor acceptor;
    std::vector<std::uint8_t> challenge, done;
    const auto first = ScriptedPeer::ReadRequest(fd);
    const auto negotiate = Base64Decode(Header(first, "Authorization").substr(10));
    if (!negotiate || acceptor.Step(*negotiate, challenge) != GSS_S_CONTINUE_NEEDED) return;
    ScriptedPeer::Send(fd, "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Negotiate " +
                               Base64Encode(challenge) + "\r\n" + after_challenge +
                               "Content-Length: 0\r\n\r\n");
    for (int k = 0;; ++k) {
      const auto request = ScriptedPeer::ReadRequest(fd);
      if (request.empty()) return;
      ++requests;
      const auto authorization = Header(request, "Authorization");
      if (k == 0) {
        const auto authenticate = Base64Decode(authorization.substr(10));
        if (!authenticate || acceptor.Step(*authenticate, done) != GSS_S_COMPLETE) return;
      } else {
        EXPECT_TRUE(authorization.empty()) << "only the first sealed request authenticates";
      }
      EXPECT_TRUE(IsEncryptedContentType(Header(request, "Content-Type")));
      const auto body = request.substr(request.find("\r\n\r\n") + 4);
      const auto parts = ParseEncryptedBody(Bytes(body));
      if (!parts) return;
      const auto soap = acceptor.Unwrap(parts->sealed);
      if (!soap) return;
      const auto reply = answer(acceptor, *soap, ElementText(*soap, "MessageID"), k);
      if (reply.empty()) return;
      ScriptedPeer::Send(fd, reply);
    }
  }

  static std::string SealedHttp(TestAcceptor& acceptor, int status, const std::string& xml,
                                bool chunked = false) {
    const auto body = Text(BuildEncryptedBody(acceptor.Wrap(xml, true)));
    std::string head = "HTTP/1.1 " + std::to_string(status) +
                       " X\r\nContent-Type: " + std::string(kEncryptedContentType) + "\r\n";
    if (!chunked)
      return head + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    // Two chunks, split inside the sealed bytes.
    const auto half = body.size() / 2;
    return head + "Transfer-Encoding: chunked\r\n\r\n" + Format("%zx\r\n", half) +
           body.substr(0, half) + "\r\n" + Format("%zx\r\n", body.size() - half) +
           body.substr(half) + "\r\n0\r\n\r\n";
  }

  static std::string EnumerateAnswer(const std::string& id, const std::string& context = "ctx-1") {
    return Envelope("<n:EnumerateResponse><n:EnumerationContext>" + context +
                        "</n:EnumerationContext></n:EnumerateResponse>",
                    id);
  }
  static std::string PullAnswer(const std::string& id, const std::string& items, bool end) {
    return Envelope(
        "<n:PullResponse><n:Items>" + items + "</n:Items>" +
            (end ? "<n:EndOfSequence/>" : "<n:EnumerationContext>ctx-1</n:EnumerationContext>") +
            "</n:PullResponse>",
        id);
  }
  static std::string Item(const std::string& name) {
    return "<w:XmlFragment><Name>" + name + "</Name></w:XmlFragment>";
  }

  std::filesystem::path users_;
  test::TempDir dir_;
};

TEST_F(SealedPeer, AnswersAfterAuthentication) {
  struct Case {
    std::string what;
    Answer answer;
    int connect;  // WmiConnect result
    int query;    // WmiQueryComputerName result (when connected)
    int error;    // LastError at the end
    std::string name;
    int requests;  // sealed requests the peer saw
    std::string after_challenge = {};
  };
  const std::string fault =
      "<s:Fault><s:Code><s:Value>s:Receiver</s:Value></s:Code><s:Reason><s:Text>"
      "WMI is unhappy</s:Text></s:Reason></s:Fault>";
  const std::vector<Case> cases = {
      {"chunked answers",
       [](TestAcceptor& a, const std::string&, const std::string& id, int k) {
         return SealedHttp(
             a, 200, k == 0 ? EnumerateAnswer(id) : PullAnswer(id, Item("CHUNKED"), true), true);
       },
       1, 1, kWmiNoError, "CHUNKED", 2},
      {"items in the enumerate answer",
       [](TestAcceptor& a, const std::string&, const std::string& id, int) {
         return SealedHttp(a, 200,
                           Envelope("<n:EnumerateResponse><w:Items>" + Item("EARLY") +
                                        "</w:Items><w:EndOfSequence/></n:EnumerateResponse>",
                                    id));
       },
       1, 1, kWmiNoError, "EARLY", 1},
      {"pull never ends",
       [](TestAcceptor& a, const std::string&, const std::string& id, int k) {
         return SealedHttp(
             a, 200,
             k == 0 ? EnumerateAnswer(id) : PullAnswer(id, Item("N" + std::to_string(k)), false));
       },
       1, 1, kWmiNoError, "N1", 1 + kWsmanMaxPulls},
      {"only the first object counts",
       [](TestAcceptor& a, const std::string&, const std::string& id, int k) {
         return SealedHttp(a, 200,
                           k == 0 ? EnumerateAnswer(id)
                                  : PullAnswer(id, "<w:XmlFragment/>" + Item("SECOND"), true));
       },
       1, 0, kWmiNoName, "", 2},
      {"no object",
       [](TestAcceptor& a, const std::string&, const std::string& id, int k) {
         return SealedHttp(a, 200, k == 0 ? EnumerateAnswer(id) : PullAnswer(id, "", true));
       },
       1, 0, kWmiNoName, "", 2},
      {"account refused",
       [](TestAcceptor&, const std::string&, const std::string&, int) {
         return std::string(
             "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Negotiate\r\nContent-Length: "
             "0\r\n\r\n");
       },
       0, 0, kWmiAccessDenied, "", 1},
      {"unsealed answer",
       [](TestAcceptor&, const std::string&, const std::string& id, int) {
         const auto xml = EnumerateAnswer(id);
         return "HTTP/1.1 200 OK\r\nContent-Type: "
                "application/soap+xml;charset=UTF-8\r\nContent-Length: " +
                std::to_string(xml.size()) + "\r\n\r\n" + xml;
       },
       0, 0, kWmiProtocol, "", 1},
      {"plain 500",
       [](TestAcceptor&, const std::string&, const std::string&, int) {
         return std::string("HTTP/1.1 500 Internal Server Error\r\nContent-Length: 0\r\n\r\n");
       },
       0, 0, kWmiHttpStatus, "", 1},
      {"sealed fault",
       [&fault](TestAcceptor& a, const std::string&, const std::string& id, int) {
         return SealedHttp(a, 500, Envelope(fault, id));
       },
       0, 0, kWmiFault, "", 1},
      {"tampered seal",
       [](TestAcceptor& a, const std::string&, const std::string& id, int) {
         auto answer = SealedHttp(a, 200, EnumerateAnswer(id));
         answer[answer.size() - 40] ^= 0x20;  // inside the sealed data
         return answer;
       },
       0, 0, kWmiSeal, "", 1},
      {"answer to another request",
       [](TestAcceptor& a, const std::string&, const std::string&, int) {
         return SealedHttp(a, 200, EnumerateAnswer("uuid:00000000-0000-4000-8000-000000000000"));
       },
       0, 0, kWmiProtocol, "", 1},
      {"no enumeration context",
       [](TestAcceptor& a, const std::string&, const std::string& id, int) {
         return SealedHttp(a, 200, Envelope("<n:EnumerateResponse/>", id));
       },
       0, 0, kWmiProtocol, "", 1},
      {"silent after authentication",
       [](TestAcceptor&, const std::string&, const std::string&, int) { return std::string(); }, 0,
       0, kWmiClosed, "", 1},
      {"closes after its challenge",
       [](TestAcceptor&, const std::string&, const std::string&, int) { return std::string(); }, 0,
       0, kWmiClosed, "", 0, "Connection: close\r\n"},
  };
  for (const auto& c : cases) {
    std::atomic<int> requests{0};
    ScriptedPeer peer(kWsmanPort,
                      [&](int fd) { Serve(fd, c.answer, requests, c.after_challenge); });
    ASSERT_TRUE(peer.ok());
    WmiConnection connection;
    EXPECT_EQ(WmiConnect(connection, "127.0.0.1", kUser, kPassword), c.connect)
        << c.what << ": " << connection.LastErrorText;
    std::string name;
    if (c.connect) {
      EXPECT_EQ(WmiQueryComputerName(connection, name), c.query)
          << c.what << ": " << connection.LastErrorText;
    }
    EXPECT_EQ(connection.LastError, c.error) << c.what << ": " << connection.LastErrorText;
    // The log gets the kind and the status, never the service's own words.
    if (c.error == kWmiHttpStatus) {
      EXPECT_EQ(WmiFailureText(connection), "HTTP status 500");
    }
    if (c.error == kWmiFault) {
      EXPECT_EQ(WmiFailureText(connection), "SOAP fault");
    }
    EXPECT_EQ(name, c.name) << c.what;
    WmiRelease(connection);
    // Let the peer finish reading before counting.
    const auto deadline = Clock::now() + 2s;
    while (requests < c.requests && Clock::now() < deadline) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(requests, c.requests) << c.what;
  }
}

TEST_F(SealedPeer, ASlowEndlessEnumerationStopsAtTheQueryLimit) {
  std::atomic<int> requests{0};
  ScriptedPeer peer(kWsmanPort, [&](int fd) {
    Serve(
        fd,
        [&peer](TestAcceptor& a, const std::string&, const std::string& id, int k) {
          if (k == 0) return SealedHttp(a, 200, EnumerateAnswer(id));
          // Each pull answered late, never the last one.
          for (int i = 0; i < 250 && !peer.stopping(); ++i) std::this_thread::sleep_for(10ms);
          return SealedHttp(a, 200, PullAnswer(id, Item("SLOW" + std::to_string(k)), false));
        },
        requests);
  });
  ASSERT_TRUE(peer.ok());
  WmiConnection connection;
  ASSERT_EQ(WmiConnect(connection, "127.0.0.1", kUser, kPassword), 1) << connection.LastErrorText;
  const auto start = Clock::now();
  std::string name;
  EXPECT_EQ(WmiQueryComputerName(connection, name), 1) << connection.LastErrorText;
  const double seconds = Seconds(Clock::now() - start);
  EXPECT_EQ(name, "SLOW1");  // the first object, read before the limit
  EXPECT_EQ(connection.LastError, kWmiTimeout) << connection.LastErrorText;
  EXPECT_GE(seconds, Seconds(kWsmanQueryLimit) - 0.05);
  EXPECT_LT(seconds, Seconds(kWsmanQueryLimit) + 1.0);
  EXPECT_LT(requests, 1 + kWsmanMaxPulls);
  WmiRelease(connection);
}

TEST(WmiArguments, RefusesBadAddressesAndQueriesWithoutConnection) {
  if (!NtlmMechanismAvailable())
    GTEST_SKIP() << "the NTLM mechanism (gss-ntlmssp) is not installed";
  for (const char* server :
       {"", "10.0.0", "10.0.0.256", "10.0.0.1.2", "host.example", "10.0.0.1 ", "1..2.3"}) {
    WmiConnection connection;
    EXPECT_EQ(WmiConnect(connection, server, kUser, kPassword), 0) << server;
    EXPECT_EQ(connection.LastError, kWmiBadAddress) << server;
  }
  WmiConnection connection;
  std::string name = "unchanged";
  EXPECT_EQ(WmiQueryComputerName(connection, name), 0);
  EXPECT_EQ(connection.LastError, kWmiNotConnected);
  EXPECT_EQ(name, "unchanged");
  WmiRelease(connection);  // harmless without a session
}

// ---------------------------------------------------------------- the lab's test service on
// loopback

class WsmanServer : public ::testing::Test {
 protected:
  void SetUp() override {
    if (NoNamespace()) GTEST_SKIP() << "no network namespace: socket tests skipped";
    if (!NtlmMechanismAvailable())
      GTEST_SKIP() << "the NTLM mechanism (gss-ntlmssp) is not installed";
    if (test::RunProcess({"/usr/bin/python3", "-c", "import gssapi"}, 20s).exit_code != 0) {
      GTEST_SKIP() << "/usr/bin/python3 has no gssapi module (python3-gssapi)";
    }
  }

  void StartServer(std::vector<std::string> extra = {}) {
    log_ = dir_.path() / "wsman.log";
    std::vector<std::string> argv = {
        "/usr/bin/python3",
        std::string(ORDALEN_SOURCE_DIR) + "/scripts/lab/wsman_server.py",
        "--bind",
        "127.0.0.1",
        "--port",
        "5985",
        "--user",
        kUser,
        "--password",
        kPassword,
        "--name",
        kComputerName,
        "--log",
        log_.string()};
    argv.insert(argv.end(), extra.begin(), extra.end());
    ASSERT_TRUE(server_.Start(argv, {}, (dir_.path() / "wsman.out").string()));
    const auto deadline = Clock::now() + 15s;
    while (Log().find("listening on") == std::string::npos) {
      ASSERT_TRUE(server_.Running()) << test::ReadFile(dir_.path() / "wsman.out");
      ASSERT_LT(Clock::now(), deadline) << "the test service did not start";
      std::this_thread::sleep_for(50ms);
    }
  }
  std::string Log() const { return test::ReadFile(log_); }
  // The log after the service has written the lines of every closed connection.
  std::string LogWhenClosed(std::size_t connections) const {
    const auto deadline = Clock::now() + 5s;
    std::string log = Log();
    while (Count(log, " closed") < connections && Clock::now() < deadline) {
      std::this_thread::sleep_for(20ms);
      log = Log();
    }
    return log;
  }

  test::TempDir dir_;
  std::filesystem::path log_;
  test::ChildProcess server_;
};

TEST_F(WsmanServer, ReadsTheComputerName) {
  StartServer();
  WmiConnection connection;
  ASSERT_EQ(WmiConnect(connection, "127.0.0.1", kUser, kPassword), 1) << connection.LastErrorText;
  std::string name;
  ASSERT_EQ(WmiQueryComputerName(connection, name), 1) << connection.LastErrorText;
  EXPECT_EQ(name, kComputerName);
  // A second query on the same session enumerates again.
  std::string again;
  EXPECT_EQ(WmiQueryComputerName(connection, again), 1) << connection.LastErrorText;
  EXPECT_EQ(again, kComputerName);
  WmiRelease(connection);
  EXPECT_FALSE(connection.Services);

  const auto log = LogWhenClosed(1);
  EXPECT_EQ(Count(log, "open from 127.0.0.1"), 1u) << log;
  EXPECT_EQ(Count(log, "negotiate: challenge sent"), 1u) << log;
  EXPECT_EQ(Count(log, "authenticate: accepted"), 1u) << log;
  EXPECT_EQ(Count(log, "enumerate: accepted query"), 2u) << log;
  EXPECT_EQ(Count(log, "pull: 1 item(s), end of sequence"), 2u) << log;
  EXPECT_EQ(Count(log, "refused"), 0u) << log;
  EXPECT_EQ(log.find(kPassword), std::string::npos);
}

TEST_F(WsmanServer, WrongAccountsGiveNoConnectionAndNoName) {
  StartServer();
  const std::vector<std::pair<std::string, std::string>> accounts = {
      {kUser, "wrong-password"}, {"nobody", kPassword}, {"OTHERDOM\\labadmin", kPassword}};
  for (const auto& [user, password] : accounts) {
    WmiConnection connection;
    EXPECT_EQ(WmiConnect(connection, "127.0.0.1", user, password), 0) << user;
    EXPECT_EQ(connection.LastError, kWmiAccessDenied) << user << ": " << connection.LastErrorText;
    EXPECT_EQ(WmiFailureText(connection), "authentication refused");
    EXPECT_FALSE(connection.Services);
    std::string name;
    EXPECT_EQ(WmiQueryComputerName(connection, name), 0);
    EXPECT_TRUE(name.empty());
    EXPECT_EQ(connection.LastErrorText.find(user), std::string::npos);
    if (!password.empty()) {
      EXPECT_EQ(connection.LastErrorText.find(password), std::string::npos);
    }
  }
  const auto log = LogWhenClosed(accounts.size());
  EXPECT_EQ(Count(log, "authenticate: refused"), accounts.size()) << log;
  EXPECT_EQ(Count(log, "authenticate: accepted"), 0u) << log;
  EXPECT_EQ(Count(log, "enumerate:"), 0u) << log;

  // An empty password cannot make NTLM credentials: refused here, before any connection.
  WmiConnection connection;
  EXPECT_EQ(WmiConnect(connection, "127.0.0.1", kUser, ""), 0);
  EXPECT_EQ(connection.LastError, kWmiCredentials) << connection.LastErrorText;
  EXPECT_EQ(Count(Log(), "open from"), accounts.size());
}

TEST_F(WsmanServer, AnAccountWithTheComputerAsDomainIsAccepted) {
  StartServer();
  WmiConnection connection;
  ASSERT_EQ(
      WmiConnect(connection, "127.0.0.1", std::string(kComputerName) + "\\" + kUser, kPassword), 1)
      << connection.LastErrorText;
  std::string name;
  EXPECT_EQ(WmiQueryComputerName(connection, name), 1);
  EXPECT_EQ(name, kComputerName);
}

TEST_F(WsmanServer, NullNameGivesNoName) {
  StartServer({"--name-nil"});
  WmiConnection connection;
  ASSERT_EQ(WmiConnect(connection, "127.0.0.1", kUser, kPassword), 1) << connection.LastErrorText;
  std::string name;
  EXPECT_EQ(WmiQueryComputerName(connection, name), 0);
  EXPECT_EQ(connection.LastError, kWmiNoName);
  EXPECT_EQ(WmiFailureText(connection), "no name");
  EXPECT_TRUE(name.empty());
}

TEST_F(WsmanServer, TheSecondOfTwoAccountsYieldsTheName) {
  StartServer();
  const std::vector<std::pair<std::string, std::string>> accounts = {{kUser, "not-this-one"},
                                                                     {kUser, kPassword}};
  std::vector<std::string> names;
  for (const auto& [user, password] : accounts) {
    WmiConnection connection;
    std::string name;
    if (WmiConnect(connection, "127.0.0.1", user, password) &&
        WmiQueryComputerName(connection, name)) {
      names.push_back(name);
    }
    WmiRelease(connection);
  }
  EXPECT_EQ(names, std::vector<std::string>{kComputerName});
  const auto log = LogWhenClosed(2);
  EXPECT_EQ(Count(log, "open from"), 2u) << log;
  EXPECT_EQ(Count(log, "authenticate: refused"), 1u) << log;
  EXPECT_EQ(Count(log, "authenticate: accepted"), 1u) << log;
}

TEST_F(WsmanServer, ManyWorkersAtOnce) {
  StartServer();
  constexpr int kWorkers = 8;
  std::vector<std::string> names(kWorkers);
  std::vector<std::thread> threads;
  for (int i = 0; i < kWorkers; ++i) {
    threads.emplace_back([&names, i] {
      WmiConnection connection;
      if (WmiConnect(connection, "127.0.0.1", kUser, i % 2 ? kPassword : "wrong")) {
        WmiQueryComputerName(connection, names[static_cast<std::size_t>(i)]);
      }
      WmiRelease(connection);
    });
  }
  for (auto& t : threads) t.join();
  for (int i = 0; i < kWorkers; ++i)
    EXPECT_EQ(names[static_cast<std::size_t>(i)], i % 2 ? kComputerName : "") << i;
}

// The service's own refusals, driven with the client's pieces by hand.
class WsmanServerRefusals : public WsmanServer {
 protected:
  // Authenticates on a fresh connection; the AUTHENTICATE token is returned for the next request.
  void Authenticate(TcpStream& stream, NtlmInitiator& ntlm,
                    std::vector<std::uint8_t>& authenticate) {
    ASSERT_TRUE(stream.Connect(kLoopback, kWsmanPort, 2s, nullptr));
    std::vector<std::uint8_t> negotiate;
    ASSERT_TRUE(ntlm.Start(kUser, kPassword, "127.0.0.1", negotiate));
    const auto answer =
        Exchange(stream, "Authorization: Negotiate " + Base64Encode(negotiate) + "\r\n", "");
    const auto head = ParseHttpResponseHead(answer.substr(0, answer.find("\r\n\r\n") + 4));
    ASSERT_TRUE(head);
    ASSERT_EQ(head->status, 401);
    const auto challenge = NegotiateToken(*head);
    ASSERT_TRUE(challenge && !challenge->empty());
    ASSERT_TRUE(ntlm.Continue(*challenge, authenticate));
  }
  static std::string Exchange(TcpStream& stream, const std::string& headers,
                              const std::string& body) {
    const std::string request = "POST /wsman HTTP/1.1\r\nHost: 127.0.0.1:5985\r\n" + headers +
                                "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
                                body;
    const auto deadline = Clock::now() + 5s;
    if (!stream.SendAll(Bytes(request), deadline, nullptr)) return {};
    std::vector<std::uint8_t> received;
    while (!FindHttpHeadEnd(received) &&
           stream.ReceiveSome(received, 4096, deadline, nullptr).value_or(0) > 0) {
    }
    return Text(received);
  }
  static int Status(const std::string& answer) {
    const auto head = ParseHttpResponseHead(answer.substr(0, answer.find("\r\n\r\n") + 4));
    return head ? head->status : -1;
  }
};

TEST_F(WsmanServerRefusals, UnencryptedBodyGets500) {
  StartServer();
  TcpStream stream;
  NtlmInitiator ntlm;
  std::vector<std::uint8_t> authenticate;
  ASSERT_NO_FATAL_FAILURE(Authenticate(stream, ntlm, authenticate));
  const auto plain = BuildEnumerateRequest("http://127.0.0.1:5985/wsman", "uuid:1", "PT8.000S");
  const auto answer = Exchange(stream,
                               "Authorization: Negotiate " + Base64Encode(authenticate) +
                                   "\r\nContent-Type: application/soap+xml;charset=UTF-8\r\n",
                               plain);
  EXPECT_EQ(Status(answer), 500) << answer;
  const auto log = Log();
  EXPECT_NE(log.find("authenticate: accepted"), std::string::npos) << log;
  EXPECT_NE(log.find("refused: unencrypted body"), std::string::npos) << log;
  EXPECT_EQ(log.find("enumerate:"), std::string::npos) << log;
}

TEST_F(WsmanServerRefusals, BrokenSealGets400) {
  StartServer();
  TcpStream stream;
  NtlmInitiator ntlm;
  std::vector<std::uint8_t> authenticate;
  ASSERT_NO_FATAL_FAILURE(Authenticate(stream, ntlm, authenticate));
  auto sealed =
      ntlm.Seal(Bytes(BuildEnumerateRequest("http://127.0.0.1:5985/wsman", "uuid:1", "PT8.000S")));
  ASSERT_TRUE(sealed);
  (*sealed)[30] ^= 0x40;
  const auto body = BuildEncryptedBody(*sealed);
  const auto answer =
      Exchange(stream,
               "Authorization: Negotiate " + Base64Encode(authenticate) +
                   "\r\nContent-Type: " + std::string(kEncryptedContentType) + "\r\n",
               Text(body));
  EXPECT_EQ(Status(answer), 400) << answer;
  const auto log = Log();
  EXPECT_NE(log.find("refused: bad seal"), std::string::npos) << log;
  EXPECT_EQ(log.find("enumerate:"), std::string::npos) << log;
}

TEST_F(WsmanServerRefusals, SealedBodyWithoutAuthenticationGets401) {
  StartServer();
  TcpStream stream;
  ASSERT_TRUE(stream.Connect(kLoopback, kWsmanPort, 2s, nullptr));
  const auto answer =
      Exchange(stream, "Content-Type: application/soap+xml;charset=UTF-8\r\n", "<x/>");
  EXPECT_EQ(Status(answer), 401) << answer;
  EXPECT_NE(Log().find("refused: not authenticated"), std::string::npos);
}

// ---------------------------------------------------------------- the mechanism missing

// Runs in a child process whose GSSAPI configuration lists no NTLM mechanism.
TEST(WmiMechanism, MissingMechanismIsReportedOnceAndNothingIsSent) {
  if (std::getenv("ORDALEN_WMI_MECHANISM_CHILD")) {
    std::optional<ScriptedPeer> peer;
    if (!NoNamespace())
      peer.emplace(
          kWsmanPort, [](int) {}, 4, false);
    for (int attempt = 0; attempt < 2; ++attempt) {
      WmiConnection connection;
      EXPECT_EQ(WmiConnect(connection, "127.0.0.1", kUser, kPassword), 0);
      EXPECT_EQ(connection.LastError, kWmiNoMechanism);
    }
    if (peer) {
      ASSERT_TRUE(peer->ok());
      EXPECT_FALSE(peer->PendingConnection()) << "a connection was made";
    }
    return;
  }
  test::TempDir dir;
  const auto config = dir.Write("mech.conf", "# no mechanisms\n");
  const auto self = std::filesystem::read_symlink("/proc/self/exe").string();
  const auto result = test::RunProcess(
      {"env", "GSS_MECH_CONFIG=" + config.string(), "ORDALEN_WMI_MECHANISM_CHILD=1", self,
       "--gtest_filter=WmiMechanism.MissingMechanismIsReportedOnceAndNothingIsSent"},
      60s);
  EXPECT_EQ(result.exit_code, 0) << result.out << result.err;
  EXPECT_NE(result.out.find("[  PASSED  ] 1 test"), std::string::npos) << result.out;
  EXPECT_EQ(Count(result.err, "gss-ntlmssp"), 1u) << result.err;
  EXPECT_NE(result.err.find("is not installed"), std::string::npos) << result.err;
}

}  // namespace
}  // namespace ordalen
