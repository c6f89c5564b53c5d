#include "probes/wmi.h"

#include <algorithm>
#include <cerrno>
#include <optional>
#include <random>
#include <span>
#include <string_view>
#include <vector>

#include "base/base64.h"
#include "base/text.h"
#include "platform/tcp_stream.h"
#include "probes/encrypted_body.h"
#include "probes/http_client.h"
#include "probes/ntlm_auth.h"
#include "probes/soap_enumeration.h"

namespace ordalen {

struct WmiSession {
  explicit WmiSession(const std::string& authority_text)
      : authority(authority_text),
        to("http://" + authority_text + "/wsman"),
        http(authority_text, kWsmanMaxAnswerBytes) {}

  std::string authority;  // "10.0.0.1:5985"
  std::string to;         // "http://10.0.0.1:5985/wsman"
  HttpClient http;
  NtlmInitiator ntlm;
  std::vector<std::uint8_t> authenticate_token;  // travels with the first sealed request
  // No request of the current operation runs past this point.
  HttpClient::Clock::time_point operation_deadline = HttpClient::Clock::time_point::max();

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

// Sends one POST to the service and reads its whole answer, within one request
// time limit and the operation's deadline.
bool Roundtrip(WmiSession& session, WmiConnection& connection, std::string_view extra_headers,
               std::span<const std::uint8_t> body, HttpAnswer& answer) {
  const auto deadline =
      std::min(HttpClient::Clock::now() + kWsmanRequestTimeout, session.operation_deadline);
  if (session.http.Post("/wsman", extra_headers, body, deadline, answer)) return true;
  switch (session.http.failure()) {
    case HttpFailure::kTimeout:
      return SetError(connection, kWmiTimeout, session.http.error_text());
    case HttpFailure::kProtocol:
      return SetError(connection, kWmiProtocol, session.http.error_text());
    case HttpFailure::kClosed:
    case HttpFailure::kNone:
      break;
  }
  return SetError(connection, kWmiClosed, session.http.error_text());
}

bool HttpStatusError(WmiConnection& connection, int status, const char* context = "") {
  connection.LastHttpStatus = status;
  return SetError(connection, kWmiHttpStatus, Format("HTTP status %d%s", status, context));
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
    if (status != 200) return HttpStatusError(connection, status);
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
    return HttpStatusError(connection, status);
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
  connection.LastHttpStatus = 0;
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
  auto session = std::make_unique<WmiSession>(server + ":" + std::to_string(kWsmanPort));

  std::vector<std::uint8_t> negotiate;
  if (!session->ntlm.Start(user, password, server, negotiate)) {
    SetError(connection, kWmiCredentials, session->ntlm.error_text());
    return 0;
  }
  OsError connect_error;
  if (!session->http.Connect(*address, kWsmanPort, kWsmanConnectTimeout, &connect_error)) {
    SetError(
        connection, connect_error.code == ECONNREFUSED ? kWmiRefused : kWmiConnect,
        Format("connect to %s: %s", session->authority.c_str(), TcpFailureText(connect_error)));
    return 0;
  }

  // First leg: NEGOTIATE out, CHALLENGE back in a 401.
  HttpAnswer answer;
  if (!Roundtrip(*session, connection,
                 "Authorization: Negotiate " + Base64Encode(negotiate) + "\r\n", {}, answer)) {
    return 0;
  }
  if (answer.head.status != 401) {
    HttpStatusError(connection, answer.head.status, " to the authentication start");
    return 0;
  }
  const auto challenge = NegotiateToken(answer.head);
  if (!challenge || challenge->empty()) {
    SetError(connection, kWmiProtocol, "no Negotiate challenge in the answer");
    return 0;
  }
  if (!session->http.is_open()) {
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
  session.operation_deadline = HttpClient::Clock::now() + kWsmanQueryLimit;
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

std::string WmiFailureText(const WmiConnection& connection) {
  switch (connection.LastError) {
    case kWmiNoError:
      return "no failure";
    case kWmiNoMechanism:
      return "NTLM mechanism not installed";
    case kWmiBadAddress:
      return "not an IPv4 address";
    case kWmiCredentials:
      return "account not usable";
    case kWmiRefused:
      return "connection refused";
    case kWmiConnect:
      return "no connection";
    case kWmiTimeout:
      return "no answer in time";
    case kWmiClosed:
      return "connection closed";
    case kWmiProtocol:
      return "unexpected answer";
    case kWmiAccessDenied:
      return "authentication refused";
    case kWmiHttpStatus:
      return Format("HTTP status %d", connection.LastHttpStatus);
    case kWmiSeal:
      return "sealing failed";
    case kWmiFault:
      return "SOAP fault";
    case kWmiNotConnected:
      return "not connected";
    case kWmiNoName:
      return "no name";
    default:
      return Format("failure %d", connection.LastError);
  }
}

}  // namespace ordalen
