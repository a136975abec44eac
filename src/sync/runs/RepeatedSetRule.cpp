#include "sync/runs/RepeatedSetRule.h"

#include <set>

namespace ulmora {

RepeatedSetDecision decideRepeatedSet(const std::vector<std::string>& previousSet,
                                      const std::vector<std::string>& newSet, int32_t count) {
  RepeatedSetDecision d;
  d.count = count;
  std::set<std::string> oldSet(previousSet.begin(), previousSet.end());
  std::set<std::string> freshSet(newSet.begin(), newSet.end());
  if (oldSet.empty() || freshSet.empty()) {
    d.traces.push_back("oldbackupsetCont:" + std::to_string(oldSet.size()) +
                       " newbackupsetCount:" + std::to_string(freshSet.size()));
    return d;
  }
  if (oldSet == freshSet) {
    d.traces.push_back("olde backup set and new backup set equeal means repeated set");
    if (static_cast<uint32_t>(count) > kMaxRepeatedSets) {
      d.dispatch = false;
      d.traces.push_back("sameBackupSetRepeatedCount:" + std::to_string(count));
      d.traces.push_back("Stoping backup");
      return d;
    }
    d.count = count + 1;
    d.repeated = true;
    return d;
  }
  d.traces.push_back("olde backup set and new backup set are diferent");
  d.count = 0;
  d.traces.push_back("sameBackupSetRepeatedCount:0");
  return d;
}

}  // namespace ulmora
