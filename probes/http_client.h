// One HTTP/1.1 client connection for a request/answer exchange over TCP: it
// POSTs a body and reads the whole answer (interim 1xx answers skipped; a
// Content-Length, chunked or to-the-close body), every step within the
// caller's deadline and every answer bounded in size. Bytes that arrive past
// one answer are kept for the next. One connection per object, one thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/tcp_stream.h"
#include "probes/http_response.h"

namespace ordalen {

struct HttpAnswer {
  HttpResponseHead head;
  std::vector<std::uint8_t> body;
};

// Why an exchange failed.
enum class HttpFailure {
  kNone,
  kTimeout,   // no whole answer before the deadline
  kClosed,    // the connection is closed, or broke while sending or reading
  kProtocol,  // an answer that is not HTTP/1.1 as a client may accept it, or too large
};

class HttpClient {
 public:
  using Clock = TcpStream::Clock;

  // `authority` goes into the Host header ("10.0.0.1:5985"); answer bodies
  // larger than `max_body` bytes are refused.
  HttpClient(std::string authority, std::size_t max_body);

  // Opens the connection (address in host byte order); TcpStream::Connect.
  bool Connect(std::uint32_t address, std::uint16_t port, std::chrono::milliseconds timeout,
               OsError* error);

  // Sends one POST of `body` to `path`, with `extra_headers` (whole header
  // lines, each ending in CR LF) after the fixed ones, and reads its whole
  // answer before `deadline`. False with failure() and error_text() set
  // otherwise. An answer that ends the connection (Connection: close, HTTP/1.0,
  // a body to the close) leaves the client closed.
  bool Post(std::string_view path, std::string_view extra_headers,
            std::span<const std::uint8_t> body, Clock::time_point deadline, HttpAnswer& answer);

  [[nodiscard]] bool is_open() const { return stream_.is_open(); }
  [[nodiscard]] HttpFailure failure() const { return failure_; }
  // What went wrong, for diagnostics: our own words, never bytes the peer sent.
  [[nodiscard]] const std::string& error_text() const { return error_text_; }

 private:
  template <class Ready>
  bool ReceiveUntil(Clock::time_point deadline, Ready&& ready);
  bool ReadAnswer(Clock::time_point deadline, HttpAnswer& answer);
  bool StreamFailed(const OsError& error, const char* while_doing);
  bool ClosedByService(const char* while_doing);
  bool Fail(HttpFailure failure, std::string text);

  std::string authority_;
  std::size_t max_body_;
  TcpStream stream_;
  std::vector<std::uint8_t> received_;  // bytes read past the last answer
  HttpFailure failure_ = HttpFailure::kNone;
  std::string error_text_;
};

}  // namespace ordalen
