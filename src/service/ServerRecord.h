#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/PropertyList.h"

namespace ulmora {

// One entry of a server change listing, as the listing hands it to its
// delegate. All fields are the engine's texts ("in_trash" "0"/"1"/"2",
// numbers in decimal, paths relative to the sync root with a leading "/",
// folders ending "/"). "fnameOld" is empty unless the entry was renamed or
// moved after the listing's start index.
//
// Thread-safety: a value type.
struct ServerRecord {
  // The dictionary keys, used wherever a record is stored or sent on.
  static constexpr std::string_view kModTimeKey = "mod_time";
  static constexpr std::string_view kSizeKey = "size";
  static constexpr std::string_view kFileVerKey = "file_ver";
  static constexpr std::string_view kInTrashKey = "in_trash";
  static constexpr std::string_view kIndexKey = "index";
  static constexpr std::string_view kFnameKey = "fname";
  static constexpr std::string_view kFnameOldKey = "fnameOld";
  static constexpr std::string_view kRefIdKey = "ref_id";
  static constexpr std::string_view kRcIdKey = "rc_id";

  // Operation codes passed with a record.
  static constexpr std::string_view kCodeDeleted = "2";
  static constexpr std::string_view kCodeRenamed = "3";
  static constexpr std::string_view kCodeChanged = "4";

  std::string modTime;
  std::string size;
  std::string fileVer;
  std::string inTrash;
  std::string index;
  std::string fname;
  std::string fnameOld;
  std::string refId;
  std::string rcId;

  bool isFolder() const { return !fname.empty() && fname.back() == '/'; }
  // The server keeps trashed entries with in_trash 1 or 2.
  bool isInTrash() const { return inTrash == "1" || inTrash == "2"; }
  // "2" for an entry in trash, "3" for a live entry that has a former path,
  // "4" for any other live entry.
  std::string_view operationCode() const;

  // The nine keys, every value a text.
  PropertyList toPropertyList() const;
  // nullopt unless `value` is a dictionary with a non-empty "fname" text;
  // missing keys read as "".
  static std::optional<ServerRecord> fromPropertyList(const PropertyList& value);

  bool operator==(const ServerRecord&) const = default;
};

}  // namespace ulmora
