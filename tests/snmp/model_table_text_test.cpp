// The model table read from the file's bytes in memory gives what the file gives.
#include <gtest/gtest.h>

#include "snmp/model_table.h"
#include "support/process.h"

namespace ordalen {
namespace {

TEST(ModelTableTextTest, BytesInMemoryGiveTheTableTheFileGives) {
  struct Case {
    const char* what;
    std::string bytes;
    bool read;
    std::size_t entries;
  } cases[] = {
      {"two entries, one incomplete",
       "<?xml version=\"1.0\"?><Root><A><ModelMIB> 1.3 </ModelMIB><Model>M</Model>"
       "<VersionMIB>1.4</VersionMIB></A><B><Model>x</Model></B></Root>",
       true, 1},
      {"Shift_JIS",
       "<?xml version=\"1.0\" encoding=\"Shift_JIS\"?><Root><A><ModelMIB>1</ModelMIB>"
       "<Model>\x83\x76\x83\x8A</Model><VersionMIB>2</VersionMIB></A></Root>",
       true, 1},
      {"another document element", "<Other><A><ModelMIB>1</ModelMIB></A></Other>", true, 0},
      {"not XML", "plain text", false, 0},
      {"cut short", "<Root><A><ModelMIB>1</Model", false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    test::TempDir dir;
    FreeTargetTable();
    EXPECT_EQ(ParseTargetTable(dir.Write("targetMIB.xml", c.bytes).string()), c.read);
    const std::vector<ModelMIB> from_file = TargetTable();
    FreeTargetTable();
    EXPECT_EQ(ParseTargetTableText(c.bytes), c.read);
    EXPECT_EQ(TargetTable(), from_file);
    EXPECT_EQ(TargetTable().size(), c.entries);
    FreeTargetTable();
  }
}

}  // namespace
}  // namespace ordalen
