#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "TestTempDir.h"
#include "database/DataBaseWrapper.h"
#include "database/DatabaseMerger.h"
#include "platform/ManualClock.h"

namespace ulmora::testing {

using Record = std::vector<std::string>;

// A file-table record as the write-behind builds it.
inline Record fileRecord(const std::string& path, const std::string& backup = "1",
                         const std::string& restore = "1", const std::string& refId = "NA",
                         const std::string& size = "10", const std::string& folder = "0") {
  return {path, "2020-01-01 00:00:00 +0000", size, "NA", "NA", folder, "NA", "NA",
          backup, "1", restore, refId};
}

inline Record renameRecord(const std::string& from, const std::string& to,
                           const std::string& folder = "0") {
  return {from, to, "NA", "NA", "NA", folder, "NA", "NA", "1", "1", "1", "NA"};
}

inline Record outOfBoxRecord(const std::string& path, const std::string& backup = "0") {
  Record r = fileRecord(path, backup);
  r.pop_back();
  return r;
}

// One account's database folder with a writer and a merger on a manual clock.
class DatabaseFixture {
 public:
  DatabaseFixture() : merger_(folder(), user(), clock_) {}

  std::string folder() const { return dir_.path(); }
  std::string user() const { return "alice"; }
  std::string mainPath() const { return dir_.sub("alice.ql"); }
  std::string batchFolder() const { return dir_.sub("alice.pending"); }
  ManualClock& clock() { return clock_; }
  DatabaseMerger& merger() { return merger_; }
  DataBaseWrapper& reader() { return reader_; }
  const TestTempDir& dir() const { return dir_; }

  // Writes one published batch through a fresh wrapper, as the write-behind does.
  void writeBatch(const std::function<void(DataBaseWrapper&)>& rows, bool outOfBox = false) {
    DataBaseWrapper writer;
    if (outOfBox)
      writer.initializeOBDatabase(folder(), user());
    else
      writer.initializewithDatabase(folder(), user());
    writer.beginTransaction();
    rows(writer);
    writer.commitTransaction();
    writer.unInitializeDatabase();
  }
  void writeAndMerge(const std::function<void(DataBaseWrapper&)>& rows, bool outOfBox = false) {
    writeBatch(rows, outOfBox);
    merger_.mergePending();
  }

  // Every row of a table, by path: the other columns in record order.
  std::map<std::string, std::vector<std::optional<std::string>>> rows(
      const std::string& table = "FILE_TABLE") const;
  std::optional<std::vector<std::optional<std::string>>> row(const std::string& path) const {
    auto all = rows();
    auto it = all.find(path);
    if (it == all.end()) return std::nullopt;
    return it->second;
  }
  std::vector<std::string> batchFiles() const;

 private:
  TestTempDir dir_;
  ManualClock clock_;
  DatabaseMerger merger_;
  DataBaseWrapper reader_;
};

}  // namespace ulmora::testing
