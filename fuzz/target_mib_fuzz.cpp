// A "targetMIB.xml" file read into the model table.
#include "fuzz_check.h"
#include "snmp/model_table.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace ordalen;
  FreeTargetTable();
  const bool read = ParseTargetTableText(fuzz::Text(data, size));
  // A document that is not read leaves nothing behind.
  if (!read) FUZZ_CHECK(TargetTable().empty());
  for (const ModelMIB& entry : TargetTable()) {
    // Texts are trimmed, as the MIB phase compares them.
    for (const std::string* text : {&entry.modelMib, &entry.model, &entry.versionMib}) {
      FUZZ_CHECK(text->empty() || (text->front() != ' ' && text->back() != ' '));
    }
  }
  FreeTargetTable();
  return 0;
}
