#include "database/PendingBatchFormat.h"

#include <algorithm>

#include "database/FileStateSchema.h"
#include "platform/FileUtil.h"

namespace ulmora::pendingbatch {

std::string_view operationText(Operation op) {
  switch (op) {
    case Operation::kInsert:
      return "INSERT";
    case Operation::kUpdate:
      return "UPDATE";
    case Operation::kRename:
      return "RENAME";
    case Operation::kDelete:
      return "DELETE";
  }
  return "";
}

std::optional<Operation> operationFromText(std::string_view text) {
  for (Operation op : {Operation::kInsert, Operation::kUpdate, Operation::kRename, Operation::kDelete})
    if (operationText(op) == text) return op;
  return std::nullopt;
}

std::string_view targetText(Target target) {
  return target == Target::kFileTable ? filestate::kFileTable : filestate::kOutOfBoxTable;
}

std::optional<Target> targetFromText(std::string_view text) {
  if (text == filestate::kFileTable) return Target::kFileTable;
  if (text == filestate::kOutOfBoxTable) return Target::kOutOfBoxTable;
  return std::nullopt;
}

std::optional<std::string> folderFor(std::string_view dbFolder, std::string_view user) {
  if (!filestate::isSafeName(user)) return std::nullopt;
  std::string name(user);
  name += kFolderSuffix;
  return fileutil::joinPath(dbFolder, name);
}

std::vector<std::string> publishedBatches(const std::string& folder) {
  std::vector<std::string> names;
  // Polled every few seconds: a folder no batch was written to yet is normal.
  if (!fileutil::isDirectory(folder)) return names;
  auto entries = fileutil::listDirectory(folder);
  if (!entries) return names;
  for (std::string& name : *entries) {
    if (name.size() > kPublishedExtension.size() && name.ends_with(kPublishedExtension))
      names.push_back(std::move(name));
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace ulmora::pendingbatch
