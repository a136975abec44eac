#include "service/ServerRecord.h"

namespace ulmora {

std::string_view ServerRecord::operationCode() const {
  if (isInTrash()) return kCodeDeleted;
  if (!fnameOld.empty()) return kCodeRenamed;
  return kCodeChanged;
}

PropertyList ServerRecord::toPropertyList() const {
  PropertyList::Dict d;
  d[std::string(kModTimeKey)] = modTime;
  d[std::string(kSizeKey)] = size;
  d[std::string(kFileVerKey)] = fileVer;
  d[std::string(kInTrashKey)] = inTrash;
  d[std::string(kIndexKey)] = index;
  d[std::string(kFnameKey)] = fname;
  d[std::string(kFnameOldKey)] = fnameOld;
  d[std::string(kRefIdKey)] = refId;
  d[std::string(kRcIdKey)] = rcId;
  return PropertyList(std::move(d));
}

std::optional<ServerRecord> ServerRecord::fromPropertyList(const PropertyList& value) {
  if (!value.isDict()) return std::nullopt;
  auto text = [&](std::string_view key) { return value.stringFor(key).value_or(std::string()); };
  ServerRecord r;
  r.fname = text(kFnameKey);
  if (r.fname.empty()) return std::nullopt;
  r.modTime = text(kModTimeKey);
  r.size = text(kSizeKey);
  r.fileVer = text(kFileVerKey);
  r.inTrash = text(kInTrashKey);
  r.index = text(kIndexKey);
  r.fnameOld = text(kFnameOldKey);
  r.refId = text(kRefIdKey);
  r.rcId = text(kRcIdKey);
  return r;
}

}  // namespace ulmora
