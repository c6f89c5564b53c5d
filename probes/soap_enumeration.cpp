#include "probes/soap_enumeration.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <cstdint>
#include <memory>

#include "base/text.h"
#include "base/xml_doc.h"

namespace ordalen {

namespace {

// ---- libxml2 helpers ----

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
  InitXmlParser();
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
