#pragma once

#include <string>

#include "platform/PropertyList.h"

namespace ulmora {

// Reads the attribute-style XML replies of the account web services
// (<response message="SUCCESS" cmdUtilityServerIP="..."/>): one dictionary
// of attribute name to value per element that has attributes, in document
// order. Elements without attributes add nothing; a repeated attribute
// name keeps its first value.
//
// The parser never fetches external entities or documents.
//
// Thread-safety: one thread at a time.
class QLXMLParserController {
 public:
  explicit QLXMLParserController(std::string data);

  // Parses the data given at construction. False, with a trace line and an
  // empty iTemArray(), when the data is not well-formed XML.
  bool parseXML();
  // PropertyList dictionaries of strings; empty before parseXML().
  const PropertyList::Array& iTemArray() const { return items_; }

  // The attributes of every element merged into one dictionary, the first
  // value of a name winning: a reply as one record.
  PropertyList mergedItems() const;

 private:
  std::string data_;
  PropertyList::Array items_;
};

}  // namespace ulmora
