#include "session/UMSMultipleACManager.h"

#include <unistd.h>

#include <algorithm>

#include "foundation/QLUtility.h"
#include "ipc/IpcPaths.h"
#include "ipc/MessageSendingModule.h"
#include "ipc/NotificationBus.h"
#include "journal/UMSDBSyncInputManger.h"
#include "platform/Trace.h"
#include "session/BusNotificationPoster.h"
#include "ipc/IpcMessageTypes.h"
#include "session/UMSSharedInstanceManager.h"
#include "platform/ThreadCheck.h"

namespace ulmora {
namespace {

constexpr int kLoginDetailsFile = 26;
constexpr int kSyncFoldersFile = 110;
constexpr const char* kIconOverlayNotification = "IconOverlayStatus";

// Commands an account handles itself (UlmoraSyncUserController::handleCommand).
constexpr int kAccountCommands[] = {
    messagetype::kStartSync, messagetype::kUnlink,   messagetype::kUnlinkToo,
    messagetype::kPause,     messagetype::kResume,   messagetype::kReinitialize,
    messagetype::kSelectiveSyncChanged, messagetype::kFileVersion};

void trace(const std::string& what) { traceLine("session: " + what); }

std::string resolveConsoleUser(const std::string& given) {
  return given.empty() ? QLUtility::currentConsoleUserName() : given;
}

}  // namespace

UMSMultipleACManager::UMSMultipleACManager(Options options)
    : options_(std::move(options)),
      consoleUser_(resolveConsoleUser(options_.consoleUser)),
      clock_(options_.clock != nullptr ? *options_.clock : Clock::systemClock()),
      loop_(options_.loop != nullptr ? *options_.loop : RunLoop::main()),
      registry_(options_.registry != nullptr ? *options_.registry
                                             : UMSSharedInstanceManager::sharedInstanceManager()),
      inputQueue_(options_.inputQueue != nullptr ? *options_.inputQueue
                                                 : UMSDBSyncInputManger::sharedManager()) {
  consolePaths_.setConsoleUserName(consoleUser_);
}

UMSMultipleACManager::~UMSMultipleACManager() { shutdown(); }

void UMSMultipleACManager::start() {
  ULMORA_DCHECK_ON_LOOP(loop_);
  if (started_) return;
  started_ = true;
  if (options_.openChannels) openChannels();
  registry_.setFinderMessenger(finder_.get(), consoleUser_);
  registry_.setMonitorMessenger(monitor_.get(), consoleUser_);
  trace("serving console user \"" + consoleUser_ + "\"");

  pollLoginDetails();
  pollTimer_ = loop_.scheduleTimer(options_.pollInterval, true,
                                   guard_.wrap([this](RunLoopTimer&) { pollLoginDetails(); }));
}

void UMSMultipleACManager::openChannels() {
  std::string folder = options_.socketFolder;
  if (folder.empty()) {
    if (std::optional<std::string> f = IpcPaths::socketFolder()) folder = *f;
  } else if (!IpcPaths::prepareFolder(folder)) {
    folder.clear();
  }
  if (folder.empty()) trace("no safe socket folder; the companions cannot reach the agent");

  auto handler = guard_.wrap([this](const IpcMessage& m) { handleCommand(m); });
  auto channel = [&](IpcChannel which) {
    MessageSendingModule::Options o;
    o.channel = which;
    if (!folder.empty()) o.socketPath = IpcPaths::channelSocketPath(folder, consoleUser_, which);
    o.commandLoop = &loop_;
    o.commandHandler = handler;
    // Each connection, a companion's replacement of its own open one too.
    o.connectionHandler = guard_.wrap([this, which] { companionConnected(which); });
    return std::make_unique<MessageSendingModule>(std::move(o));
  };
  finder_ = channel(IpcChannel::kFinder);
  monitor_ = channel(IpcChannel::kMonitor);
  NotificationBus::Options busOptions;
  if (!folder.empty()) busOptions.socketPath = IpcPaths::busSocketPath(folder, consoleUser_);
  bus_ = std::make_unique<NotificationBus>(std::move(busOptions));
  poster_ = std::make_unique<BusNotificationPoster>(*bus_);
}

void UMSMultipleACManager::shutdown() {
  ULMORA_DCHECK_ON_LOOP(loop_);
  if (shutDown_) return;
  shutDown_ = true;
  if (pollTimer_) pollTimer_->invalidate();
  // Accounts that are no longer logged in first: the active one owns the
  // input queue and writes its last entries.
  for (auto& [user, account] : accounts_) {
    if (user != activeSyncUser_) account->shutdown();
  }
  if (UlmoraSyncUserController* active = activeAccount()) active->shutdown();
  accounts_.clear();
  activeSyncUser_.clear();

  registry_.removeChannels(consoleUser_);
  if (finder_) finder_->stop();
  if (monitor_) monitor_->stop();
  if (bus_) bus_->stop();
  trace("stopped");
}

UlmoraSyncUserController* UMSMultipleACManager::activeAccount() const {
  ULMORA_DCHECK_ON_LOOP(loop_);
  auto it = accounts_.find(activeSyncUser_);
  return it == accounts_.end() ? nullptr : it->second.get();
}

// ---------------------------------------------------------------- login details

void UMSMultipleACManager::pollLoginDetails() {
  ULMORA_DCHECK_ON_LOOP(loop_);
  if (shutDown_) return;
  const LoginDetails::Reading reading =
      LoginDetails::read(consolePaths_.pathForApplicationFile(kLoginDetailsFile),
                         consolePaths_.pathForApplicationFile(kSyncFoldersFile));
  if (!reading.account) {
    noteProblem(reading.problem);
    return;
  }
  noteProblem("");
  if (reading.account->syncUser == activeSyncUser_) return;
  switchTo(*reading.account);
}

void UMSMultipleACManager::noteProblem(const std::string& problem) {
  if (problem == lastProblem_) return;
  lastProblem_ = problem;
  if (!problem.empty()) trace("no sync account yet: " + problem + "; read again at the next poll");
}

void UMSMultipleACManager::switchTo(const LoginDetails::Account& login) {
  if (UlmoraSyncUserController* old = activeAccount()) {
    trace("the logged-in account changed from \"" + activeSyncUser_ + "\" to \"" +
          login.syncUser + "\"");
    // Stopped whole and gone before the next account starts: its writer,
    // journal and merge threads would otherwise pile up with every switch,
    // and nothing of it may stop the input queue once the next account has
    // started it. An account that comes back is built afresh.
    old->deactivate();
    old->shutdown();
    accounts_.erase(activeSyncUser_);
  }
  activeSyncUser_ = login.syncUser;
  UlmoraSyncUserController::Options o = options_.account;
  o.registry = &registry_;
  o.inputQueue = &inputQueue_;
  o.poster = poster_.get();
  o.clock = &clock_;
  o.mainLoop = &loop_;
  o.unlinked = login.unlinked;
  trace("account \"" + login.syncUser + "\" with the sync root \"" + login.syncRoot + "\"");
  auto account = std::make_unique<UlmoraSyncUserController>(
      SyncSessionDetails{consoleUser_, login.syncUser, login.syncRoot}, std::move(o));
  UlmoraSyncUserController& added = *accounts_.emplace(login.syncUser, std::move(account)).first->second;
  added.start();
}

// ---------------------------------------------------------------- companions

void UMSMultipleACManager::companionConnected(IpcChannel channel) {
  ULMORA_DCHECK_ON_LOOP(loop_);
  MessageSendingModule* module = channel == IpcChannel::kFinder ? finder_.get() : monitor_.get();
  if (module == nullptr) return;
  announce(*module);
  UlmoraSyncUserController* account = activeAccount();
  if (channel == IpcChannel::kFinder) {
    trace("the file manager's integration connected");
    if (account != nullptr) account->syncController().SendPathRootSet();
    refreshFinderSync();
  } else {
    trace("the status monitor connected");
    if (account != nullptr) account->syncController().sendToolTip();
  }
}

void UMSMultipleACManager::announce(MessageSendingModule& channel) {
  channel.sendIPCMessage(
      IpcMessage::payloadFromTexts({"sync agent", consoleUser_, std::to_string(getpid())}),
      messagetype::kAgentAnnouncement, false);
}

void UMSMultipleACManager::refreshFinderSync() {
  ULMORA_DCHECK_ON_LOOP(loop_);
  if (bus_) bus_->post(kIconOverlayNotification, PropertyList(PropertyList::Dict{}));
  if (UlmoraSyncUserController* account = activeAccount()) {
    account->syncController().updateIconOverlay();
  }
}

void UMSMultipleACManager::handleCommand(const IpcMessage& message) {
  ULMORA_DCHECK_ON_LOOP(loop_);
  UlmoraSyncUserController* account = activeAccount();
  const std::string type = std::to_string(message.type);
  const bool managerCommand = message.type == messagetype::kRecalculateQuota ||
                              message.type == messagetype::kPing ||
                              message.type == messagetype::kDisableSync;
  const bool accountCommand = std::find(std::begin(kAccountCommands), std::end(kAccountCommands),
                                        message.type) != std::end(kAccountCommands);
  if (!managerCommand && !accountCommand) {
    trace("command type " + type + " from \"" + message.sender + "\" is unknown; ignored");
    return;
  }
  if (account == nullptr) {
    trace("command type " + type + " ignored: no sync account");
    return;
  }
  switch (message.type) {
    case messagetype::kRecalculateQuota:
      account->syncController().RecalculateQuota();
      return;
    case messagetype::kPing:
      account->syncController().sendToolTip();
      return;
    case messagetype::kDisableSync:
      account->syncController().stopSyncForUnlink(true);
      return;
    default:
      account->handleCommand(message);
  }
}

}  // namespace ulmora
