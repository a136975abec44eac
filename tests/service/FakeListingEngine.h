#pragma once

#include <string>

namespace ulmora::testing {

// This test program doubles as a scripted engine: started with the
// environment variable below naming a file, it prints that file's bytes to
// standard output and exits 0, or (when the file's name ends ".hold") waits
// for SIGTERM and exits 20 as a cancelled engine does. The real engine cannot
// be held in the middle of a listing, nor made to print hostile lines.
inline constexpr const char* kFakeEngineScriptVariable = "ULMORA_TEST_FAKE_ENGINE_SCRIPT";

// The path of this test program.
std::string fakeEnginePath();

// Sets the script variable for the engines started while the object lives.
class ScopedFakeEngineScript {
 public:
  explicit ScopedFakeEngineScript(const std::string& scriptPath);
  ~ScopedFakeEngineScript();
  ScopedFakeEngineScript(const ScopedFakeEngineScript&) = delete;
  ScopedFakeEngineScript& operator=(const ScopedFakeEngineScript&) = delete;
};

}  // namespace ulmora::testing
