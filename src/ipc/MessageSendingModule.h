#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ipc/IpcChannel.h"
#include "ipc/IpcMessage.h"
#include "ipc/WakeupEvent.h"
#include "platform/PropertyList.h"
#include "platform/RunLoop.h"
#include "platform/WeakGuard.h"

namespace ulmora {

class IpcConnection;
class IpcListener;

// The agent's channel to one companion: the Finder integration or the status
// monitor (docs/ipc.md). The agent listens on the channel's socket; the
// companion connects. At most one companion is connected: a new connection
// replaces the old one, which is how a restarted companion takes over.
//
// Sending never blocks the caller. A message goes only to a companion that is
// connected when it is sent out: messages meant for an absent companion are
// dropped (traced once per absence, counted until it connects); a companion
// that connects later gets what is sent after that.
//
// Commands from the companion (the same four-text form) are handed to the
// command handler on the command loop (RunLoop::main() unless another is
// given), never on a thread of this module. A frame that is too large, does
// not parse, or is not a message ends that connection with a trace line.
//
// Threads: an I/O thread (accepts, reads commands) and the sending thread
// (the queue of runInThread=false messages), both started by the constructor;
// plus one short-lived thread per runInThread=true message, joined when it
// has finished (at the next send) or at stop(). stop() sends what is still
// queued, then joins every thread; the destructor calls it.
//
// Thread-safety: every public member may be called from any thread, except
// that the module must not be destroyed while another thread is inside one.
class MessageSendingModule {
 public:
  using CommandHandler = std::function<void(const IpcMessage&)>;
  // Called on the command loop for every connection the companion makes,
  // a replacement of an open one included, before any of its commands.
  using ConnectionHandler = std::function<void()>;

  struct Options {
    IpcChannel channel = IpcChannel::kMonitor;
    // Where to listen; empty leaves the channel closed (every message dropped).
    std::string socketPath;
    // Where commands are handled; RunLoop::main() (taken at construction)
    // when null. The loop may go away first: later commands are then dropped.
    RunLoop* commandLoop = nullptr;
    CommandHandler commandHandler;
    ConnectionHandler connectionHandler;
    // Messages waiting for the sending thread; beyond this the oldest goes.
    size_t queueCapacity = 1024;
    // How long one frame may wait for the companion to make room before the
    // companion counts as stuck and its connection is closed.
    std::chrono::milliseconds sendTimeout{2000};
  };

  explicit MessageSendingModule(Options options);
  // The channel of `consoleUser` in the socket folder of IpcPaths.
  static std::unique_ptr<MessageSendingModule> forConsoleUser(IpcChannel channel,
                                                              const std::string& consoleUser,
                                                              CommandHandler handler,
                                                              RunLoop* commandLoop = nullptr);
  ~MessageSendingModule();
  MessageSendingModule(const MessageSendingModule&) = delete;
  MessageSendingModule& operator=(const MessageSendingModule&) = delete;

  // Sends [payload, type, own name, companion name]. With `runInThread`
  // false the message joins the queue, sent in order by the sending thread;
  // with true it goes from a thread of its own, so it does not wait behind
  // the queue (and may overtake it); while 64 such threads are still
  // waiting on a slow companion, further ones join the queue instead. A
  // payload that is neither a text nor an array of texts is not sent (traced).
  void sendIPCMessage(const PropertyList& payload, int type, bool runInThread);
  void sendIPCMessage(const std::vector<std::string>& payload, int type, bool runInThread);

  void setCommandHandler(CommandHandler handler);
  void setConnectionHandler(ConnectionHandler handler);

  IpcChannel channel() const { return options_.channel; }
  const std::string& socketPath() const { return options_.socketPath; }
  const std::string& ownName() const { return ownName_; }
  const std::string& peerName() const { return peerName_; }
  bool isListening() const;
  bool isPeerConnected() const;
  // Messages waiting for the sending thread (not counting one being sent).
  size_t queuedMessageCount() const;

  // Refuses new messages, sends what is queued, closes the socket and joins
  // every thread. Idempotent.
  void stop();

 private:
  struct SendThread {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };

  void ioThreadMain();
  void senderThreadMain();
  void acceptConnections();
  // Why the connection has to go, or nullopt while it may stay.
  std::optional<std::string> readCommands(IpcConnection& connection);
  void dispatch(IpcMessage message);
  void announceConnection();
  void closeConnection(const std::shared_ptr<IpcConnection>& connection, const std::string& why);
  bool hasRoomForSendThread();               // requires mu_
  void startSendThread(IpcMessage message);  // requires mu_
  void deliver(const IpcMessage& message);
  void noteDropped(int type);
  void reapFinishedSendThreads();  // requires mu_

  const Options options_;
  const std::string ownName_;
  const std::string peerName_;
  const RunLoop::Handle commandLoop_;

  std::unique_ptr<IpcListener> listener_;  // used only by the I/O thread until stop()
  std::atomic<bool> listening_{false};
  WakeupEvent wakeup_;
  std::atomic<bool> stopIo_{false};

  std::mutex stopMu_;     // serialises stop(); taken before mu_
  bool stopped_ = false;  // guarded by stopMu_

  mutable std::mutex mu_;  // guards everything below
  std::condition_variable queueChanged_;
  std::deque<IpcMessage> queue_;
  bool stopping_ = false;  // no new messages; the sending thread drains and ends
  std::shared_ptr<IpcConnection> connection_;
  bool absenceTraced_ = false;
  size_t droppedWhileAbsent_ = 0;
  CommandHandler handler_;
  ConnectionHandler connectionHandler_;
  std::list<SendThread> sendThreads_;

  std::thread ioThread_;
  std::thread senderThread_;

  WeakGuard guard_;  // last: commands posted to the loop die with the module
};

}  // namespace ulmora
