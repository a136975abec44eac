// The server road's build hook; the road (ServerRoad) is the listings'
// delegate and answers its collaborators' hosts itself (ServerRoadHosts).
#include <pwd.h>
#include <unistd.h>

#include <charconv>

#include "database/DataBaseWrapper.h"
#include "platform/FileUtil.h"
#include "platform/UserDefaults.h"
#include "sync/MainSyncController.h"

namespace ulmora {
namespace {

constexpr int kLoginDetails = 26;
constexpr int kRootUserFolder = 50;
constexpr int kProxySettings = 84;
constexpr int kUploadJournal = 101;
constexpr int kRestoreJournal = 105;
constexpr int kLocalDatabaseFolder = 107;
constexpr int kBackupFileEntries = 113;
constexpr int kRestoreFileEntries = 118;
constexpr int kRecID = 136;
constexpr int kRestoreStatusFirst = 139;
constexpr int kRestoreStatusLast = 142;

std::optional<SyncRootFiles::Owner> consoleOwner(const std::string& uidText) {
  uid_t uid = 0;
  auto [end, ec] = std::from_chars(uidText.data(), uidText.data() + uidText.size(), uid);
  if (ec != std::errc() || end != uidText.data() + uidText.size()) return std::nullopt;
  struct passwd pw {};
  struct passwd* found = nullptr;
  char buf[4096];
  if (getpwuid_r(uid, &pw, buf, sizeof buf, &found) != 0 || found == nullptr) return std::nullopt;
  return SyncRootFiles::Owner{uid, pw.pw_gid};
}

}  // namespace

void MainSyncController::buildListing() {
  DownloadDispatcher::Paths paths;
  for (int i = kRestoreStatusFirst; i <= kRestoreStatusLast; ++i) paths.restoreStatusFiles.push_back(applicationFile(i));
  paths.restoreEntries = applicationFile(kRestoreFileEntries);
  paths.restoreJournalFolder = applicationFile(kRestoreJournal);
  paths.backupEntries = applicationFile(kBackupFileEntries);
  paths.backupJournalFolder = applicationFile(kUploadJournal);
  serverRoad_ = std::make_unique<ServerRoad>(ServerRoad::Parts{
      getUlmoraSyncRootPath(), consoleOwner(m_consoleUserID_), ctx_.inputQueue, ctx_.collections,
      *databaseHandler_, applicationFile(kLocalDatabaseFolder), ctx_.session.syncUser, ctx_.clock, ctx_.mainLoop,
      state_, *settings_, *progress_, *controlRoom_, engines_->changeListing(), engines_->refIdListing(),
      engines_->uploads(), engines_->downloads(), applicationFile(kProxySettings), applicationFile(kLoginDetails),
      fileutil::joinPath(applicationFile(kRootUserFolder), ListingIndexStore::kFileName), applicationFile(kRecID),
      std::move(paths), ctx_.defaults != nullptr ? *ctx_.defaults : *ownDefaults_,
      static_cast<ServerRoadAccount&>(*this)});
}

// Delayed work of the road ends; the road stays whole until the controller
// goes, so the listings' last reports still find it.
void MainSyncController::stopListing() {
  if (serverRoad_) serverRoad_->stop();
}

}  // namespace ulmora
