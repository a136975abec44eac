#include "engine/EngineLineRecord.h"

#include <charconv>

#include "engine/QLSYNCParser.h"

namespace ulmora {

void EngineLineRecord::Data(std::string_view value, std::string_view key) {
  if (key == QLSYNCParser::kKindKey) {
    kind_ = std::string(value);
    return;
  }
  for (auto& [k, v] : fields_) {
    if (k == key) {
      v = std::string(value);
      return;
    }
  }
  fields_.emplace_back(std::string(key), std::string(value));
}

void EngineLineRecord::ClearData() {
  kind_.clear();
  fields_.clear();
}

const std::string* EngineLineRecord::find(std::string_view key) const {
  for (const auto& [k, v] : fields_) {
    if (k == key) return &v;
  }
  return nullptr;
}

const std::string& EngineLineRecord::text(std::string_view key) const {
  static const std::string kEmpty;
  const std::string* v = find(key);
  return v != nullptr ? *v : kEmpty;
}

int64_t EngineLineRecord::number(std::string_view key) const {
  const std::string* v = find(key);
  if (v == nullptr) return 0;
  int64_t n = 0;
  auto [end, ec] = std::from_chars(v->data(), v->data() + v->size(), n);
  if (ec != std::errc() || end != v->data() + v->size()) return 0;
  return n;
}

PropertyList EngineLineRecord::toDictionary() const {
  PropertyList d{PropertyList::Dict{}};
  for (const auto& [k, v] : fields_) d.set(k, v);
  return d;
}

}  // namespace ulmora
