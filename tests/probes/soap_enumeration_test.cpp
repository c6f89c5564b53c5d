#include "probes/soap_enumeration.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "support/wsman_peer.h"

namespace ordalen {
namespace {

using test::ElementText;
using test::Envelope;

// ---------------------------------------------------------------- SOAP

TEST(SoapAnswer, ReadsEnumerationAnswers) {
  struct Case {
    std::string what;
    std::string xml;
    std::size_t items;
    std::optional<std::string> name;
    bool end;
    std::string context;
  };
  const std::string cs =
      "<p:Win32_ComputerSystem xmlns:p=\"http://schemas.microsoft.com/wbem/wsman/1/wmi/root/"
      "cimv2/Win32_ComputerSystem\"><p:Caption>c</p:Caption><p:Name>PC-7</p:Name>"
      "</p:Win32_ComputerSystem>";
  const std::vector<Case> cases = {
      {"enumerate",
       Envelope("<n:EnumerateResponse><n:EnumerationContext> uuid:AB </n:EnumerationContext>"
                "</n:EnumerateResponse>"),
       0, std::nullopt, false, "uuid:AB"},
      {"fragment", test::PullEnvelope("<w:XmlFragment><Name>WIN-A</Name></w:XmlFragment>"), 1,
       "WIN-A", true, ""},
      {"typed object", test::PullEnvelope(cs), 1, "PC-7", true, ""},
      {"first of two",
       test::PullEnvelope(
           "<w:XmlFragment><Name>ONE</Name></w:XmlFragment><w:XmlFragment><Name>TWO</Name>"
           "</w:XmlFragment>"),
       2, "ONE", true, ""},
      {"first without name",
       test::PullEnvelope(
           "<w:XmlFragment><Other>x</Other></w:XmlFragment><w:XmlFragment><Name>TWO</Name>"
           "</w:XmlFragment>"),
       2, std::nullopt, true, ""},
      {"nil name", test::PullEnvelope("<w:XmlFragment><Name xsi:nil=\"true\"/></w:XmlFragment>"), 1,
       std::nullopt, true, ""},
      {"empty name", test::PullEnvelope("<w:XmlFragment><Name>  </Name></w:XmlFragment>"), 1,
       std::nullopt, true, ""},
      {"control character",
       test::PullEnvelope("<w:XmlFragment><Name>A&#10;B</Name></w:XmlFragment>"), 1, std::nullopt,
       true, ""},
      {"escaped text", test::PullEnvelope("<w:XmlFragment><Name>A&amp;B</Name></w:XmlFragment>"), 1,
       "A&B", true, ""},
      {"more to pull", test::PullEnvelope("<w:XmlFragment><Name>X</Name></w:XmlFragment>", false),
       1, "X", false, "ctx-2"},
      {"optimized items",
       Envelope("<n:EnumerateResponse><w:Items><w:XmlFragment><Name>OPT</Name></w:XmlFragment>"
                "</w:Items><w:EndOfSequence/></n:EnumerateResponse>"),
       1, "OPT", true, ""},
      {"no items", Envelope("<n:PullResponse><n:EndOfSequence/></n:PullResponse>"), 0, std::nullopt,
       true, ""},
  };
  for (const auto& c : cases) {
    const auto answer = ParseEnumerationAnswer(c.xml);
    ASSERT_TRUE(answer) << c.what;
    EXPECT_FALSE(answer->fault) << c.what;
    EXPECT_EQ(answer->relates_to, "uuid:1") << c.what;
    EXPECT_EQ(answer->item_count, c.items) << c.what;
    EXPECT_EQ(answer->first_name, c.name) << c.what;
    EXPECT_EQ(answer->end_of_sequence, c.end) << c.what;
    EXPECT_EQ(answer->context, c.context) << c.what;
  }
}

TEST(SoapAnswer, ReadsFaultsAndRefusesOtherDocuments) {
  const auto fault = ParseEnumerationAnswer(Envelope(
      "<s:Fault><s:Code><s:Value>s:Sender</s:Value></s:Code><s:Reason><s:Text>Access is denied."
      "</s:Text></s:Reason></s:Fault>"));
  ASSERT_TRUE(fault);
  EXPECT_TRUE(fault->fault);
  EXPECT_EQ(fault->fault_text, "Access is denied.");

  const std::vector<std::pair<std::string, std::string>> bad = {
      {"empty", ""},
      {"not xml", "HTTP/1.1 200 OK"},
      {"unclosed", Envelope("<n:PullResponse>")},
      {"soap 1.1",
       "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"><s:Body/></s:Envelope>"},
      {"no body",
       "<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\"><s:Header/></s:Envelope>"},
      {"other answer", Envelope("<n:ReleaseResponse/>")},
      {"entity definitions",
       "<?xml version=\"1.0\"?><!DOCTYPE s [<!ENTITY x \"NAME\">]>" +
           Envelope("<n:PullResponse><n:Items><w:XmlFragment><Name>&x;</Name></w:XmlFragment>"
                    "</n:Items></n:PullResponse>")
               .substr(21)},
  };
  for (const auto& [what, xml] : bad) EXPECT_FALSE(ParseEnumerationAnswer(xml)) << what;
}

TEST(SoapRequest, EnumerateAndPullCarryTheQuery) {
  const auto enumerate = BuildEnumerateRequest("http://10.0.0.1:5985/wsman", "uuid:42", "PT8.000S");
  EXPECT_EQ(ElementText(enumerate, "To"), "http://10.0.0.1:5985/wsman");
  EXPECT_EQ(ElementText(enumerate, "ResourceURI"), kWmiResourceUri);
  EXPECT_EQ(ElementText(enumerate, "Action"),
            "http://schemas.xmlsoap.org/ws/2004/09/enumeration/Enumerate");
  EXPECT_EQ(ElementText(enumerate, "MessageID"), "uuid:42");
  EXPECT_EQ(ElementText(enumerate, "Filter"), kComputerNameQuery);
  EXPECT_NE(enumerate.find("Dialect=\"http://schemas.microsoft.com/wbem/wsman/1/WQL\""),
            std::string::npos);

  const auto pull = BuildPullRequest("http://h/wsman", "uuid:43", "PT8.000S", "ctx<&>\"'");
  EXPECT_EQ(ElementText(pull, "Action"), "http://schemas.xmlsoap.org/ws/2004/09/enumeration/Pull");
  EXPECT_EQ(ElementText(pull, "EnumerationContext"), "ctx<&>\"'");
  EXPECT_EQ(ElementText(pull, "MaxElements"), std::to_string(kPullMaxElements));
}

TEST(SoapAnswer, UsableComputerNames) {
  EXPECT_TRUE(UsableComputerName("WIN-01"));
  EXPECT_TRUE(UsableComputerName("\xE3\x83\x86\xE3\x82\xB9\xE3\x83\x88"));  // UTF-8 text
  EXPECT_TRUE(UsableComputerName(std::string(kMaxComputerNameBytes, 'a')));
  EXPECT_FALSE(UsableComputerName(""));
  EXPECT_FALSE(UsableComputerName(std::string(kMaxComputerNameBytes + 1, 'a')));
  EXPECT_FALSE(UsableComputerName("A\r\nB"));
  EXPECT_FALSE(UsableComputerName(std::string("A\0B", 3)));
  EXPECT_FALSE(UsableComputerName("A\x7F"));
}

}  // namespace
}  // namespace ordalen
