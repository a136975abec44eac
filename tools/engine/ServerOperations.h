#pragma once

#include <vector>

#include "CommandLine.h"
#include "SetFile.h"
#include "TransferRun.h"

namespace ulmora::kvt {

// The operations that work on the server side only (docs/engine.md sections
// 2 and 6). Each prints its lines and its SUMMARY and returns the exit status.
class ServerOperations {
 public:
  ServerOperations(RunContext& context, const CommandLine& cmd);

  int listChanges();
  int rename(const std::vector<SetEntry>& pairs);
  int remove(const std::vector<SetEntry>& entries);
  int makeFolder();
  int search();
  int quota(bool recount);
  int listVersions();
  // Makes the version current; a local folder on the command line also
  // receives it, like a download of that one path.
  int restoreVersion(LocalTree* local);

 private:
  int summary(const char* op, int status, std::initializer_list<int64_t> counts);
  void refused(const char* what, const std::string& shown, int error);

  RunContext& ctx_;
  const CommandLine& cmd_;
};

// "YYYY-MM-DD HH:MM:SS" in the engine's local time zone.
std::string formatModTime(int64_t mtimeNs);

}  // namespace ulmora::kvt
