#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ulmora::service {

// The fields of an application/x-www-form-urlencoded body, decoded ("+" is a
// blank, "%XX" a byte). A name may repeat.
class FormFields {
 public:
  static FormFields parse(std::string_view body);

  // The first value of `name`.
  std::optional<std::string> first(const std::string& name) const;
  std::vector<std::string> all(const std::string& name) const;

 private:
  std::multimap<std::string, std::string> fields_;
};

}  // namespace ulmora::service
