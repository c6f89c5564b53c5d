// What every user of libxml2 shares: owners of what it allocates and the
// parser's one-time set-up.
#pragma once

#include <libxml/tree.h>

#include <memory>

namespace ordalen {

struct XmlDocFree {
  void operator()(xmlDoc* doc) const;
};
// A document of libxml2, freed with it.
using XmlDocPtr = std::unique_ptr<xmlDoc, XmlDocFree>;

struct XmlCharFree {
  void operator()(xmlChar* text) const;
};
// A string libxml2 allocated (xmlNodeGetContent, xmlGetProp ...).
using XmlCharPtr = std::unique_ptr<xmlChar, XmlCharFree>;

// Sets the parser up once per process; any thread may call it, any number of
// times, before its first parse.
void InitXmlParser();

}  // namespace ordalen
