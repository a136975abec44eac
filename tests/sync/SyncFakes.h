#pragma once

#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "journal/CompanionMessenger.h"
#include "journal/NotificationPoster.h"
#include "platform/PropertyList.h"

namespace ulmora::testing {

// Records what a companion channel was sent: (payload text, type).
class RecordingMessenger final : public CompanionMessenger {
 public:
  void sendIPCMessage(const PropertyList& payload, int type, bool) override {
    std::lock_guard<std::mutex> lock(mu);
    sent.emplace_back(payload.asString() ? *payload.asString() : std::string("<non-text>"), type);
  }
  std::vector<std::pair<std::string, int>> messages() const {
    std::lock_guard<std::mutex> lock(mu);
    return sent;
  }
  std::vector<int> types() const {
    std::vector<int> out;
    for (const auto& m : messages()) out.push_back(m.second);
    return out;
  }
  mutable std::mutex mu;
  std::vector<std::pair<std::string, int>> sent;
};

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
