#include "service/FormBody.h"

#include "foundation/StringExtensions.h"

namespace ulmora {

FormBody& FormBody::add(std::string_view name, std::string_view value) {
  if (!text_.empty()) text_ += '&';
  text_ += stringByAddingRFC3875PercentEscapes(name);
  text_ += '=';
  text_ += stringByAddingRFC3875PercentEscapes(value);
  return *this;
}

}  // namespace ulmora
