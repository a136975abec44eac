#pragma once

#include <string>
#include <string_view>

namespace ulmora::peer {

// What the status monitor would show for a message the agent sends it: the
// agent sends only codes ("T1002||12||0.11 KB/s", "N1034||a.txt||added::/a.txt")
// and the monitor owns the texts. This is the stand-in monitor's reading of
// them, for people watching the peer's output.
//
// `type` is the message type on the monitor channel: 500 (status) and 504
// (status after the quota frees up) carry one status code per line, 501 a
// notification code or a plain text. Returns "" for other types, for a
// plain text and for an unknown code. Each code reads as
// "<code>: <meaning>", then its fields by name in brackets; the lines of a
// multi-line status are joined by "; ".
//
// Thread-safety: a pure function.
std::string describeMonitorMessage(int type, std::string_view payload);

// What a message the agent sends on a channel ("finder" or "monitor") is for,
// so that every line of the peer can carry a meaning: the type's purpose
// ("status", "refresh the selective-sync window"), and for a status or
// notification, after ": ", what its codes mean as above. `text` is the
// payload when it is a text, else null. A type or code the peer does not know
// reads as such, never as "".
//
// Thread-safety: a pure function.
std::string describeChannelMessage(std::string_view channel, int type, const std::string* text);

// What a notification on the bus is for, by its name.
std::string describeBusNotification(std::string_view name);

}  // namespace ulmora::peer
