#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/FileUtil.h"

namespace ulmora {

// A property-list value: the free-form dictionaries and arrays that go to disk
// or over IPC. Reads XML or binary property lists, writes XML (files) or
// binary (IPC frames). Backed by libplist; no libplist type leaks out.
//
// Integers are signed 64-bit here; libplist's unsigned integers are converted
// on read (values above INT64_MAX are clamped). Dates are seconds since
// 1970-01-01 UTC. Dictionary keys are kept sorted.
//
// Thread-safety: a value type; distinct objects may be used from distinct
// threads, one object needs external locking.
class PropertyList {
 public:
  enum class Type { Null, Boolean, Integer, Real, String, Data, Date, Array, Dict };
  using Array = std::vector<PropertyList>;
  using Dict = std::map<std::string, PropertyList>;
  struct Date {
    double secondsSince1970 = 0;
    bool operator==(const Date&) const = default;
  };
  struct Data {
    std::string bytes;
    bool operator==(const Data&) const = default;
  };

  PropertyList() = default;  // Null
  PropertyList(bool b) : value_(b) {}
  PropertyList(int v) : value_(static_cast<int64_t>(v)) {}
  PropertyList(int64_t v) : value_(v) {}
  PropertyList(double v) : value_(v) {}
  PropertyList(std::string s) : value_(std::move(s)) {}
  PropertyList(const char* s) : value_(std::string(s)) {}
  PropertyList(Data d) : value_(std::move(d)) {}
  PropertyList(Date d) : value_(d) {}
  PropertyList(Array a) : value_(std::move(a)) {}
  PropertyList(Dict d) : value_(std::move(d)) {}

  Type type() const { return static_cast<Type>(value_.index()); }
  bool isNull() const { return type() == Type::Null; }
  bool isString() const { return type() == Type::String; }
  bool isArray() const { return type() == Type::Array; }
  bool isDict() const { return type() == Type::Dict; }

  // Typed access: nullptr when the value is of another type.
  const std::string* asString() const { return std::get_if<std::string>(&value_); }
  const Array* asArray() const { return std::get_if<Array>(&value_); }
  Array* asArray() { return std::get_if<Array>(&value_); }
  const Dict* asDict() const { return std::get_if<Dict>(&value_); }
  Dict* asDict() { return std::get_if<Dict>(&value_); }
  const int64_t* asInteger() const { return std::get_if<int64_t>(&value_); }
  const double* asReal() const { return std::get_if<double>(&value_); }
  const bool* asBoolean() const { return std::get_if<bool>(&value_); }
  const Data* asData() const { return std::get_if<Data>(&value_); }
  const Date* asDate() const { return std::get_if<Date>(&value_); }

  // Dictionary member, or nullptr when this is not a dictionary or lacks `key`.
  const PropertyList* find(std::string_view key) const;
  // Makes this a dictionary when it is Null; sets `key`.
  void set(const std::string& key, PropertyList value);
  // Appends to an array (a Null value becomes an empty array first).
  void append(PropertyList value);

  // The text of a string member; nullopt when absent or not a string.
  std::optional<std::string> stringFor(std::string_view key) const;
  // A scalar as text: strings as they are, integers and reals in decimal,
  // booleans as "1"/"0"; nullopt for other types.
  std::optional<std::string> textValue() const;
  // Foundation's boolValue: true for a Boolean true, a non-zero number, or a
  // string starting (after blanks and an optional sign/zeros) with "Y", "y",
  // "T", "t" or a digit 1-9. Everything else is false.
  bool boolValue() const;
  // Foundation's longLongValue of a string or number; 0 when not convertible.
  int64_t integerValue() const;

  // Parsing: XML or binary, told apart by content. nullopt when the bytes are
  // not a property list.
  static std::optional<PropertyList> parse(std::string_view bytes);
  // Reads and parses a file; nullopt when missing, unreadable or unparsable
  // (a trace line says which, except for a missing file).
  static std::optional<PropertyList> readFile(const std::string& path);

  std::string toXml() const;
  std::string toBinary() const;
  // Writes XML atomically (temporary file, fsync unless kUnsynced, rename
  // over `path`) with mode 0600. False on failure, with a trace line.
  bool writeFile(const std::string& path,
                 fileutil::Durability durability = fileutil::Durability::kSynced) const;

  bool operator==(const PropertyList& other) const = default;

 private:
  std::variant<std::monostate, bool, int64_t, double, std::string, Data, Date, Array, Dict> value_;
};

}  // namespace ulmora
