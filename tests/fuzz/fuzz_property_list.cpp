// Feeds arbitrary bytes to the property-list reader (XML and binary, as
// files and frames give it): it must refuse or read them without harm, and
// whatever it reads must write out and read back again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/PropertyList.h"
#include "platform/Trace.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  ulmora::setTraceSink([](std::string_view) {});
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  std::optional<ulmora::PropertyList> value = ulmora::PropertyList::parse(bytes);
  if (!value) return 0;
  (void)value->textValue();
  (void)value->boolValue();
  const std::string binary = value->toBinary();
  if (!binary.empty() && !ulmora::PropertyList::parse(binary)) std::abort();
  return 0;
}
