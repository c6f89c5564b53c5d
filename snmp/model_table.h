// The per-model OID table from "targetMIB.xml".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ordalen {

struct ModelMIB {
  std::string modelMib;
  std::string model;
  std::string versionMib;
};

// The process's table, in document order.
std::vector<ModelMIB>& TargetTable();

void LoadTargetTable();
bool ParseTargetTable(const std::string& path);
void FreeTargetTable();

}  // namespace ordalen
