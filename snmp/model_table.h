// The per-model OID table from "targetMIB.xml" beside the executable.
//
// Schema: document element "Root"; every child node of it describes one model
// through its first child elements named exactly "ModelMIB" (OID whose value
// names the model), "Model" (the name that value must begin with) and
// "VersionMIB" (OID of the firmware version). A child lacking any of the three
// gives no entry. An encoding declared in the file is honoured; texts are UTF-8.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ordalen {

struct ModelMIB {
  std::string modelMib;
  std::string model;
  std::string versionMib;

  bool operator==(const ModelMIB&) const = default;
};

// The process's table, in document order. Filled before the scan starts and
// only read while it runs.
std::vector<ModelMIB>& TargetTable();

// Loads "<settings folder>/targetMIB.xml" unless the table already holds the file's
// current version. A missing file leaves the table as it is; nothing is logged.
// A file that is not well-formed XML leaves the table empty and is named in the
// log with the parser's reason.
void LoadTargetTable();

// Fills the table from `path`. True when the document was read and walked (also
// when its document element is not "Root": the table is then empty); false when
// the file cannot be read or is not well-formed XML.
bool ParseTargetTable(const std::string& path);
// The same over the file's bytes already in memory.
bool ParseTargetTableText(std::string_view bytes);

// Empties the table.
void FreeTargetTable();

// Modification time of the file the table was last loaded from; 0 before.
std::int64_t TargetTableFileTime();

}  // namespace ordalen
