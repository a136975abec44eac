#include "platform/LinkSafePath.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

namespace ulmora::linksafe {

std::vector<std::string> components(std::string_view path) {
  std::vector<std::string> parts;
  size_t i = 0;
  while (i <= path.size()) {
    size_t j = path.find('/', i);
    if (j == std::string_view::npos) j = path.size();
    if (j > i) parts.emplace_back(path.substr(i, j - i));
    i = j + 1;
  }
  return parts;
}

std::optional<std::vector<std::string>> plainComponents(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) return std::nullopt;
  std::vector<std::string> parts = components(path);
  if (parts.empty()) return std::nullopt;
  for (const auto& part : parts)
    if (part == "." || part == "..") return std::nullopt;
  return parts;
}

std::optional<Parent> openParent(const std::string& root, const std::vector<std::string>& parts,
                                 const OpenOptions& options) {
  if (parts.empty()) {
    errno = EINVAL;
    return std::nullopt;
  }
  constexpr int kFolderFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  UniqueFd dir(::open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC | (options.followRoot ? 0 : O_NOFOLLOW)));
  if (!dir) return std::nullopt;
  for (size_t i = 0; i + 1 < parts.size(); ++i) {
    const char* name = parts[i].c_str();
    int next = ::openat(dir.get(), name, kFolderFlags);
    if (next < 0 && errno == ENOENT && options.create) {
      if (::mkdirat(dir.get(), name, options.mode) == 0) {
        if (options.made) options.made(dir.get(), parts[i]);
      } else if (errno != EEXIST) {
        return std::nullopt;
      }
      next = ::openat(dir.get(), name, kFolderFlags);
    }
    if (next < 0) return std::nullopt;
    dir.reset(next);
  }
  return Parent{std::move(dir), parts.back()};
}

}  // namespace ulmora::linksafe
