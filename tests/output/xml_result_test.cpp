#include "output/xml_result.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>

#include "app/settings.h"
#include "base/xml_doc.h"
#include "engine/result_store.h"
#include "support/process.h"
#include "support/scan_config.h"

namespace ordalen {
namespace {

namespace fs = std::filesystem;
constexpr std::int64_t kScan = 1796631013;  // 2026-12-07 08:10:13 UTC

std::string Text(xmlNode* n) {
  const XmlCharPtr t(xmlNodeGetContent(n));
  return t ? reinterpret_cast<const char*>(t.get()) : "";
}

std::string Prop(xmlNode* n, const char* name) {
  const XmlCharPtr p(xmlGetProp(n, BAD_CAST name));
  return p ? reinterpret_cast<const char*>(p.get()) : "<none>";
}

std::vector<xmlNode*> Elements(xmlNode* parent) {
  std::vector<xmlNode*> out;
  for (xmlNode* n = parent->children; n; n = n->next) {
    if (n->type == XML_ELEMENT_NODE) out.push_back(n);
  }
  return out;
}

// One NODE as "NAME=text" / "VARIABLE[oid]=text" entries, in document order.
std::vector<std::string> Describe(xmlNode* node) {
  std::vector<std::string> out;
  for (xmlNode* e : Elements(node)) {
    std::string name = reinterpret_cast<const char*>(e->name);
    if (name == "VARIABLE") name += "[" + Prop(e, "oid") + "]";
    out.push_back(name + "=" + Text(e));
  }
  return out;
}

class XmlResultTest : public ::testing::Test {
 protected:
  // Runs the output step over `records` (stored in this order) and reads the file back.
  std::string Write(const std::vector<SCANRESULT>& records, const std::string& job = "") {
    for (const auto& r : records) HostSlot(r.IpAddress) = std::make_unique<SCANRESULT>(r);
    ScanConfig().jobId = job;
    XmlDocument doc;
    EXPECT_EQ(doc.CreateResultDocument(), 1);
    doc.SetRootAttribute("scan_date", "2026-12-07 08:10:13.000");
    WriteResultFile(doc, kScan);
    EXPECT_TRUE(Results().empty());
    if (ResultFilePath().empty()) return {};
    return test::ReadFile(ResultFilePath());
  }
  // The file parsed as a standard parser reads it; the CP932 reading of Shift_JIS is forced.
  XmlDocPtr Parse(const std::string& bytes) {
    xmlDoc* d = xmlReadMemory(bytes.data(), static_cast<int>(bytes.size()), nullptr, "CP932",
                              XML_PARSE_NONET);
    EXPECT_NE(d, nullptr) << "not well-formed: " << bytes;
    return XmlDocPtr(d);
  }
  std::vector<std::string> Files() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir_.path() / "out")) {
      names.push_back(e.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  test::ScopedTimeZone utc_{"UTC"};
  test::TempDir dir_;
  test::ScopedScanConfig config_{dir_.path()};
  void SetUp() override {
    fs::create_directory(dir_.path() / "out");
    ScanConfig().outputDir = (dir_.path() / "out").string();
  }
};

TEST_F(XmlResultTest, NoHostGivesTheDeclarationAndAnEmptyCardElementNamedAfterScanAndJob) {
  struct Case {
    const char* job;
    const char* name;
    const char* taken_name;  // the name when a file of the first one is there already
  } cases[] = {{"", "20261207_081013.xml", "20261207_081013-2.xml"},
               {"17", "20261207_081013_17.xml", "20261207_081013-2_17.xml"}};
  const std::string empty_scan =
      "<?xml version=\"1.0\" encoding=\"Shift_JIS\" ?>"
      "<NODE_SCAN scan_date=\"2026-12-07 08:10:13.000\"><NETWORK_CARD></NETWORK_CARD>"
      "</NODE_SCAN>\r\n";
  for (const auto& c : cases) {
    ResultFilePath().clear();
    const fs::path expected = dir_.path() / "out" / c.name;
    EXPECT_EQ(Write({}, c.job), empty_scan);
    EXPECT_EQ(ResultFilePath(), expected.string());
    EXPECT_EQ(test::LogMessages(dir_.path() / "ordalen.log").back(),
              std::string(*c.job ? "17|" : "") + expected.string());
    // A result of the same name (the same job, started in the same second) is
    // kept; this one takes the next free name.
    ResultFilePath().clear();
    const std::string older = "an older file of the same name, longer than the new one by far";
    std::ofstream(expected, std::ios::trunc) << older;
    EXPECT_EQ(Write({}, c.job), empty_scan);
    EXPECT_EQ(ResultFilePath(), (dir_.path() / "out" / c.taken_name).string());
    EXPECT_EQ(test::ReadFile(expected), older);
  }
  // Nothing else, no temporary file left behind.
  EXPECT_EQ(Files(), (std::vector<std::string>{"20261207_081013-2.xml", "20261207_081013-2_17.xml",
                                               "20261207_081013.xml", "20261207_081013_17.xml"}));
}

TEST_F(XmlResultTest, NodeLayoutAndOrder) {
  SCANRESULT printer;
  printer.MacAddress = "02:77:01:00:00:30";
  printer.IpAddress = "10.77.1.30";
  printer.NetMask = "255.255.255.0";
  printer.Broadcast = "10.77.1.255";
  printer.NetbiosName = "printer";
  printer.DomainName = "LAB";
  printer.SysDescr = "LabPrinter";
  printer.MarkerCount = "123456";
  printer.ModelName = "LP 9000";
  printer.FirmVersion = "FW 1.2.3";
  printer.OsType = 3;
  printer.FromDeviceTable = 1;
  SCANRESULT pinged;
  pinged.IpAddress = "10.77.1.31";
  pinged.OsType = -1;
  SCANRESULT model_only = pinged;
  model_only.IpAddress = "10.77.1.32";
  model_only.ModelName = "M";
  model_only.OsType = 4;
  struct Case {
    SCANRESULT record;
    std::vector<std::string> children;
  } cases[] = {
      {printer,
       {"MACADDRESS=02:77:01:00:00:30", "IPADDRESS=10.77.1.30", "NETMASK=255.255.255.0",
        "BROADCAST=10.77.1.255", "NETBIOS_NAME=printer", "DOMAIN_NAME=LAB", "OS=3",
        "VARIABLE[1.3.6.1.2.1.1.1.0]=LabPrinter", "VARIABLE[1.3.6.1.2.1.43.10.2.1.4.1.1]=123456",
        "VARIABLE[model_name]=LP 9000", "VARIABLE[firm_version]=FW 1.2.3"}},
      {pinged, {"MACADDRESS=", "IPADDRESS=10.77.1.31", "NETBIOS_NAME=", "DOMAIN_NAME=", "OS=-1"}},
      {model_only,
       {"MACADDRESS=", "IPADDRESS=10.77.1.32", "NETBIOS_NAME=", "DOMAIN_NAME=", "OS=4",
        "VARIABLE[model_name]=M"}},
  };
  std::vector<SCANRESULT> records;
  for (const auto& c : cases) records.push_back(c.record);
  // The expected NODE order is the store's own iteration order.
  for (const auto& r : records) HostSlot(r.IpAddress);
  std::vector<std::string> order;
  for (const auto& a : Results()) order.push_back(a.key);
  ClearHosts();

  const auto doc = Parse(Write(records));
  ASSERT_TRUE(doc);
  xmlNode* root = xmlDocGetRootElement(doc.get());
  EXPECT_STREQ(reinterpret_cast<const char*>(root->name), "NODE_SCAN");
  EXPECT_EQ(Prop(root, "scan_date"), "2026-12-07 08:10:13.000");
  const auto cards = Elements(root);
  ASSERT_EQ(cards.size(), 1u);
  EXPECT_STREQ(reinterpret_cast<const char*>(cards[0]->name), "NETWORK_CARD");
  const auto nodes = Elements(cards[0]);
  ASSERT_EQ(nodes.size(), order.size());
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    EXPECT_STREQ(reinterpret_cast<const char*>(nodes[i]->name), "NODE");
    const auto& expected = *std::find_if(std::begin(cases), std::end(cases), [&](const Case& c) {
      return c.record.IpAddress == order[i];
    });
    EXPECT_EQ(Describe(nodes[i]), expected.children) << order[i];
  }
}

TEST_F(XmlResultTest, TextIsEscapedAndWrittenAsShiftJis) {
  struct Case {
    std::string value;      // as a phase stored it
    std::string in_file;    // bytes expected in the file
    std::string read_back;  // UTF-8 a parser reads
  } cases[] = {
      {"a&b<c>\"'", "a&amp;b&lt;c&gt;\"'", "a&b<c>\"'"},
      {"\xE6\x97\xA5\xE6\x9C\xAC\xEF\xBD\x9E\\~", "\x93\xFA\x96\x7B\x81\x60\\~",
       "\xE6\x97\xA5\xE6\x9C\xAC\xEF\xBD\x9E\\~"},            // 日本～\~
      {"caf\xC3\xA9", "caf&#233;", "caf\xC3\xA9"},            // é has no Shift_JIS form
      {"\xF0\x9F\x98\x80", "&#128512;", "\xF0\x9F\x98\x80"},  // nor has an emoji
      {"\x93\xFA", "\x93\xFA", "\xE6\x97\xA5"},               // a device's own CP932
      {"x\x80y", "x&#65533;y", "x\xEF\xBF\xBDy"},             // neither UTF-8 nor CP932
      {"bell\x07", "bell&#65533;", "bell\xEF\xBF\xBD"},       // not allowed in XML
      {std::string("nul\0tail", 8), "nul", "nul"},
      {"two\nlines", "two\r\nlines", "two\nlines"},
      // Malformed or odd UTF-8: CP932 where it decodes as such, else U+FFFD.
      {"\xC0\x80", "\xC0&#65533;", "\xEF\xBE\x80\xEF\xBF\xBD"},          // overlong NUL
      {"\xE0\x80\xBC", "\xE0\x80\xBC", "\xE7\x83\x99\xEF\xBD\xBC"},      // overlong '<'
      {"\xED\xA0\x80", "\xFA\xBC&#65533;", "\xE6\x81\x9D\xEF\xBF\xBD"},  // surrogate
      {"\xF4\x90\x80\x80", "\xF4\x90&#65533;&#65533;",                   // past U+10FFFF
       "\xEE\x8C\xBF\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"\xF8\x88\x80\x80\x80", "\xF8\x88&#65533;&#65533;&#65533;",  // five bytes
       "\xEE\x98\xA7\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"a\xE6", "a&#65533;", "a\xEF\xBF\xBD"},                 // cut short
      {"\xBFx", "\xBFx", "\xEF\xBD\xBFx"},                     // lone continuation
      {"\xEF\xBF\xBE", "&#65533;", "\xEF\xBF\xBD"},            // U+FFFE
      {"\xF4\x8F\xBF\xBF", "&#1114111;", "\xF4\x8F\xBF\xBF"},  // U+10FFFF
  };
  for (const auto& c : cases) {
    SCANRESULT r;
    r.IpAddress = "10.0.0.1";
    r.NetbiosName = c.value;
    r.SysDescr = c.value;
    ResultFilePath().clear();
    const std::string file = Write({r});
    EXPECT_NE(file.find("<NETBIOS_NAME>" + c.in_file + "</NETBIOS_NAME>"), std::string::npos)
        << file;
    const auto doc = Parse(file);
    ASSERT_TRUE(doc);
    const auto node = Elements(Elements(xmlDocGetRootElement(doc.get()))[0])[0];
    const auto children = Describe(node);
    EXPECT_EQ(children[2], "NETBIOS_NAME=" + c.read_back);
    EXPECT_EQ(children.back(), "VARIABLE[1.3.6.1.2.1.1.1.0]=" + c.read_back);
  }
}

TEST(MarkupToCp932Test, MalformedUtf8NeverBecomesMarkupOrAReferenceToNoCharacter) {
  struct Case {
    std::string utf8;
    std::string cp932;
  } cases[] = {
      {"<a>\xE6\x97\xA5\xC3\xA9</a>", "<a>\x93\xFA&#233;</a>"},
      {std::string("\xC0\x80", 2), "&#65533;&#65533;"},          // overlong NUL
      {"\xE0\x80\xBC", "&#65533;&#65533;&#65533;"},              // overlong '<'
      {"\xED\xA0\x80", "&#65533;&#65533;&#65533;"},              // surrogate
      {"\xF4\x90\x80\x80", "&#65533;&#65533;&#65533;&#65533;"},  // past U+10FFFF
      {"\xF5\x80\x80\x80", "&#65533;&#65533;&#65533;&#65533;"},
      {"a\xE6\x97", "a&#65533;&#65533;"},  // cut short
  };
  for (const auto& c : cases) EXPECT_EQ(MarkupToCp932(c.utf8), c.cp932) << c.utf8;
}

TEST(XmlDocumentTest, ElementNamesLoseAmpersandsAndNoDocumentWritesNoFile) {
  test::TempDir dir;
  test::ScopedScanConfig scoped(dir.path());
  XmlDocument doc;
  ASSERT_EQ(doc.CreateResultDocument(), 1);
  XmlElement e = nullptr;
  ASSERT_TRUE(doc.AppendRootChild(e, "A&B&", "t", "k", "v"));
  XmlElement bare = nullptr;
  ASSERT_TRUE(doc.AppendChildElement(bare, e, "C", "ignored", "k", "", true));
  EXPECT_EQ(doc.GetDocumentText(), "<NODE_SCAN><A-B- k=\"v\">t<C/></A-B-></NODE_SCAN>\n");

  XmlDocument none;  // never created
  EXPECT_EQ(none.SetRootAttribute("scan_date", "x"), 0);
  HostSlot("10.0.0.1") = std::make_unique<SCANRESULT>();
  WriteResultFile(none, kScan);
  EXPECT_TRUE(ResultFilePath().empty());
  EXPECT_TRUE(Results().empty());
  const auto log = test::LogMessages(dir.path() / "ordalen.log");
  ASSERT_EQ(log.size(), 1u);
  EXPECT_TRUE(log[0].starts_with("output document error:")) << log[0];
}

}  // namespace
}  // namespace ordalen
