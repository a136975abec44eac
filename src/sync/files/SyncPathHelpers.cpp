#include "sync/files/SyncPathHelpers.h"

#include <algorithm>
#include <cctype>

#include "platform/FileUtil.h"
#include "platform/Trace.h"

namespace ulmora::syncpaths {
using namespace fileutil;

namespace {

bool hasParentComponent(std::string_view path) {
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    if (path.substr(start, end - start) == "..") return true;
    start = end + 1;
  }
  return false;
}

}  // namespace

std::optional<std::string> fullPath(const SyncRootPath& root, std::string_view path) {
  if (!root.known() || path.empty()) return std::nullopt;
  if (path.find('\0') != std::string_view::npos || hasParentComponent(path)) return std::nullopt;
  if (root.isFullPath(path)) return std::string(path);
  if (path == "/") return root.root();
  return root.full(path);
}

std::string relativePath(const SyncRootPath& root, std::string_view path) {
  if (!root.isFullPath(path)) return std::string(path);
  if (root.isRoot(path)) return "/";
  return root.relative(path);
}

const std::vector<std::string>& imageFileExtensions() {
  static const std::vector<std::string> kExtensions = {"tif", "tiff", "bmp", "dib", "rle",
                                                       "gif", "jpg",  "jpeg", "jpe", "jfif",
                                                       "png", "jp2",  "psd", "tga"};
  return kExtensions;
}

bool isSupportedFileType(std::string_view path) {
  std::string name = lastComponent(path);
  size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0) return false;
  std::string ext = name.substr(dot + 1);
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  const auto& known = imageFileExtensions();
  return std::find(known.begin(), known.end(), ext) != known.end();
}

bool isUnderAny(std::string_view relativePath, const std::vector<std::string>& goneEntries) {
  for (std::string_view entry : goneEntries) {
    while (entry.size() > 1 && entry.back() == '/') entry.remove_suffix(1);
    if (entry.empty()) continue;
    if (relativePath.substr(0, entry.size()) != entry) continue;
    if (relativePath.size() == entry.size() || relativePath[entry.size()] == '/' || entry == "/")
      return true;
  }
  return false;
}

bool WriteFilesFromArray(const std::vector<std::string>& entries, const std::string& path,
                         Clock* pacing) {
  std::string text;
  bool any = false;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const std::string& entry = entries[i];
    if (entry.find('\n') != std::string::npos) {
      traceLine("list file " + path + ": an entry holding a line break was left out");
    } else if (!entry.empty()) {
      if (any) text.push_back('\n');
      text += entry;
      any = true;
    }
    if (pacing != nullptr && i % 100 == 0) pacing->sleepFor(kListPause);
  }
  if (!any) return false;
  return writeFileAtomically(path, text);
}

}  // namespace ulmora::syncpaths
