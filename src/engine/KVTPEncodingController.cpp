#include "engine/KVTPEncodingController.h"

#include <string_view>
#include <utility>

#include "engine/EngineCredentials.h"
#include "engine/EngineLineRecord.h"
#include "engine/QLSYNCParser.h"
#include "engine/UMCommandExcecuter.h"
#include "foundation/QLLocalizedString.h"
#include "platform/Trace.h"

namespace ulmora {

namespace {
constexpr auto kEncodeTimeout = std::chrono::seconds(30);
}

KVTPEncodingController::KVTPEncodingController()
    : executorPath_(QLLocalizedString("ExecuterPathKVT")) {}

KVTPEncodingController::KVTPEncodingController(std::string executorPath)
    : executorPath_(std::move(executorPath)) {}

std::optional<std::string> KVTPEncodingController::getEncodedPassword(const std::string& secret,
                                                                      std::stop_token stop) const {
  if (secret.empty()) return std::nullopt;
  for (int attempt = 1; attempt <= kMaxTries; ++attempt) {
    if (stop.stop_requested()) return std::nullopt;
    if (std::optional<std::string> encoded = encodeOnce(secret, stop)) return encoded;
  }
  traceLine("KVTPEncodingController: the engine did not encode the text in " + std::to_string(kMaxTries) +
            " tries");
  return std::nullopt;
}

std::optional<std::string> KVTPEncodingController::encodeOnce(const std::string& secret,
                                                              std::stop_token stop) const {
  UMCommandExcecuter run;
  run.setStopToken(std::move(stop));
  run.setCommandString(executorPath_);
  run.setCommandArguments({"--encode-string"});
  run.setEnvironment({{EngineCredentials::kPasswordEnvironment, secret}});
  run.setTimeout(kEncodeTimeout);
  std::string err;
  std::optional<std::string> out = run.excecute(&err, nullptr);
  if (!out || run.exitStatus() != 0) return std::nullopt;
  std::string_view rest = *out;
  while (!rest.empty()) {
    size_t nl = rest.find('\n');
    std::string_view line = rest.substr(0, nl);
    rest = nl == std::string_view::npos ? std::string_view() : rest.substr(nl + 1);
    EngineLineRecord record;
    if (QLSYNCParser::ParseLineStr(line, record, QLSYNCParser::kEncode) == QLSYNCParser::kOk &&
        record.kind() == "ENCODED" && !record.text(QLSYNCParser::kEncodedKey).empty()) {
      return record.text(QLSYNCParser::kEncodedKey);
    }
  }
  return std::nullopt;
}

}  // namespace ulmora
