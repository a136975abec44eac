#include "sync/push/PushMessageDecision.h"

#include "foundation/StringExtensions.h"

namespace ulmora {
namespace {

int64_t idFor(const PropertyList& message, std::string_view key) {
  const PropertyList* value = message.find(key);
  return value != nullptr ? value->integerValue() : 0;
}

std::string textFor(const PropertyList& message, std::string_view key) {
  const PropertyList* value = message.find(key);
  if (value == nullptr) return {};
  return value->textValue().value_or(std::string());
}

std::string lowerCased(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

struct StatusRow {
  int64_t first;
  int64_t second;
  const char* trace;  // nullptr: none
  const char* status;
};

// First match wins; every row needs an in-box path and no reinitialise.
constexpr StatusRow kStatusRows[] = {
    {pushids::kDelete, pushids::kDeleteOther, nullptr, "Deleting file(s).."},
    {pushids::kUpload, pushids::kUpload, "##syncdown tooltip added", "Performing Sync Down..."},
    {pushids::kRename, pushids::kRenameOther, "Renaming notification got", "Renaming file(s).."},
    {pushids::kFolderMove, pushids::kFolderMoveOther, "Folder Move notification got", "T1008"},
    {pushids::kVersion, pushids::kVersion, "version notification got", "T1016"},
};

}  // namespace

PushMessage PushMessage::fromPropertyList(const PropertyList& message) {
  PushMessage m;
  if (!message.isDict()) return m;
  m.id = idFor(message, "id");
  m.Id = idFor(message, "Id");
  m.ID = idFor(message, "ID");
  m.path = textFor(message, "path");
  m.uid = textFor(message, "UID");
  m.topic = textFor(message, "TOPIC");
  return m;
}

bool PushMessage::isOutOfBox() const {
  return URLDecode(lowerCased(path)).find("out of box") != std::string::npos;
}

PushReaction decidePushMessage(const PushMessage& message, const PushContext& context) {
  PushReaction r;
  if (context.gate == 1 || context.gate == 2) {
    r.ignored = true;
    return r;
  }
  if (message.anyIdIs(pushids::kDummy)) {
    r.dummy = true;
    r.traces.emplace_back("Dummy PNS message Received");
    return r;
  }
  const bool reinit = context.reinitializing;
  const int64_t I = message.id;

  if (I == pushids::kUnlinked && !reinit && !message.path.empty() && context.machineID &&
      !context.machineID->empty() && message.path == *context.machineID) {
    r.unlinkThisComputer = true;
    r.traces.emplace_back("Machine unlinked from web so sending message");
  }

  std::string status;
  if (I == pushids::kCreateFolderOld || message.anyIdIs(pushids::kCreateFolder)) {
    status = reinit ? "" : "Creating Folder..";
  }
  if (!message.isOutOfBox() && !reinit) {
    for (const StatusRow& row : kStatusRows) {
      if (message.anyIdIs(row.first) || message.anyIdIs(row.second)) {
        if (row.trace != nullptr) r.traces.emplace_back(row.trace);
        status = row.status;
        break;
      }
    }
  }

  bool listing = true;
  switch (I) {
    case pushids::kQuotaUpgraded:
      if (!reinit) {
        r.accountEvent = PushAccountEvent::kQuotaUpgraded;
        r.traces.emplace_back("Quota upgrade pns got so calling calculate quota");
      }
      break;
    case pushids::kPasswordChanged:
      r.accountEvent = PushAccountEvent::kPasswordChanged;
      listing = false;
      break;
    case pushids::kAccountCancelled:
      // Like any message, it resets the timers and asks for a listing; with
      // the login details gone, the cycle's gate keeps that listing from
      // running.
      r.accountEvent = PushAccountEvent::kAccountCancelled;
      break;
    default:
      break;
  }

  if (message.uid.empty() && message.topic.empty()) return r;

  if (listing && !reinit) {
    r.queueListing = true;
    r.statusText = std::move(status);
  }
  r.duringPause = context.gate == 3;
  return r;
}

}  // namespace ulmora
