#include "service/QLXMLParserController.h"

#include <pugixml.hpp>

#include "platform/Trace.h"

namespace ulmora {

QLXMLParserController::QLXMLParserController(std::string data) : data_(std::move(data)) {}

bool QLXMLParserController::parseXML() {
  items_.clear();
  pugi::xml_document document;
  const pugi::xml_parse_result result =
      document.load_buffer(data_.data(), data_.size(), pugi::parse_default, pugi::encoding_auto);
  if (!result) {
    traceLine(std::string("QLXMLParserController: not XML (") + result.description() +
              " at offset " + std::to_string(result.offset) + ")");
    return false;
  }
  if (!document.document_element()) {
    traceLine("QLXMLParserController: no root element");
    return false;
  }
  // Walked without recursion: a deeply nested reply cannot exhaust the stack.
  pugi::xml_node node = document.first_child();
  while (node) {
    if (node.type() == pugi::node_element && node.first_attribute()) {
      PropertyList::Dict attributes;
      for (const pugi::xml_attribute& a : node.attributes()) attributes.try_emplace(a.name(), a.value());
      items_.emplace_back(std::move(attributes));
    }
    if (node.first_child()) {
      node = node.first_child();
      continue;
    }
    while (node && !node.next_sibling()) node = node.parent();
    if (node) node = node.next_sibling();
  }
  return true;
}

PropertyList QLXMLParserController::mergedItems() const {
  PropertyList::Dict merged;
  for (const PropertyList& item : items_) {
    if (const PropertyList::Dict* dict = item.asDict()) {
      for (const auto& [key, value] : *dict) merged.try_emplace(key, value);
    }
  }
  return PropertyList(std::move(merged));
}

}  // namespace ulmora
