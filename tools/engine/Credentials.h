#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "CommandLine.h"
#include "EngineStatus.h"

namespace ulmora::kvt {

// The engine's string encoding of a password or key: "kvt1:" and the hex of
// the bytes XORed with a fixed key. It keeps a secret from showing in clear
// in a file listing; protection comes from the files' owner-only modes.
std::string encodeSecret(std::string_view plain);
// The plain text of an encoded secret; text without the prefix is taken as
// plain already. nullopt for a prefix followed by bad hex.
std::optional<std::string> decodeSecret(std::string_view text);

// Checks the run's credentials against the account table `storage`/passwd
// (docs/engine.md section 4). nullopt when the run may go on.
std::optional<Fatal> authenticate(const CommandLine& cmd, const std::string& storage);

}  // namespace ulmora::kvt
