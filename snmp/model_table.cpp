#include "snmp/model_table.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <cstring>
#include <filesystem>
#include <limits>
#include <string_view>

#include "app/log.h"
#include "app/settings.h"
#include "base/text.h"
#include "base/xml_doc.h"

namespace ordalen {
namespace {

std::int64_t& LoadedFileTime() {
  static std::int64_t time = 0;
  return time;
}

bool IsElementNamed(const xmlNode* node, std::string_view name) {
  // The name as written: a prefixed element ("x:Model") is not "Model".
  return node->type == XML_ELEMENT_NODE && (node->ns == nullptr || node->ns->prefix == nullptr) &&
         reinterpret_cast<const char*>(node->name) == name;
}

const xmlNode* FirstChildElement(const xmlNode* parent, std::string_view name) {
  for (const xmlNode* child = parent->children; child != nullptr; child = child->next) {
    if (IsElementNamed(child, name)) return child;
  }
  return nullptr;
}

// The text of all text and CDATA descendants, without the white space around it
// (entity references are not expanded, so a crafted file cannot blow up).
void CollectText(const xmlNode* node, std::string& text) {
  for (const xmlNode* child = node->children; child != nullptr; child = child->next) {
    if (child->type == XML_TEXT_NODE || child->type == XML_CDATA_SECTION_NODE) {
      if (child->content != nullptr) text += reinterpret_cast<const char*>(child->content);
    } else if (child->type == XML_ELEMENT_NODE) {
      CollectText(child, text);
    }
  }
}

std::string TextOf(const xmlNode* element) {
  std::string text;
  CollectText(element, text);
  return std::string(TrimSpace(text));
}

// No network, no error text on the console, no entity substitution.
constexpr int kParseOptions = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;

// Appends the entries of a parsed document to the table.
bool FillTable(const XmlDocPtr& doc) {
  if (!doc) return false;
  const xmlNode* root = xmlDocGetRootElement(doc.get());
  if (root == nullptr || !IsElementNamed(root, "Root")) return true;
  auto& table = TargetTable();
  for (const xmlNode* entry = root->children; entry != nullptr; entry = entry->next) {
    // Text, comments and the like between entries hold no elements.
    if (entry->type != XML_ELEMENT_NODE) continue;
    const xmlNode* model_mib = FirstChildElement(entry, "ModelMIB");
    const xmlNode* model = FirstChildElement(entry, "Model");
    const xmlNode* version_mib = FirstChildElement(entry, "VersionMIB");
    if (model_mib == nullptr || model == nullptr || version_mib == nullptr) continue;
    table.push_back({TextOf(model_mib), TextOf(model), TextOf(version_mib)});
  }
  return true;
}

}  // namespace

std::vector<ModelMIB>& TargetTable() {
  static std::vector<ModelMIB> table;
  return table;
}

std::int64_t TargetTableFileTime() {
  return LoadedFileTime();
}

void LoadTargetTable() {
  const std::filesystem::path path = SettingsFolder() + "/targetMIB.xml";
  std::error_code error;
  if (!std::filesystem::exists(path, error)) return;
  const auto written = std::filesystem::last_write_time(path, error);
  if (error) return;
  const std::int64_t time = written.time_since_epoch().count();
  if (time == LoadedFileTime()) return;
  FreeTargetTable();
  xmlResetLastError();
  if (!ParseTargetTable(path.string())) {
    // The scan goes on without models; the user learns why from the log.
    const xmlError* parse_error = xmlGetLastError();
    std::string reason = "cannot be read";
    if (parse_error != nullptr && parse_error->message != nullptr) {
      reason = Format("line %d: %s", parse_error->line,
                      std::string(TrimSpace(parse_error->message)).c_str());
    }
    WriteLog("targetMIB.xml not loaded (%s): no model is identified", reason.c_str());
  }
  LoadedFileTime() = time;
}

bool ParseTargetTable(const std::string& path) {
  InitXmlParser();
  return FillTable(XmlDocPtr(xmlReadFile(path.c_str(), nullptr, kParseOptions)));
}

bool ParseTargetTableText(std::string_view bytes) {
  if (bytes.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) return false;
  InitXmlParser();
  return FillTable(XmlDocPtr(xmlReadMemory(bytes.data(), static_cast<int>(bytes.size()), nullptr,
                                           nullptr, kParseOptions)));
}

void FreeTargetTable() {
  TargetTable().clear();
  TargetTable().shrink_to_fit();
}

}  // namespace ordalen
