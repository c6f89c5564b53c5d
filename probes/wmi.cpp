#include "probes/wmi.h"

#include <algorithm>
#include <optional>
#include <random>
#include <span>
#include <string_view>
#include <vector>

#include "base/base64.h"
#include "base/text.h"
#include "platform/tcp_stream.h"
#include "probes/ntlm_auth.h"
#include "probes/wsman_message.h"

namespace ordalen {

struct WmiSession {
  TcpStream stream;
  NtlmInitiator ntlm;
  std::string authority;                         // "10.0.0.1:5985"
  std::string to;                                // "http://10.0.0.1:5985/wsman"
  std::vector<std::uint8_t> authenticate_token;  // travels with the first sealed request
  std::vector<std::uint8_t> received;            // bytes read past the last answer
  // No request of the current operation runs past this point.
  TcpStream::Clock::time_point operation_deadline = TcpStream::Clock::time_point::max();

  // The open enumeration of the computer-name query.
  bool enumeration_open = false;
  std::string context;
  bool end_of_sequence = false;
  bool first_item_seen = false;
  std::optional<std::string> first_name;
};

WmiConnection::WmiConnection() = default;
WmiConnection::~WmiConnection() = default;
WmiConnection::WmiConnection(WmiConnection&&) noexcept = default;
WmiConnection& WmiConnection::operator=(WmiConnection&&) noexcept = default;

namespace {

constexpr std::size_t kReceiveChunk = std::size_t{16} * 1024;
constexpr int kMaxInterimAnswers = 4;

struct HttpAnswer {
  HttpResponseHead head;
  std::vector<std::uint8_t> body;
};

bool SetError(WmiConnection& connection, WmiError error, std::string text) {
  connection.LastError = error;
  connection.LastErrorText = std::move(text);
  return false;
}

std::string NewMessageId() {
  thread_local std::mt19937_64 generator{std::random_device{}()};
  std::uint8_t b[16];
  for (int i = 0; i < 16; i += 8) {
    const std::uint64_t v = generator();
    for (int k = 0; k < 8; ++k) b[i + k] = static_cast<std::uint8_t>(v >> (8 * k));
  }
  b[6] = static_cast<std::uint8_t>((b[6] & 0x0F) | 0x40);
  b[8] = static_cast<std::uint8_t>((b[8] & 0x3F) | 0x80);
  return Format("uuid:%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", b[0],
                b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13],
                b[14], b[15]);
}

std::span<const std::uint8_t> Bytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

bool StreamError(WmiConnection& connection, TcpStatus status, const char* while_doing) {
  switch (status) {
    case TcpStatus::kTimedOut:
      return SetError(connection, kWmiTimeout, Format("%s: no answer in time", while_doing));
    case TcpStatus::kClosed:
      return SetError(connection, kWmiClosed,
                      Format("%s: the service closed the connection", while_doing));
    default:
      return SetError(connection, kWmiClosed, Format("%s: %s", while_doing, TcpStatusText(status)));
  }
}

// Receives until `ready` says the buffered bytes are enough.
template <class Ready>
bool ReceiveUntil(WmiSession& session, WmiConnection& connection,
                  TcpStream::Clock::time_point deadline, Ready&& ready) {
  while (!ready()) {
    if (session.received.size() > kWsmanMaxAnswerBytes + kMaxHttpHeadBytes) {
      return SetError(connection, kWmiProtocol, "answer too large");
    }
    const TcpStatus status = session.stream.ReceiveSome(session.received, kReceiveChunk, deadline);
    if (status != TcpStatus::kOk) return StreamError(connection, status, "reading the answer");
  }
  return true;
}

// Reads one whole answer (head and body) from the connection.
bool ReadAnswer(WmiSession& session, WmiConnection& connection,
                TcpStream::Clock::time_point deadline, HttpAnswer& answer) {
  for (int interim = 0;; ++interim) {
    std::optional<std::size_t> head_end;
    if (!ReceiveUntil(session, connection, deadline, [&] {
          head_end = FindHttpHeadEnd(session.received);
          return head_end.has_value() || session.received.size() > kMaxHttpHeadBytes;
        })) {
      return false;
    }
    if (!head_end || *head_end > kMaxHttpHeadBytes)
      return SetError(connection, kWmiProtocol, "answer head too large");
    const std::string_view head_text(reinterpret_cast<const char*>(session.received.data()),
                                     *head_end);
    auto head = ParseHttpResponseHead(head_text);
    if (!head) return SetError(connection, kWmiProtocol, "malformed HTTP answer head");
    session.received.erase(session.received.begin(),
                           session.received.begin() + static_cast<std::ptrdiff_t>(*head_end));
    if (head->status < 200) {
      if (interim == kMaxInterimAnswers)
        return SetError(connection, kWmiProtocol, "too many interim answers");
      continue;
    }
    answer.head = std::move(*head);
    break;
  }

  answer.body.clear();
  bool length_valid = true;
  const auto content_length = answer.head.ContentLength(length_valid);
  if (answer.head.Chunked()) {
    ChunkedBody chunked;
    if (!ReceiveUntil(session, connection, deadline, [&] {
          chunked = DecodeChunked(session.received, kWsmanMaxAnswerBytes);
          return chunked.state != ChunkedBody::State::kIncomplete;
        })) {
      return false;
    }
    if (chunked.state == ChunkedBody::State::kMalformed) {
      return SetError(connection, kWmiProtocol, "malformed chunked answer body");
    }
    answer.body = std::move(chunked.body);
    session.received.erase(
        session.received.begin(),
        session.received.begin() + static_cast<std::ptrdiff_t>(chunked.consumed));
  } else if (!answer.head.Values("Transfer-Encoding").empty() || !length_valid) {
    return SetError(connection, kWmiProtocol, "answer body length unusable");
  } else if (content_length) {
    if (*content_length > kWsmanMaxAnswerBytes)
      return SetError(connection, kWmiProtocol, "answer too large");
    const auto length = static_cast<std::size_t>(*content_length);
    if (!ReceiveUntil(session, connection, deadline,
                      [&] { return session.received.size() >= length; }))
      return false;
    answer.body.assign(session.received.begin(),
                       session.received.begin() + static_cast<std::ptrdiff_t>(length));
    session.received.erase(session.received.begin(),
                           session.received.begin() + static_cast<std::ptrdiff_t>(length));
  } else if (answer.head.status != 204 && answer.head.status != 304) {
    // No length: the body runs to the end of the connection.
    for (;;) {
      if (session.received.size() > kWsmanMaxAnswerBytes)
        return SetError(connection, kWmiProtocol, "answer too large");
      const TcpStatus status =
          session.stream.ReceiveSome(session.received, kReceiveChunk, deadline);
      if (status == TcpStatus::kClosed) break;
      if (status != TcpStatus::kOk) return StreamError(connection, status, "reading the answer");
    }
    answer.body = std::move(session.received);
    session.received.clear();
    session.stream.Close();
  }
  if (answer.head.ClosesConnection()) session.stream.Close();
  return true;
}

// Sends one POST and reads its whole answer, within one request time limit.
bool Roundtrip(WmiSession& session, WmiConnection& connection, std::string_view extra_headers,
               std::span<const std::uint8_t> body, HttpAnswer& answer) {
  if (!session.stream.is_open())
    return SetError(connection, kWmiClosed, "the service closed the connection");
  const auto deadline =
      std::min(TcpStream::Clock::now() + kWsmanRequestTimeout, session.operation_deadline);
  std::string head = "POST /wsman HTTP/1.1\r\nHost: " + session.authority +
                     "\r\nConnection: Keep-Alive\r\nUser-Agent: ordalen\r\n";
  head += extra_headers;
  head += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n";
  std::vector<std::uint8_t> request(head.begin(), head.end());
  request.insert(request.end(), body.begin(), body.end());
  const TcpStatus sent = session.stream.SendAll(request, deadline);
  if (sent != TcpStatus::kOk) return StreamError(connection, sent, "sending a request");
  return ReadAnswer(session, connection, deadline, answer);
}

// Seals one SOAP message, sends it and unseals the answer's SOAP text.
bool SealedExchange(WmiSession& session, WmiConnection& connection, const std::string& xml,
                    std::string& reply) {
  const auto sealed = session.ntlm.Seal(Bytes(xml));
  if (!sealed) return SetError(connection, kWmiSeal, session.ntlm.error_text());
  const auto body = BuildEncryptedBody(*sealed);
  std::string headers = "Content-Type: " + std::string(kEncryptedContentType) + "\r\n";
  if (!session.authenticate_token.empty()) {
    headers += "Authorization: Negotiate " + Base64Encode(session.authenticate_token) + "\r\n";
    session.authenticate_token.clear();
  }
  HttpAnswer answer;
  if (!Roundtrip(session, connection, headers, body, answer)) return false;
  const int status = answer.head.status;
  if (status == 401)
    return SetError(connection, kWmiAccessDenied, "the service refused the account");

  const auto content_types = answer.head.Values("Content-Type");
  const bool sealed_answer =
      !content_types.empty() && IsEncryptedContentType(content_types.front());
  if (!sealed_answer) {
    if (status != 200)
      return SetError(connection, kWmiHttpStatus, Format("HTTP status %d", status));
    return SetError(connection, kWmiProtocol, "answer not sealed");
  }
  const auto parts = ParseEncryptedBody(answer.body);
  if (!parts) return SetError(connection, kWmiProtocol, "malformed sealed answer body");
  const auto plain = session.ntlm.Unseal(parts->sealed);
  if (!plain) return SetError(connection, kWmiSeal, session.ntlm.error_text());
  if (plain->size() != parts->original_length)
    return SetError(connection, kWmiSeal, "sealed answer length mismatch");
  reply.assign(plain->begin(), plain->end());
  if (status != 200) {
    const auto fault = ParseEnumerationAnswer(reply);
    if (fault && fault->fault)
      return SetError(connection, kWmiFault, "SOAP fault: " + fault->fault_text);
    return SetError(connection, kWmiHttpStatus, Format("HTTP status %d", status));
  }
  return true;
}

// One SOAP request of the enumeration and its parsed answer.
bool EnumerationStep(WmiSession& session, WmiConnection& connection, const std::string& xml,
                     const std::string& message_id, EnumerationAnswer& answer) {
  std::string reply;
  if (!SealedExchange(session, connection, xml, reply)) return false;
  auto parsed = ParseEnumerationAnswer(reply);
  if (!parsed) return SetError(connection, kWmiProtocol, "malformed SOAP answer");
  if (parsed->fault) return SetError(connection, kWmiFault, "SOAP fault: " + parsed->fault_text);
  if (!parsed->relates_to.empty() && parsed->relates_to != message_id) {
    return SetError(connection, kWmiProtocol, "answer relates to another request");
  }
  answer = std::move(*parsed);
  return true;
}

void TakeItems(WmiSession& session, const EnumerationAnswer& answer) {
  if (!session.first_item_seen && answer.item_count > 0) {
    session.first_item_seen = true;
    session.first_name = answer.first_name;
  }
  if (!answer.context.empty()) session.context = answer.context;
  if (answer.end_of_sequence) session.end_of_sequence = true;
}

bool OpenEnumeration(WmiSession& session, WmiConnection& connection) {
  session.enumeration_open = false;
  session.context.clear();
  session.end_of_sequence = false;
  session.first_item_seen = false;
  session.first_name.reset();
  const std::string message_id = NewMessageId();
  EnumerationAnswer answer;
  if (!EnumerationStep(session, connection,
                       BuildEnumerateRequest(session.to, message_id, kWsmanOperationTimeout),
                       message_id, answer)) {
    return false;
  }
  TakeItems(session, answer);
  if (session.context.empty() && !session.end_of_sequence) {
    return SetError(connection, kWmiProtocol, "enumeration answer without context");
  }
  session.enumeration_open = true;
  return true;
}

}  // namespace

int WmiConnect(WmiConnection& connection, const std::string& server, const std::string& user,
               const std::string& password) {
  connection.Services.reset();
  connection.LastError = kWmiNoError;
  connection.LastErrorText.clear();
  if (!NtlmMechanismAvailable()) {
    SetError(connection, kWmiNoMechanism, "NTLM mechanism not installed");
    return 0;
  }
  const auto address = ParseDottedQuad(server);
  if (!address) {
    SetError(connection, kWmiBadAddress, "server is not a dotted IPv4 address");
    return 0;
  }
  auto session = std::make_unique<WmiSession>();
  session->authority = server + ":" + std::to_string(kWsmanPort);
  session->to = "http://" + session->authority + "/wsman";

  std::vector<std::uint8_t> negotiate;
  if (!session->ntlm.Start(user, password, server, negotiate)) {
    SetError(connection, kWmiCredentials, session->ntlm.error_text());
    return 0;
  }
  const TcpStatus connected = session->stream.Connect(*address, kWsmanPort, kWsmanConnectTimeout);
  if (connected != TcpStatus::kOk) {
    SetError(connection, kWmiConnect,
             Format("connect to %s: %s", session->authority.c_str(), TcpStatusText(connected)));
    return 0;
  }

  // First leg: NEGOTIATE out, CHALLENGE back in a 401.
  HttpAnswer answer;
  if (!Roundtrip(*session, connection,
                 "Authorization: Negotiate " + Base64Encode(negotiate) + "\r\n", {}, answer)) {
    return 0;
  }
  if (answer.head.status != 401) {
    SetError(connection, kWmiHttpStatus,
             Format("HTTP status %d to the authentication start", answer.head.status));
    return 0;
  }
  const auto challenge = NegotiateToken(answer.head);
  if (!challenge || challenge->empty()) {
    SetError(connection, kWmiProtocol, "no Negotiate challenge in the answer");
    return 0;
  }
  if (!session->stream.is_open()) {
    SetError(connection, kWmiClosed, "the service closed the connection after its challenge");
    return 0;
  }
  if (!session->ntlm.Continue(*challenge, session->authenticate_token)) {
    SetError(connection, kWmiProtocol, session->ntlm.error_text());
    return 0;
  }

  // Second leg: AUTHENTICATE with the first sealed request, which opens the query.
  if (!OpenEnumeration(*session, connection)) return 0;
  connection.Services = std::move(session);
  return 1;
}

int WmiQueryComputerName(WmiConnection& connection, std::string& name) {
  if (!connection.Services) {
    SetError(connection, kWmiNotConnected, "not connected");
    return 0;
  }
  WmiSession& session = *connection.Services;
  session.operation_deadline = TcpStream::Clock::now() + kWsmanQueryLimit;
  if (!session.enumeration_open && !OpenEnumeration(session, connection)) return 0;
  session.enumeration_open = false;  // this call reads it to its end

  bool pulls_ok = true;
  for (int pulls = 0; !session.end_of_sequence && pulls < kWsmanMaxPulls; ++pulls) {
    if (session.context.empty()) {
      pulls_ok = SetError(connection, kWmiProtocol, "enumeration context missing");
      break;
    }
    const std::string message_id = NewMessageId();
    EnumerationAnswer answer;
    if (!EnumerationStep(
            session, connection,
            BuildPullRequest(session.to, message_id, kWsmanOperationTimeout, session.context),
            message_id, answer)) {
      pulls_ok = false;
      break;
    }
    TakeItems(session, answer);
  }
  // The first object, once read and checked, is the answer even when a later pull fails.
  if (session.first_item_seen && session.first_name) {
    name = *session.first_name;
    if (pulls_ok) {
      connection.LastError = kWmiNoError;
      connection.LastErrorText.clear();
    }
    return 1;
  }
  if (pulls_ok) {
    SetError(connection, kWmiNoName,
             session.first_item_seen ? "Name missing, null or empty" : "no object returned");
  }
  return 0;
}

void WmiRelease(WmiConnection& connection) {
  connection.Services.reset();
}

}  // namespace ordalen
