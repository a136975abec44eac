#include "service/QLXMLParserController.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ulmora {
namespace {

using Items = std::vector<PropertyList::Dict>;

std::vector<PropertyList::Dict> dictsOf(const PropertyList::Array& items) {
  std::vector<PropertyList::Dict> out;
  for (const PropertyList& item : items) out.push_back(item.asDict() ? *item.asDict() : PropertyList::Dict{});
  return out;
}

struct XmlCase {
  const char* name;
  std::string xml;
  bool parses;
  Items items;
};

TEST(QLXMLParserControllerTest, AttributeDictionariesInDocumentOrder) {
  const std::vector<XmlCase> cases = {
      {"a discovery reply",
       R"(<?xml version="1.0"?><response message="SUCCESS" cmdUtilityServerIP="10.0.0.7" cmdUtilityServer="kvt.example"/>)",
       true,
       {{{"message", "SUCCESS"}, {"cmdUtilityServerIP", "10.0.0.7"}, {"cmdUtilityServer", "kvt.example"}}}},
      {"elements without attributes add nothing",
       R"(<root><a/><b x="1"><c/><d y="2"/></b><e z="3"/></root>)", true,
       {{{"x", "1"}}, {{"y", "2"}}, {{"z", "3"}}}},
      {"nested before following siblings",
       R"(<r a="1"><s b="2"><t c="3"/></s><u d="4"/></r>)", true,
       {{{"a", "1"}}, {{"b", "2"}}, {{"c", "3"}}, {{"d", "4"}}}},
      {"entities and character references are decoded",
       R"(<r path="/a &amp; b/&lt;c&gt;" q="&quot;&#233;"/>)", true,
       {{{"path", "/a & b/<c>"}, {"q", "\"\xC3\xA9"}}}},
      {"no attributes at all", "<r><s>text</s></r>", true, {}},
      {"a maintenance page is not XML", "Service is under maintenance. Try later.", false, {}},
      {"an HTML fragment", "<html><body>Internal error", false, {}},
      {"an empty reply", "", false, {}},
      {"a reply cut short", R"(<response message="SUCC)", false, {}},
      {"an external entity is never fetched",
       R"(<!DOCTYPE r [<!ENTITY x SYSTEM "file:///etc/passwd">]><r a="&x;"/>)", true,
       {{{"a", "&x;"}}}},
  };
  for (const XmlCase& c : cases) {
    SCOPED_TRACE(c.name);
    QLXMLParserController parser(c.xml);
    EXPECT_EQ(parser.parseXML(), c.parses);
    EXPECT_EQ(dictsOf(parser.iTemArray()), c.items);
  }
}

TEST(QLXMLParserControllerTest, MergedItemsKeepTheFirstValueOfAName) {
  QLXMLParserController parser(R"(<r><a message="SUCCESS" kvtsrvrip="s1"/><b kvtsrvrip="s2" extra="e"/></r>)");
  ASSERT_TRUE(parser.parseXML());
  const PropertyList merged = parser.mergedItems();
  EXPECT_EQ(merged.stringFor("kvtsrvrip"), "s1");
  EXPECT_EQ(merged.stringFor("extra"), "e");
  EXPECT_EQ(merged.asDict()->size(), 3u);
}

TEST(QLXMLParserControllerTest, DeepNestingDoesNotExhaustTheStack) {
  std::string xml;
  constexpr int kDepth = 200000;
  for (int i = 0; i < kDepth; ++i) xml += "<a>";
  xml += R"(<leaf k="v"/>)";
  for (int i = 0; i < kDepth; ++i) xml += "</a>";
  QLXMLParserController parser(xml);
  ASSERT_TRUE(parser.parseXML());
  EXPECT_EQ(dictsOf(parser.iTemArray()), (Items{{{"k", "v"}}}));
}

TEST(QLXMLParserControllerTest, AReplyThatBreaksOffGivesNoItems) {
  QLXMLParserController parser("<r a=\"1\"/><broken");
  EXPECT_FALSE(parser.parseXML());
  EXPECT_TRUE(parser.iTemArray().empty());
}

}  // namespace
}  // namespace ulmora
