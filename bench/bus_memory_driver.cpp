// Memory of the notification bus under companions that subscribe and never
// read. Built by bench/bus_memory.sh against any source tree, so the same
// reproduction measures an older bus too (it uses only the bus's oldest
// interface).
//
//   bus_memory_driver <socket-path> <subscribers> <paths-in-burst> <paths-unheard>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "ipc/NotificationBus.h"
#include "platform/Trace.h"

using namespace ulmora;

namespace {

long statusKb(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(field, 0) == 0) return std::stol(line.substr(std::strlen(field) + 1));
  }
  return -1;
}

void report(const char* when) {
  std::printf("%-34s rss %7.1f MB  peak %7.1f MB  threads %ld  handles %zu\n", when,
              statusKb("VmRSS:") / 1024.0, statusKb("VmHWM:") / 1024.0, statusKb("Threads:"),
              static_cast<size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                                                std::filesystem::directory_iterator())));
  std::fflush(stdout);
}

int connectTo(const std::string& path) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.data(), path.size());
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

PropertyList listOf(size_t first, size_t n) {
  PropertyList::Array list;
  for (size_t i = first; i < first + n; ++i) {
    list.emplace_back("/home/someone/UlmoraSync/projects/some/deeper/folder/file-" +
                      std::to_string(i) + ".txt");
  }
  PropertyList info;
  info.set("syncList", PropertyList(std::move(list)));
  return info;
}

void settle() { std::this_thread::sleep_for(std::chrono::seconds(1)); }

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: %s socket subscribers burst-paths unheard-paths\n", argv[0]);
    return 2;
  }
  const std::string path = argv[1];
  const size_t subscribers = std::stoul(argv[2]);
  const size_t burst = std::stoul(argv[3]);
  const size_t unheard = std::stoul(argv[4]);
  setTraceSink([](std::string_view) {});  // the bench measures memory, not the log

  NotificationBus::Options options;
  options.socketPath = path;
  NotificationBus bus(options);
  report("start");

  // A journal that nobody listens to: one notification of every path.
  bus.post("FilesInsyncListGot", listOf(0, unheard));
  settle();
  report("after an unheard list");

  std::vector<int> fds;
  for (size_t i = 0; i < subscribers; ++i) {
    const int fd = connectTo(path);
    if (fd >= 0) fds.push_back(fd);
  }
  settle();
  std::printf("connected %zu of %zu subscribers; the bus holds %zu\n", fds.size(), subscribers,
              bus.subscriberCount());
  // The burst: the writer's ticks post the paths 100 at a time.
  for (size_t done = 0; done < burst; done += 100) bus.post("FilesInsyncListGot", listOf(done, 100));
  settle();
  report("after the burst");
  std::printf("the bus holds %zu subscribers\n", bus.subscriberCount());
  for (int fd : fds) ::close(fd);
  settle();
  bus.post("IconOverlayStatus", {});  // the I/O thread notices who left
  settle();
  report("after the subscribers left");
  bus.stop();
  return 0;
}
