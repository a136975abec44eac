#include "ServiceFaults.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace ulmora::service {
namespace {

std::string trimmed(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return {};
  const auto last = text.find_last_not_of(" \t\r");
  return text.substr(first, last - first + 1);
}

}  // namespace

FaultSet parseFaults(const std::string& text, bool warn) {
  FaultSet faults;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (auto hash = line.find('#'); hash != std::string::npos) line.erase(hash);
    line = trimmed(line);
    if (line.empty()) continue;
    std::istringstream words(line);
    std::string name;
    words >> name;
    if (name == "maintenance") {
      faults.maintenance = true;
    } else if (name == "poll-ends-at-once") {
      faults.pollEndsAtOnce = true;
    } else if (name == "refuse") {
      faults.refuse = true;
    } else if (name == "bad-xml") {
      faults.badXml = true;
    } else if (name == "slow") {
      int seconds = 0;
      if (words >> seconds) faults.slowSeconds = std::clamp(seconds, 0, 3600);
    } else if (warn) {
      std::fprintf(stderr, "ulmora-service: unknown fault line: %s\n", line.c_str());
    }
  }
  return faults;
}

FaultSet ServiceFaults::read() const {
  std::ifstream in(path_, std::ios::binary);
  if (!in) return {};
  std::ostringstream buffer;
  buffer << in.rdbuf();
  const std::string text = buffer.str();
  bool changed = false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    changed = text != lastText_;
    if (changed) lastText_ = text;
  }
  return parseFaults(text, changed);
}

}  // namespace ulmora::service
