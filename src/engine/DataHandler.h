#pragma once

#include <string_view>

namespace ulmora {

// A record that QLSYNCParser fills from one engine output line, one field at a
// time. ClearData() is called before a line is parsed into the record, so a
// record never mixes two lines.
//
// Thread-safety: a record is filled by one thread at a time.
class DataHandler {
 public:
  virtual ~DataHandler() = default;
  virtual void Data(std::string_view value, std::string_view key) = 0;
  virtual void ClearData() = 0;
};

}  // namespace ulmora
