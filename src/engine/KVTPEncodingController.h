#pragma once

#include <optional>
#include <stop_token>
#include <string>

namespace ulmora {

// Has the engine string-encode a password or private key, the form the
// engine's credential files take. The secret reaches the engine through its
// environment (RSYNC_PASSWORD), never its command line.
//
// Thread-safety: no shared state; one object may be used by one thread at a time.
class KVTPEncodingController {
 public:
  static constexpr int kMaxTries = 6;

  // The engine named by the string table ("ExecuterPathKVT").
  KVTPEncodingController();
  explicit KVTPEncodingController(std::string executorPath);

  // The encoded text; nullopt when the engine gave none in kMaxTries runs (or
  // the secret is empty). A stop request ends the running try and the tries
  // left (nullopt): a hung engine holds its caller at most until the stop.
  std::optional<std::string> getEncodedPassword(const std::string& secret,
                                                std::stop_token stop = {}) const;

 private:
  std::optional<std::string> encodeOnce(const std::string& secret, std::stop_token stop) const;

  std::string executorPath_;
};

}  // namespace ulmora
