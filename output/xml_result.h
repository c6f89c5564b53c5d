// The XML result document of one scan and the file it is written to.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace ordalen {

// Owns the DOM of one scan (libxml2). Move-only.
class XmlDocument {
 public:
  XmlDocument();
  ~XmlDocument();
  XmlDocument(XmlDocument&&) noexcept;
  XmlDocument& operator=(XmlDocument&&) noexcept;

  // Creates the document with its root "NODE_SCAN"; 1 on success, 0 otherwise.
  int CreateResultDocument();
  // Sets an attribute on the document element; returns 1.
  int SetRootAttribute(const std::string& name, const std::string& value);

  int lastErrorCode = 0;
  std::string lastErrorReason;

  struct Impl;
  [[nodiscard]] Impl* impl() const { return impl_.get(); }

 private:
  std::unique_ptr<Impl> impl_;
};

// The output step: every stored host becomes a NODE element (and leaves the
// store), the file is written and, once complete, published in ResultFilePath().
void WriteResultFile(XmlDocument& document, std::int64_t scanTime);

// Full path of the written result file; empty until one was written.
std::string& ResultFilePath();

}  // namespace ordalen
