#include "FormFields.h"

#include "foundation/StringExtensions.h"

namespace ulmora::service {

FormFields FormFields::parse(std::string_view body) {
  FormFields form;
  while (!body.empty()) {
    const auto amp = body.find('&');
    const std::string_view pair = body.substr(0, amp);
    body = amp == std::string_view::npos ? std::string_view() : body.substr(amp + 1);
    if (pair.empty()) continue;
    const auto eq = pair.find('=');
    const std::string name = URLDecode(pair.substr(0, eq));
    const std::string value =
        eq == std::string_view::npos ? std::string() : URLDecode(pair.substr(eq + 1));
    form.fields_.emplace(name, value);
  }
  return form;
}

std::optional<std::string> FormFields::first(const std::string& name) const {
  auto it = fields_.find(name);
  if (it == fields_.end()) return std::nullopt;
  return it->second;
}

std::vector<std::string> FormFields::all(const std::string& name) const {
  std::vector<std::string> values;
  auto [first, last] = fields_.equal_range(name);
  for (auto it = first; it != last; ++it) values.push_back(it->second);
  return values;
}

}  // namespace ulmora::service
