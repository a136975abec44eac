#include <gtest/gtest.h>

#include "sync/upload/UploadRoad.h"

namespace ulmora {
namespace {

using Batch = std::map<std::string, std::string>;

PropertyList journal(const Batch& entries) {
  PropertyList list(PropertyList::Dict{});
  for (const auto& [path, size] : entries) list.set(path, size);
  return list;
}

TEST(UploadRoadDownloadBatchTest, JournalAndDueRetriesLessRenamedFiles) {
  struct Case {
    const char* name;
    PropertyList journal;
    Batch retries;
    std::set<std::string> renamed;
    Batch expected;
  } cases[] = {
      {"nothing to fetch", journal({}), {}, {}, {}},
      {"a journal that is no dictionary", PropertyList(PropertyList::Array{}), {{"/r.txt", "2"}}, {},
       {{"/r.txt", "2"}}},
      {"journal and retries together", journal({{"/a.txt", "1"}}), {{"/r.txt", "2"}}, {},
       {{"/a.txt", "1"}, {"/r.txt", "2"}}},
      {"a path in both keeps the journal's size", journal({{"/a.txt", "5"}}), {{"/a.txt", "1"}}, {},
       {{"/a.txt", "5"}}},
      {"renamed here while listing: neither from the journal nor retried", journal({{"/old.txt", "1"}, {"/b.txt", "3"}}),
       {{"/gone.txt", "2"}}, {"/old.txt", "/gone.txt"}, {{"/b.txt", "3"}}},
      {"a rename of another file changes nothing", journal({{"/a.txt", "1"}}), {}, {"/a"}, {{"/a.txt", "1"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(UploadRoad::downloadBatch(c.journal, c.retries, c.renamed), c.expected);
  }
}

}  // namespace
}  // namespace ulmora
