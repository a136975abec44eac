#pragma once

#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "SyncTestSupport.h"
#include "journal/NotificationPoster.h"
#include "platform/PropertyList.h"

namespace ulmora::testing {

class RecordingPoster final : public NotificationPoster {
 public:
  void post(const std::string& name, const PropertyList& userInfo) override {
    posted.emplace_back(name, userInfo);
  }
  std::vector<std::pair<std::string, PropertyList>> posted;
};

inline std::vector<std::string> texts(const PropertyList* list) {
  std::vector<std::string> out;
  if (!list || !list->asArray()) return out;
  for (const auto& v : *list->asArray())
    if (v.asString()) out.push_back(*v.asString());
  return out;
}

}  // namespace ulmora::testing
