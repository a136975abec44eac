#pragma once

#include "platform/RunLoop.h"

namespace ulmora::threadcheck {

// Stops the process with the place of the call when the calling thread is not
// `loop`'s own (RunLoop::isCurrent): a method that belongs to one loop was
// reached from another thread. Use through ULMORA_DCHECK_ON_LOOP.
void onLoop(const RunLoop& loop, const char* file, int line, const char* function);
// The same through a handle; a loop that is already gone passes (an object
// may outlive the loop it was given, and then has nothing left to run on).
void onLoop(const RunLoop::Handle& loop, const char* file, int line, const char* function);

}  // namespace ulmora::threadcheck

// At the top of a method whose contract says it runs on `loop` (usually the
// main loop): in debug and test builds a call from any other thread stops the
// process at once, so the test that made it fails; release builds check
// nothing.
#if !defined(NDEBUG) || defined(ULMORA_THREAD_CHECKS)
#define ULMORA_DCHECK_ON_LOOP(loop) ::ulmora::threadcheck::onLoop((loop), __FILE__, __LINE__, __func__)
#else
#define ULMORA_DCHECK_ON_LOOP(loop) static_cast<void>(0)
#endif
