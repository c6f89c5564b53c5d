#include "snmp/snmp_value.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "snmp/netsnmp.h"
#include "snmp/snmp_session.h"

namespace ordalen {
namespace {

std::vector<std::uint8_t> Bytes(const std::string& text) {
  return {text.begin(), text.end()};
}

SnmpValueView Octets(std::uint8_t type, const std::vector<std::uint8_t>& octets) {
  SnmpValueView view;
  view.type = type;
  view.octets = octets;
  return view;
}

SnmpValueView Number(std::uint8_t type, std::int64_t integer) {
  SnmpValueView view;
  view.type = type;
  view.integer = integer;
  return view;
}

// Decodes base64 text, ignoring CR and LF (the test's own reference decoder).
std::vector<std::uint8_t> DecodeBase64(const std::string& text) {
  const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::vector<std::uint8_t> out;
  std::uint32_t bits = 0;
  int count = 0;
  for (const char c : text) {
    if (c == '\r' || c == '\n' || c == '=') continue;
    bits = (bits << 6) | static_cast<std::uint32_t>(alphabet.find(c));
    count += 6;
    if (count >= 8) {
      count -= 8;
      out.push_back(static_cast<std::uint8_t>(bits >> count));
    }
  }
  return out;
}

std::string Repeat(const std::string& text, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += text;
  return out;
}

TEST(Base64LinesTest, PaddingAndLineLayout) {
  struct Case {
    std::string input;
    std::string text;
  } cases[] = {
      {"", ""},
      {"f", "Zg==\r\n"},
      {"fo", "Zm8=\r\n"},
      {"foo", "Zm9v\r\n"},
      {"foobar", "Zm9vYmFy\r\n"},
      {"AB\tC", "QUIJQw==\r\n"},
      {std::string("\xFF\xFE\x00", 3), "//4A\r\n"},
      // 48 octets fill exactly one 64-character line; one more starts a second.
      {std::string(48, 'a'), Repeat("YWFh", 16) + "\r\n"},
      {std::string(49, 'a'), Repeat("YWFh", 16) + "\r\nYQ==\r\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Base64Lines(Bytes(c.input)), c.text) << c.input.size() << " octets";
  }
}

TEST(FormatValueTest, NumbersAndAddresses) {
  const std::vector<std::uint8_t> ip4 = {192, 168, 0, 10};
  const std::vector<std::uint8_t> ip6 = {192, 168, 0, 10, 1, 2};
  struct Case {
    const char* name;
    SnmpValueView value;
    std::string text;
  } cases[] = {
      {"integer", Number(kTypeInteger, -42), "-42"},
      {"integer max", Number(kTypeInteger, 2147483647), "2147483647"},
      {"counter32 high bit", Number(kTypeCounter32, 4294967295LL), "4294967295"},
      {"gauge32", Number(kTypeGauge32, 7), "7"},
      {"timeticks", Number(kTypeTimeTicks, 123456), "123456"},
      {"uinteger32", Number(kTypeUInteger32, 3000000000LL), "3000000000"},
      {"ipaddress", Octets(kTypeIpAddress, ip4), "192.168.0.10"},
      {"ipaddress of 6 octets", Octets(kTypeIpAddress, ip6), ""},
      {"null", Number(kTypeNull, 0), ""},
      {"opaque", Octets(kTypeOpaque, ip4), ""},
  };
  for (const auto& c : cases) EXPECT_EQ(FormatValue(c.value), c.text) << c.name;

  SnmpValueView big;
  big.type = kTypeCounter64;
  big.counter64 = 1ULL << 32;
  EXPECT_EQ(FormatValue(big), "4294967296");
  big.counter64 = 5;
  EXPECT_EQ(FormatValue(big), "5");
  big.counter64 = UINT64_MAX;
  EXPECT_EQ(FormatValue(big), "18446744073709551615");

  const std::vector<std::uint32_t> ids = {1, 3, 6};
  SnmpValueView oid;
  oid.type = kTypeObjectId;
  oid.oid = ids;
  EXPECT_EQ(FormatValue(oid), "") << "OBJECT IDENTIFIER has no manager rendering";
}

TEST(FormatValueTest, OctetAndBitStrings) {
  const std::string printable300(300, 'x');
  std::string tab300(300, 'y');
  tab300[150] = '\t';
  struct Case {
    const char* name;
    std::uint8_t type;
    std::string octets;
    std::string text;
  } cases[] = {
      {"empty", kTypeOctetString, "", ""},
      {"plain", kTypeOctetString, "LabPrinter", "LabPrinter"},
      {"one trailing NUL", kTypeOctetString, std::string("abc\0", 4), "abc"},
      {"NUL inside", kTypeOctetString, std::string("ab\0c", 4), "invalid length"},
      {"two trailing NULs", kTypeOctetString, std::string("ab\0\0", 4), "invalid length"},
      {"only NUL", kTypeOctetString, std::string("\0", 1), ""},
      {"CR LF are text", kTypeOctetString, "a\r\nb", "a\r\nb"},
      {"high bytes are text", kTypeOctetString, "\x82\xA0\xFF", "\x82\xA0\xFF"},
      {"300 printable cut to 256", kTypeOctetString, printable300, std::string(256, 'x')},
      {"control char: base64", kTypeOctetString, "AB\tC", "QUIJQw==\r\n"},
      {"control char after NUL: base64", kTypeOctetString, std::string("a\0\x01", 3), "YQAB\r\n"},
      {"ESC 0x1B: base64", kTypeOctetString, "\x1B", "Gw==\r\n"},
      {"DEL 0x7F is text", kTypeOctetString, "\x7F", "\x7F"},
      {"bit string", kTypeBitString, std::string("\x00\x1B\x2C\x3D\x4E\x5F", 6),
       "00:1b:2c:3d:4e:5f"},
      {"empty bit string", kTypeBitString, "", ""},
  };
  for (const auto& c : cases) {
    const auto bytes = Bytes(c.octets);
    EXPECT_EQ(FormatValue(Octets(c.type, bytes)), c.text) << c.name;
  }

  const auto tab_bytes = Bytes(tab300);
  const std::string encoded = FormatValue(Octets(kTypeOctetString, tab_bytes));
  EXPECT_EQ(DecodeBase64(encoded), tab_bytes) << "all 300 octets, uncut";
  // 300 octets are 400 characters: six full lines and one of 16.
  ASSERT_EQ(encoded.size(), 400u + 7 * 2);
  for (std::size_t line = 0; line < 6; ++line) {
    EXPECT_EQ(encoded.substr(line * 66 + 64, 2), "\r\n") << "line " << line;
  }
  EXPECT_EQ(encoded.substr(encoded.size() - 2), "\r\n");
}

TEST(FormatVariableTest, DiffersFromTheManagerRuleWhereItShould) {
  const std::string printable300(300, 'x');
  struct Case {
    const char* name;
    std::string octets;
    std::string text;
  } cases[] = {
      {"empty", "", ""},
      {"one trailing NUL", std::string("abc\0", 4), "abc"},
      {"NUL inside: text up to it", std::string("ab\0c", 4), "ab"},
      {"300 printable: uncut", printable300, printable300},
      {"control char: base64", "AB\tC", "QUIJQw==\r\n"},
      {"high bytes are text", "\x93\xFA\x96\x7B", "\x93\xFA\x96\x7B"},
  };
  for (const auto& c : cases) {
    const auto bytes = Bytes(c.octets);
    EXPECT_EQ(FormatVariable(Octets(kTypeOctetString, bytes)), c.text) << c.name;
  }
}

TEST(FormatVariableTest, NumbersAddressesAndOids) {
  const std::vector<std::uint8_t> ip4 = {10, 77, 1, 30};
  const std::vector<std::uint8_t> ip6 = {10, 77, 1, 30, 0, 0};
  EXPECT_EQ(FormatVariable(Number(kTypeInteger, -1)), "-1");
  EXPECT_EQ(FormatVariable(Number(kTypeCounter32, 123456)), "123456");
  EXPECT_EQ(FormatVariable(Number(kTypeTimeTicks, 4294967295LL)), "4294967295");
  EXPECT_EQ(FormatVariable(Octets(kTypeIpAddress, ip4)), "10.77.1.30");
  EXPECT_EQ(FormatVariable(Octets(kTypeIpAddress, ip6)), "");
  EXPECT_EQ(FormatVariable(Octets(kTypeBitString, ip4)), "0a:4d:01:1e");
  EXPECT_EQ(FormatVariable(Number(kTypeNull, 0)), "");
  EXPECT_EQ(FormatVariable(Octets(kTypeOpaque, ip4)), "");
  SnmpValueView c64;
  c64.type = kTypeCounter64;
  c64.counter64 = 5;
  EXPECT_EQ(FormatVariable(c64), "5");
  c64.counter64 = 1ULL << 32;
  EXPECT_EQ(FormatVariable(c64), "4294967296");

  struct OidCase {
    std::vector<std::uint32_t> ids;
    std::string text;
  } oids[] = {
      {{1, 3, 6, 1, 4, 1, 77777, 1}, "1.3.6.1.4.1.77777.1"},
      {{1, 3, 6, 1, 4, 1, 0, 5}, "1.3.6.1.4.1"},  // stops before the first 0
      {{0, 0}, ""},
      {{1, 3, 4294967295u}, "1.3.4294967295"},  // unsigned, never negative
      {{}, ""},
  };
  for (const auto& c : oids) {
    SnmpValueView view;
    view.type = kTypeObjectId;
    view.oid = c.ids;
    EXPECT_EQ(FormatVariable(view), c.text) << c.text;
  }
}

// The bridge from the library's variables to the renderings.
TEST(VariableViewTest, ReadsTheLibrarysValueLayout) {
  netsnmp_variable_list* list = nullptr;
  const oid name[] = {1, 3, 6, 1, 4, 1, 77777, 9};
  counter64 big{};
  big.high = 1;
  big.low = 5;
  const long negative = -7;
  const u_char ip[] = {10, 77, 1, 30};
  const oid value_oid[] = {1, 3, 6, 1, 4, 1, 8072};
  const u_char text[] = {'a', 'b', 0, 'c'};
  snmp_varlist_add_variable(&list, name, std::size(name), ASN_COUNTER64, &big, sizeof big);
  snmp_varlist_add_variable(&list, name, std::size(name), ASN_INTEGER, &negative, sizeof negative);
  snmp_varlist_add_variable(&list, name, std::size(name), ASN_IPADDRESS, ip, sizeof ip);
  snmp_varlist_add_variable(&list, name, std::size(name), ASN_OBJECT_ID, value_oid,
                            sizeof value_oid);
  snmp_varlist_add_variable(&list, name, std::size(name), ASN_OCTET_STR, text, sizeof text);
  ASSERT_NE(list, nullptr);
  std::vector<std::string> rendered;
  for (const netsnmp_variable_list* v = list; v != nullptr; v = v->next_variable) {
    rendered.push_back(FormatVariable(VariableView(*v).value));
  }
  snmp_free_varbind(list);
  EXPECT_EQ(rendered,
            (std::vector<std::string>{"4294967301", "-7", "10.77.1.30", "1.3.6.1.4.1.8072", "ab"}));
}

}  // namespace
}  // namespace ordalen
