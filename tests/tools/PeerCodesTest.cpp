#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "PeerCodes.h"

namespace ulmora::peer {
namespace {

TEST(PeerCodes, StatusAndNotificationCodesReadAsTheirMeaning) {
  struct Case {
    const char* what;
    int type;
    std::string payload;
    std::string meaning;
  };
  const std::vector<Case> cases = {
      {"up to date", 500, "T1001", "T1001: all files are up to date"},
      {"progress with every field", 500, "T1002||12||0.11 KB/s||2 min",
       "T1002: uploading (files to go 12, rate 0.11 KB/s, time left 2 min)"},
      {"progress before a rate", 500, "T1005||3", "T1005: downloading (files to go 3)"},
      {"one code per status line", 500, "T1002||1||0.11 KB/s\nT1006",
       "T1002: uploading (files to go 1, rate 0.11 KB/s); T1006: renaming files"},
      {"status after the quota frees up", 504, "T1001", "T1001: all files are up to date"},
      {"a field the table does not name", 500, "T1016||x", "T1016: checking the server for changes (field 1 x)"},
      {"notification with a name and folder", 501, "N1034||a.txt||added::/Docs/a.txt",
       "N1034: a new file or folder (name a.txt, added at /Docs/a.txt)"},
      {"a file and its path", 501, "N1031||a.txt::/Docs/a.txt",
       "N1031: one file updated from the server (file a.txt at /Docs/a.txt)"},
      {"notification with counts", 501, "N1024||2||5",
       "N1024: a listing deleted items and renamed or updated others (deleted 2, renamed or updated 5)"},
      {"a bare field between named ones", 501, "N1033||old.txt||renamed||new.txt",
       "N1033: a file or moved folder renamed (old name old.txt, renamed, new name new.txt)"},
      {"notification without fields", 501, "N1030", "N1030: the connection to the server failed"},
      {"plain text notification", 501, "This computer is no longer linked to Sync", ""},
      {"unknown code", 500, "T1099", ""},
      {"a status code sent as a notification", 501, "T1001", ""},
      {"text before the code", 500, "xT1001", ""},
      {"a code prefix only", 500, "T10012", ""},
      {"another type", 502, "T1001", ""},
      {"empty", 500, "", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(describeMonitorMessage(c.type, c.payload), c.meaning) << c.what;
  }
}

// Every line the agent can send reads as something, an unknown type or code
// included: a blank meaning would leave the newcomer guessing again.
TEST(PeerCodes, EveryChannelMessageAndBusNotificationHasAMeaning) {
  struct Case {
    const char* what;
    const char* channel;
    int type;
    std::optional<std::string> text;
    std::string meaning;
  };
  const std::vector<Case> cases = {
      {"status", "monitor", 500, "T1002||1||0.11 KB/s",
       "status: T1002: uploading (files to go 1, rate 0.11 KB/s)"},
      {"status after the quota", "monitor", 504, "T1001",
       "status once the storage quota freed up: T1001: all files are up to date"},
      {"notification", "monitor", 501, "N1034||a.txt||added::/a.txt",
       "notification: N1034: a new file or folder (name a.txt, added at /a.txt)"},
      {"plain text notification", "monitor", 501, "This computer is no longer linked to Sync",
       "notification as a plain text"},
      {"unknown status code", "monitor", 500, "T1099", "status: a code this peer does not know"},
      {"unknown notification code with fields", "monitor", 501, "N1999||x",
       "notification: a code this peer does not know"},
      {"status that is not a text", "monitor", 500, std::nullopt, "status, not a text"},
      {"a bare monitor type", "monitor", 514, "", "refresh the selective-sync window"},
      {"quota full the first time", "monitor", 0, "You have exceeded", "storage quota full (the over-quota text)"},
      {"a monitor type on the finder channel", "finder", 514, "", "type 514, not one this peer knows"},
      {"sync root", "finder", 3, "/home/u/UlmoraSync", "the sync root to badge"},
      {"pause forwarded to the finder", "finder", 502, "", "sync paused"},
      {"a finder type on the monitor channel", "monitor", 3, "/x", "type 3, not one this peer knows"},
      {"announcement on either channel", "finder", 900, std::nullopt,
       "the agent announces itself (name, user, process id)"},
      {"unknown type", "monitor", 42, "", "type 42, not one this peer knows"},
  };
  for (const Case& c : cases) {
    const std::string* text = c.text ? &*c.text : nullptr;
    EXPECT_EQ(describeChannelMessage(c.channel, c.type, text), c.meaning) << c.what;
  }
  EXPECT_EQ(describeBusNotification("FilesInsyncListGot"), "paths now in sync, for the file manager's badges");
  EXPECT_EQ(describeBusNotification("Other"), "a notification this peer does not know");
}

}  // namespace
}  // namespace ulmora::peer
