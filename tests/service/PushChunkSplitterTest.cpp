#include "service/PushChunkSplitter.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "platform/Trace.h"
#include "service/JsonPropertyList.h"

namespace ulmora {
namespace {

// Expected messages: "Ack::" for a notice, else the JSON of the dictionary.
std::vector<PropertyList> expected(const std::vector<std::string>& items) {
  std::vector<PropertyList> out;
  for (const std::string& item : items) {
    if (item == "Ack::") {
      out.emplace_back("Ack::");
    } else {
      auto dict = propertyListFromJsonText(item);
      EXPECT_TRUE(dict && dict->isDict()) << item;
      out.push_back(dict.value_or(PropertyList()));
    }
  }
  return out;
}

std::vector<PropertyList> splitWhole(std::string_view bytes, std::size_t* dropped = nullptr) {
  PushChunkSplitter splitter;
  auto out = splitter.feed(bytes);
  for (auto& item : splitter.finish()) out.push_back(std::move(item));
  if (dropped != nullptr) *dropped = splitter.droppedCount();
  return out;
}

std::vector<PropertyList> splitAt(std::string_view bytes, const std::vector<std::size_t>& cuts) {
  PushChunkSplitter splitter;
  std::vector<PropertyList> out;
  std::size_t from = 0;
  for (std::size_t cut : cuts) {
    for (auto& item : splitter.feed(bytes.substr(from, cut - from))) out.push_back(std::move(item));
    from = cut;
  }
  for (auto& item : splitter.feed(bytes.substr(from))) out.push_back(std::move(item));
  for (auto& item : splitter.finish()) out.push_back(std::move(item));
  return out;
}

class SilentTrace {
 public:
  SilentTrace() { setTraceSink([](std::string_view) {}); }
  ~SilentTrace() { setTraceSink({}); }
};

struct SplitCase {
  const char* name;
  std::string stream;
  std::vector<std::string> messages;
  std::size_t dropped = 0;
};

TEST(PushChunkSplitterTest, StreamsBecomeMessages) {
  const std::string deep = std::string(65, '{') + std::string(65, '}');
  const std::string big = "{\"p\":\"" + std::string(PushChunkSplitter::kMaxUnitBytes, 'x') + "\"}";
  const std::vector<SplitCase> cases = {
      {"one object", R"({"Id":"1001","TOPIC":"bob"})", {R"({"Id":"1001","TOPIC":"bob"})"}},
      {"objects back to back", R"({"a":1}{"b":2}{"c":3})", {R"({"a":1})", R"({"b":2})", R"({"c":3})"}},
      {"objects on lines", "{\"a\":1}\n\n  {\"b\":2}\r\n", {R"({"a":1})", R"({"b":2})"}},
      {"braces inside strings", R"({"p":"/a}b{c\"}"})", {R"({"p":"/a}b{c\"}"})"}},
      {"nested object", R"({"a":{"b":[1,{"c":"}"}]}})", {R"({"a":{"b":[1,{"c":"}"}]}})"}},
      {"a notice", "Ack\n", {"Ack::"}},
      {"a notice without line end", "connected", {"Ack::"}},
      {"short text is ignored", "ok\n  x  \n", {}},
      {"an empty object is too short", "{}", {}},
      {"a spaced empty object is a message", "{ }", {"{}"}},
      {"notice then object on one line", R"(hello{"a":1})", {"Ack::", R"({"a":1})"}},
      {"braced text that is not JSON", "{abc}", {"Ack::"}},
      {"a JSON array is a notice", "[1,2,3]\n", {"Ack::"}},
      {"bytes that are not UTF-8", "{\"p\":\"\xff\xfe\"}", {"Ack::"}},
      {"null members are left out", R"({"a":null,"b":"x"})", {R"({"b":"x"})"}},
      {"a stream cut inside an object", R"({"a":1}{"b":{"c":)", {R"({"a":1})"}, 1},
      {"too deep", deep + R"({"after":1})", {R"({"after":1})"}, 1},
      {"too long", big + R"({"after":1})", {R"({"after":1})"}, 1},
      {"a stray closing brace", "}}}\n{\"a\":1}", {"Ack::", R"({"a":1})"}},
  };
  for (const SplitCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::size_t dropped = 0;
    EXPECT_EQ(splitWhole(c.stream, &dropped), expected(c.messages));
    EXPECT_EQ(dropped, c.dropped);
  }
}

TEST(PushChunkSplitterTest, NumbersKeepTheirKind) {
  const auto items = splitWhole(R"({"i":-7,"u":18446744073709551615,"r":1.5,"t":true})");
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(*items[0].find("i")->asInteger(), -7);
  EXPECT_DOUBLE_EQ(*items[0].find("u")->asReal(), 18446744073709551615.0);
  EXPECT_DOUBLE_EQ(*items[0].find("r")->asReal(), 1.5);
  EXPECT_TRUE(*items[0].find("t")->asBoolean());
}

// The network cuts a stream anywhere; the messages must not change with the
// cuts. Fragments are chosen so that random streams hit strings, escapes,
// nesting, notices and cut objects.
TEST(PushChunkSplitterTest, MessagesDoNotDependOnWhereTheStreamIsCut) {
  const SilentTrace silent;  // thousands of dropped units
  const std::vector<std::string> fragments = {
      "{", "}", "\"", "\\", "\\\"", "\"a\":", "1", ",", "[", "]", "\n", "\r", " ",
      "Ack", "ok", R"({"Id":"1003","Path":"/x}"})", "null", "\xff", "{}", "x"};
  std::mt19937 random(20240611);
  for (int round = 0; round < 2000; ++round) {
    std::string stream;
    const int pieces = 1 + static_cast<int>(random() % 40);
    for (int i = 0; i < pieces; ++i) stream += fragments[random() % fragments.size()];
    std::vector<std::size_t> cuts;
    for (std::size_t at = 1; at < stream.size(); ++at) {
      if (random() % 3 == 0) cuts.push_back(at);
    }
    const auto whole = splitWhole(stream);
    ASSERT_EQ(splitAt(stream, cuts), whole) << "stream: " << stream;
    for (const PropertyList& item : whole) {
      const bool notice = item.asString() != nullptr && *item.asString() == "Ack::";
      ASSERT_TRUE(item.isDict() || notice) << "stream: " << stream;
    }
  }
}

TEST(PushChunkSplitterTest, FinishStartsANewStream) {
  PushChunkSplitter splitter;
  EXPECT_TRUE(splitter.feed(R"({"a":)").empty());
  EXPECT_TRUE(splitter.finish().empty());
  EXPECT_EQ(splitter.feed(R"({"b":2})"), expected({R"({"b":2})"}));
}

}  // namespace
}  // namespace ulmora
