// ulmora-peer: a stand-in for the agent's companions, for people and tests.
#include <poll.h>
#include <signal.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "PeerCodes.h"
#include "PeerFormat.h"
#include "PeerOptions.h"
#include "PeerSockets.h"
#include "ipc/BusNotification.h"
#include "ipc/IpcClient.h"
#include "ipc/IpcMessage.h"
#include "ipc/IpcPaths.h"
#include "platform/Clock.h"
#include "platform/UserInfo.h"

namespace ulmora::peer {
namespace {

constexpr auto kRetryInterval = std::chrono::milliseconds(500);

struct Endpoint {
  std::string label;  // "finder", "monitor" or "bus"
  std::string path;
  std::optional<IpcChannel> channel;  // none for the bus
  std::unique_ptr<IpcClient> client;
  Clock::TimePoint nextAttempt{};
  // Another companion took the channel over: connecting again would take it
  // back, and the two would take turns twice a second. Wait until it leaves.
  bool yielded = false;
};

void note(const std::string& text) { std::fprintf(stderr, "# %s\n", text.c_str()); }

class Peer {
 public:
  Peer(PeerOptions options, const std::string& folder, const std::string& user)
      : options_(std::move(options)) {
    for (IpcChannel c : options_.channels) {
      endpoints_.push_back({std::string(ipcChannelLabel(c)),
                            IpcPaths::channelSocketPath(folder, user, c),
                            c,
                            nullptr,
                            {}});
    }
    if (options_.bus) {
      endpoints_.push_back(
          {"bus", IpcPaths::busSocketPath(folder, user), std::nullopt, nullptr, {}});
    }
  }

  int run() {
    Clock& clock = Clock::systemClock();
    // A plain flag and time point rather than std::optional: GCC 12 warns
    // falsely about an uninitialised optional here in optimised builds.
    const bool hasDeadline = options_.timeout.has_value();
    const Clock::TimePoint deadline =
        hasDeadline ? clock.monotonicNow() + *options_.timeout : Clock::TimePoint{};
    for (;;) {
      connectMissing(clock.monotonicNow());
      sendCommandOnce();
      if (options_.count == 0 && allConnected() && (!options_.command || commandSent_)) return 0;
      if (!waitAndRead(hasDeadline ? deadline - clock.monotonicNow() : kRetryInterval)) return 1;
      if (options_.count && received_ >= *options_.count) return 0;
      if (hasDeadline && clock.monotonicNow() >= deadline) return options_.count ? 1 : 0;
    }
  }

 private:
  void connectMissing(Clock::TimePoint now) {
    for (Endpoint& e : endpoints_) {
      if (e.client || now < e.nextAttempt) continue;
      if (e.yielded) {
        if (connectionsAccepted(readUnixSocketTable(), e.path) > 0) {
          e.nextAttempt = now + kRetryInterval;
          continue;
        }
        e.yielded = false;
      }
      e.client = IpcClient::connect(e.path);
      if (e.client) {
        note("connected to the " + e.label + " socket " + e.path);
      } else {
        e.nextAttempt = now + kRetryInterval;
      }
    }
  }

  bool allConnected() const {
    for (const Endpoint& e : endpoints_) {
      if (!e.client) return false;
    }
    return true;
  }

  void sendCommandOnce() {
    if (!options_.command || commandSent_) return;
    const PeerOptions::Command& c = *options_.command;
    for (Endpoint& e : endpoints_) {
      if (e.channel != c.channel || !e.client) continue;
      IpcMessage message{c.payload, c.type, std::string(ipcPeerName(c.channel)),
                         std::string(kIpcAgentName)};
      commandSent_ = e.client->send(message.toPropertyList());
      if (commandSent_) note("sent type " + std::to_string(c.type) + " on " + e.label);
    }
  }

  // False when standard output is gone.
  bool waitAndRead(Clock::Duration wait) {
    std::vector<pollfd> fds;
    std::vector<Endpoint*> owners;
    for (Endpoint& e : endpoints_) {
      if (!e.client) continue;
      fds.push_back({e.client->fd(), POLLIN, 0});
      owners.push_back(&e);
    }
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(std::min<Clock::Duration>(
        std::max<Clock::Duration>(wait, Clock::Duration::zero()), kRetryInterval));
    ::poll(fds.data(), fds.size(), static_cast<int>(ms.count()));
    for (size_t i = 0; i < fds.size(); ++i) {
      if (!fds[i].revents) continue;
      Endpoint& e = *owners[i];
      while (std::optional<PropertyList> frame = e.client->receiveNow()) {
        if (!print(e, *frame)) return false;
        if (options_.count && ++received_ >= *options_.count) return true;
      }
      if (!e.client->isOpen()) {
        e.client.reset();
        // The agent accepts the newcomer before it closes the connection it
        // replaces, so the newcomer is already listed here.
        e.yielded = e.channel && connectionsAccepted(readUnixSocketTable(), e.path) > 0;
        note(e.yielded ? "another companion took over the " + e.label +
                             " channel; connecting again once it leaves"
                       : "the " + e.label + " connection ended; retrying");
        e.nextAttempt = Clock::systemClock().monotonicNow() + kRetryInterval;
      }
    }
    return true;
  }

  bool print(const Endpoint& e, const PropertyList& frame) {
    const Clock::WallTime now = Clock::systemClock().wallNow();
    std::string line;
    std::string meaning;
    if (e.channel) {
      std::optional<IpcMessage> m = IpcMessage::fromPropertyList(frame);
      line = m ? formatLine(now, e.label, std::to_string(m->type), m->payload)
               : formatLine(now, e.label, "?", frame);
      if (options_.meanings) {
        meaning = m ? describeChannelMessage(e.label, m->type, m->payload.asString()) : "not a message";
      }
    } else {
      std::optional<BusNotification> n = BusNotification::fromPropertyList(frame);
      line =
          n ? formatLine(now, e.label, n->name, n->userInfo) : formatLine(now, e.label, "?", frame);
      if (options_.meanings) meaning = n ? describeBusNotification(n->name) : "not a notification";
    }
    // Escaped like the line: the fields hold file names.
    if (options_.meanings) line += "  # " + render(PropertyList(meaning), false);
    line += '\n';
    return std::fputs(line.c_str(), stdout) >= 0 && std::fflush(stdout) == 0;
  }

  const PeerOptions options_;
  std::vector<Endpoint> endpoints_;
  bool commandSent_ = false;
  long received_ = 0;
};

}  // namespace
}  // namespace ulmora::peer

int main(int argc, char** argv) {
  using namespace ulmora;
  // A vanished agent or a closed pipe on standard output is an error code
  // to handle, not a reason to die.
  ::signal(SIGPIPE, SIG_IGN);
  std::string error;
  std::optional<peer::PeerOptions> options =
      peer::parsePeerOptions(std::vector<std::string>(argv + 1, argv + argc), &error);
  if (!options) {
    if (!error.empty()) std::fprintf(stderr, "ulmora-peer: %s\n", error.c_str());
    std::fputs(peer::usage().c_str(), stderr);
    return error.empty() ? 0 : 2;
  }
  std::optional<std::string> folder =
      options->folder.empty() ? IpcPaths::socketFolder() : std::optional(options->folder);
  if (!folder) return 1;
  const std::string user = options->user.empty() ? UserInfo::currentUserName() : options->user;
  return peer::Peer(std::move(*options), *folder, user).run();
}
