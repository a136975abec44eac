#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ipc/BusNotification.h"
#include "ipc/IpcFrame.h"
#include "ipc/IpcMessage.h"

namespace ulmora {
namespace {

using Status = IpcFrame::Reader::Status;

std::string header(uint32_t n) {
  return {static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8),
          static_cast<char>(n)};
}

IpcMessage sample(int type) {
  return IpcMessage{PropertyList("payload " + std::to_string(type)), type, "sync agent",
                    "status monitor"};
}

TEST(IpcFrameTest, FramesSurviveAnyCutOfTheStream) {
  std::string stream;
  for (int type : {500, 7, 300}) stream += *IpcFrame::encode(sample(type).toPropertyList());
  // Every chunk size, down to single bytes: a reader that assumes whole
  // frames per read loses or garbles messages.
  for (size_t chunk : {size_t{1}, size_t{3}, size_t{5}, size_t{64}, stream.size()}) {
    IpcFrame::Reader reader;
    std::vector<int> types;
    for (size_t at = 0; at < stream.size(); at += chunk) {
      reader.append(std::string_view(stream).substr(at, chunk));
      PropertyList body;
      while (reader.next(&body) == Status::kFrame) {
        types.push_back(IpcMessage::fromPropertyList(body)->type);
      }
    }
    EXPECT_EQ(types, (std::vector<int>{500, 7, 300})) << "chunk " << chunk;
    EXPECT_EQ(reader.buffered(), 0u);
  }
}

TEST(IpcFrameTest, LengthIsBigEndianBodyLength) {
  const std::string frame = *IpcFrame::encode(PropertyList("x"));
  const std::string body = PropertyList("x").toBinary();
  EXPECT_EQ(frame, header(static_cast<uint32_t>(body.size())) + body);
}

TEST(IpcFrameTest, BadStreamsAreReported) {
  const std::string xmlBody = PropertyList("x").toXml();
  struct Case {
    const char* name;
    std::string bytes;
    Status expected;
  };
  const std::vector<Case> cases = {
      // Refused from the header alone, before 16 MiB are buffered.
      {"over the limit", header(IpcFrame::kMaxBodyBytes + 1), Status::kTooLarge},
      {"huge", header(0xFFFFFFFFu) + "bplist00", Status::kTooLarge},
      {"garbage body", header(5) + "hello", Status::kMalformed},
      {"empty body", header(0), Status::kMalformed},
      {"truncated binary plist", header(8) + "bplist00", Status::kMalformed},
      {"XML body", header(static_cast<uint32_t>(xmlBody.size())) + xmlBody, Status::kMalformed},
      {"header only so far", header(10), Status::kNeedMore},
  };
  for (const Case& c : cases) {
    IpcFrame::Reader reader;
    reader.append(c.bytes);
    PropertyList body;
    EXPECT_EQ(reader.next(&body), c.expected) << c.name;
  }
}

TEST(IpcFrameTest, BodyAtTheLimitIsAcceptedAndAboveIsNotEncoded) {
  // A text whose binary encoding is exactly the limit (the encoding's own
  // overhead depends on the length, so settle it in two steps).
  std::string atLimit(IpcFrame::kMaxBodyBytes, 'a');
  for (int i = 0; i < 2; ++i) {
    atLimit.resize(atLimit.size() -
                   (PropertyList(atLimit).toBinary().size() - IpcFrame::kMaxBodyBytes));
  }
  ASSERT_EQ(PropertyList(atLimit).toBinary().size(), IpcFrame::kMaxBodyBytes);
  std::optional<std::string> frame = IpcFrame::encode(PropertyList(atLimit));
  ASSERT_TRUE(frame);
  IpcFrame::Reader reader;
  reader.append(*frame);
  PropertyList body;
  ASSERT_EQ(reader.next(&body), Status::kFrame);
  EXPECT_EQ(*body.asString(), atLimit);
  EXPECT_FALSE(IpcFrame::encode(PropertyList(atLimit + "a")));
}

TEST(IpcMessageTest, WireFormIsFourTexts) {
  IpcMessage m{IpcMessage::payloadFromTexts({"/a", "/b"}), 7, "sync agent", "Finder integration"};
  const PropertyList wire = m.toPropertyList();
  ASSERT_TRUE(wire.isArray());
  EXPECT_EQ(*(*wire.asArray())[1].asString(), "7");
  EXPECT_EQ(IpcMessage::fromPropertyList(wire), m);
}

TEST(IpcMessageTest, OnlyTheFourTextFormIsAMessage) {
  using A = PropertyList::Array;
  struct Case {
    const char* name;
    PropertyList value;
    std::optional<int> type;
  };
  const std::vector<Case> cases = {
      {"text payload", A{"p", "502", "s", "r"}, 502},
      {"array payload", A{A{"a", "b"}, "5", "s", "r"}, 5},
      {"empty array payload", A{A{}, "7", "s", "r"}, 7},
      {"negative type", A{"", "-1", "s", "r"}, -1},
      {"three items", A{"p", "1", "s"}, std::nullopt},
      {"five items", A{"p", "1", "s", "r", "x"}, std::nullopt},
      {"type with sign", A{"p", "+1", "s", "r"}, std::nullopt},
      {"type with blank", A{"p", " 1", "s", "r"}, std::nullopt},
      {"type with suffix", A{"p", "1x", "s", "r"}, std::nullopt},
      {"type empty", A{"p", "", "s", "r"}, std::nullopt},
      {"type overflows", A{"p", "99999999999", "s", "r"}, std::nullopt},
      {"type as integer", A{"p", 1, "s", "r"}, std::nullopt},
      {"dictionary payload", A{PropertyList::Dict{}, "1", "s", "r"}, std::nullopt},
      {"array payload with a number", A{A{"a", 2}, "1", "s", "r"}, std::nullopt},
      {"sender not a text", A{"p", "1", 3, "r"}, std::nullopt},
      {"not an array", PropertyList("p"), std::nullopt},
  };
  for (const Case& c : cases) {
    std::optional<IpcMessage> m = IpcMessage::fromPropertyList(c.value);
    EXPECT_EQ(m.has_value(), c.type.has_value()) << c.name;
    if (m && c.type) {
      EXPECT_EQ(m->type, *c.type) << c.name;
    }
  }
}

TEST(BusNotificationTest, RoundTripsAndRejectsOtherForms) {
  PropertyList info;
  info.set("syncList", PropertyList::Array{"/a"});
  BusNotification n{"FilessyncListGot", info};
  EXPECT_EQ(BusNotification::fromPropertyList(n.toPropertyList()), n);
  // No user info travels as an empty dictionary, so subscribers always get one.
  EXPECT_TRUE(
      BusNotification::fromPropertyList(BusNotification{"IconOverlayStatus", {}}.toPropertyList())
          ->userInfo.isDict());
  PropertyList noName;
  noName.set("UserInfo", PropertyList::Dict{});
  EXPECT_FALSE(BusNotification::fromPropertyList(noName));
  EXPECT_FALSE(BusNotification::fromPropertyList(PropertyList::Array{"x"}));
}

}  // namespace
}  // namespace ulmora
