#include "output/xml_result.h"

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlsave.h>

#include <cerrno>
#include <filesystem>
#include <mutex>
#include <optional>

#include "app/log.h"
#include "app/settings.h"
#include "base/encoding.h"
#include "base/mib_keys.h"
#include "base/text.h"
#include "base/xml_doc.h"
#include "engine/result_store.h"
#include "platform/files.h"

namespace ordalen {
namespace {

constexpr std::string_view kRootXml = "<NODE_SCAN/>";
// Names tried after the first one is taken: "<stamp>-2" up to "<stamp>-99".
constexpr int kMaxNameSuffix = 99;

struct BufferFree {
  void operator()(xmlBuffer* buffer) const { xmlBufferFree(buffer); }
};

const xmlChar* X(const std::string& s) {
  return reinterpret_cast<const xmlChar*>(s.c_str());
}

bool AllowedInXml(std::uint32_t cp) {
  if (cp < 0x20) return cp == 0x09 || cp == 0x0A || cp == 0x0D;
  return cp != 0xFFFE && cp != 0xFFFF;
}

std::string WithCrLf(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 16);
  for (char c : text) {
    if (c == '\n') out.push_back('\r');
    out.push_back(c);
  }
  return out;
}

void RemoveQuietly(const std::string& path) {
  std::error_code ec;
  std::filesystem::remove(path, ec);
}

// Between the output step and a thread that stops the process: which temporary
// file exists, and whether the step may still publish its file. Never
// destroyed, as the stopping thread may use it while the process ends.
struct PublicationGate {
  std::mutex mutex;
  bool abandoned = false;
  std::string temporary;
};
PublicationGate& Gate() {
  static auto* gate = new PublicationGate;  // NOLINT(cppcoreguidelines-owning-memory)
  return *gate;
}

void LogFileError(const char* what, const OsError& error) {
  WriteLog("output file %s error:[0x%x]%s", what, FileErrorCause(error.code),
           SystemErrorText(error.code).c_str());
}

}  // namespace

struct XmlDocument::Impl {
  XmlDocPtr doc;
};

XmlDocument::XmlDocument() : impl_(std::make_unique<Impl>()) {}
XmlDocument::~XmlDocument() = default;
XmlDocument::XmlDocument(XmlDocument&&) noexcept = default;
XmlDocument& XmlDocument::operator=(XmlDocument&&) noexcept = default;

int XmlDocument::CreateResultDocument() {
  impl_->doc.reset();
  InitXmlParser();
  xmlResetLastError();
  impl_->doc.reset(xmlReadMemory(kRootXml.data(), static_cast<int>(kRootXml.size()), nullptr,
                                 nullptr,
                                 XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING));
  if (impl_->doc && xmlDocGetRootElement(impl_->doc.get())) return 1;
  impl_->doc.reset();
  const xmlError* error = xmlGetLastError();
  lastErrorCode = error ? error->code : -1;
  lastErrorReason = error && error->message ? std::string(TrimSpace(error->message))
                                            : std::string("document could not be created");
  return 0;
}

bool XmlDocument::HasDocument() const {
  return impl_ && impl_->doc;
}

int XmlDocument::SetRootAttribute(const std::string& name, const std::string& value) {
  if (!HasDocument()) return 0;
  xmlSetProp(xmlDocGetRootElement(impl_->doc.get()), X(name), X(XmlSafeText(value)));
  return 1;
}

bool XmlDocument::AppendRootChild(XmlElement& out, const std::string& name, const std::string& text,
                                  const std::string& attr_name, const std::string& attr_value) {
  out = nullptr;
  if (!HasDocument()) return false;
  return AppendChildElement(out, xmlDocGetRootElement(impl_->doc.get()), name, text, attr_name,
                            attr_value, false);
}

bool XmlDocument::AppendChildElement(XmlElement& out, XmlElement parent, const std::string& name,
                                     const std::string& text, const std::string& attr_name,
                                     const std::string& attr_value, bool no_text) {
  out = nullptr;
  if (!HasDocument() || !parent) return false;
  std::string element_name = name;
  for (char& c : element_name) {
    if (c == '&') c = '-';
  }
  xmlDoc* doc = impl_->doc.get();
  xmlNode* element = xmlNewDocNode(doc, nullptr, X(element_name), nullptr);
  if (!element) return false;
  xmlAddChild(parent, element);
  out = element;
  if (!attr_name.empty() && !attr_value.empty()) {
    xmlSetProp(element, X(attr_name), X(XmlSafeText(attr_value)));
  }
  if (!no_text) {
    xmlNode* text_node = xmlNewDocText(doc, X(XmlSafeText(text)));
    if (!text_node) return false;
    xmlAddChild(element, text_node);
  }
  return true;
}

std::string XmlDocument::GetDocumentText() const {
  if (!HasDocument()) return {};
  std::unique_ptr<xmlBuffer, BufferFree> buffer(xmlBufferCreate());
  if (!buffer) return {};
  xmlSaveCtxt* save = xmlSaveToBuffer(buffer.get(), "UTF-8", XML_SAVE_NO_DECL);
  if (!save) return {};
  xmlSaveDoc(save, impl_->doc.get());
  xmlSaveClose(save);
  const auto* content = reinterpret_cast<const char*>(xmlBufferContent(buffer.get()));
  return MarkupToCp932(
      std::string_view(content, static_cast<std::size_t>(xmlBufferLength(buffer.get()))));
}

bool AbandonResultFile() {
  PublicationGate& gate = Gate();
  const std::lock_guard lock(gate.mutex);
  gate.abandoned = true;
  if (!gate.temporary.empty()) RemoveQuietly(gate.temporary);
  gate.temporary.clear();
  return !ResultFilePath().empty();
}

std::string& ResultFilePath() {
  static std::string path;
  return path;
}

std::string ResultFileName(const std::string& folder, const std::string& stamp,
                           const std::string& jobId) {
  if (!jobId.empty()) return Format("%s/%s_%s.xml", folder.c_str(), stamp.c_str(), jobId.c_str());
  return Format("%s/%s.xml", folder.c_str(), stamp.c_str());
}

int FileErrorCause(int error) {
  switch (error) {
    case ENOENT:
      return 2;
    case ENOTDIR:
      return 3;
    case EMFILE:
    case ENFILE:
      return 4;
    case EACCES:
    case EPERM:
    case EROFS:
      return 5;
    case ENOSPC:
    case EDQUOT:
      return 13;
    default:
      return 1;
  }
}

std::string XmlSafeText(std::string_view bytes) {
  if (const auto nul = bytes.find('\0'); nul != std::string_view::npos)
    bytes = bytes.substr(0, nul);
  const std::string utf8 = ToUtf8Lenient(bytes);
  std::string out;
  out.reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size();) {
    const auto c = DecodeUtf8(std::string_view(utf8).substr(i));
    if (!c) {  // cannot happen after the lenient decoding; stay safe anyway
      out.append(kUtf8Replacement);
      ++i;
      continue;
    }
    if (AllowedInXml(c->code_point)) {
      out.append(utf8, i, c->length);
    } else {
      out.append(kUtf8Replacement);
    }
    i += c->length;
  }
  return out;
}

std::string MarkupToCp932(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  IconvConverter cv("CP932", "UTF-8");
  std::size_t pos = 0;
  while (pos < utf8.size()) {
    if (cv.ok()) {
      pos += cv.Convert(utf8.substr(pos), out);
      if (pos == utf8.size()) break;
      cv.Reset();
    }
    // The character at pos has no CP932 form (or there is no converter: then
    // only ASCII is passed through).
    const auto c = DecodeUtf8(utf8.substr(pos));
    if (!c) {
      out.append("&#65533;");
      ++pos;
    } else if (c->code_point < 0x80) {
      out.push_back(static_cast<char>(c->code_point));
      pos += c->length;
    } else {
      out.append(Format("&#%u;", c->code_point));
      pos += c->length;
    }
  }
  return out;
}

void WriteResultFile(XmlDocument& document, std::int64_t scanTime) {
  const SCANCONFIG& config = ScanConfig();
  XmlElement card = nullptr;
  document.AppendRootChild(card, "NETWORK_CARD", "");

  for (auto& assoc : Results()) {
    std::unique_ptr<SCANRESULT> record = std::move(assoc.value);
    if (!record || !card) continue;
    XmlElement node = nullptr;
    if (!document.AppendChildElement(node, card, "NODE", "")) continue;
    XmlElement child = nullptr;
    auto add = [&](const char* name, const std::string& text, const char* oid = "") {
      document.AppendChildElement(child, node, name, text, *oid ? "oid" : "", oid);
    };
    add("MACADDRESS", record->MacAddress);
    add("IPADDRESS", record->IpAddress);
    if (!record->NetMask.empty()) add("NETMASK", record->NetMask);
    if (!record->Broadcast.empty()) add("BROADCAST", record->Broadcast);
    add("NETBIOS_NAME", record->NetbiosName);
    add("DOMAIN_NAME", record->DomainName);
    add("OS", Format("%d", record->OsType));
    if (!record->SysDescr.empty()) add("VARIABLE", record->SysDescr, kSysDescrOid.data());
    if (!record->MarkerCount.empty()) add("VARIABLE", record->MarkerCount, kMarkerCountOid.data());
    if (!record->ModelName.empty()) add("VARIABLE", record->ModelName, kModelNameKey.data());
    if (!record->FirmVersion.empty()) add("VARIABLE", record->FirmVersion, kFirmVersionKey.data());
  }
  ClearHosts();

  if (!document.HasDocument()) {
    WriteLog("output document error:[%d]%s", document.lastErrorCode,
             document.lastErrorReason.c_str());
    return;
  }
  const std::string text = document.GetDocumentText();
  const std::string stamp = FormatTime("%Y%m%d_%H%M%S", scanTime);
  const std::string path = ResultFileName(config.outputDir, stamp, config.jobId);
  WriteLog("%s", path.c_str());

  // Written under a hidden temporary name and renamed into place once complete,
  // so that whoever watches the folder never meets half a file. The gate keeps
  // a stopping process from leaving the temporary file behind or publishing it.
  const std::string name = path.substr(path.rfind('/') + 1);
  PublicationGate& gate = Gate();
  OsError error;
  std::optional<NewFile> file;
  {
    const std::lock_guard lock(gate.mutex);
    if (gate.abandoned) return;
    file = NewFile::CreateTemporary(config.outputDir, name, &error);
    if (file) gate.temporary = file->path();
  }
  if (!file) {
    LogFileError("open", error);
    return;
  }
  const std::string temp = file->path();
  std::string content(kXmlDeclaration);
  content += WithCrLf(text);
  if (!file->Write(content, &error) || !file->Finish(&error)) {
    file.reset();
    {
      const std::lock_guard lock(gate.mutex);
      RemoveQuietly(temp);
      gate.temporary.clear();
    }
    LogFileError("write", error);
    return;
  }
  // Another scan of the same job that started in the same second has the same
  // name; its result is never replaced: this one takes the next free name,
  // "<stamp>-2", "-3", ... before the job identifier.
  std::string final_path = path;
  bool published = false;
  {
    const std::lock_guard lock(gate.mutex);
    // Abandoned: the stopping thread has removed the temporary file.
    if (gate.abandoned) return;
    bool renamed = RenameNoReplace(temp, final_path, &error);
    for (int n = 2; !renamed && error.code == EEXIST && n <= kMaxNameSuffix; ++n) {
      final_path =
          ResultFileName(config.outputDir, Format("%s-%d", stamp.c_str(), n), config.jobId);
      renamed = RenameNoReplace(temp, final_path, &error);
    }
    if (renamed) {
      ResultFilePath() = final_path;
      published = true;
    } else {
      RemoveQuietly(temp);
    }
    gate.temporary.clear();
  }
  if (!published) {
    LogFileError("rename", error);
    return;
  }
  if (final_path != path) WriteLog("output file exists: written as %s", final_path.c_str());
  std::error_code ec;
  if (!std::filesystem::exists(final_path, ec)) WriteLog("output file not exist");
}

}  // namespace ordalen
