#pragma once

namespace ulmora {

// The agent process: serves the user running it until SIGTERM or SIGINT,
// then stops in order (what the watcher saw is queued, every queued journal
// and database entry is written, the merge of the written batches finishes)
// and returns the exit status, 0.
//
// Call it from main() before any other thread exists: it blocks the stop
// signals for every thread it starts, ignores SIGPIPE and initialises libcurl
// once.
class SyncAgent {
 public:
  SyncAgent() = delete;
  static int run();
};

}  // namespace ulmora
