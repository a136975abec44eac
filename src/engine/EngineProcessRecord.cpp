#include "engine/EngineProcessRecord.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>

#include "platform/FileUtil.h"
#include "platform/Trace.h"

namespace ulmora {

std::string EngineProcessRecord::pathFor(const std::string& workFolder, int slot) {
  return fileutil::joinPath(workFolder, "engine" + std::to_string(slot) + ".pid");
}

unsigned long long EngineProcessRecord::startTime(pid_t pid) {
  const std::optional<std::string> stat = fileutil::readFile("/proc/" + std::to_string(pid) + "/stat");
  if (!stat) return 0;
  // The command name may hold blanks and parentheses: count fields after the last ')'.
  const size_t close = stat->rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream rest(stat->substr(close + 1));
  std::string field;
  for (int n = 3; n <= 22; ++n) {
    if (!(rest >> field)) return 0;
  }
  return std::strtoull(field.c_str(), nullptr, 10);
}

bool EngineProcessRecord::write(const std::string& path, pid_t pid) {
  if (pid <= 0) return false;
  return fileutil::writeFileAtomically(path,
                                       std::to_string(pid) + " " + std::to_string(startTime(pid)));
}

void EngineProcessRecord::remove(const std::string& path) { fileutil::removeAll(path); }

int EngineProcessRecord::stopLeftovers(const std::string& workFolder) {
  int stopped = 0;
  if (!fileutil::isDirectory(workFolder)) return 0;
  for (const std::string& name :
       fileutil::listDirectory(workFolder).value_or(std::vector<std::string>{})) {
    if (name.rfind("engine", 0) != 0 || name.size() < 5 || name.substr(name.size() - 4) != ".pid") {
      continue;
    }
    const std::string path = fileutil::joinPath(workFolder, name);
    long long pid = 0;
    unsigned long long started = 0;
    const std::optional<std::string> text = fileutil::readFile(path);
    if (text && std::sscanf(text->c_str(), "%lld %llu", &pid, &started) == 2 && pid > 1 &&
        started != 0 && startTime(static_cast<pid_t>(pid)) == started) {
      struct stat st {};
      const std::string proc = "/proc/" + std::to_string(pid);
      if (stat(proc.c_str(), &st) == 0 && st.st_uid == geteuid()) {
        // Engines run in a process group of their own.
        if (::kill(-static_cast<pid_t>(pid), SIGKILL) != 0) ::kill(static_cast<pid_t>(pid), SIGKILL);
        traceLine("an engine left by an earlier run was stopped (process " + std::to_string(pid) + ")");
        ++stopped;
      }
    }
    remove(path);
  }
  return stopped;
}

}  // namespace ulmora
