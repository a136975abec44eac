#pragma once

#include <string>
#include <string_view>

namespace ulmora {

// An application/x-www-form-urlencoded body. Every name and value is
// percent-escaped as a whole, so a value holding "&", "=", "+" or "%" (a
// JSON payload, a file name) reaches the service unchanged.
//
// Thread-safety: a value type.
class FormBody {
 public:
  FormBody& add(std::string_view name, std::string_view value);
  const std::string& text() const { return text_; }

 private:
  std::string text_;
};

}  // namespace ulmora
