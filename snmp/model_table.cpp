#include "snmp/model_table.h"

namespace ordalen {

std::vector<ModelMIB>& TargetTable() {
  static std::vector<ModelMIB> table;
  return table;
}

void LoadTargetTable() {}

bool ParseTargetTable(const std::string& /*path*/) { return false; }

void FreeTargetTable() { TargetTable().clear(); }

}  // namespace ordalen
