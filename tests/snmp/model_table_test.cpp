#include "snmp/model_table.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <thread>

#include "app/settings.h"
#include "support/process.h"

namespace ordalen {

void PrintTo(const ModelMIB& m, std::ostream* os) {
  *os << "{" << m.modelMib << ", " << m.model << ", " << m.versionMib << "}";
}

namespace {

using test::TempDir;

std::string Entry(const std::string& tag, const std::string& mib, const std::string& model,
                  const std::string& version) {
  return "<" + tag + "><ModelMIB>" + mib + "</ModelMIB><Model>" + model + "</Model><VersionMIB>" +
         version + "</VersionMIB></" + tag + ">";
}

class ModelTableTest : public ::testing::Test {
 protected:
  void SetUp() override { FreeTargetTable(); }
  void TearDown() override { FreeTargetTable(); }
  TempDir dir_;
};

TEST_F(ModelTableTest, ParsesEntriesInDocumentOrder) {
  struct Case {
    const char* name;
    std::string xml;
    bool result;
    std::vector<ModelMIB> table;
  } cases[] = {
      {"two entries, duplicate model kept in order",
       "<?xml version=\"1.0\"?><Root>" +
           Entry("A", "1.3.6.1.2.1.25.3.2.1.3.1", "LabPrinter", "1.3.6.1.4.1.1.0") +
           Entry("B", "1.3.6.1.4.1.2.0", "LabPrinter", "1.3.6.1.4.1.3.0") + "</Root>",
       true,
       {{"1.3.6.1.2.1.25.3.2.1.3.1", "LabPrinter", "1.3.6.1.4.1.1.0"},
        {"1.3.6.1.4.1.2.0", "LabPrinter", "1.3.6.1.4.1.3.0"}}},
      {"wrong document element", "<root>" + Entry("E", "1.1", "M", "1.2") + "</root>", true, {}},
      {"comment, text and a processing instruction under Root are no entries",
       "<Root><!-- c -->text<?pi x?>" + Entry("E", "1.1", "M", "1.2") + "tail</Root>",
       true,
       {{"1.1", "M", "1.2"}}},
      {"element names are case-sensitive",
       "<Root><E><ModelMIB>1.1</ModelMIB><model>M</model><VersionMIB>1.2</VersionMIB></E>" +
           Entry("F", "2.1", "N", "2.2") + "</Root>",
       true,
       {{"2.1", "N", "2.2"}}},
      {"an entry lacking one element is skipped",
       "<Root><E><ModelMIB>1.1</ModelMIB><Model>M</Model></E>" + Entry("F", "2.1", "N", "2.2") +
           "</Root>",
       true,
       {{"2.1", "N", "2.2"}}},
      {"first of each name, text of all descendants, white space around it trimmed",
       "<Root><E attr=\"x\"><Other/><ModelMIB>\n  1.3.6.1\n</ModelMIB><ModelMIB>9.9</ModelMIB>"
       "<Model>Lab<b>Printer</b> <![CDATA[9000]]></Model><VersionMIB>1.2</VersionMIB></E></Root>",
       true,
       {{"1.3.6.1", "LabPrinter 9000", "1.2"}}},
      {"only direct children of the entry count",
       "<Root><E><X><ModelMIB>1.1</ModelMIB></X><Model>M</Model><VersionMIB>1.2</VersionMIB></E></"
       "Root>",
       true,
       {}},
      {"empty texts are kept", "<Root>" + Entry("E", "", "", "") + "</Root>", true, {{"", "", ""}}},
      {"not well-formed", "<Root>" + Entry("E", "1.1", "M", "1.2"), false, {}},
      {"empty file", "", false, {}},
  };
  for (const auto& c : cases) {
    FreeTargetTable();
    const auto path = dir_.Write("targetMIB.xml", c.xml);
    EXPECT_EQ(ParseTargetTable(path.string()), c.result) << c.name;
    EXPECT_EQ(TargetTable(), c.table) << c.name;
  }
}

TEST_F(ModelTableTest, HonoursADeclaredShiftJisEncoding) {
  // "プリンタ" (printer) in Shift_JIS, and the same in UTF-8.
  const std::string sjis = "\x83\x76\x83\x8A\x83\x93\x83\x5E";
  const std::string utf8 = "\xE3\x83\x97\xE3\x83\xAA\xE3\x83\xB3\xE3\x82\xBF";
  const auto path =
      dir_.Write("targetMIB.xml", "<?xml version=\"1.0\" encoding=\"Shift_JIS\"?><Root>" +
                                      Entry("E", "1.1", sjis + " 9000", "1.2") + "</Root>");
  ASSERT_TRUE(ParseTargetTable(path.string()));
  ASSERT_EQ(TargetTable().size(), 1u);
  EXPECT_EQ(TargetTable()[0].model, utf8 + " 9000");
}

TEST_F(ModelTableTest, EntitiesAreNotExpanded) {
  // A file that would expand to gigabytes must load quickly and harmlessly.
  std::string xml = "<?xml version=\"1.0\"?><!DOCTYPE Root [<!ENTITY a \"aaaaaaaaaa\">";
  for (char c = 'b'; c <= 'j'; ++c) {
    xml += std::string("<!ENTITY ") + c + " \"";
    for (int i = 0; i < 10; ++i) xml += std::string("&") + static_cast<char>(c - 1) + ";";
    xml += "\">";
  }
  xml += "]><Root>" + Entry("E", "1.1", "M&j;", "1.2") + "</Root>";
  const auto path = dir_.Write("targetMIB.xml", xml);
  ParseTargetTable(path.string());
  for (const auto& entry : TargetTable()) EXPECT_LT(entry.model.size(), 100u);
}

TEST_F(ModelTableTest, MissingFileReportsFalseAndLeavesTheTableEmpty) {
  EXPECT_FALSE(ParseTargetTable((dir_.path() / "absent.xml").string()));
  EXPECT_TRUE(TargetTable().empty());
}

TEST_F(ModelTableTest, LoadReadsTheFileBesideTheExecutableOncePerVersion) {
  ScanConfig().exeDir = dir_.path().string();
  LoadTargetTable();
  EXPECT_TRUE(TargetTable().empty()) << "no file: nothing loaded";
  EXPECT_EQ(TargetTableFileTime(), 0);

  const auto path =
      dir_.Write("targetMIB.xml", "<Root>" + Entry("E", "1.1", "M", "1.2") + "</Root>");
  LoadTargetTable();
  ASSERT_EQ(TargetTable().size(), 1u);
  EXPECT_NE(TargetTableFileTime(), 0);

  // The same file again: the table is current and stays as it is.
  TargetTable().push_back({"x", "y", "z"});
  LoadTargetTable();
  EXPECT_EQ(TargetTable().size(), 2u);

  // A newer file replaces the table; a broken one empties it and is remembered.
  dir_.Write("targetMIB.xml",
             "<Root>" + Entry("E", "2.1", "N", "2.2") + Entry("F", "3.1", "O", "3.2") + "</Root>");
  std::filesystem::last_write_time(
      path, std::filesystem::last_write_time(path) + std::chrono::seconds(2));
  LoadTargetTable();
  EXPECT_EQ(TargetTable(), (std::vector<ModelMIB>{{"2.1", "N", "2.2"}, {"3.1", "O", "3.2"}}));

  dir_.Write("targetMIB.xml", "<Root>");
  std::filesystem::last_write_time(
      path, std::filesystem::last_write_time(path) + std::chrono::seconds(4));
  LoadTargetTable();
  EXPECT_TRUE(TargetTable().empty());
  const auto broken_time = TargetTableFileTime();
  LoadTargetTable();
  EXPECT_EQ(TargetTableFileTime(), broken_time);
  ScanConfig().exeDir.clear();
}

}  // namespace
}  // namespace ordalen
