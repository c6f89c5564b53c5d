#include "app/ini_file.h"

#include <gtest/gtest.h>

#include "support/process.h"

namespace ordalen {
namespace {

TEST(IniFileTest, GetStringFollowsTheProfileRules) {
  const std::string long_ascii(300, 'a');
  std::string long_kanji;
  for (int i = 0; i < 300; ++i) long_kanji += "\xE6\x97\xA5";  // 日
  struct Case {
    const char* why;
    std::string file;
    const char* section;
    const char* key;
    std::string expected;  // fallback is "<none>"
  } cases[] = {
      {"plain", "[Ordalen]\nThread=5\n", "Ordalen", "Thread", "5"},
      {"names ignore case", "[oRDALEN]\nTHREAD=5\n", "Ordalen", "thread", "5"},
      {"names are trimmed", "  [ Ordalen ]  \n  Thread  =  5 x \t\n", " Ordalen", "Thread ", "5 x"},
      {"first section of a name", "[A]\nk=1\n[B]\nk=9\n[a]\nk=2\nj=3\n", "A", "k", "1"},
      {"later section of the name is not read", "[A]\nk=1\n[a]\nj=3\n", "A", "j", "<none>"},
      {"first key of a name", "[A]\nk=1\nK=2\n", "A", "k", "1"},
      {"double quotes removed", "[A]\nk=\"a b\"\n", "A", "k", "a b"},
      {"single quotes removed", "[A]\nk= 'x' \n", "A", "k", "x"},
      {"one pair only", "[A]\nk=\"\"x\"\"\n", "A", "k", "\"x\""},
      {"unmatched quotes stay", "[A]\nk=\"x'\n", "A", "k", "\"x'"},
      {"a lone quote stays", "[A]\nk=\"\n", "A", "k", "\""},
      {"empty quotes", "[A]\nk=\"\"\n", "A", "k", ""},
      {"comment line", "[A]\n;k=1\n", "A", ";k", "<none>"},
      {"indented comment line", "[A]\n  ;k=1\nk=2\n", "A", "k", "2"},
      {"no inline comment", "[A]\nk=a ; b\n", "A", "k", "a ; b"},
      {"hash is ordinary", "[A]\n#k=1\nj=#2\n", "A", "#k", "1"},
      {"hash value", "[A]\nj=#2\n", "A", "j", "#2"},
      {"CR lines", "[A]\rk=1\rj=2\r", "A", "j", "2"},
      {"CR LF lines", "[A]\r\nk=1\r\nj=2\r\n", "A", "k", "1"},
      {"last line without end", "[A]\nk=1", "A", "k", "1"},
      {"keys before a section", "k=1\n[A]\n", "A", "k", "<none>"},
      {"key without =", "[A]\nk\n", "A", "k", ""},
      {"value with =", "[A]\nk=a=b\n", "A", "k", "a=b"},
      {"missing section", "[A]\nk=1\n", "B", "k", "<none>"},
      {"section line with trailing text", "[A] tail\nk=1\n", "A", "k", "1"},
      {"cut to 259 bytes of ASCII", "[A]\nk=" + long_ascii + "\n", "A", "k",
       long_ascii.substr(0, 259)},
      {"cut to 259 characters", "[A]\nk=" + long_kanji + "\n", "A", "k",
       long_kanji.substr(0, 259 * 3)},
      {"CP932 file", "[A]\nk=\x93\xfa\x96\x7b\n", "A", "k", "\xE6\x97\xA5\xE6\x9C\xAC"},
      {"UTF-8 with BOM", "\xEF\xBB\xBF[A]\nk=\xE6\x97\xA5\n", "A", "k", "\xE6\x97\xA5"},
      {"UTF-16LE with BOM", std::string("\xFF\xFE[\0A\0]\0\n\0k\0=\0\xE5\x65\n\0", 18), "A", "k",
       "\xE6\x97\xA5"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IniFile::Parse(c.file).GetString(c.section, c.key, "<none>"), c.expected) << c.why;
  }
}

TEST(IniFileTest, GetIntReadsLeadingDecimalDigitsAndWraps) {
  struct Case {
    const char* value;  // nullptr: no key
    std::int32_t expected;
  } cases[] = {
      {"12", 12},
      {"-1", -1},
      {"+7", 7},
      {"abc", 0},
      {" 9x", 9},
      {"0x10", 0},
      {"\"8\"", 8},
      {"", -42},
      {nullptr, -42},
      {"4294967297", 1},
      {"2147483648", INT32_MIN},
  };
  for (const auto& c : cases) {
    const std::string file = c.value ? std::string("[A]\nk=") + c.value + "\n" : "[A]\n";
    EXPECT_EQ(IniFile::Parse(file).GetInt("A", "k", -42), c.expected)
        << (c.value ? c.value : "none");
  }
}

TEST(IniFileTest, MissingFileIsAnEmptyProfile) {
  test::TempDir dir;
  const IniFile ini = IniFile::Load((dir.path() / "none.ini").string());
  EXPECT_EQ(ini.GetString("Ordalen", "Community", "vendra"), "vendra");
  EXPECT_EQ(ini.GetInt("Ordalen", "Thread", 12), 12);
  dir.Write("config.ini", "[Ordalen]\r\nThread=3\r\n");
  EXPECT_EQ(IniFile::Load((dir.path() / "config.ini").string()).GetInt("Ordalen", "Thread", 12), 3);
}

}  // namespace
}  // namespace ordalen
