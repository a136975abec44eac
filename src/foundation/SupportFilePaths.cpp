#include "foundation/SupportFilePaths.h"

#include "foundation/QLLocalizedString.h"
#include "foundation/QLUtility.h"

namespace ulmora {

namespace {

constexpr int kLastIndex = 155;
// Reserved by the original numbering; never a file of ours.
constexpr int kReservedIndex = 48;

}  // namespace

void SupportFilePaths::setConsoleUserName(std::string name) { consoleUser_ = std::move(name); }

void SupportFilePaths::setSyncUserName(std::string name) { syncUser_ = std::move(name); }

std::string SupportFilePaths::pathForApplicationFile(int index) const {
  if (index < 0 || index > kLastIndex || index == kReservedIndex) return std::string();
  const std::string key = "AppFile" + std::to_string(index);
  std::string pathTemplate = QLLocalizedString(key);
  if (pathTemplate.empty() || pathTemplate == key) return std::string();
  return QLUtility::fillPathTemplate(pathTemplate, consoleUser_, syncUser_)
      .value_or(std::string());
}

}  // namespace ulmora
