#pragma once

#include <string>
#include <string_view>

namespace ulmora::peer {

// How many connections the agent holds open on the socket bound at `path`,
// counted in `table`, the kernel's list of Unix sockets (/proc/net/unix):
// each accepted connection is listed, connected, under the path of the socket
// it was accepted on; the listening socket itself is not connected and does
// not count. The agent keeps one companion per channel, the last to connect,
// so a peer whose connection ended while another is counted here was replaced
// by that companion rather than left by a stopping agent.
//
// Thread-safety: a pure function.
int connectionsAccepted(std::string_view table, std::string_view path);

// The text of /proc/net/unix; "" when it cannot be read.
std::string readUnixSocketTable();

}  // namespace ulmora::peer
