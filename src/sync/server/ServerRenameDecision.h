#pragma once

#include "sync/server/RecordDecision.h"

namespace ulmora {

// Operation "3": the item now at "fname" was at "fnameOld". Which of the two
// local paths exist, whether selective sync hides a side, how the times
// compare and what the database knows decide between a local rename, a
// download, a move to the cache and a reference-id update. A rename that
// only changes letter case is a real rename here (the file system tells
// such names apart).
Plan decideServerRename(const RecordFacts& facts);

}  // namespace ulmora
