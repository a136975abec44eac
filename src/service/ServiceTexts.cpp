#include "service/ServiceTexts.h"

namespace ulmora::servicetexts {

bool hasThumbnailSuffix(std::string_view path) {
  for (std::string_view suffix : kThumbnailSuffixes) {
    if (path.size() >= suffix.size() && path.substr(path.size() - suffix.size()) == suffix) return true;
  }
  return false;
}

bool isMaintenanceError(std::string_view error) {
  return error.find("account is under maintenance") != std::string_view::npos ||
         error.find("auth failed on module quellar") != std::string_view::npos;
}

bool isBlockedError(std::string_view error) {
  return error.find("account has been blocked") != std::string_view::npos;
}

std::string accountMessageFor(std::string_view error) {
  if (isMaintenanceError(error)) return std::string(kMaintenanceMessage);
  if (isBlockedError(error)) return std::string(kBlockedMessage);
  return {};
}

}  // namespace ulmora::servicetexts
