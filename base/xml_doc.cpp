#include "base/xml_doc.h"

#include <libxml/parser.h>

#include <mutex>

namespace ordalen {

void XmlDocFree::operator()(xmlDoc* doc) const {
  xmlFreeDoc(doc);
}

void XmlCharFree::operator()(xmlChar* text) const {
  xmlFree(text);
}

void InitXmlParser() {
  static std::once_flag once;
  std::call_once(once, [] { xmlInitParser(); });
}

}  // namespace ordalen
