#include "support/wsman_peer.h"

#include <arpa/inet.h>
#include <libxml/parser.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>

#include "base/xml_doc.h"

namespace ordalen::test {

using Clock = std::chrono::steady_clock;

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (auto pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) ++n;
  return n;
}

std::string Envelope(const std::string& body, const std::string& relates_to) {
  return "<?xml version=\"1.0\"?><s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\" "
         "xmlns:a=\"http://schemas.xmlsoap.org/ws/2004/08/addressing\" "
         "xmlns:n=\"http://schemas.xmlsoap.org/ws/2004/09/enumeration\" "
         "xmlns:w=\"http://schemas.dmtf.org/wbem/wsman/1/wsman.xsd\" "
         "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">"
         "<s:Header><a:RelatesTo>" +
         relates_to + "</a:RelatesTo></s:Header><s:Body>" + body + "</s:Body></s:Envelope>";
}

std::string PullEnvelope(const std::string& items, bool end) {
  return Envelope(
      "<n:PullResponse><n:Items>" + items + "</n:Items>" +
      (end ? "<n:EndOfSequence/>" : "<n:EnumerationContext>ctx-2</n:EnumerationContext>") +
      "</n:PullResponse>");
}

std::string ElementText(const std::string& xml, const char* local_name) {
  const XmlDocPtr doc(xmlReadMemory(xml.data(), static_cast<int>(xml.size()), nullptr, nullptr,
                                    XML_PARSE_NONET | XML_PARSE_NOERROR));
  if (!doc) return "<not well-formed>";
  std::function<std::string(xmlNode*)> find = [&](xmlNode* node) -> std::string {
    for (; node; node = node->next) {
      if (node->type == XML_ELEMENT_NODE &&
          std::string_view(reinterpret_cast<const char*>(node->name)) == local_name) {
        const XmlCharPtr text(xmlNodeGetContent(node));
        return reinterpret_cast<const char*>(text.get());
      }
      auto inner = find(node->children);
      if (!inner.empty()) return inner;
    }
    return {};
  };
  return find(xmlDocGetRootElement(doc.get()));
}

// ---- TestAcceptor ----

TestAcceptor::TestAcceptor() {
  OM_uint32 minor = 0;
  gss_OID_set_desc mechs{1, NtlmMechanism()};
  gss_cred_id_t raw = GSS_C_NO_CREDENTIAL;
  [[maybe_unused]] PluginLeakScope scope;
  major_ = gss_acquire_cred(&minor, GSS_C_NO_NAME, GSS_C_INDEFINITE, &mechs, GSS_C_ACCEPT, &raw,
                            nullptr, nullptr);
  cred_.reset(raw);
}

OM_uint32 TestAcceptor::Step(std::span<const std::uint8_t> in, std::vector<std::uint8_t>& out) {
  OM_uint32 minor = 0;
  gss_buffer_desc input{in.size(), const_cast<std::uint8_t*>(in.data())};
  GssBuffer output;
  gss_ctx_id_t raw = context_.release();
  [[maybe_unused]] PluginLeakScope scope;
  const OM_uint32 major =
      gss_accept_sec_context(&minor, &raw, cred_.get(), &input, GSS_C_NO_CHANNEL_BINDINGS, nullptr,
                             nullptr, output.get(), nullptr, nullptr, nullptr);
  context_.reset(raw);
  out.assign(output.bytes().begin(), output.bytes().end());
  return major;
}

std::vector<std::uint8_t> TestAcceptor::Wrap(std::string_view plain, bool conf) {
  OM_uint32 minor = 0;
  gss_buffer_desc input{plain.size(), const_cast<char*>(plain.data())};
  GssBuffer output;
  int conf_state = 0;
  gss_wrap(&minor, context_.get(), conf ? 1 : 0, GSS_C_QOP_DEFAULT, &input, &conf_state,
           output.get());
  return {output.bytes().begin(), output.bytes().end()};
}

std::optional<std::string> TestAcceptor::Unwrap(std::span<const std::uint8_t> sealed) {
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

// ---- ScriptedPeer ----

ScriptedPeer::ScriptedPeer(std::uint16_t port, std::function<void(int)> script, int backlog,
                           bool accept)
    : script_(std::move(script)) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int one = 1;
  ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons(port);
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ok_ =
      ::bind(fd_, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0 && ::listen(fd_, backlog) == 0;
  if (ok_ && accept) thread_ = std::thread([this] { Run(); });
}

ScriptedPeer::~ScriptedPeer() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  ::close(fd_);
}

bool ScriptedPeer::PendingConnection() const {
  pollfd p{fd_, POLLIN, 0};
  return ::poll(&p, 1, 0) > 0;
}

std::string ScriptedPeer::ReadRequest(int fd, std::chrono::milliseconds limit) {
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

void ScriptedPeer::Send(int fd, const std::string& text) {
  [[maybe_unused]] const auto n = ::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
}

void ScriptedPeer::Run() {
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

}  // namespace ordalen::test
