#include "probes/wmi.h"

#include <arpa/inet.h>
#include <gssapi/gssapi.h>
#include <gtest/gtest.h>
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif
#include <libxml/parser.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <thread>

#include "base/base64.h"
#include "base/text.h"
#include "platform/tcp_stream.h"
#include "probes/ntlm_auth.h"
#include "probes/wsman_message.h"
#include "support/child_process.h"
#include "support/process.h"

namespace ordalen {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kLoopback = 0x7F000001;
constexpr const char* kUser = "labadmin";
constexpr const char* kPassword = "Lab-Pass-1";
constexpr const char* kComputerName = "WIN-WSMAN";

std::span<const std::uint8_t> Bytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}
std::string Text(std::span<const std::uint8_t> bytes) {
  return {bytes.begin(), bytes.end()};
}

double Seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

bool NoNamespace() {
  return std::getenv("ORDALEN_NO_NETNS") != nullptr;
}

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (auto pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) ++n;
  return n;
}

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

// ---------------------------------------------------------------- SOAP

std::string Envelope(const std::string& body, const std::string& relates_to = "uuid:1") {
  return "<?xml version=\"1.0\"?><s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\" "
         "xmlns:a=\"http://schemas.xmlsoap.org/ws/2004/08/addressing\" "
         "xmlns:n=\"http://schemas.xmlsoap.org/ws/2004/09/enumeration\" "
         "xmlns:w=\"http://schemas.dmtf.org/wbem/wsman/1/wsman.xsd\" "
         "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">"
         "<s:Header><a:RelatesTo>" +
         relates_to + "</a:RelatesTo></s:Header><s:Body>" + body + "</s:Body></s:Envelope>";
}

std::string Pull(const std::string& items, bool end = true) {
  return Envelope(
      "<n:PullResponse><n:Items>" + items + "</n:Items>" +
      (end ? "<n:EndOfSequence/>" : "<n:EnumerationContext>ctx-2</n:EnumerationContext>") +
      "</n:PullResponse>");
}

TEST(SoapAnswer, ReadsEnumerationAnswers) {
  struct Case {
    std::string what;
    std::string xml;
    std::size_t items;
    std::optional<std::string> name;
    bool end;
    std::string context;
  };
  const std::string cs =
      "<p:Win32_ComputerSystem xmlns:p=\"http://schemas.microsoft.com/wbem/wsman/1/wmi/root/"
      "cimv2/Win32_ComputerSystem\"><p:Caption>c</p:Caption><p:Name>PC-7</p:Name>"
      "</p:Win32_ComputerSystem>";
  const std::vector<Case> cases = {
      {"enumerate",
       Envelope("<n:EnumerateResponse><n:EnumerationContext> uuid:AB </n:EnumerationContext>"
                "</n:EnumerateResponse>"),
       0, std::nullopt, false, "uuid:AB"},
      {"fragment", Pull("<w:XmlFragment><Name>WIN-A</Name></w:XmlFragment>"), 1, "WIN-A", true, ""},
      {"typed object", Pull(cs), 1, "PC-7", true, ""},
      {"first of two",
       Pull("<w:XmlFragment><Name>ONE</Name></w:XmlFragment><w:XmlFragment><Name>TWO</Name>"
            "</w:XmlFragment>"),
       2, "ONE", true, ""},
      {"first without name",
       Pull("<w:XmlFragment><Other>x</Other></w:XmlFragment><w:XmlFragment><Name>TWO</Name>"
            "</w:XmlFragment>"),
       2, std::nullopt, true, ""},
      {"nil name", Pull("<w:XmlFragment><Name xsi:nil=\"true\"/></w:XmlFragment>"), 1, std::nullopt,
       true, ""},
      {"empty name", Pull("<w:XmlFragment><Name>  </Name></w:XmlFragment>"), 1, std::nullopt, true,
       ""},
      {"control character", Pull("<w:XmlFragment><Name>A&#10;B</Name></w:XmlFragment>"), 1,
       std::nullopt, true, ""},
      {"escaped text", Pull("<w:XmlFragment><Name>A&amp;B</Name></w:XmlFragment>"), 1, "A&B", true,
       ""},
      {"more to pull", Pull("<w:XmlFragment><Name>X</Name></w:XmlFragment>", false), 1, "X", false,
       "ctx-2"},
      {"optimized items",
       Envelope("<n:EnumerateResponse><w:Items><w:XmlFragment><Name>OPT</Name></w:XmlFragment>"
                "</w:Items><w:EndOfSequence/></n:EnumerateResponse>"),
       1, "OPT", true, ""},
      {"no items", Envelope("<n:PullResponse><n:EndOfSequence/></n:PullResponse>"), 0, std::nullopt,
       true, ""},
  };
  for (const auto& c : cases) {
    const auto answer = ParseEnumerationAnswer(c.xml);
    ASSERT_TRUE(answer) << c.what;
    EXPECT_FALSE(answer->fault) << c.what;
    EXPECT_EQ(answer->relates_to, "uuid:1") << c.what;
    EXPECT_EQ(answer->item_count, c.items) << c.what;
    EXPECT_EQ(answer->first_name, c.name) << c.what;
    EXPECT_EQ(answer->end_of_sequence, c.end) << c.what;
    EXPECT_EQ(answer->context, c.context) << c.what;
  }
}

TEST(SoapAnswer, ReadsFaultsAndRefusesOtherDocuments) {
  const auto fault = ParseEnumerationAnswer(Envelope(
      "<s:Fault><s:Code><s:Value>s:Sender</s:Value></s:Code><s:Reason><s:Text>Access is denied."
      "</s:Text></s:Reason></s:Fault>"));
  ASSERT_TRUE(fault);
  EXPECT_TRUE(fault->fault);
  EXPECT_EQ(fault->fault_text, "Access is denied.");

  const std::vector<std::pair<std::string, std::string>> bad = {
      {"empty", ""},
      {"not xml", "HTTP/1.1 200 OK"},
      {"unclosed", Envelope("<n:PullResponse>")},
      {"soap 1.1",
       "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"><s:Body/></s:Envelope>"},
      {"no body",
       "<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\"><s:Header/></s:Envelope>"},
      {"other answer", Envelope("<n:ReleaseResponse/>")},
      {"entity definitions",
       "<?xml version=\"1.0\"?><!DOCTYPE s [<!ENTITY x \"NAME\">]>" +
           Envelope("<n:PullResponse><n:Items><w:XmlFragment><Name>&x;</Name></w:XmlFragment>"
                    "</n:Items></n:PullResponse>")
               .substr(21)},
  };
  for (const auto& [what, xml] : bad) EXPECT_FALSE(ParseEnumerationAnswer(xml)) << what;
}

// Parses a request we build and returns the text of the first element with this local name.
std::string ElementText(const std::string& xml, const char* local_name) {
  std::unique_ptr<xmlDoc, void (*)(xmlDoc*)> doc(
      xmlReadMemory(xml.data(), static_cast<int>(xml.size()), nullptr, nullptr,
                    XML_PARSE_NONET | XML_PARSE_NOERROR),
      xmlFreeDoc);
  if (!doc) return "<not well-formed>";
  std::function<std::string(xmlNode*)> find = [&](xmlNode* node) -> std::string {
    for (; node; node = node->next) {
      if (node->type == XML_ELEMENT_NODE &&
          std::string_view(reinterpret_cast<const char*>(node->name)) == local_name) {
        xmlChar* text = xmlNodeGetContent(node);
        std::string out(reinterpret_cast<const char*>(text));
        xmlFree(text);
        return out;
      }
      auto inner = find(node->children);
      if (!inner.empty()) return inner;
    }
    return {};
  };
  return find(xmlDocGetRootElement(doc.get()));
}

TEST(SoapRequest, EnumerateAndPullCarryTheQuery) {
  const auto enumerate = BuildEnumerateRequest("http://10.0.0.1:5985/wsman", "uuid:42", "PT8.000S");
  EXPECT_EQ(ElementText(enumerate, "To"), "http://10.0.0.1:5985/wsman");
  EXPECT_EQ(ElementText(enumerate, "ResourceURI"), kWmiResourceUri);
  EXPECT_EQ(ElementText(enumerate, "Action"),
            "http://schemas.xmlsoap.org/ws/2004/09/enumeration/Enumerate");
  EXPECT_EQ(ElementText(enumerate, "MessageID"), "uuid:42");
  EXPECT_EQ(ElementText(enumerate, "Filter"), kComputerNameQuery);
  EXPECT_NE(enumerate.find("Dialect=\"http://schemas.microsoft.com/wbem/wsman/1/WQL\""),
            std::string::npos);

  const auto pull = BuildPullRequest("http://h/wsman", "uuid:43", "PT8.000S", "ctx<&>\"'");
  EXPECT_EQ(ElementText(pull, "Action"), "http://schemas.xmlsoap.org/ws/2004/09/enumeration/Pull");
  EXPECT_EQ(ElementText(pull, "EnumerationContext"), "ctx<&>\"'");
  EXPECT_EQ(ElementText(pull, "MaxElements"), std::to_string(kPullMaxElements));
}

TEST(SoapAnswer, UsableComputerNames) {
  EXPECT_TRUE(UsableComputerName("WIN-01"));
  EXPECT_TRUE(UsableComputerName("\xE3\x83\x86\xE3\x82\xB9\xE3\x83\x88"));  // UTF-8 text
  EXPECT_TRUE(UsableComputerName(std::string(kMaxComputerNameBytes, 'a')));
  EXPECT_FALSE(UsableComputerName(""));
  EXPECT_FALSE(UsableComputerName(std::string(kMaxComputerNameBytes + 1, 'a')));
  EXPECT_FALSE(UsableComputerName("A\r\nB"));
  EXPECT_FALSE(UsableComputerName(std::string("A\0B", 3)));
  EXPECT_FALSE(UsableComputerName("A\x7F"));
}

// ---------------------------------------------------------------- NTLM in one process

#if defined(__SANITIZE_ADDRESS__)
// The NTLM plug-in's acceptor leaks a name when it takes credentials without
// one and a digest per account it checks: allocations made during those calls
// are not the test's own.
using PluginLeakScope = __lsan::ScopedDisabler;
#else
struct PluginLeakScope {};
#endif

// The accepting side of NTLM, as a service runs it; accounts come from NTLM_USER_FILE.
class TestAcceptor {
 public:
  TestAcceptor() {
    OM_uint32 minor = 0;
    gss_OID_set_desc mechs{1, NtlmMechanism()};
    gss_cred_id_t raw = GSS_C_NO_CREDENTIAL;
    [[maybe_unused]] PluginLeakScope scope;
    major_ = gss_acquire_cred(&minor, GSS_C_NO_NAME, GSS_C_INDEFINITE, &mechs, GSS_C_ACCEPT, &raw,
                              nullptr, nullptr);
    cred_.reset(raw);
  }
  [[nodiscard]] bool ready() const { return !GSS_ERROR(major_); }

  // GSS_S_COMPLETE, GSS_S_CONTINUE_NEEDED or an error.
  OM_uint32 Step(std::span<const std::uint8_t> in, std::vector<std::uint8_t>& out) {
    OM_uint32 minor = 0;
    gss_buffer_desc input{in.size(), const_cast<std::uint8_t*>(in.data())};
    GssBuffer output;
    gss_ctx_id_t raw = context_.release();
    [[maybe_unused]] PluginLeakScope scope;
    const OM_uint32 major =
        gss_accept_sec_context(&minor, &raw, cred_.get(), &input, GSS_C_NO_CHANNEL_BINDINGS,
                               nullptr, nullptr, output.get(), nullptr, nullptr, nullptr);
    context_.reset(raw);
    out.assign(output.bytes().begin(), output.bytes().end());
    return major;
  }
  std::vector<std::uint8_t> Wrap(std::string_view plain, bool conf) {
    OM_uint32 minor = 0;
    gss_buffer_desc input{plain.size(), const_cast<char*>(plain.data())};
    GssBuffer output;
    int conf_state = 0;
    gss_wrap(&minor, context_.get(), conf ? 1 : 0, GSS_C_QOP_DEFAULT, &input, &conf_state,
             output.get());
    return {output.bytes().begin(), output.bytes().end()};
  }
  std::optional<std::string> Unwrap(std::span<const std::uint8_t> sealed) {
    OM_uint32 minor = 0;
    gss_buffer_desc input{sealed.size(), const_cast<std::uint8_t*>(sealed.data())};
    GssBuffer output;
    int conf_state = 0;
    if (gss_unwrap(&minor, context_.get(), &input, output.get(), &conf_state, nullptr) !=
        GSS_S_COMPLETE) {
      return std::nullopt;
    }
    return Text(output.bytes());
  }

 private:
  OM_uint32 major_ = GSS_S_FAILURE;
  GssCred cred_;
  GssContext context_;
};

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

    const std::string reply =
        Pull("<w:XmlFragment><Name>R" + std::to_string(round) + "</Name></w:XmlFragment>");
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

// ---------------------------------------------------------------- scripted peers on loopback

// A listener on 127.0.0.1:5985 whose first connection is handed to `script` on a
// thread of its own. Stops (and joins) when destroyed.
class ScriptedPeer {
 public:
  explicit ScriptedPeer(std::function<void(int)> script, int backlog = 4, bool accept = true)
      : script_(std::move(script)) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(kWsmanPort);
    at.sin_addr.s_addr = htonl(kLoopback);
    ok_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0 &&
          ::listen(fd_, backlog) == 0;
    if (ok_ && accept) thread_ = std::thread([this] { Run(); });
  }
  ~ScriptedPeer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    ::close(fd_);
  }
  [[nodiscard]] bool ok() const { return ok_; }
  [[nodiscard]] int connections() const { return connections_; }
  [[nodiscard]] bool stopping() const { return stop_; }
  // Whether a connection waits in the accept queue (for a peer that does not accept).
  [[nodiscard]] bool PendingConnection() const {
    pollfd p{fd_, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0;
  }

  // Reads one request (head and Content-Length body); empty when none came in time.
  static std::string ReadRequest(int fd, std::chrono::milliseconds limit = 5s) {
    std::string data;
    const auto deadline = Clock::now() + limit;
    std::size_t need = std::string::npos;
    while (Clock::now() < deadline) {
      const auto head_end = data.find("\r\n\r\n");
      if (head_end != std::string::npos && need == std::string::npos) {
        const auto cl = data.find("Content-Length: ");
        need = head_end + 4 + (cl < head_end ? std::stoul(data.substr(cl + 16)) : 0);
      }
      if (need != std::string::npos && data.size() >= need) return data;
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      char buf[4096];
      const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n <= 0) return {};
      data.append(buf, static_cast<std::size_t>(n));
    }
    return {};
  }
  static void Send(int fd, const std::string& text) {
    [[maybe_unused]] const auto n = ::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
  }

 private:
  void Run() {
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      const int conn = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (conn < 0) continue;
      ++connections_;
      script_(conn);
      ::close(conn);
      return;
    }
  }

  std::function<void(int)> script_;
  int fd_ = -1;
  bool ok_ = false;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  std::thread thread_;
};

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
    ScriptedPeer peer([&c](int fd) {
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
    EXPECT_FALSE(connection.Services) << c.what;
    EXPECT_LT(seconds, 2.0) << c.what;
  }
}

TEST_F(WmiPeer, CostWithNothingListening) {
  WmiConnection connection;
  double seconds = 0;
  EXPECT_EQ(Connect(connection, seconds), 0);
  EXPECT_EQ(connection.LastError, kWmiConnect);
  EXPECT_NE(connection.LastErrorText.find("refused"), std::string::npos)
      << connection.LastErrorText;
  EXPECT_LT(seconds, 0.5);
  std::cout << "measured: port 5985 closed costs " << seconds * 1000 << " ms\n";
}

TEST_F(WmiPeer, CostWithASilentPort) {
  // A listener whose accept queue is full drops further connection requests
  // unanswered, as a filtered port does.
  ScriptedPeer peer([](int) {}, 0, false);
  ASSERT_TRUE(peer.ok());
  TcpStream filler;
  ASSERT_EQ(filler.Connect(kLoopback, kWsmanPort, 1s), TcpStatus::kOk);
  WmiConnection connection;
  double seconds = 0;
  EXPECT_EQ(Connect(connection, seconds), 0);
  EXPECT_EQ(connection.LastError, kWmiConnect);
  EXPECT_NE(connection.LastErrorText.find("timed out"), std::string::npos)
      << connection.LastErrorText;
  EXPECT_GE(seconds, Seconds(kWsmanConnectTimeout) - 0.05);
  EXPECT_LT(seconds, Seconds(kWsmanConnectTimeout) + 0.5);
  std::cout << "measured: port 5985 silent costs " << seconds * 1000 << " ms\n";
}

TEST_F(WmiPeer, CostWithAServiceThatNeverAnswers) {
  ScriptedPeer peer([&](int fd) {
    ScriptedPeer::ReadRequest(fd);
    while (!peer.stopping())
      std::this_thread::sleep_for(20ms);  // holds the connection open, says nothing
  });
  ASSERT_TRUE(peer.ok());
  WmiConnection connection;
  double seconds = 0;
  EXPECT_EQ(Connect(connection, seconds), 0);
  EXPECT_EQ(connection.LastError, kWmiTimeout) << connection.LastErrorText;
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
    ScriptedPeer peer([&](int fd) { Serve(fd, c.answer, requests, c.after_challenge); });
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
  ScriptedPeer peer([&](int fd) {
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
    ASSERT_EQ(stream.Connect(kLoopback, kWsmanPort, 2s), TcpStatus::kOk);
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
    if (stream.SendAll(Bytes(request), deadline) != TcpStatus::kOk) return {};
    std::vector<std::uint8_t> received;
    while (!FindHttpHeadEnd(received) &&
           stream.ReceiveSome(received, 4096, deadline) == TcpStatus::kOk) {
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
  ASSERT_EQ(stream.Connect(kLoopback, kWsmanPort, 2s), TcpStatus::kOk);
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
    if (!NoNamespace()) peer.emplace([](int) {}, 4, false);
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
