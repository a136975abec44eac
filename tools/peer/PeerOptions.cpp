#include "PeerOptions.h"

#include <charconv>

namespace ulmora::peer {

namespace {

constexpr int kPauseType = 502;
constexpr int kResumeType = 503;
constexpr int kPingType = 510;

template <typename T>
std::optional<T> number(const std::string& text) {
  T value{};
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end) return std::nullopt;
  return value;
}

std::optional<IpcChannel> channelNamed(const std::string& name) {
  if (name == "finder") return IpcChannel::kFinder;
  if (name == "monitor") return IpcChannel::kMonitor;
  return std::nullopt;
}

}  // namespace

std::string usage() {
  return "usage: ulmora-peer [--finder | --monitor | --both] [--no-bus] [--meanings] [--user NAME]\n"
         "                   [--folder DIR] [--to finder|monitor] [--count N] [--timeout SECONDS]\n"
         "                   [pause | resume | ping | --send TYPE PAYLOAD]\n"
         "Connects to the sync agent as the Finder integration, the status monitor or both\n"
         "(default both), subscribes to the notification bus, and prints one line per\n"
         "message: time, channel, type, payload. Reconnects when the agent restarts.\n"
         "  --meanings            end each line with what the message is for and what\n"
         "                        its status or notification codes mean, after \" # \"\n"
         "  pause, resume, ping   send command 502, 503 or 510 (to the monitor unless --to)\n"
         "  --send TYPE PAYLOAD   send any type with a text payload\n"
         "  --count N             exit after N messages; 0 exits once every socket is\n"
         "                        connected and the command is sent\n"
         "  --timeout SECONDS     exit after this long (status 1 if --count was not reached)\n";
}

std::optional<PeerOptions> parsePeerOptions(const std::vector<std::string>& args,
                                            std::string* error) {
  PeerOptions options;
  std::optional<IpcChannel> to;
  auto fail = [&](const std::string& why) {
    *error = why;
    return std::nullopt;
  };
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    auto value = [&]() -> const std::string* { return i + 1 < args.size() ? &args[++i] : nullptr; };
    auto setCommand = [&](int type, std::string payload) {
      if (options.command) return false;
      options.command = PeerOptions::Command{IpcChannel::kMonitor, type, std::move(payload)};
      return true;
    };
    if (arg == "--finder") {
      options.channels = {IpcChannel::kFinder};
    } else if (arg == "--monitor") {
      options.channels = {IpcChannel::kMonitor};
    } else if (arg == "--both") {
      options.channels = {IpcChannel::kFinder, IpcChannel::kMonitor};
    } else if (arg == "--no-bus") {
      options.bus = false;
    } else if (arg == "--meanings") {
      options.meanings = true;
    } else if (arg == "--user" || arg == "--folder" || arg == "--to" || arg == "--count" ||
               arg == "--timeout") {
      const std::string* v = value();
      if (!v) return fail(arg + " needs a value");
      if (arg == "--user") {
        options.user = *v;
      } else if (arg == "--folder") {
        options.folder = *v;
      } else if (arg == "--to") {
        to = channelNamed(*v);
        if (!to) return fail("--to takes finder or monitor");
      } else if (arg == "--count") {
        options.count = number<long>(*v);
        if (!options.count || *options.count < 0) return fail("--count takes a number >= 0");
      } else {
        std::optional<double> seconds = number<double>(*v);
        if (!seconds || *seconds <= 0) return fail("--timeout takes a number of seconds > 0");
        options.timeout = std::chrono::milliseconds(static_cast<long long>(*seconds * 1000));
      }
    } else if (arg == "pause" || arg == "resume" || arg == "ping") {
      const int type = arg == "pause" ? kPauseType : arg == "resume" ? kResumeType : kPingType;
      if (!setCommand(type, "")) return fail("only one command at a time");
    } else if (arg == "--send") {
      const std::string* type = value();
      const std::string* payload = value();
      std::optional<int> t = type ? number<int>(*type) : std::nullopt;
      if (!t || !payload) return fail("--send takes TYPE (a number) and PAYLOAD");
      if (!setCommand(*t, *payload)) return fail("only one command at a time");
    } else if (arg == "--help" || arg == "-h") {
      return fail("");
    } else {
      return fail("unknown argument '" + arg + "'");
    }
  }
  if (options.command) {
    const bool finderOnly =
        options.channels.size() == 1 && options.channels[0] == IpcChannel::kFinder;
    options.command->channel = to ? *to : finderOnly ? IpcChannel::kFinder : IpcChannel::kMonitor;
    bool connected = false;
    for (IpcChannel c : options.channels) connected |= c == options.command->channel;
    if (!connected) return fail("the command goes to a channel that is not connected");
  }
  return options;
}

}  // namespace ulmora::peer
