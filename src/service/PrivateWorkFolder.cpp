#include "service/PrivateWorkFolder.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <vector>

#include "platform/FileUtil.h"
#include "platform/Trace.h"

namespace ulmora {

std::unique_ptr<PrivateWorkFolder> PrivateWorkFolder::make(const std::string& prefix) {
  std::string base;
  for (const char* name : {"XDG_RUNTIME_DIR", "TMPDIR"}) {
    const char* value = getenv(name);
    struct stat st {};
    if (value != nullptr && value[0] == '/' && stat(value, &st) == 0 && S_ISDIR(st.st_mode)) {
      base = value;
      break;
    }
  }
  if (base.empty()) base = "/tmp";
  std::string pattern = fileutil::joinPath(base, prefix + ".XXXXXX");
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  // mkdtemp makes the folder 0700.
  if (mkdtemp(buffer.data()) == nullptr) {
    traceLine("PrivateWorkFolder: cannot make a folder in " + base + ": " + strerror(errno));
    return nullptr;
  }
  return std::unique_ptr<PrivateWorkFolder>(new PrivateWorkFolder(buffer.data()));
}

PrivateWorkFolder::~PrivateWorkFolder() { fileutil::removeAll(path_); }

}  // namespace ulmora
