// The sync agent. It takes no options: it serves the user who runs it.
#include <malloc.h>

#include "session/SyncAgent.h"

int main() {
  // Every thread that allocates would otherwise get an allocator arena of
  // its own (up to eight per core), and each keeps what its thread freed: a
  // first sync's listing, engine and writer threads left three times the
  // memory in use held. Set before any thread starts.
  ::mallopt(M_ARENA_MAX, 2);
  return ulmora::SyncAgent::run();
}
