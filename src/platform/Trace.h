#pragma once

#include <functional>
#include <string_view>

namespace ulmora {

// The lowest layer cannot reach the process logger (it lives in foundation/),
// so platform code writes its trace lines through this hook. Until a sink is
// installed, lines go to standard error. The foundation logger installs itself
// as the sink at start-up.
//
// Thread-safety: traceLine and setTraceSink may be called from any thread.
using TraceSink = std::function<void(std::string_view)>;

void setTraceSink(TraceSink sink);  // an empty sink restores standard error
void traceLine(std::string_view message);

}  // namespace ulmora
