// The push message table: which ids set which status, which queue a listing.
#include "sync/push/PushMessageDecision.h"

#include <gtest/gtest.h>

#include <string>

namespace ulmora {
namespace {

PropertyList message(std::initializer_list<std::pair<const char*, PropertyList>> fields) {
  PropertyList m(PropertyList::Dict{});
  for (const auto& [k, v] : fields) m.set(k, v);
  return m;
}

struct Row {
  const char* name;
  PropertyList message;
  PushContext context;
  bool listing;
  std::string status;
  PushAccountEvent event = PushAccountEvent::kNone;
  bool dummy = false;
  bool ignored = false;
};

PushContext running() { return PushContext{4, false, std::string("MACHINE-1")}; }
PushContext paused() { return PushContext{3, false, std::string("MACHINE-1")}; }
PushContext reinit() { return PushContext{4, true, std::string("MACHINE-1")}; }
PushContext gate(int g) { return PushContext{g, false, std::string("MACHINE-1")}; }

class PushMessageTable : public ::testing::TestWithParam<Row> {};

TEST_P(PushMessageTable, Reaction) {
  const Row& row = GetParam();
  PushReaction r = decidePushMessage(PushMessage::fromPropertyList(row.message), row.context);
  EXPECT_EQ(r.ignored, row.ignored);
  EXPECT_EQ(r.dummy, row.dummy);
  EXPECT_EQ(r.queueListing, row.listing);
  EXPECT_EQ(r.statusText, row.status);
  EXPECT_EQ(r.accountEvent, row.event);
}

INSTANTIATE_TEST_SUITE_P(
    Ids, PushMessageTable,
    ::testing::Values(
        Row{"IDVersion", message({{"ID", 1013}, {"UID", "m2"}}), running(), true, "T1016"},
        Row{"idVersion", message({{"id", 1013}, {"UID", "m2"}}), running(), true, "T1016"},
        Row{"IdVersion", message({{"Id", "1013"}, {"UID", "m2"}}), running(), true, "T1016"},
        Row{"CreateOldOutOfBox", message({{"id", 1002}, {"path", "/Out%20of%20Box/Mac/x"}, {"UID", "m2"}}),
            running(), true, "Creating Folder.."},
        Row{"DeleteOutOfBox", message({{"id", 1003}, {"path", "/OUT OF BOX/Mac/x"}, {"UID", "m2"}}),
            running(), true, ""},
        Row{"CreateOldOnIdOnly", message({{"Id", 1002}, {"UID", "m2"}}), running(), true, ""},
        Row{"CreateOnAnyKey", message({{"Id", 1008}, {"UID", "m2"}}), running(), true, "Creating Folder.."},
        Row{"Upload", message({{"id", 1001}, {"UID", "m2"}}), running(), true, "Performing Sync Down..."},
        Row{"DeleteOther", message({{"ID", 1004}, {"UID", "m2"}}), running(), true, "Deleting file(s).."},
        Row{"Rename", message({{"id", "1006"}, {"UID", "m2"}}), running(), true, "Renaming file(s).."},
        Row{"FolderMove", message({{"Id", 1017}, {"TOPIC", "bob"}}), running(), true, "T1008"},
        Row{"RenameBeatsCreate", message({{"id", 1008}, {"Id", 1005}, {"UID", "m2"}}), running(), true,
            "Renaming file(s).."},
        Row{"NoUsableId", message({{"UID", "m2"}}), running(), true, ""},
        Row{"PasswordChanged", message({{"id", 1202}, {"UID", "m2"}}), running(), false, "",
            PushAccountEvent::kPasswordChanged},
        Row{"AccountCancelledStillQueuesAListing", message({{"id", 1201}, {"UID", "m2"}}), running(), true, "",
            PushAccountEvent::kAccountCancelled},
        Row{"QuotaUpgraded", message({{"id", 1205}, {"UID", "m2"}}), running(), true, "",
            PushAccountEvent::kQuotaUpgraded},
        Row{"QuotaDuringReinit", message({{"id", 1205}, {"UID", "m2"}}), reinit(), false, ""},
        Row{"PasswordDuringReinit", message({{"id", 1202}, {"UID", "m2"}}), reinit(), false, "",
            PushAccountEvent::kPasswordChanged},
        Row{"UploadDuringReinit", message({{"id", 1001}, {"UID", "m2"}}), reinit(), false, ""},
        Row{"BareNotice", message({{"id", 1001}}), running(), false, ""},
        Row{"BareNoticeStillCancels", message({{"id", 1201}}), running(), false, "",
            PushAccountEvent::kAccountCancelled},
        Row{"DummyAnyKey", message({{"ID", 1}, {"UID", "m2"}}), running(), false, "", PushAccountEvent::kNone,
            true},
        Row{"PausedStillQueues", message({{"id", 1003}, {"UID", "m2"}}), paused(), true, "Deleting file(s).."},
        Row{"UnlinkedIgnoresAll", message({{"id", 1}, {"UID", "m2"}}), gate(1), false, "",
            PushAccountEvent::kNone, false, true},
        Row{"NotReadyIgnoresAll", message({{"id", 1202}, {"UID", "m2"}}), gate(2), false, "",
            PushAccountEvent::kNone, false, true},
        Row{"NotADictionary", PropertyList("Ack::"), running(), false, ""}),
    [](const auto& info) { return std::string(info.param.name); });

struct UnlinkRow {
  const char* name;
  PropertyList message;
  std::optional<std::string> machineID;
  bool reinitializing;
  bool unlinks;
};

class PushUnlinkTable : public ::testing::TestWithParam<UnlinkRow> {};

TEST_P(PushUnlinkTable, OnlyThisComputersIdUnlinks) {
  const UnlinkRow& row = GetParam();
  PushReaction r = decidePushMessage(PushMessage::fromPropertyList(row.message),
                                     PushContext{4, row.reinitializing, row.machineID});
  EXPECT_EQ(r.unlinkThisComputer, row.unlinks);
  // The unlink notice does not stop the message from queueing a listing.
  EXPECT_EQ(r.queueListing, !row.reinitializing);
}

INSTANTIATE_TEST_SUITE_P(
    Unlink, PushUnlinkTable,
    ::testing::Values(
        UnlinkRow{"ThisComputer", message({{"id", 1203}, {"path", "ABC"}, {"UID", "w"}}), "ABC", false, true},
        UnlinkRow{"OtherComputer", message({{"id", 1203}, {"path", "XYZ"}, {"UID", "w"}}), "ABC", false, false},
        UnlinkRow{"EmptyPath", message({{"id", 1203}, {"path", ""}, {"UID", "w"}}), "", false, false},
        UnlinkRow{"NoPathNoMachineId", message({{"id", 1203}, {"UID", "w"}}), std::nullopt, false, false},
        UnlinkRow{"TestedOnIdOnly", message({{"Id", 1203}, {"path", "ABC"}, {"UID", "w"}}), "ABC", false, false},
        UnlinkRow{"DuringReinit", message({{"id", 1203}, {"path", "ABC"}, {"UID", "w"}}), "ABC", true, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PushMessage, WrongShapesReadAsZeroAndEmpty) {
  PropertyList odd(PropertyList::Dict{});
  odd.set("id", PropertyList(PropertyList::Array{PropertyList(1003)}));
  odd.set("path", PropertyList(PropertyList::Dict{}));
  odd.set("UID", 7);
  PushMessage m = PushMessage::fromPropertyList(odd);
  EXPECT_EQ(m.id, 0);
  EXPECT_EQ(m.path, "");
  EXPECT_EQ(m.uid, "7");
  EXPECT_FALSE(m.isOutOfBox());
}

}  // namespace
}  // namespace ulmora
