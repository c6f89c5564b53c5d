#include "output/xml_result.h"

#include <iconv.h>
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
#include "engine/result_store.h"
#include "platform/files.h"

namespace ordalen {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
constexpr std::string_view kRootXml = "<NODE_SCAN/>";
// Names tried after the first one is taken: "<stamp>-2" up to "<stamp>-99".
constexpr int kMaxNameSuffix = 99;

struct DocFree {
  void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};
struct BufferFree {
  void operator()(xmlBuffer* buffer) const { xmlBufferFree(buffer); }
};

const xmlChar* X(const std::string& s) {
  return reinterpret_cast<const xmlChar*>(s.c_str());
}

// Length of the UTF-8 sequence at text[i] and its code point; 0 when invalid.
std::size_t DecodeUtf8(std::string_view text, std::size_t i, std::uint32_t& cp) {
  const auto b0 = static_cast<unsigned char>(text[i]);
  std::size_t len = 0;
  if (b0 < 0x80) {
    cp = b0;
    return 1;
  }
  if ((b0 & 0xE0) == 0xC0) {
    len = 2, cp = b0 & 0x1F;
  } else if ((b0 & 0xF0) == 0xE0) {
    len = 3, cp = b0 & 0x0F;
  } else if ((b0 & 0xF8) == 0xF0) {
    len = 4, cp = b0 & 0x07;
  } else {
    return 0;
  }
  if (i + len > text.size()) return 0;
  for (std::size_t k = 1; k < len; ++k) {
    const auto b = static_cast<unsigned char>(text[i + k]);
    if ((b & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b & 0x3F);
  }
  return len;
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
  std::unique_ptr<xmlDoc, DocFree> doc;
};

XmlDocument::XmlDocument() : impl_(std::make_unique<Impl>()) {}
XmlDocument::~XmlDocument() = default;
XmlDocument::XmlDocument(XmlDocument&&) noexcept = default;
XmlDocument& XmlDocument::operator=(XmlDocument&&) noexcept = default;

int XmlDocument::CreateResultDocument() {
  impl_->doc.reset();
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
    std::uint32_t cp = 0;
    const std::size_t len = DecodeUtf8(utf8, i, cp);
    if (len == 0) {  // cannot happen after the lenient decoding; stay safe anyway
      out.append(kReplacement);
      ++i;
      continue;
    }
    if (AllowedInXml(cp)) {
      out.append(utf8, i, len);
    } else {
      out.append(kReplacement);
    }
    i += len;
  }
  return out;
}

std::string MarkupToCp932(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  const iconv_t cd = iconv_open("CP932", "UTF-8");
  const bool have_iconv = cd != reinterpret_cast<iconv_t>(-1);  // NOLINT(performance-no-int-to-ptr)
  std::size_t pos = 0;
  while (pos < utf8.size()) {
    if (have_iconv) {
      char* in = const_cast<char*>(utf8.data() + pos);
      std::size_t in_left = utf8.size() - pos;
      char buf[4096];
      char* o = buf;
      std::size_t out_left = sizeof buf;
      const std::size_t rc = iconv(cd, &in, &in_left, &o, &out_left);
      out.append(buf, sizeof buf - out_left);
      pos = utf8.size() - in_left;
      if (rc != static_cast<std::size_t>(-1) || errno == E2BIG) continue;
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    // The character at pos has no CP932 form (or there is no converter: then
    // only ASCII is passed through).
    std::uint32_t cp = 0;
    const std::size_t len = DecodeUtf8(utf8, pos, cp);
    if (len == 0) {
      out.append("&#65533;");
      ++pos;
    } else if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
      pos += len;
    } else {
      out.append(Format("&#%u;", cp));
      pos += len;
    }
  }
  if (have_iconv) iconv_close(cd);
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
