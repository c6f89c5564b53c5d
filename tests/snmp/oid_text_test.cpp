#include "snmp/oid_text.h"

#include <gtest/gtest.h>

#include <optional>

namespace ordalen {
namespace {

using Ids = std::vector<std::uint32_t>;

std::string Dotted(std::size_t count) {
  std::string text = "1";
  for (std::size_t i = 1; i < count; ++i) text += ".1";
  return text;
}

TEST(ParseOidTextTest, AcceptsTheWalkStartAndAbsoluteNumericOids) {
  struct Case {
    std::string text;
    std::optional<Ids> ids;
  } cases[] = {
      {"system.sysDescr.0", Ids{1, 3, 6, 1, 2, 1, 1, 1, 0}},
      {"1.3.6.1.2.1.25.3.2.1.3.1", Ids{1, 3, 6, 1, 2, 1, 25, 3, 2, 1, 3, 1}},
      {".1.3.6.1.4.1.77777.1.1.0", Ids{1, 3, 6, 1, 4, 1, 77777, 1, 1, 0}},
      {"1.3.4294967295", Ids{1, 3, 4294967295u}},
      {"1", Ids{1}},
      {Dotted(128), Ids(128, 1)},
      {"", std::nullopt},
      {".", std::nullopt},
      {"1..3", std::nullopt},
      {"..1.3", std::nullopt},
      {"1.3.", std::nullopt},
      {"1.3.4294967296", std::nullopt},
      {"1.3.x", std::nullopt},
      {"1.3.-1", std::nullopt},
      {" 1.3", std::nullopt},
      {"system.sysName.0", std::nullopt},
      {"System.sysDescr.0", std::nullopt},
      {Dotted(129), std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseOidText(c.text), c.ids) << "\"" << c.text << "\"";
}

TEST(SplitOidTextTest, SkipsEmptyPiecesAndReadsPiecesLikeAtol) {
  struct Case {
    std::string text;
    std::optional<Ids> ids;
  } cases[] = {
      {"1.3.6.1.2.1.1.1.0", Ids{1, 3, 6, 1, 2, 1, 1, 1, 0}},
      {".1.3.6.1.2.1.1.1.0", Ids{1, 3, 6, 1, 2, 1, 1, 1, 0}},
      {"1..3...6.", Ids{1, 3, 6}},
      {"..", Ids{}},
      {"", Ids{}},
      {"1.3.abc.7", Ids{1, 3, 0, 7}},
      {"1.3.12x.7", Ids{1, 3, 12, 7}},
      {"1. 3", Ids{1, 3}},
      {"1.-1", Ids{1, 4294967295u}},
      {"system.sysDescr.0", Ids{0, 0, 0}},
      {Dotted(128) + "..", Ids(128, 1)},
      {Dotted(129), std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(SplitOidText(c.text), c.ids) << "\"" << c.text << "\"";
}

TEST(OidTextTest, JoinsUnsignedDecimalsWithoutALeadingDot) {
  const Ids ids = {1, 3, 6, 1, 2, 1, 4, 22, 1, 2, 3, 192, 168, 0, 10};
  EXPECT_EQ(OidText(std::span<const std::uint32_t>(ids)), "1.3.6.1.2.1.4.22.1.2.3.192.168.0.10");
  const unsigned long wide[] = {1, 3, 4294967295ul};
  EXPECT_EQ(OidText(std::span<const unsigned long>(wide)), "1.3.4294967295");
  EXPECT_EQ(OidText(std::span<const std::uint32_t>()), "");
}

}  // namespace
}  // namespace ordalen
