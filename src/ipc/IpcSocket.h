#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "ipc/IpcFrame.h"
#include "platform/UniqueFd.h"

namespace ulmora::ipcsocket {

// Unix stream sockets as every IPC endpoint uses them: SOCK_CLOEXEC and
// non-blocking from the start, sends with MSG_NOSIGNAL (a vanished peer is an
// error code, never SIGPIPE). Failures leave a trace line.
//
// Thread-safety: the functions keep no state. Sending and receiving on one
// socket from two threads at once is fine; two concurrent senders on one
// socket must be serialised by the caller, or their frames interleave.

// Binds and listens on `path`, mode 0600. A socket file left by an endpoint
// that is gone (connecting to it is refused) is replaced; a live one, or any
// file that is not a socket, is left alone and nullopt returned.
std::optional<UniqueFd> listenOn(const std::string& path);

// Accepts one pending connection; nullopt when none is pending (or on error).
std::optional<UniqueFd> acceptOne(int listenFd);

// Connects to the endpoint at `path` and checks that it runs as the same user
// (a socket planted by someone else is not talked to). Quiet when nothing
// listens there, since companions retry.
std::optional<UniqueFd> connectTo(const std::string& path);

// The uid of the process at the other end (SO_PEERCRED).
std::optional<uid_t> peerUid(int fd);

// True when the peer is the running user. Otherwise traces that the
// connection on `what` is refused.
bool isSameUser(int fd, std::string_view what);

// Writes all of `bytes`, waiting for room at most `timeout` in total.
enum class SendResult { kSent, kTimedOut, kFailed };
SendResult sendAll(int fd, std::string_view bytes, std::chrono::milliseconds timeout);

// Reads what is available without blocking into `reader` (a bounded amount
// per call). On kClosed, whatever arrived before the end is still in
// `reader`: a peer may send a command and hang up at once.
enum class ReceiveResult { kReceived, kNothing, kClosed };
ReceiveResult receiveAvailable(int fd, IpcFrame::Reader& reader);

// Whether an accepted descriptor leaves at least kHandleReserve descriptors
// free below the process's limit, for files the agent must always be able to
// open.
inline constexpr int kHandleReserve = 256;
bool leavesHandleReserve(int fd);
// Raises the soft limit on open files to the hard limit (once per process:
// the first listener does it); the soft limit that results.
int raiseOpenFileLimit();

// The largest socket path sun_path can hold.
size_t maxPathLength();

}  // namespace ulmora::ipcsocket
