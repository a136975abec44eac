#include "ListenerSupervisor.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>

namespace ulmora::service {
namespace {

// Long polls hold a thread each, at most RouteSettings::maxOpenPolls of them;
// the rest serve everything else.
constexpr std::size_t kPoolThreads = 256;
// A connection that sends nothing (no handshake, no request, nothing after
// its last reply) gives its thread back this soon.
constexpr time_t kIdleSeconds = 2;

}  // namespace

ListenerSupervisor::ListenerSupervisor(ListenerConfig config, Installer installer,
                                       PushBroker& broker, const ServiceFaults& faults)
    : config_(std::move(config)), installer_(std::move(installer)), broker_(broker), faults_(faults) {}

ListenerSupervisor::~ListenerSupervisor() { stop(); }

bool ListenerSupervisor::makeServer(std::string& error) {
  server_ = std::make_unique<httplib::SSLServer>(config_.certFile.c_str(), config_.keyFile.c_str());
  if (!server_->is_valid()) {
    error = "cannot load the certificate " + config_.certFile + " or key " + config_.keyFile;
    server_.reset();
    return false;
  }
  server_->new_task_queue = [] { return new httplib::ThreadPool(kPoolThreads); };
  server_->set_read_timeout(kIdleSeconds, 0);
  server_->set_keep_alive_timeout(kIdleSeconds);
  server_->set_write_timeout(10, 0);
  installer_(*server_);
  return true;
}

std::optional<int> ListenerSupervisor::bind(std::string& error) {
  if (!makeServer(error)) return std::nullopt;
  if (config_.port == 0) {
    port_ = server_->bind_to_any_port(config_.host);
  } else {
    port_ = server_->bind_to_port(config_.host, config_.port) ? config_.port : -1;
  }
  if (port_ <= 0) {
    error = "cannot listen on " + config_.host + ":" + std::to_string(config_.port);
    server_.reset();
    return std::nullopt;
  }
  return port_;
}

void ListenerSupervisor::run() {
  startServing();
  // Refusing from the start is settled before run() returns, so a caller
  // that sees the port announced also sees the refusal.
  bool serving = true;
  if (faults_.read().refuse) {
    stopServing();
    reservePort();
    serving = false;
  }
  watcher_ = std::thread([this, serving] { watch(serving); });
}

void ListenerSupervisor::startServing() {
  broker_.open();
  serving_ = std::thread([server = server_.get()] { server->listen_after_bind(); });
  // stop() does nothing to a server that has not begun listening yet, so
  // the next stop must not come before that.
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!server_->is_running() && std::chrono::steady_clock::now() < give_up)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void ListenerSupervisor::stopServing() {
  broker_.close();
  if (server_) server_->stop();
  if (serving_.joinable()) serving_.join();
  server_.reset();
}

bool ListenerSupervisor::reservePort() {
  const bool v6 = config_.host.find(':') != std::string::npos;
  const int fd = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const int yes = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  int rc = -1;
  if (v6) {
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(static_cast<uint16_t>(port_));
    ::inet_pton(AF_INET6, config_.host.c_str(), &address.sin6_addr);
    rc = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  } else {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port_));
    ::inet_pton(AF_INET, config_.host.c_str(), &address.sin_addr);
    rc = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  }
  if (rc != 0) {
    ::close(fd);
    return false;
  }
  reservedFd_ = fd;
  return true;
}

void ListenerSupervisor::releasePort() {
  if (reservedFd_ >= 0) ::close(reservedFd_);
  reservedFd_ = -1;
}

void ListenerSupervisor::watch(bool serving) {
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(mu_);
      wake_.wait_for(lock, std::chrono::milliseconds(100), [this] { return stopping_; });
      if (stopping_) break;
    }
    const bool refuse = faults_.read().refuse;
    if (refuse && serving) {
      stopServing();
      if (!reservePort()) std::fprintf(stderr, "ulmora-service: cannot hold port %d\n", port_);
      serving = false;
    } else if (!refuse && !serving) {
      releasePort();
      std::string error;
      if (makeServer(error) && server_->bind_to_port(config_.host, port_)) {
        startServing();
        serving = true;
      } else {
        std::fprintf(stderr, "ulmora-service: cannot listen again on port %d %s\n", port_,
                     error.c_str());
        server_.reset();
        reservePort();  // tried again on the next round
      }
    }
  }
  if (serving) stopServing();
  releasePort();
}

void ListenerSupervisor::stop() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (watcher_.joinable()) {
    watcher_.join();
  } else if (server_) {
    stopServing();  // bound but never run
  }
}

}  // namespace ulmora::service
