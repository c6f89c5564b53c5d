#include "output/xml_result.h"

#include "engine/result_store.h"

namespace ordalen {

struct XmlDocument::Impl {};

XmlDocument::XmlDocument() = default;
XmlDocument::~XmlDocument() = default;
XmlDocument::XmlDocument(XmlDocument&&) noexcept = default;
XmlDocument& XmlDocument::operator=(XmlDocument&&) noexcept = default;
int XmlDocument::CreateResultDocument() { return 0; }
int XmlDocument::SetRootAttribute(const std::string&, const std::string&) { return 1; }

void WriteResultFile(XmlDocument&, std::int64_t) { ClearHosts(); }

std::string& ResultFilePath() {
  static std::string path;
  return path;
}

}  // namespace ordalen
