#include "AccountDirectory.h"

#include <fstream>

namespace ulmora::service {
namespace {

std::string lowered(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

std::string withoutLineEnd(std::string line) {
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
  return line;
}

void replaceAll(std::string& text, const std::string& from, const std::string& to) {
  for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
}

void set(AccountDirectory::Attributes& attributes, const std::string& key, std::string value) {
  for (auto& [k, v] : attributes) {
    if (k == key) {
      v = std::move(value);
      return;
    }
  }
  attributes.emplace_back(key, std::move(value));
}

}  // namespace

bool isUsableUserName(const std::string& user) {
  return !user.empty() && user != "." && user != ".." &&
         user.find_first_of(std::string("/\0", 2)) == std::string::npos;
}

AccountDirectory::AccountDirectory(std::string storage) : storage_(std::move(storage)) {}

bool AccountDirectory::accepts(const std::string& user, const std::string& password) const {
  if (!isUsableUserName(user)) return false;
  std::ifstream in(storage_ + "/passwd", std::ios::binary);
  if (!in) return true;
  const std::string wanted = lowered(user);
  std::string line;
  while (std::getline(in, line)) {
    line = withoutLineEnd(line);
    const auto colon = line.find(':');
    if (colon == std::string::npos || lowered(line.substr(0, colon)) != wanted) continue;
    const std::string rest = line.substr(colon + 1);
    return rest.substr(0, rest.find(':')) == password;
  }
  return false;
}

AccountDirectory::Attributes AccountDirectory::details(const std::string& user) const {
  Attributes attributes = {
      {"message", "SUCCESS"},
      {"cmdUtilityServerIP", "%STORAGE%"},
      {"cmdUtilityServer", "%STORAGE%"},
      {"kvtsrvrip", "%STORAGE%"},
      {"Pnsserver", "%SERVICE%"},
      {"quotaServername", "%SERVICE%"},
  };
  std::vector<std::string> files = {storage_ + "/service-account"};
  if (isUsableUserName(user)) files.push_back(storage_ + "/accounts/" + lowered(user) + "/service-account");
  for (const std::string& path : files) {
    std::ifstream in(path, std::ios::binary);
    std::string line;
    while (in && std::getline(in, line)) {
      line = withoutLineEnd(line);
      if (line.empty() || line[0] == '#') continue;
      const auto eq = line.find('=');
      if (eq == std::string::npos || eq == 0) continue;
      set(attributes, line.substr(0, eq), line.substr(eq + 1));
    }
  }
  for (auto& [key, value] : attributes) {
    replaceAll(value, "%STORAGE%", storage_);
    replaceAll(value, "%SERVICE%", serviceAddress_);
  }
  return attributes;
}

}  // namespace ulmora::service
