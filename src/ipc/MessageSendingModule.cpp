#include "ipc/MessageSendingModule.h"

#include <poll.h>

#include <algorithm>
#include <exception>
#include <utility>

#include "ipc/IpcConnection.h"
#include "ipc/IpcListener.h"
#include "ipc/IpcPaths.h"
#include "platform/Trace.h"

namespace ulmora {

namespace {

// While a companion is slow, threaded messages wait on its connection; past
// this many they join the queue instead of adding threads without bound.
constexpr size_t kMaxSendThreads = 64;

// Runs `work`, so that no exception leaves a thread of the module.
template <typename F>
void guarded(const char* where, F&& work) {
  try {
    work();
  } catch (const std::exception& e) {
    traceLine(std::string("IPC: ") + where + " failed: " + e.what());
  } catch (...) {
    traceLine(std::string("IPC: ") + where + " failed");
  }
}

}  // namespace

MessageSendingModule::MessageSendingModule(Options options)
    : options_(std::move(options)),
      ownName_(kIpcAgentName),
      peerName_(ipcPeerName(options_.channel)),
      commandLoop_((options_.commandLoop ? *options_.commandLoop : RunLoop::main()).handle()),
      handler_(options_.commandHandler),
      connectionHandler_(options_.connectionHandler) {
  if (options_.socketPath.empty()) {
    traceLine("IPC: no socket for the " + peerName_ + "; its messages are dropped");
  } else {
    listener_ = IpcListener::listen(options_.socketPath);
  }
  if (listener_ && !wakeup_.valid()) {
    listener_.reset();  // without a way to wake it, the I/O thread could not be stopped
  }
  listening_ = listener_ != nullptr;
  if (listener_)
    ioThread_ = std::thread([this] { guarded("I/O thread", [this] { ioThreadMain(); }); });
  senderThread_ =
      std::thread([this] { guarded("sending thread", [this] { senderThreadMain(); }); });
}

std::unique_ptr<MessageSendingModule> MessageSendingModule::forConsoleUser(
    IpcChannel channel, const std::string& consoleUser, CommandHandler handler,
    RunLoop* commandLoop) {
  Options options;
  options.channel = channel;
  if (std::optional<std::string> folder = IpcPaths::socketFolder()) {
    options.socketPath = IpcPaths::channelSocketPath(*folder, consoleUser, channel);
  }
  options.commandLoop = commandLoop;
  options.commandHandler = std::move(handler);
  return std::make_unique<MessageSendingModule>(std::move(options));
}

MessageSendingModule::~MessageSendingModule() { stop(); }

// ------------------------------------------------------------------ sending

void MessageSendingModule::sendIPCMessage(const std::vector<std::string>& payload, int type,
                                          bool runInThread) {
  sendIPCMessage(IpcMessage::payloadFromTexts(payload), type, runInThread);
}

void MessageSendingModule::sendIPCMessage(const PropertyList& payload, int type, bool runInThread) {
  if (!IpcMessage::isValidPayload(payload)) {
    traceLine("IPC: message type " + std::to_string(type) + " to the " + peerName_ +
              " has a payload that is neither a text nor an array of texts; not sent");
    return;
  }
  IpcMessage message{payload, type, ownName_, peerName_};
  std::optional<IpcMessage> overflow;
  bool absent = false;
  bool refused = false;
  {
    std::lock_guard<std::mutex> hold(mu_);
    if (stopping_) {
      refused = true;
    } else if (!connection_ || !connection_->isOpen()) {
      absent = true;
    } else if (runInThread && hasRoomForSendThread()) {
      startSendThread(std::move(message));
    } else {
      if (queue_.size() >= std::max<size_t>(options_.queueCapacity, 1)) {
        overflow = std::move(queue_.front());
        queue_.pop_front();
      }
      queue_.push_back(std::move(message));
      queueChanged_.notify_one();
    }
  }
  if (refused) {
    traceLine("IPC: channel to the " + peerName_ + " is stopped; message type " +
              std::to_string(type) + " dropped");
  }
  if (absent) noteDropped(type);
  if (overflow) {
    traceLine("IPC: send queue to the " + peerName_ +
              " is full; dropped the oldest message (type " + std::to_string(overflow->type) + ")");
  }
}

bool MessageSendingModule::hasRoomForSendThread() {
  reapFinishedSendThreads();
  return sendThreads_.size() < kMaxSendThreads;
}

void MessageSendingModule::startSendThread(IpcMessage message) {
  auto done = std::make_shared<std::atomic<bool>>(false);
  // The slot exists before the thread, so a thread is never left unowned.
  sendThreads_.push_back(SendThread{std::thread(), done});
  try {
    sendThreads_.back().thread = std::thread([this, message = std::move(message), done] {
      guarded("message thread", [&] { deliver(message); });
      done->store(true);
    });
  } catch (const std::exception& e) {
    sendThreads_.pop_back();
    traceLine(std::string("IPC: cannot start a thread for a message to the ") + peerName_ + ": " +
              e.what() + "; message dropped");
  }
}

void MessageSendingModule::reapFinishedSendThreads() {
  for (auto it = sendThreads_.begin(); it != sendThreads_.end();) {
    if (it->done->load()) {
      it->thread.join();  // returns at once: the body has finished
      it = sendThreads_.erase(it);
    } else {
      ++it;
    }
  }
}

void MessageSendingModule::senderThreadMain() {
  for (;;) {
    IpcMessage message;
    {
      std::unique_lock<std::mutex> lock(mu_);
      queueChanged_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (queue_.empty()) return;  // stopping, and everything queued went out
      message = std::move(queue_.front());
      queue_.pop_front();
    }
    guarded("sending a message", [&] { deliver(message); });
  }
}

void MessageSendingModule::deliver(const IpcMessage& message) {
  std::optional<std::string> frame = IpcFrame::encode(message.toPropertyList());
  if (!frame) return;
  std::shared_ptr<IpcConnection> connection;
  {
    std::lock_guard<std::mutex> hold(mu_);
    connection = connection_;
  }
  if (!connection || !connection->isOpen()) {
    noteDropped(message.type);
    return;
  }
  switch (connection->sendFrame(*frame, options_.sendTimeout)) {
    case ipcsocket::SendResult::kSent:
      return;
    case ipcsocket::SendResult::kTimedOut:
      traceLine("IPC: the " + peerName_ + " did not read message type " +
                std::to_string(message.type) + " in time; connection closed, message dropped");
      return;
    case ipcsocket::SendResult::kFailed:
      traceLine("IPC: sending message type " + std::to_string(message.type) + " to the " +
                peerName_ + " failed; connection closed, message dropped");
      return;
  }
}

void MessageSendingModule::noteDropped(int type) {
  bool first = false;
  {
    std::lock_guard<std::mutex> hold(mu_);
    first = !absenceTraced_;
    absenceTraced_ = true;
    ++droppedWhileAbsent_;
  }
  // One line per absence: a companion that is not running would otherwise
  // fill the log with a line per status update.
  if (first) {
    traceLine("IPC: the " + peerName_ + " is not connected; message type " + std::to_string(type) +
              " dropped, and later ones until it connects");
  }
}

// ---------------------------------------------------------------- receiving

void MessageSendingModule::ioThreadMain() {
  while (!stopIo_.load()) {
    std::shared_ptr<IpcConnection> connection;
    {
      std::lock_guard<std::mutex> hold(mu_);
      connection = connection_;
    }
    pollfd fds[3] = {{wakeup_.fd(), POLLIN, 0}, {listener_->fd(), POLLIN, 0}, {-1, POLLIN, 0}};
    if (connection) fds[2].fd = connection->fd();
    if (::poll(fds, 3, -1) < 0) continue;  // EINTR
    if (fds[0].revents) wakeup_.drain();
    if (stopIo_.load()) break;
    if (fds[1].revents & POLLIN) acceptConnections();
    if (connection && fds[2].revents) {
      if (std::optional<std::string> why = readCommands(*connection)) {
        closeConnection(connection, *why);
      }
    }
  }
}

void MessageSendingModule::acceptConnections() {
  for (UniqueFd& fd : listener_->acceptPending()) {
    auto fresh = std::make_shared<IpcConnection>(std::move(fd));
    std::shared_ptr<IpcConnection> old;
    size_t dropped = 0;
    {
      std::lock_guard<std::mutex> hold(mu_);
      old = std::exchange(connection_, fresh);
      dropped = std::exchange(droppedWhileAbsent_, 0);
      absenceTraced_ = false;
    }
    if (old) {
      old->shutdown();
      traceLine("IPC: a new connection of the " + peerName_ + " replaces the previous one");
    }
    std::string line = "IPC: the " + peerName_ + " connected";
    if (dropped > 0) {
      line += " (" + std::to_string(dropped) + " messages were dropped while it was away)";
    }
    traceLine(line);
    announceConnection();
  }
}

void MessageSendingModule::announceConnection() {
  // Posted from here, before any command of the new connection is read, so
  // the greeting comes first on the loop as well.
  const bool posted = commandLoop_.post(guard_.wrap([this] {
    ConnectionHandler handler;
    {
      std::lock_guard<std::mutex> hold(mu_);
      handler = connectionHandler_;
    }
    if (handler) handler();
  }));
  if (!posted) traceLine("IPC: the command loop is gone; the " + peerName_ + " is not greeted");
}

std::optional<std::string> MessageSendingModule::readCommands(IpcConnection& connection) {
  const ipcsocket::ReceiveResult received =
      ipcsocket::receiveAvailable(connection.fd(), connection.reader());
  // Commands that arrived before the end still count.
  for (;;) {
    PropertyList body;
    switch (connection.reader().next(&body)) {
      case IpcFrame::Reader::Status::kNeedMore:
        if (received == ipcsocket::ReceiveResult::kClosed) return std::string("disconnected");
        return std::nullopt;
      case IpcFrame::Reader::Status::kTooLarge:
        return std::string("a frame over 16 MiB");
      case IpcFrame::Reader::Status::kMalformed:
        return std::string("a frame that does not parse");
      case IpcFrame::Reader::Status::kFrame:
        break;
    }
    std::optional<IpcMessage> message = IpcMessage::fromPropertyList(body);
    if (!message) return std::string("a frame that is not a message");
    dispatch(std::move(*message));
  }
}

void MessageSendingModule::closeConnection(const std::shared_ptr<IpcConnection>& connection,
                                           const std::string& why) {
  connection->shutdown();
  {
    std::lock_guard<std::mutex> hold(mu_);
    if (connection_ == connection) connection_.reset();
  }
  if (why == "disconnected") {
    traceLine("IPC: the " + peerName_ + " disconnected");
  } else {
    traceLine("IPC: closed the connection of the " + peerName_ + ": " + why);
  }
}

void MessageSendingModule::dispatch(IpcMessage message) {
  const int type = message.type;
  const bool posted = commandLoop_.post(guard_.wrap([this, message = std::move(message)] {
    CommandHandler handler;
    {
      std::lock_guard<std::mutex> hold(mu_);
      handler = handler_;
    }
    if (!handler) {
      traceLine("IPC: no handler for command type " + std::to_string(message.type) + " from the " +
                peerName_ + "; ignored");
      return;
    }
    handler(message);
  }));
  if (!posted) {
    traceLine("IPC: the command loop is gone; command type " + std::to_string(type) + " from the " +
              peerName_ + " dropped");
  }
}

// ------------------------------------------------------------------- status

void MessageSendingModule::setCommandHandler(CommandHandler handler) {
  std::lock_guard<std::mutex> hold(mu_);
  handler_ = std::move(handler);
}

void MessageSendingModule::setConnectionHandler(ConnectionHandler handler) {
  std::lock_guard<std::mutex> hold(mu_);
  connectionHandler_ = std::move(handler);
}

bool MessageSendingModule::isListening() const { return listening_.load(); }

bool MessageSendingModule::isPeerConnected() const {
  std::lock_guard<std::mutex> hold(mu_);
  return connection_ && connection_->isOpen();
}

size_t MessageSendingModule::queuedMessageCount() const {
  std::lock_guard<std::mutex> hold(mu_);
  return queue_.size();
}

void MessageSendingModule::stop() {
  std::lock_guard<std::mutex> stopHold(stopMu_);
  if (stopped_) return;
  stopped_ = true;
  {
    std::lock_guard<std::mutex> hold(mu_);
    stopping_ = true;
  }
  queueChanged_.notify_all();
  if (senderThread_.joinable()) senderThread_.join();
  std::list<SendThread> threads;
  {
    std::lock_guard<std::mutex> hold(mu_);
    threads.swap(sendThreads_);
  }
  for (SendThread& t : threads) t.thread.join();
  stopIo_.store(true);
  wakeup_.signal();
  if (ioThread_.joinable()) ioThread_.join();
  std::shared_ptr<IpcConnection> connection;
  {
    std::lock_guard<std::mutex> hold(mu_);
    connection = std::move(connection_);
  }
  if (connection) connection->shutdown();
  listening_.store(false);
  listener_.reset();
  guard_.invalidate();
}

}  // namespace ulmora
