#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/DataHandler.h"
#include "platform/PropertyList.h"

namespace ulmora {

// One engine output line as QLSYNCParser read it: the line's kind ("PROGRESS",
// "LIST", "FOUND", "usedquota", ...) and its named fields, texts as the engine
// printed them with path escapes already undone. Serves every line kind, so
// callers that want a dictionary (search entries, listing records) take
// toDictionary().
class EngineLineRecord final : public DataHandler {
 public:
  void Data(std::string_view value, std::string_view key) override;
  void ClearData() override;

  const std::string& kind() const { return kind_; }
  bool has(std::string_view key) const { return find(key) != nullptr; }
  // The field's text, "" when absent.
  const std::string& text(std::string_view key) const;
  // The field as a number; 0 when absent or not a number.
  int64_t number(std::string_view key) const;
  // Every field but the kind, as a dictionary of texts.
  PropertyList toDictionary() const;

 private:
  const std::string* find(std::string_view key) const;

  std::string kind_;
  std::vector<std::pair<std::string, std::string>> fields_;
};

}  // namespace ulmora
