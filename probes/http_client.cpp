#include "probes/http_client.h"

#include <optional>
#include <utility>

#include "base/text.h"

namespace ordalen {

namespace {

constexpr std::size_t kReceiveChunk = std::size_t{16} * 1024;
constexpr int kMaxInterimAnswers = 4;

// Drops the first `count` bytes of the buffer.
void Consume(std::vector<std::uint8_t>& bytes, std::size_t count) {
  bytes.erase(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(count));
}

}  // namespace

HttpClient::HttpClient(std::string authority, std::size_t max_body)
    : authority_(std::move(authority)), max_body_(max_body) {}

bool HttpClient::Connect(std::uint32_t address, std::uint16_t port,
                         std::chrono::milliseconds timeout, OsError* error) {
  received_.clear();
  return stream_.Connect(address, port, timeout, error);
}

bool HttpClient::Fail(HttpFailure failure, std::string text) {
  failure_ = failure;
  error_text_ = std::move(text);
  return false;
}

bool HttpClient::StreamFailed(const OsError& error, const char* while_doing) {
  if (IsTimedOut(error)) {
    return Fail(HttpFailure::kTimeout, Format("%s: no answer in time", while_doing));
  }
  if (IsClosedByPeer(error)) return ClosedByService(while_doing);
  return Fail(HttpFailure::kClosed, Format("%s: %s", while_doing, TcpFailureText(error)));
}

bool HttpClient::ClosedByService(const char* while_doing) {
  return Fail(HttpFailure::kClosed, Format("%s: the service closed the connection", while_doing));
}

// Receives until `ready` says the buffered bytes are enough.
template <class Ready>
bool HttpClient::ReceiveUntil(Clock::time_point deadline, Ready&& ready) {
  while (!ready()) {
    if (received_.size() > max_body_ + kMaxHttpHeadBytes) {
      return Fail(HttpFailure::kProtocol, "answer too large");
    }
    OsError error;
    const auto received = stream_.ReceiveSome(received_, kReceiveChunk, deadline, &error);
    if (!received) return StreamFailed(error, "reading the answer");
    if (*received == 0) return ClosedByService("reading the answer");
  }
  return true;
}

bool HttpClient::ReadAnswer(Clock::time_point deadline, HttpAnswer& answer) {
  for (int interim = 0;; ++interim) {
    std::optional<std::size_t> head_end;
    if (!ReceiveUntil(deadline, [&] {
          head_end = FindHttpHeadEnd(received_);
          return head_end.has_value() || received_.size() > kMaxHttpHeadBytes;
        })) {
      return false;
    }
    if (!head_end || *head_end > kMaxHttpHeadBytes)
      return Fail(HttpFailure::kProtocol, "answer head too large");
    auto head = ParseHttpResponseHead(BytesAsText(received_).substr(0, *head_end));
    if (!head) return Fail(HttpFailure::kProtocol, "malformed HTTP answer head");
    Consume(received_, *head_end);
    if (head->status < 200) {
      if (interim == kMaxInterimAnswers)
        return Fail(HttpFailure::kProtocol, "too many interim answers");
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
    if (!ReceiveUntil(deadline, [&] {
          chunked = DecodeChunked(received_, max_body_);
          return chunked.state != ChunkedBody::State::kIncomplete;
        })) {
      return false;
    }
    if (chunked.state == ChunkedBody::State::kMalformed) {
      return Fail(HttpFailure::kProtocol, "malformed chunked answer body");
    }
    answer.body = std::move(chunked.body);
    Consume(received_, chunked.consumed);
  } else if (!answer.head.Values("Transfer-Encoding").empty() || !length_valid) {
    return Fail(HttpFailure::kProtocol, "answer body length unusable");
  } else if (content_length) {
    if (*content_length > max_body_) return Fail(HttpFailure::kProtocol, "answer too large");
    const auto length = static_cast<std::size_t>(*content_length);
    if (!ReceiveUntil(deadline, [&] { return received_.size() >= length; })) return false;
    answer.body.assign(received_.begin(), received_.begin() + static_cast<std::ptrdiff_t>(length));
    Consume(received_, length);
  } else if (answer.head.status != 204 && answer.head.status != 304) {
    // No length: the body runs to the end of the connection.
    for (;;) {
      if (received_.size() > max_body_) return Fail(HttpFailure::kProtocol, "answer too large");
      OsError error;
      const auto received = stream_.ReceiveSome(received_, kReceiveChunk, deadline, &error);
      if (!received) return StreamFailed(error, "reading the answer");
      if (*received == 0) break;
    }
    answer.body = std::move(received_);
    received_.clear();
    stream_.Close();
  }
  if (answer.head.ClosesConnection()) stream_.Close();
  return true;
}

bool HttpClient::Post(std::string_view path, std::string_view extra_headers,
                      std::span<const std::uint8_t> body, Clock::time_point deadline,
                      HttpAnswer& answer) {
  failure_ = HttpFailure::kNone;
  error_text_.clear();
  if (!stream_.is_open()) return Fail(HttpFailure::kClosed, "the service closed the connection");
  std::string head = "POST ";
  head += path;
  head +=
      " HTTP/1.1\r\nHost: " + authority_ + "\r\nConnection: Keep-Alive\r\nUser-Agent: ordalen\r\n";
  head += extra_headers;
  head += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n";
  std::vector<std::uint8_t> request(head.begin(), head.end());
  request.insert(request.end(), body.begin(), body.end());
  OsError error;
  if (!stream_.SendAll(request, deadline, &error)) return StreamFailed(error, "sending a request");
  return ReadAnswer(deadline, answer);
}

}  // namespace ordalen
