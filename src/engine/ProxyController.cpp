#include "engine/ProxyController.h"

#include <optional>

#include "foundation/QLBackupProgressLogger.h"
#include "platform/PropertyList.h"
#include "platform/Trace.h"

namespace ulmora {

namespace {

std::string textFor(const PropertyList& dict, const char* key) {
  const PropertyList* v = dict.find(key);
  if (v == nullptr) return {};
  return v->textValue().value_or(std::string());
}

// Characters that would let a setting smuggle a second option or a second
// address into the engine's argument.
bool isSafeProxyField(const std::string& s) {
  for (char c : s) {
    if (c == '\n' || c == '\r' || c == '\0' || c == ' ' || c == '\t' || c == '@') return false;
  }
  return true;
}

}  // namespace

ProxyController::ProxyController(const std::string& proxyDetailsFilePath) {
  if (proxyDetailsFilePath.empty()) return;
  std::optional<PropertyList> plist = PropertyList::readFile(proxyDetailsFilePath);
  if (!plist || !plist->isDict()) return;
  const PropertyList* enabled = plist->find(kEnabledKey);
  if (enabled == nullptr || !enabled->boolValue()) return;
  std::string server = textFor(*plist, kServerKey);
  std::string port = textFor(*plist, kPortKey);
  std::string user = textFor(*plist, kUserKey);
  if (!isSafeProxyField(server) || !isSafeProxyField(port) || !isSafeProxyField(user)) {
    traceLine("ProxyController: proxy settings hold unusable characters; no proxy used");
    return;
  }
  server_ = std::move(server);
  port_ = std::move(port);
  user_ = std::move(user);
  password_ = textFor(*plist, kPasswordKey);
  registerSecretValue(password_);
}

std::string ProxyController::proxyArgument() const {
  std::string arg = "--proxy=";
  if (server_.empty()) return arg;
  if (!user_.empty()) arg += user_ + "@";
  arg += server_;
  if (!port_.empty()) arg += ":" + port_;
  return arg;
}

}  // namespace ulmora
