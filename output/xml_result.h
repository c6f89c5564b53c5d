// The XML result document of one scan and the file it is written to.
//
// The file is the declaration below, then the document in Shift_JIS as Windows
// writes it (CP932), lines ending in CR LF. A character Shift_JIS cannot hold is
// written as a numeric character reference, and text that is not valid UTF-8 is
// read as CP932 where it decodes, else replaced, so the file is always well-formed.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

struct _xmlNode;  // NOLINT(bugprone-reserved-identifier): libxml2's own name

namespace ordalen {

inline constexpr std::string_view kXmlDeclaration =
    "<?xml version=\"1.0\" encoding=\"Shift_JIS\" ?>";

// An element of the document; the document owns it.
using XmlElement = _xmlNode*;

// Owns the DOM of one scan. Move-only.
class XmlDocument {
 public:
  XmlDocument();
  ~XmlDocument();
  XmlDocument(XmlDocument&&) noexcept;
  XmlDocument& operator=(XmlDocument&&) noexcept;

  // Creates the document with its root "NODE_SCAN"; 1 on success, 0 otherwise
  // (lastErrorCode and lastErrorReason then say why).
  int CreateResultDocument();
  [[nodiscard]] bool HasDocument() const;

  // Sets an attribute on the document element; 1, or 0 without a document.
  int SetRootAttribute(const std::string& name, const std::string& value);

  // Appends element `name` to the document element, with a text node holding
  // `text` and, when both are given, the attribute `attr_name`=`attr_value`.
  bool AppendRootChild(XmlElement& out, const std::string& name, const std::string& text,
                       const std::string& attr_name = {}, const std::string& attr_value = {});
  // The same under `parent`; every "&" of `name` becomes "-"; with `no_text` the
  // element gets no text node.
  bool AppendChildElement(XmlElement& out, XmlElement parent, const std::string& name,
                          const std::string& text, const std::string& attr_name = {},
                          const std::string& attr_value = {}, bool no_text = false);

  // The serialised document without a declaration, in CP932, lines as they are
  // (LF); empty without a document.
  [[nodiscard]] std::string GetDocumentText() const;

  int lastErrorCode = 0;
  std::string lastErrorReason;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The output step: every stored host becomes a NODE element (and leaves the
// store), the file is written under a temporary name and, once complete and
// closed, renamed into place and published in ResultFilePath(). A result file
// already there under that name (a scan of the same job that started in the
// same second) is kept: this one is named "<stamp>-2", "-3", ... instead.
void WriteResultFile(XmlDocument& document, std::int64_t scanTime);

// Full path of the written result file; empty until one was written.
std::string& ResultFilePath();

// For a process being stopped while the scan may still run: the output step
// publishes nothing from now on, and a temporary file it made is removed (never
// a file under a final name). True when the result file had already been
// published, whole, before this call. Safe from any thread.
bool AbandonResultFile();

// "<folder>/<stamp>.xml", or "<folder>/<stamp>_<jobId>.xml" with a job identifier.
std::string ResultFileName(const std::string& folder, const std::string& stamp,
                           const std::string& jobId);

// The cause code logged for an errno value that stopped the result file.
int FileErrorCause(int error);

// Text fit for the document: cut at a NUL byte, taken as UTF-8, else as CP932
// where it decodes, else U+FFFD; characters XML 1.0 does not allow become U+FFFD.
std::string XmlSafeText(std::string_view bytes);

// UTF-8 markup as CP932; a character CP932 cannot hold becomes "&#N;", a byte
// that is not well-formed UTF-8 "&#65533;".
std::string MarkupToCp932(std::string_view utf8);

}  // namespace ordalen
