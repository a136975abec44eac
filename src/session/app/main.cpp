// The sync agent. It takes no options: it serves the user who runs it.
#include "session/SyncAgent.h"

int main() { return ulmora::SyncAgent::run(); }
