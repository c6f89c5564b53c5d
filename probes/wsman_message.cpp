#include "probes/wsman_message.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <array>
#include <cassert>
#include <memory>
#include <mutex>

#include "base/base64.h"
#include "base/byte_cursor.h"
#include "base/text.h"

namespace ordalen {

namespace {

constexpr std::string_view kCrLf = "\r\n";

std::string_view AsText(std::span<const std::uint8_t> bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

bool IsTokenChar(char c) {
  if (c >= 'a' && c <= 'z') return true;
  if (c >= 'A' && c <= 'Z') return true;
  if (c >= '0' && c <= '9') return true;
  return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool AllDigits(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// Decimal text of at most 18 digits (no sign, no spaces).
std::optional<std::uint64_t> ParseDecimal(std::string_view text) {
  if (!AllDigits(text) || text.size() > 18) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : text) value = value * 10 + static_cast<std::uint64_t>(c - '0');
  return value;
}

// Splits `text` at `separator`, trimming every piece.
std::vector<std::string_view> SplitTrimmed(std::string_view text, char separator) {
  std::vector<std::string_view> pieces;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = text.find(separator, start);
    pieces.push_back(
        TrimSpace(text.substr(start, end == std::string_view::npos ? end : end - start)));
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return pieces;
}

// Reads one line ending in CR LF from the cursor position; the line without its end.
std::optional<std::string_view> ReadLine(std::string_view text, std::size_t& pos,
                                         std::size_t max_length) {
  const std::size_t end = text.find(kCrLf, pos);
  if (end == std::string_view::npos || end - pos > max_length) return std::nullopt;
  const std::string_view line = text.substr(pos, end - pos);
  pos = end + kCrLf.size();
  return line;
}

// ---- libxml2 helpers ----

struct XmlDocDeleter {
  void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};
using XmlDocPtr = std::unique_ptr<xmlDoc, XmlDocDeleter>;

struct XmlCharDeleter {
  void operator()(xmlChar* text) const { xmlFree(text); }
};
using XmlCharPtr = std::unique_ptr<xmlChar, XmlCharDeleter>;

constexpr std::string_view kSoapNs = "http://www.w3.org/2003/05/soap-envelope";
constexpr std::string_view kAddressingNs = "http://schemas.xmlsoap.org/ws/2004/08/addressing";
constexpr std::string_view kEnumerationNs = "http://schemas.xmlsoap.org/ws/2004/09/enumeration";
constexpr std::string_view kWsmanNs = "http://schemas.dmtf.org/wbem/wsman/1/wsman.xsd";
constexpr std::string_view kSchemaInstanceNs = "http://www.w3.org/2001/XMLSchema-instance";

std::string_view XmlText(const xmlChar* text) {
  return text ? std::string_view(reinterpret_cast<const char*>(text)) : std::string_view();
}

bool Is(const xmlNode* node, std::string_view ns, std::string_view local_name) {
  return node && node->type == XML_ELEMENT_NODE && XmlText(node->name) == local_name && node->ns &&
         XmlText(node->ns->href) == ns;
}

bool HasLocalName(const xmlNode* node, std::string_view local_name) {
  return node && node->type == XML_ELEMENT_NODE && XmlText(node->name) == local_name;
}

const xmlNode* FirstElement(const xmlNode* node) {
  for (; node; node = node->next) {
    if (node->type == XML_ELEMENT_NODE) return node;
  }
  return nullptr;
}

const xmlNode* NextElement(const xmlNode* node) {
  return node ? FirstElement(node->next) : nullptr;
}

std::string TextOf(const xmlNode* node) {
  XmlCharPtr text(xmlNodeGetContent(node));
  return std::string(TrimSpace(XmlText(text.get())));
}

bool IsNil(const xmlNode* node) {
  XmlCharPtr nil(xmlGetNsProp(node, reinterpret_cast<const xmlChar*>("nil"),
                              reinterpret_cast<const xmlChar*>(kSchemaInstanceNs.data())));
  const std::string_view value = TrimSpace(XmlText(nil.get()));
  return value == "true" || value == "1";
}

// "Name" of one item: its first child element of that local name.
std::optional<std::string> ItemName(const xmlNode* item) {
  for (const xmlNode* child = FirstElement(item->children); child; child = NextElement(child)) {
    if (!HasLocalName(child, "Name")) continue;
    if (IsNil(child)) return std::nullopt;
    std::string name = TextOf(child);
    if (!UsableComputerName(name)) return std::nullopt;
    return name;
  }
  return std::nullopt;
}

void ReadItems(const xmlNode* items, EnumerationAnswer& answer) {
  for (const xmlNode* item = FirstElement(items->children); item; item = NextElement(item)) {
    if (answer.item_count++ == 0) answer.first_name = ItemName(item);
  }
}

void InitXmlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { xmlInitParser(); });
}

void AppendSoapHeader(std::string& out, std::string_view to, std::string_view action,
                      std::string_view message_id, std::string_view operation_timeout) {
  out += "<s:Envelope xmlns:s=\"";
  out += kSoapNs;
  out += "\" xmlns:a=\"";
  out += kAddressingNs;
  out += "\" xmlns:n=\"";
  out += kEnumerationNs;
  out += "\" xmlns:w=\"";
  out += kWsmanNs;
  out += "\"><s:Header><a:To>";
  out += XmlEscape(to);
  out += "</a:To><w:ResourceURI s:mustUnderstand=\"true\">";
  out += kWmiResourceUri;
  out +=
      "</w:ResourceURI><a:ReplyTo><a:Address s:mustUnderstand=\"true\">"
      "http://schemas.xmlsoap.org/ws/2004/08/addressing/role/anonymous</a:Address></a:ReplyTo>"
      "<a:Action s:mustUnderstand=\"true\">";
  out += action;
  out +=
      "</a:Action><w:MaxEnvelopeSize "
      "s:mustUnderstand=\"true\">153600</w:MaxEnvelopeSize><a:MessageID>";
  out += XmlEscape(message_id);
  out +=
      "</a:MessageID><w:Locale xml:lang=\"en-US\" s:mustUnderstand=\"false\"/><w:OperationTimeout>";
  out += XmlEscape(operation_timeout);
  out += "</w:OperationTimeout></s:Header>";
}

}  // namespace

// ---- HTTP/1.1 ----

std::vector<std::string_view> HttpResponseHead::Values(std::string_view name) const {
  std::vector<std::string_view> values;
  for (const auto& [key, value] : headers) {
    if (EqualsNoCase(key, name)) values.emplace_back(value);
  }
  return values;
}

std::optional<std::uint64_t> HttpResponseHead::ContentLength(bool& valid) const {
  valid = true;
  std::optional<std::uint64_t> length;
  for (std::string_view value : Values("Content-Length")) {
    // A list "n, n" of equal values is allowed; anything else is not.
    for (std::string_view piece : SplitTrimmed(value, ',')) {
      const auto parsed = ParseDecimal(piece);
      if (!parsed || (length && *length != *parsed)) {
        valid = false;
        return std::nullopt;
      }
      length = parsed;
    }
  }
  return length;
}

bool HttpResponseHead::Chunked() const {
  const auto values = Values("Transfer-Encoding");
  if (values.empty()) return false;
  const auto codings = SplitTrimmed(values.back(), ',');
  return EqualsNoCase(codings.back(), "chunked");
}

bool HttpResponseHead::ClosesConnection() const {
  bool close = false;
  bool keep_alive = false;
  for (std::string_view value : Values("Connection")) {
    for (std::string_view option : SplitTrimmed(value, ',')) {
      if (EqualsNoCase(option, "close")) close = true;
      if (EqualsNoCase(option, "keep-alive")) keep_alive = true;
    }
  }
  if (close) return true;
  return version_minor == 0 && !keep_alive;
}

std::optional<std::size_t> FindHttpHeadEnd(std::span<const std::uint8_t> bytes) {
  const std::string_view text = AsText(bytes);
  const std::size_t at = text.find("\r\n\r\n");
  if (at == std::string_view::npos) return std::nullopt;
  return at + 4;
}

std::optional<HttpResponseHead> ParseHttpResponseHead(std::string_view head) {
  if (head.size() > kMaxHttpHeadBytes) return std::nullopt;
  HttpResponseHead out;
  std::size_t pos = 0;
  const auto status_line = ReadLine(head, pos, kMaxHttpHeadBytes);
  if (!status_line) return std::nullopt;
  // "HTTP/1.1 200 OK" (the reason phrase may be empty or missing).
  const std::string_view line = *status_line;
  if (line.size() < 12 || line.substr(0, 7) != "HTTP/1." || line[8] != ' ') return std::nullopt;
  if (line[7] != '0' && line[7] != '1') return std::nullopt;
  out.version_minor = line[7] - '0';
  const std::string_view code = line.substr(9, 3);
  if (!AllDigits(code) || (line.size() > 12 && line[12] != ' ')) return std::nullopt;
  out.status = (code[0] - '0') * 100 + (code[1] - '0') * 10 + (code[2] - '0');
  if (out.status < 100) return std::nullopt;

  for (;;) {
    if (pos == head.size()) break;  // head given without its blank line
    const auto header_line = ReadLine(head, pos, kMaxHttpHeadBytes);
    if (!header_line) return std::nullopt;
    if (header_line->empty()) break;
    const std::size_t colon = header_line->find(':');
    if (colon == 0 || colon == std::string_view::npos) return std::nullopt;
    const std::string_view name = header_line->substr(0, colon);
    for (char c : name) {
      if (!IsTokenChar(c)) return std::nullopt;  // also refuses folded continuation lines
    }
    const std::string_view value = TrimSpace(header_line->substr(colon + 1));
    for (char c : value) {
      const auto u = static_cast<unsigned char>(c);
      if ((u < 0x20 && c != '\t') || u == 0x7F) return std::nullopt;
    }
    if (out.headers.size() == kMaxHttpHeaders) return std::nullopt;
    out.headers.emplace_back(std::string(name), std::string(value));
  }
  return out;
}

ChunkedBody DecodeChunked(std::span<const std::uint8_t> bytes, std::size_t max_body) {
  constexpr std::size_t kMaxLine = 1024;
  ChunkedBody out;
  const std::string_view text = AsText(bytes);
  std::size_t pos = 0;
  auto fail = [&out] {
    out.state = ChunkedBody::State::kMalformed;
    out.body.clear();
    return out;
  };
  for (;;) {
    const std::size_t line_end = text.find(kCrLf, pos);
    if (line_end == std::string_view::npos) {
      if (text.size() - pos > kMaxLine) return fail();
      out.body.clear();
      return out;  // incomplete
    }
    if (line_end - pos > kMaxLine) return fail();
    std::string_view size_text = text.substr(pos, line_end - pos);
    size_text =
        TrimSpace(size_text.substr(0, size_text.find(';')));  // chunk extensions are ignored
    if (size_text.empty() || size_text.size() > 15) return fail();
    std::uint64_t size = 0;
    for (char c : size_text) {
      int digit;
      if (c >= '0' && c <= '9') {
        digit = c - '0';
      } else if (c >= 'a' && c <= 'f') {
        digit = c - 'a' + 10;
      } else if (c >= 'A' && c <= 'F') {
        digit = c - 'A' + 10;
      } else {
        return fail();
      }
      size = size * 16 + static_cast<std::uint64_t>(digit);
    }
    pos = line_end + kCrLf.size();
    if (size == 0) {
      // Trailer lines up to the blank line.
      for (;;) {
        const std::size_t end = text.find(kCrLf, pos);
        if (end == std::string_view::npos) {
          if (text.size() - pos > kMaxLine) return fail();
          out.body.clear();
          return out;
        }
        if (end - pos > kMaxLine) return fail();
        const bool blank = end == pos;
        pos = end + kCrLf.size();
        if (blank) {
          out.state = ChunkedBody::State::kComplete;
          out.consumed = pos;
          return out;
        }
      }
    }
    if (size > max_body - out.body.size()) return fail();
    if (text.size() - pos < size + kCrLf.size()) {
      out.body.clear();
      return out;  // incomplete
    }
    out.body.insert(out.body.end(), bytes.begin() + static_cast<std::ptrdiff_t>(pos),
                    bytes.begin() + static_cast<std::ptrdiff_t>(pos + size));
    pos += size;
    if (text.substr(pos, kCrLf.size()) != kCrLf) return fail();
    pos += kCrLf.size();
  }
}

std::optional<std::vector<std::uint8_t>> NegotiateToken(const HttpResponseHead& head) {
  for (std::string_view value : head.Values("WWW-Authenticate")) {
    for (std::string_view challenge : SplitTrimmed(value, ',')) {
      const std::size_t space = challenge.find_first_of(" \t");
      const std::string_view scheme = challenge.substr(0, space);
      if (!EqualsNoCase(scheme, "Negotiate")) continue;
      if (space == std::string_view::npos) return std::vector<std::uint8_t>{};
      return Base64Decode(TrimSpace(challenge.substr(space)));
    }
  }
  return std::nullopt;
}

// ---- Sealed bodies ----

bool IsEncryptedContentType(std::string_view content_type) {
  const auto params = SplitTrimmed(content_type, ';');
  if (!EqualsNoCase(params.front(), "multipart/encrypted")) return false;
  for (std::size_t i = 1; i < params.size(); ++i) {
    const std::size_t eq = params[i].find('=');
    if (eq == std::string_view::npos) continue;
    if (!EqualsNoCase(TrimSpace(params[i].substr(0, eq)), "protocol")) continue;
    std::string_view value = TrimSpace(params[i].substr(eq + 1));
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
      value = value.substr(1, value.size() - 2);
    return EqualsNoCase(value, kEncryptedProtocol);
  }
  return false;
}

std::vector<std::uint8_t> BuildEncryptedBody(std::span<const std::uint8_t> sealed) {
  assert(sealed.size() >= kSealSignatureBytes);
  const std::size_t original_length = sealed.size() - kSealSignatureBytes;
  std::string head = "--";
  head += kEncryptedBoundary;
  head += "\r\n\tContent-Type: ";
  head += kEncryptedProtocol;
  head += "\r\n\tOriginalContent: type=application/soap+xml;charset=UTF-8;Length=";
  head += std::to_string(original_length);
  head += "\r\n--";
  head += kEncryptedBoundary;
  head += "\r\n\tContent-Type: application/octet-stream\r\n";
  std::vector<std::uint8_t> out(head.begin(), head.end());
  const auto signature_length = static_cast<std::uint32_t>(kSealSignatureBytes);
  for (int shift = 0; shift < 32; shift += 8)
    out.push_back(static_cast<std::uint8_t>(signature_length >> shift));
  out.insert(out.end(), sealed.begin(), sealed.end());
  std::string tail = "--";
  tail += kEncryptedBoundary;
  tail += "--\r\n";
  out.insert(out.end(), tail.begin(), tail.end());
  return out;
}

std::optional<EncryptedBody> ParseEncryptedBody(std::span<const std::uint8_t> body) {
  constexpr std::size_t kMaxLine = 512;
  const std::string_view text = AsText(body);
  const std::string delimiter = "--" + std::string(kEncryptedBoundary);
  std::size_t pos = 0;

  auto line = ReadLine(text, pos, kMaxLine);
  if (!line || *line != delimiter) return std::nullopt;

  // First part: what the sealed data holds.
  bool protocol_seen = false;
  std::optional<std::uint64_t> original_length;
  for (;;) {
    line = ReadLine(text, pos, kMaxLine);
    if (!line) return std::nullopt;
    if (*line == delimiter) break;
    const std::string_view header = TrimSpace(*line);
    if (header.empty()) continue;
    const std::size_t colon = header.find(':');
    if (colon == std::string_view::npos) return std::nullopt;
    const std::string_view name = TrimSpace(header.substr(0, colon));
    const std::string_view value = TrimSpace(header.substr(colon + 1));
    if (EqualsNoCase(name, "Content-Type")) {
      if (!EqualsNoCase(value, kEncryptedProtocol)) return std::nullopt;
      protocol_seen = true;
    } else if (EqualsNoCase(name, "OriginalContent")) {
      for (std::string_view param : SplitTrimmed(value, ';')) {
        const std::size_t eq = param.find('=');
        if (eq == std::string_view::npos) continue;
        if (!EqualsNoCase(TrimSpace(param.substr(0, eq)), "Length")) continue;
        original_length = ParseDecimal(TrimSpace(param.substr(eq + 1)));
        if (!original_length) return std::nullopt;
      }
    }
  }
  if (!protocol_seen || !original_length || *original_length > body.size()) return std::nullopt;

  // Second part: its one header line, then the signature length, signature and sealed data.
  line = ReadLine(text, pos, kMaxLine);
  if (!line) return std::nullopt;
  const std::string_view header = TrimSpace(*line);
  const std::size_t colon = header.find(':');
  if (colon == std::string_view::npos ||
      !EqualsNoCase(TrimSpace(header.substr(0, colon)), "Content-Type") ||
      !EqualsNoCase(TrimSpace(header.substr(colon + 1)), "application/octet-stream")) {
    return std::nullopt;
  }
  ByteCursor cursor(body);
  if (!cursor.Seek(pos)) return std::nullopt;
  const auto signature_length = cursor.U32Le();
  if (!signature_length || *signature_length != kSealSignatureBytes) return std::nullopt;
  const auto sealed =
      cursor.Bytes(kSealSignatureBytes + static_cast<std::size_t>(*original_length));
  if (!sealed) return std::nullopt;

  // The closing delimiter, with or without a line end before it.
  std::string_view rest = text.substr(cursor.position());
  if (rest.substr(0, 2) == kCrLf) rest.remove_prefix(2);
  const std::string closing = delimiter + "--";
  if (rest.substr(0, closing.size()) != closing) return std::nullopt;
  rest.remove_prefix(closing.size());
  if (!TrimSpace(rest).empty()) return std::nullopt;

  EncryptedBody out;
  out.original_length = static_cast<std::size_t>(*original_length);
  out.sealed = *sealed;
  return out;
}

// ---- SOAP ----

std::string BuildEnumerateRequest(std::string_view to, std::string_view message_id,
                                  std::string_view operation_timeout) {
  std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";
  AppendSoapHeader(out, to, "http://schemas.xmlsoap.org/ws/2004/09/enumeration/Enumerate",
                   message_id, operation_timeout);
  out += "<s:Body><n:Enumerate><w:Filter Dialect=\"";
  out += kWqlDialect;
  out += "\">";
  out += XmlEscape(kComputerNameQuery);
  out += "</w:Filter></n:Enumerate></s:Body></s:Envelope>";
  return out;
}

std::string BuildPullRequest(std::string_view to, std::string_view message_id,
                             std::string_view operation_timeout,
                             std::string_view enumeration_context) {
  std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";
  AppendSoapHeader(out, to, "http://schemas.xmlsoap.org/ws/2004/09/enumeration/Pull", message_id,
                   operation_timeout);
  out += "<s:Body><n:Pull><n:EnumerationContext>";
  out += XmlEscape(enumeration_context);
  out += "</n:EnumerationContext><n:MaxElements>";
  out += std::to_string(kPullMaxElements);
  out += "</n:MaxElements></n:Pull></s:Body></s:Envelope>";
  return out;
}

std::optional<EnumerationAnswer> ParseEnumerationAnswer(std::string_view xml) {
  if (xml.empty() || xml.size() > static_cast<std::size_t>(INT32_MAX)) return std::nullopt;
  InitXmlOnce();
  XmlDocPtr doc(xmlReadMemory(xml.data(), static_cast<int>(xml.size()), nullptr, nullptr,
                              XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING));
  // A document type declaration has no place in an answer (and could define entities).
  if (!doc || doc->intSubset || doc->extSubset) return std::nullopt;
  const xmlNode* envelope = xmlDocGetRootElement(doc.get());
  if (!Is(envelope, kSoapNs, "Envelope")) return std::nullopt;

  EnumerationAnswer answer;
  const xmlNode* body = nullptr;
  for (const xmlNode* part = FirstElement(envelope->children); part; part = NextElement(part)) {
    if (Is(part, kSoapNs, "Header")) {
      for (const xmlNode* h = FirstElement(part->children); h; h = NextElement(h)) {
        if (Is(h, kAddressingNs, "RelatesTo")) answer.relates_to = TextOf(h);
      }
    } else if (Is(part, kSoapNs, "Body")) {
      body = part;
    }
  }
  if (!body) return std::nullopt;
  const xmlNode* content = FirstElement(body->children);
  if (Is(content, kSoapNs, "Fault")) {
    answer.fault = true;
    for (const xmlNode* f = FirstElement(content->children); f; f = NextElement(f)) {
      if (Is(f, kSoapNs, "Reason")) answer.fault_text = TextOf(f);
    }
    return answer;
  }
  if (!Is(content, kEnumerationNs, "EnumerateResponse") &&
      !Is(content, kEnumerationNs, "PullResponse")) {
    return std::nullopt;
  }
  for (const xmlNode* child = FirstElement(content->children); child; child = NextElement(child)) {
    if (Is(child, kEnumerationNs, "EnumerationContext")) {
      answer.context = TextOf(child);
    } else if (Is(child, kEnumerationNs, "Items") || Is(child, kWsmanNs, "Items")) {
      ReadItems(child, answer);
    } else if (Is(child, kEnumerationNs, "EndOfSequence") || Is(child, kWsmanNs, "EndOfSequence")) {
      answer.end_of_sequence = true;
    }
  }
  return answer;
}

bool UsableComputerName(std::string_view name) {
  if (name.empty() || name.size() > kMaxComputerNameBytes) return false;
  for (char c : name) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) return false;
  }
  return true;
}

std::string XmlEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

}  // namespace ordalen
