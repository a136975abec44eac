#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "engine/DataHandler.h"

namespace ulmora {

// The engine's answer to a quota query (record type 5 of QLSYNCParser): used
// and total space as the engine printed them (bytes), and the file count.
// A value the line did not carry stays nullopt.
class QuotaHandlerData final : public DataHandler {
 public:
  static constexpr std::string_view kUsedKey = "used";
  static constexpr std::string_view kTotalKey = "total";
  static constexpr std::string_view kFilesKey = "files";

  void Data(std::string_view value, std::string_view key) override;
  void ClearData() override;

  const std::optional<std::string>& usedQuota() const { return used_; }
  const std::optional<std::string>& totalQuota() const { return total_; }
  const std::optional<std::string>& totalFilesCount() const { return files_; }

 private:
  std::optional<std::string> used_;
  std::optional<std::string> total_;
  std::optional<std::string> files_;
};

}  // namespace ulmora
