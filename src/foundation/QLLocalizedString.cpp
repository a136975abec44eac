#include "foundation/QLLocalizedString.h"

#include <unistd.h>

#include <cstdlib>
#include <map>
#include <mutex>
#include <optional>

#include "platform/PropertyList.h"
#include "platform/Trace.h"

namespace ulmora {

namespace {

constexpr char kTableFileName[] = "SyncLocalizable.plist";
constexpr char kTableEnvironment[] = "ULMORA_STRING_TABLE";
// Lets a template name something installed beside the program (the
// transfer engine) without the table knowing where that is.
constexpr std::string_view kExeDirPlaceholder = "%EXEDIR%";

using Table = std::map<std::string, std::string, std::less<>>;

std::string executableFolder() {
  std::string buffer(4096, '\0');
  ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
  if (n <= 0 || static_cast<size_t>(n) >= buffer.size()) return ".";
  buffer.resize(static_cast<size_t>(n));
  size_t slash = buffer.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return buffer.substr(0, slash);
}

std::string defaultTablePath() {
  const char* env = std::getenv(kTableEnvironment);
  if (env && *env) return env;
  return executableFolder() + "/" + kTableFileName;
}

std::string replaceAll(std::string text, std::string_view from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

// nullopt when the file is missing, unreadable or not a dictionary.
std::optional<Table> readTable(const std::string& path) {
  std::optional<PropertyList> plist = PropertyList::readFile(path);
  if (!plist || !plist->asDict()) return std::nullopt;
  const std::string exeDir = executableFolder();
  Table table;
  for (const auto& [key, value] : *plist->asDict()) {
    // Only texts belong in the table; anything else would be a stray edit.
    if (const std::string* text = value.asString())
      table.emplace(key, replaceAll(*text, kExeDirPlaceholder, exeDir));
  }
  return table;
}

// The file is read outside the lock, because reading may write a trace line
// and the trace sink may itself look a text up.
class StringTable {
 public:
  static StringTable& instance() {
    static StringTable table;
    return table;
  }

  std::string lookup(std::string_view key) {
    if (std::optional<std::string> text = find(key)) return *text;
    // A look-up made by the trace line of the load below.
    if (loadingOnThisThread_) return std::string(key);
    install(defaultTablePath(), /*onlyIfUnloaded=*/true);
    return find(key).value_or(std::string(key));
  }

  void replace(const std::string& path) { install(path, /*onlyIfUnloaded=*/false); }

 private:
  // nullopt while no table is installed yet; the key itself when absent.
  std::optional<std::string> find(std::string_view key) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!table_) return std::nullopt;
    auto it = table_->find(key);
    return it == table_->end() ? std::string(key) : it->second;
  }

  void install(const std::string& path, bool onlyIfUnloaded) {
    loadingOnThisThread_ = true;
    std::optional<Table> table = readTable(path);
    loadingOnThisThread_ = false;
    bool failed = !table;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      // Another thread may have loaded it meanwhile; the first one wins.
      if (onlyIfUnloaded && table_) return;
      table_ = failed ? Table() : std::move(*table);
    }
    if (failed) {
      traceLine("QLLocalizedString: string table " + path +
                " could not be loaded; keys stand for their texts");
    }
  }

  std::mutex mutex_;
  std::optional<Table> table_;
  static thread_local bool loadingOnThisThread_;
};

thread_local bool StringTable::loadingOnThisThread_ = false;

}  // namespace

std::string QLLocalizedString(std::string_view key) {
  if (key.empty()) return std::string();
  return StringTable::instance().lookup(key);
}

void QLLocalizedStringLoadTable(const std::string& path) { StringTable::instance().replace(path); }

}  // namespace ulmora
