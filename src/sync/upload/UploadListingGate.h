#pragma once

namespace ulmora {

// Whether this cycle's uploads wait for a change listing.
//
// Only a listing that must judge the server's changes before local edits go
// out holds uploads: the one awaited after a pause (what changed on the
// server meanwhile decides whether an edit made during the pause becomes a
// conflict copy). Every other listing, including the one a push echo of
// this computer's own uploads asks for, runs beside the uploads: holding
// uploads for those would put a listing's whole road (push, input queue,
// cycle, listing) between two upload sets of a large first sync.
//
// A peer that keeps changing files keeps listings coming, so even an awaited
// listing holds uploads for at most kMostTicksHeld cycles in a row.
//
// Thread-safety: none; the sync cycle's thread uses it.
class UploadListingGate {
 public:
  static constexpr int kMostTicksHeld = 6;

  // A pause ended: the server's changes are listed before uploads resume.
  void listingAwaitedAfterPause() { awaited_ = true; }

  // One cycle's answer. `pushDuringPause`: a push arrived during a pause and
  // has not been turned into a listing request yet; `listingPending`: a
  // listing is requested or running.
  bool holdUploads(bool pushDuringPause, bool listingPending);

 private:
  bool awaited_ = false;
  int ticksHeld_ = 0;
};

}  // namespace ulmora
