// Set-up, settings, journal folders and clearing of the event journal writer.
#include "journal/SyncFilesController.h"

#include <cstdlib>

#include "foundation/JournalStampGenerator.h"
#include "foundation/QLBackupProgressLogger.h"
#include "foundation/QLUtility.h"
#include "journal/CompanionMessenger.h"
#include "journal/JournalFormat.h"
#include "journal/NotificationPoster.h"
#include "journal/SyncFilesHost.h"
#include "platform/FileUtil.h"
#include "platform/UserInfo.h"

namespace ulmora {
namespace {

constexpr std::string_view kConsoleUserKey = "ConsoleUser";
constexpr std::string_view kSyncUserKey = "SyncUser";
constexpr std::string_view kOutOfBoxFolder = "/Out of Box/";

// Every journal folder of this writer. 131 is resolved but never created:
// nothing writes it.
constexpr int kFolderIndices[] = {
    journal::kUploadFolder,        journal::kEventFolder,           journal::kDeleteFolder,
    journal::kRenameFolder,        journal::kDownloadFolder,        journal::kServerChangeFolder,
    journal::kCreateFolderFolder,  journal::kOBUploadFolder,        journal::kOBDeleteFolder,
    journal::kOBRenameFolder,      journal::kOBCreateFolderFolder,  journal::kOBDownloadFolder,
    journal::kUploadCountFolder,   journal::kDeleteCountFolder,     journal::kRenameCountFolder};

// Forgotten by clearSyncFiles until the next createSyncFilesDir.
constexpr int kClearedFolders[] = {journal::kUploadFolder,   journal::kRenameFolder,
                                   journal::kDeleteFolder,   journal::kDownloadFolder,
                                   journal::kServerChangeFolder, journal::kCreateFolderFolder};


std::string textFor(const PropertyList& details, std::string_view key) {
  return details.stringFor(key).value_or(std::string());
}

}  // namespace

SyncFilesController::SyncFilesController(const PropertyList& accountDetails)
    : SyncFilesController(accountDetails, Options{}) {}

SyncFilesController::SyncFilesController(const PropertyList& accountDetails, Options options)
    : clock_(options.clock ? *options.clock : Clock::systemClock()),
      stamps_(options.stamps ? *options.stamps : JournalStampGenerator::shared()),
      writer_(stamps_, clock_),
      consoleUser_(textFor(accountDetails, kConsoleUserKey)),
      syncUser_(textFor(accountDetails, kSyncUserKey)),
      outOfBoxPrefix_(std::string(kOutOfBoxFolder) +
                      (options.machineName ? *options.machineName : QLUtility::machineName())),
      host_(options.host),
      poster_(options.poster),
      applicationFileOverride_(std::move(options.applicationFile)) {
  appSupportFilePaths_.setConsoleUserName(consoleUser_);
  appSupportFilePaths_.setSyncUserName(syncUser_);
}

SyncFilesController& SyncFilesController::sharedController() {
  // A function-local static: made once even when two threads ask first.
  static SyncFilesController instance(PropertyList(PropertyList::Dict{}));
  return instance;
}

SyncFilesController::~SyncFilesController() {
  {
    MutexLock serial(startStopMutex_);
    std::thread running;
    {
      MutexLock lock(threadMutex_);
      shouldReset_ = false;
      cancelRequested_ = true;
      if (loopHandle_) loopHandle_->stop();
      running = std::move(thread_);
    }
    if (running.joinable()) running.join();
  }
  // What producers queued since the last tick (a delete just before the agent
  // stops) would otherwise never reach the server.
  if (!folderPath(journal::kEventFolder).empty()) timerFireMethod();
  stopWalks_ = true;
  waitForFolderWalks();
}

// ---------------------------------------------------------------- collaborators

std::string SyncFilesController::applicationFile(int index) const {
  MutexLock lock(settingsMutex_);
  if (applicationFileOverride_) return applicationFileOverride_(index);
  return appSupportFilePaths_.pathForApplicationFile(index);
}

std::string SyncFilesController::folderPath(int index) const {
  MutexLock lock(settingsMutex_);
  auto it = folders_.byIndex.find(index);
  return it == folders_.byIndex.end() ? std::string() : it->second;
}

SyncRootPath SyncFilesController::syncRoot() const {
  return SyncRootPath(host_ ? host_->syncRootPath() : std::string());
}

void SyncFilesController::sendToFinder(const PropertyList& payload, int type) const {
  if (!host_) return;
  if (auto finder = host_->finderMessenger()) finder->sendIPCMessage(payload, type, false);
}

void SyncFilesController::sendToMonitor(const PropertyList& payload, int type) const {
  if (!host_) return;
  if (auto monitor = host_->monitorMessenger()) monitor->sendIPCMessage(payload, type, false);
}

void SyncFilesController::postNotSynced(const std::vector<std::string>& fullPaths) const {
  if (!poster_ || fullPaths.empty() || !poster_->wantsPosts()) return;
  PropertyList::Array list(fullPaths.begin(), fullPaths.end());
  PropertyList::Dict info;
  info.emplace(std::string(kNotSyncedListKey), PropertyList(std::move(list)));
  poster_->post(std::string(kNotSyncedNotification), PropertyList(std::move(info)));
}

// ---------------------------------------------------------------- folders

void SyncFilesController::createSyncFilesDir() {
  FolderPaths paths;
  for (int index : kFolderIndices) paths.byIndex[index] = applicationFile(index);
  daemonTrace("Temporary folders created for Console : " + consoleUser_);
  for (const auto& [index, path] : paths.byIndex) {
    if (index == journal::kDeleteCountFolder) continue;
    if (path.empty()) {
      daemonTrace("SyncFilesController: no path for journal folder " + std::to_string(index));
      continue;
    }
    JournalFolder folder(path);
    folder.ensureExists();
    journal::takeUpFolderAtStart(folder, stamps_);
  }
  MutexLock lock(settingsMutex_);
  folders_ = std::move(paths);
}

bool SyncFilesController::journalFoldersReady() {
  // Doubling from one tick up to five minutes: a folder that cannot be made
  // (no room, no permission) is not tried, and traced, every tick for ever.
  constexpr Clock::Duration kFirstRetry = kTickInterval * 2;
  constexpr Clock::Duration kLongestRetry = std::chrono::minutes(5);
  std::vector<std::string> missing;
  {
    MutexLock lock(settingsMutex_);
    for (const auto& [index, path] : folders_.byIndex) {
      if (index != journal::kDeleteCountFolder && !path.empty() && !fileutil::isDirectory(path))
        missing.push_back(path);
    }
  }
  if (missing.empty()) {
    folderRetryDelay_ = {};
    return true;
  }
  const Clock::TimePoint now = clock_.monotonicNow();
  if (folderRetryDelay_ != Clock::Duration{} && now < folderRetryAt_) return false;
  bool made = true;
  for (const std::string& path : missing) made = JournalFolder(path).ensureExists() && made;
  if (made) {
    folderRetryDelay_ = {};
    return true;
  }
  folderRetryDelay_ = folderRetryDelay_ == Clock::Duration{}
                          ? kFirstRetry
                          : std::min<Clock::Duration>(folderRetryDelay_ * 2, kLongestRetry);
  folderRetryAt_ = now + folderRetryDelay_;
  daemonTrace("SyncFilesController: journal folder \"" + missing.front() +
              "\" cannot be created; entries stay queued, trying again in " +
              std::to_string(std::chrono::duration_cast<std::chrono::seconds>(folderRetryDelay_).count()) +
              " s");
  return false;
}

// ---------------------------------------------------------------- clearing

void SyncFilesController::clearSyncFiles() {
  backupFilesCollection_.with([](auto& q) { q.clear(); });
  restoreFilesCollection_.with([](auto& q) { q.clear(); });
  notificationRequested_.with([](bool& r) { r = false; });
  createDirCollection_.with([](auto& q) { q.clear(); });
  MutexLock lock(settingsMutex_);
  for (int index : kClearedFolders) folders_.byIndex[index].clear();
}

void SyncFilesController::clearBackupRestoreSyncFiles() {
  shouldWriteSyncFiles_ = false;
  backupFilesCollection_.with([](auto& q) { q.clear(); });
  restoreFilesCollection_.with([](auto& q) { q.clear(); });
}

void SyncFilesController::clearOBSyncFiles() {
  shouldWriteOBFiles_ = false;
  OBBackupFilesCollection_.with([](auto& q) { q.clear(); });
  OBDeleteFilesCollection_.with([](auto& q) { q.clear(); });
  OBRenameFilesCollection_.with([](auto& q) { q.clear(); });
  OBCreateDirCollection_.with([](auto& q) { q.clear(); });
  OBrestoreFilesCollection_.with([](auto& q) { q.clear(); });
}

std::optional<std::string> SyncFilesController::userTrashFolder() {
  const char* dataHome = std::getenv("XDG_DATA_HOME");
  if (dataHome && dataHome[0] == '/') return fileutil::joinPath(dataHome, "Trash/files");
  auto home = UserInfo::homeFolder();
  if (!home) return std::nullopt;
  return fileutil::joinPath(*home, ".local/share/Trash/files");
}

}  // namespace ulmora
