#include "service/HttpsSettings.h"

#include "foundation/QLUtility.h"
#include "platform/FileUtil.h"

namespace ulmora {

HttpsSettings HttpsSettings::forConsoleUser(const std::string& consoleUser) {
  HttpsSettings settings;
  std::string path = QLUtility::pathForTemplateKey(kCACertificateKey, consoleUser);
  if (!path.empty() && fileutil::exists(path)) settings.caFile = std::move(path);
  return settings;
}

}  // namespace ulmora
