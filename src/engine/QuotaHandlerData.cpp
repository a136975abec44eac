#include "engine/QuotaHandlerData.h"

namespace ulmora {

void QuotaHandlerData::Data(std::string_view value, std::string_view key) {
  if (key == kUsedKey) {
    used_ = std::string(value);
  } else if (key == kTotalKey) {
    total_ = std::string(value);
  } else if (key == kFilesKey) {
    files_ = std::string(value);
  }
}

void QuotaHandlerData::ClearData() {
  used_.reset();
  total_.reset();
  files_.reset();
}

}  // namespace ulmora
