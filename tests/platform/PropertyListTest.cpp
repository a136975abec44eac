#include "platform/PropertyList.h"

#include <gtest/gtest.h>
#include <plist/plist.h>
#include <sys/stat.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <memory>

#include "TestTempDir.h"
#include "platform/FileUtil.h"

namespace ulmora {
namespace {

using Dict = PropertyList::Dict;
using Array = PropertyList::Array;
using Data = PropertyList::Data;
using Date = PropertyList::Date;

constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
constexpr int64_t kMin = std::numeric_limits<int64_t>::min();

::testing::AssertionResult same(const std::optional<PropertyList>& actual,
                                const PropertyList& expected) {
  if (!actual)
    return ::testing::AssertionFailure() << "no value; expected\n" << expected.toXml();
  if (*actual == expected)
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "got\n"
                                       << actual->toXml() << "expected\n"
                                       << expected.toXml();
}

// Something every type and awkward text appears in, as XML can carry it.
PropertyList richValue() {
  PropertyList inner(Dict{
      {"empty dict", Dict{}}, {"empty array", Array{}}, {"deep", Array{Array{Dict{{"x", 1}}}}}});
  return PropertyList(Dict{
      {"ascii", "plain"},
      {"markup", "<>&\"' ]]> <![CDATA["},
      {"non-ascii", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80 \xE6\x97\xA5\xE6\x9C\xAC"},
      {"not utf-8", std::string("ab\xFF\xFE cd \xC3", 9)},
      {"empty", ""},
      {"k\xC3\xA9y <&>", "odd key"},
      {"", "empty key"},
      {"ints", Array{0, 1, -1, 255, 256, 65535, 65536, int64_t{4294967296}, kMax, kMin,
                     int64_t{-4294967297}}},
      {"reals", Array{0.0, 0.1, -2.5, 1e300, 5e-324, 3.141592653589793}},
      {"bools", Array{true, false}},
      {"dates", Array{Date{0}, Date{978307200}, Date{-86400 * 365.0}, Date{1700000000},
                      Date{-2208988800} /* 1900 */, Date{4102444800} /* 2100 */}},
      {"data", Data{std::string("\x00\x01\xFF\x00", 4)}},
      {"empty data", Data{}},
      {"nested", inner},
  });
}

PropertyList richValueForBinary() {
  PropertyList v = richValue();
  v.set("fractional dates", Array{Date{978307199.5}, Date{1700000000.25}, Date{-0.75}});
  v.set("nul inside", std::string("a\0b", 3));
  v.set("null member", PropertyList());
  v.set("long", std::string(1000, 'x'));
  Array many;
  for (int i = 0; i < 300; ++i)
    many.push_back(i);  // more objects than a 1-byte reference holds
  v.set("many", many);
  return v;
}

TEST(PropertyListTest, RoundTripsThroughXmlAndBinary) {
  struct Case {
    const char* name;
    PropertyList value;
    std::string (PropertyList::*encode)() const;
  };
  const Case cases[] = {
      {"xml", richValue(), &PropertyList::toXml},
      {"binary", richValue(), &PropertyList::toBinary},
      {"binary with what only it carries", richValueForBinary(), &PropertyList::toBinary},
      {"binary scalar root", PropertyList("just a string"), &PropertyList::toBinary},
      {"binary empty array root", PropertyList(Array{}), &PropertyList::toBinary},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string bytes = (c.value.*c.encode)();
    EXPECT_TRUE(same(PropertyList::parse(bytes), c.value));
  }
}

TEST(PropertyListTest, XmlFromElsewhereSurvivesBinaryAndBack) {
  const std::string xml = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
	<key>Pause</key>
	<true/>
	<key>Name</key>
	<string>Caf&#233; &amp; &lt;co&gt;</string>
	<key>Size</key>
	<integer>-42</integer>
	<key>Ratio</key>
	<real>0.5</real>
	<key>When</key>
	<date>2014-03-01T10:20:30Z</date>
	<key>Blob</key>
	<data>AAH/</data>
	<key>List</key>
	<array><string>a</string><dict/></array>
</dict>
</plist>)";
  std::optional<PropertyList> fromXml = PropertyList::parse(xml);
  ASSERT_TRUE(fromXml);
  EXPECT_EQ(fromXml->stringFor("Name"), "Caf\xC3\xA9 & <co>");
  EXPECT_EQ(fromXml->find("When")->asDate()->secondsSince1970, 1393669230);
  EXPECT_EQ(fromXml->find("Blob")->asData()->bytes, std::string("\x00\x01\xFF", 3));
  std::optional<PropertyList> viaBinary = PropertyList::parse(fromXml->toBinary());
  ASSERT_TRUE(same(viaBinary, *fromXml));
  EXPECT_TRUE(same(PropertyList::parse(viaBinary->toXml()), *fromXml));
}

// libplist is an independent reader and writer of the binary format: what
// each writes, the other must read to the same value.
TEST(PropertyListTest, BinaryFormatAgreesWithLibplist) {
  const PropertyList value = richValue();
  auto freeNode = [](plist_t p) { plist_free(p); };

  {  // ours -> libplist -> XML -> ours
    std::string ours = value.toBinary();
    plist_t node = nullptr;
    plist_from_bin(ours.data(), static_cast<uint32_t>(ours.size()), &node);
    ASSERT_NE(node, nullptr);
    std::unique_ptr<void, decltype(freeNode)> owner(node, freeNode);
    char* xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(node, &xml, &length);
    std::string text(xml, length);
    std::free(xml);
    PropertyList expected = value;
    // Their binary reader keeps invalid UTF-8 as it is, as ours does.
    EXPECT_TRUE(same(PropertyList::parse(text), expected));
  }
  {  // libplist's binary -> ours
    std::string xml = value.toXml();
    plist_t node = nullptr;
    plist_from_xml(xml.data(), static_cast<uint32_t>(xml.size()), &node);
    ASSERT_NE(node, nullptr);
    std::unique_ptr<void, decltype(freeNode)> owner(node, freeNode);
    // Their binary writer cannot carry text that is not UTF-8.
    plist_dict_remove_item(node, "not utf-8");
    char* bin = nullptr;
    uint32_t length = 0;
    plist_to_bin(node, &bin, &length);
    std::string theirs(bin, length);
    std::free(bin);
    PropertyList expected = value;
    expected.asDict()->erase("not utf-8");
    EXPECT_TRUE(same(PropertyList::parse(theirs), expected));
  }
}

// A well-formed binary list from hand-made objects (1-byte references and
// offsets); `top` is the root's index.
std::string bplist(const std::vector<std::string>& objects, uint8_t top = 0) {
  std::string out = "bplist00";
  std::string offsets;
  for (const std::string& o : objects) {
    offsets.push_back(static_cast<char>(out.size()));
    out += o;
  }
  size_t table = out.size();
  out += offsets;
  std::string trailer(32, '\0');
  trailer[6] = 1;
  trailer[7] = 1;
  trailer[15] = static_cast<char>(objects.size());
  trailer[23] = static_cast<char>(top);
  trailer[31] = static_cast<char>(table);
  return out + trailer;
}

std::string bytes(std::initializer_list<int> list) {
  std::string s;
  for (int b : list)
    s.push_back(static_cast<char>(b));
  return s;
}

TEST(PropertyListTest, ReadsValuesOnlyOtherWritersProduce) {
  struct Case {
    const char* name;
    std::string input;
    PropertyList expected;
  };
  const Case cases[] = {
      {"xml unsigned above INT64_MAX", "<plist><integer>18446744073709551615</integer></plist>",
       kMax},
      {"xml 2^63", "<plist><integer>9223372036854775808</integer></plist>", kMax},
      {"xml INT64_MIN", "<plist><integer>-9223372036854775808</integer></plist>", kMin},
      {"xml -1 (same bits as UINT64_MAX)", "<plist><integer>-1</integer></plist>", -1},
      {"xml epoch", "<plist><date>1970-01-01T00:00:00Z</date></plist>", Date{0}},
      {"xml before 1970", "<plist><date>1969-12-31T23:59:59Z</date></plist>", Date{-1}},
      {"xml 2001", "<plist><date>2001-01-01T00:00:00Z</date></plist>", Date{978307200}},
      {"xml 2100", "<plist><date>2100-01-01T00:00:00Z</date></plist>", Date{4102444800}},
      {"xml 1900", "<plist><date>1900-01-01T00:00:00Z</date></plist>", Date{-2208988800}},
      {"xml with byte order mark", "\xEF\xBB\xBF<plist><string>x</string></plist>", "x"},
      {"binary 16-byte unsigned",
       bplist(
           {bytes({0x14, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF})}),
       kMax},
      {"binary 16-byte negative",
       bplist({bytes({0x14, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                      0xFF, 0xFF, 0xFF, 0xFB})}),
       -5},
      {"binary 1-byte integers are unsigned", bplist({bytes({0x10, 0xFF})}), 255},
      {"binary 4-byte real", bplist({bytes({0x22, 0x3F, 0xC0, 0, 0})}), 1.5},
      {"binary date 0 is 2001", bplist({bytes({0x33, 0, 0, 0, 0, 0, 0, 0, 0})}), Date{978307200}},
      {"binary 8-bit text keeps its bytes", bplist({bytes({0x52, 0xE9, 0x41})}),
       std::string("\xE9"
                   "A")},
      {"binary unpaired surrogate", bplist({bytes({0x62, 0xD8, 0x00, 0x00, 0x41})}),
       "\xEF\xBF\xBD"
       "A"},
      {"binary uid", bplist({bytes({0x80, 0x07})}), 7},
      {"binary shared member", bplist({bytes({0xA2, 1, 1}), bytes({0x51, 'x'})}), Array{"x", "x"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_TRUE(same(PropertyList::parse(c.input), c.expected));
  }
}

TEST(PropertyListTest, RefusesWhatIsNotAPropertyList) {
  std::string valid = PropertyList(Dict{{"a", Array{1, "two"}}}).toBinary();
  std::string badOffset = valid;
  badOffset[badOffset.size() - 1] = static_cast<char>(0xF0);
  std::string deepXml = "<plist>";
  for (int i = 0; i < 1000000; ++i)
    deepXml += "<array>";
  for (int i = 0; i < 1000000; ++i)
    deepXml += "</array>";
  deepXml += "</plist>";
  std::string hiddenDepth = "<plist>";  // nesting disguised by a comment
  for (int i = 0; i < 1000000; ++i)
    hiddenDepth += "<array x=\"/\"><!-- </array> -->";
  // Each level refers twice to the next: 2^60 members from a few bytes.
  std::vector<std::string> bomb;
  for (int i = 0; i < 60; ++i)
    bomb.push_back(bytes({0xA2, i + 1, i + 1}));
  bomb.push_back(bytes({0x10, 1}));

  const std::pair<const char*, std::string> cases[] = {
      {"empty", ""},
      {"text", "garbage"},
      {"control bytes", std::string("\x00\x01\x02\x03", 4)},
      {"bare header", "bplist00"},
      {"header and zeros", "bplist00" + std::string(40, '\0')},
      {"other binary version", "bplist15" + valid.substr(8)},
      {"truncated binary", valid.substr(0, valid.size() - 1)},
      {"offset table outside the file", badOffset},
      {"array containing itself", bplist({bytes({0xA1, 0})})},
      {"reference past the last object", bplist({bytes({0xA1, 5})})},
      {"non-text dictionary key", bplist({bytes({0xD1, 1, 1}), bytes({0x10, 1})})},
      {"length past the end", bplist({bytes({0x5F, 0x10, 0x7F, 'a'})})},
      {"shared-member bomb", bplist(bomb)},
      {"unclosed xml", "<plist><array><string>a</array></plist>"},
      {"empty plist element", "<plist></plist>"},
      {"deep xml nesting", deepXml},
      {"deep nesting behind comments", hiddenDepth},
      // Once aborted the whole process: libplist's text getter asserts.
      {"NUL byte in xml", std::string("<?xml version=\"1.0\"?><plist><key>Lis\0</key><string>x</string></plist>", 69)},
      {"encoded NUL in xml", "<plist><dict><key>k</key><string>a&#0;b</string></dict></plist>"},
  };
  for (const auto& [name, input] : cases) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(PropertyList::parse(input).has_value());
  }
}

TEST(PropertyListTest, BoolValueFollowsFoundation) {
  const std::pair<PropertyList, bool> cases[] = {
      {"YES", true},         {"yes", true},  {"Y", true},        {"T", true},
      {"true", true},        {"1", true},    {"9", true},        {"  +1", true},
      {"\t-7", true},        {"0001", true}, {"no", false},      {"NO", false},
      {"0", false},          {"000", false}, {"", false},        {"   ", false},
      {"false", false},      {"x1", false},  {"+0", false},      {" N", false},
      {true, true},          {false, false}, {0, false},         {-3, true},
      {0.0, false},          {0.5, true},    {Data{"1"}, false}, {PropertyList(), false},
      {Array{"YES"}, false},
  };
  for (const auto& [value, expected] : cases) {
    SCOPED_TRACE(value.toXml());
    EXPECT_EQ(value.boolValue(), expected);
  }
}

TEST(PropertyListTest, IntegerAndTextValues) {
  const std::pair<PropertyList, int64_t> integers[] = {
      {"42", 42},
      {"  -17abc", -17},
      {"+5", 5},
      {" 3.9", 3},
      {"abc", 0},
      {"", 0},
      {"9223372036854775807", kMax},
      {"99999999999999999999", kMax},
      {"-99999999999999999999", kMin},
      {3.9, 3},
      {-3.9, -3},
      {1e30, kMax},
      {-1e30, kMin},
      {std::nan(""), 0},
      {true, 1},
      {Date{5}, 0},
  };
  for (const auto& [value, expected] : integers) {
    SCOPED_TRACE(value.toXml());
    EXPECT_EQ(value.integerValue(), expected);
  }
  const std::pair<PropertyList, std::optional<std::string>> texts[] = {
      {"as is", "as is"},
      {int64_t{-5}, "-5"},
      {1.5, "1.5"},
      {2.0, "2"},
      {0.1, "0.1"},
      {true, "1"},
      {false, "0"},
      {Data{"x"}, std::nullopt},
      {PropertyList(), std::nullopt},
  };
  for (const auto& [value, expected] : texts) {
    SCOPED_TRACE(value.toXml());
    EXPECT_EQ(value.textValue(), expected);
  }
}

TEST(PropertyListTest, BuildingKeepsOtherTypesIntact) {
  PropertyList built;
  built.set("a", 1);
  built.set("a", 2);
  EXPECT_EQ(built.find("a")->integerValue(), 2);
  EXPECT_EQ(built.stringFor("a"), std::nullopt) << "not a string";

  PropertyList text("keep me");
  text.set("a", 1);
  text.append(2);
  EXPECT_EQ(text, PropertyList("keep me"));

  PropertyList list;
  list.append("x");
  list.set("k", 1);
  EXPECT_EQ(list, PropertyList(Array{"x"}));
}

TEST(PropertyListTest, FilesAreXmlWithOwnerOnlyMode) {
  testing::TestTempDir tmp;
  const std::string path = tmp.sub("settings.plist");
  const PropertyList value = richValue();
  ASSERT_TRUE(value.writeFile(path));
  struct stat st;
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_TRUE(fileutil::readFile(path).value_or("").starts_with("<?xml"));
  EXPECT_TRUE(same(PropertyList::readFile(path), value));

  // A binary file written by someone else reads the same.
  ASSERT_TRUE(fileutil::writeFileAtomically(path, value.toBinary()));
  EXPECT_TRUE(same(PropertyList::readFile(path), value));

  EXPECT_FALSE(PropertyList::readFile(tmp.sub("missing.plist")));
  EXPECT_FALSE(PropertyList::readFile(tmp.writeFile("junk.plist", "not a plist")));
  EXPECT_FALSE(PropertyList().writeFile(tmp.sub("null.plist")));
  EXPECT_FALSE(fileutil::exists(tmp.sub("null.plist")));
}

}  // namespace
}  // namespace ulmora
