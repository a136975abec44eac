#pragma once

namespace ulmora {

// Whether this cycle's uploads and folder creations wait for the renames and
// deletes made here.
//
// The server takes the user's changes in the order they were made: a file
// or folder made in a folder just renamed here belongs under the folder's
// new name. Sent before the rename, it makes that name on the server, the
// rename then finds its new name taken, and the old folder (with whatever
// another computer put in it meanwhile) could only be deleted. So uploads
// and folder creations wait while renames or deletes are queued or being
// sent, for at most kMostTicksHeld cycles in a row: a user who keeps
// renaming still sees edits go out. (A rename makes the folders above its
// new name itself, so it never waits for a folder creation.)
//
// Thread-safety: none; the sync cycle's thread uses it.
class UploadRenameGate {
 public:
  static constexpr int kMostTicksHeld = 12;

  // One cycle's answer; `localChangesPending`: renames or deletes made here
  // are queued, held by their worker or being sent.
  bool holdUploads(bool localChangesPending);

 private:
  int ticksHeld_ = 0;
};

}  // namespace ulmora
