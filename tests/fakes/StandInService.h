#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "TestTempDir.h"
#include "WaitUntil.h"
#include "platform/ProcessRunner.h"

namespace ulmora::testing {

// The built ulmora-service run as a child on 127.0.0.1 with a port it picks,
// over a storage folder and a certificate authority of its own in a
// temporary folder. The child is stopped (SIGTERM) when the object goes.
//
// The child's output is pumped by a thread of this object (ChildProcess moves
// output only inside wait()), which hands over the announced port.
class StandInService {
 public:
  explicit StandInService(std::string executable) : executable_(std::move(executable)) {
    ::mkdir(tmp_.sub("store").c_str(), 0700);
  }

  ~StandInService() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (child_ != nullptr) child_->kill(SIGTERM);
    }
    if (pump_.joinable()) pump_.join();
  }

  StandInService(const StandInService&) = delete;
  StandInService& operator=(const StandInService&) = delete;

  // Makes the authority and starts the service; false (with why()) when it
  // did not announce a port within 20 s.
  bool start(std::vector<std::string> extraArguments = {}) {
    if (!makeCertificates(tmp_.sub("certs"))) return false;
    std::vector<std::string> arguments = {"--storage=" + storage(),
                                          "--cert-dir=" + tmp_.sub("certs")};
    arguments.insert(arguments.end(), extraArguments.begin(), extraArguments.end());
    pump_ = std::thread([this, arguments] { pump(arguments); });
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait_for(lock, std::chrono::seconds(20), [this] { return port_ > 0 || ended_; });
    return port_ > 0;
  }

  // A second, unrelated authority: a client trusting it must refuse the service.
  std::string makeOtherAuthority() {
    const std::string folder = tmp_.sub("other-certs");
    return makeCertificates(folder) ? folder + "/ca.pem" : std::string();
  }

  int port() const {
    std::lock_guard<std::mutex> lock(mu_);
    return port_;
  }
  std::string hostAndPort() const { return "127.0.0.1:" + std::to_string(port()); }
  std::string url(const std::string& path) const { return "https://" + hostAndPort() + path; }
  std::string storage() const { return tmp_.sub("store"); }
  std::string caFile() const { return tmp_.sub("certs") + "/ca.pem"; }
  std::string why() const {
    std::lock_guard<std::mutex> lock(mu_);
    return errors_;
  }

  void setFaults(const std::string& text) const { tmp_.writeFile("store/service-faults", text); }
  void setPasswords(const std::string& text) const { tmp_.writeFile("store/passwd", text); }

  std::string videoLog() const {
    std::ifstream in(storage() + "/video-requests.jsonl", std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  // The service takes up a new "refuse" setting within about 100 ms; this
  // tries to connect until the port behaves as wanted, for at most 10 s.
  bool waitUntilRefusing(bool refusing) const {
    return waitUntil([&] { return connects() != refusing; }, std::chrono::seconds(10),
                     std::chrono::milliseconds(20));
  }

 private:
  bool makeCertificates(const std::string& folder) {
    ProcessOptions options;
    options.executable = executable_;
    options.arguments = {"--make-certs=" + folder};
    options.timeout = std::chrono::seconds(30);
    const ProcessResult result = ProcessRunner::run(options);
    if (!result.succeeded()) {
      std::lock_guard<std::mutex> lock(mu_);
      errors_ += "making certificates failed: " + result.err;
    }
    return result.succeeded();
  }

  void pump(const std::vector<std::string>& arguments) {
    ProcessOptions options;
    options.executable = executable_;
    options.arguments = arguments;
    ChildProcess child(options);
    child.setStdoutLineHandler([this](std::string_view line) {
      if (line.substr(0, 5) != "PORT ") return;
      std::lock_guard<std::mutex> lock(mu_);
      port_ = std::atoi(std::string(line.substr(5)).c_str());
      cv_.notify_all();
    });
    child.setStderrLineHandler([this](std::string_view line) {
      std::lock_guard<std::mutex> lock(mu_);
      errors_ += std::string(line) + "\n";
    });
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (child.start()) child_ = &child;
    }
    const ProcessResult result = child.wait();
    std::lock_guard<std::mutex> lock(mu_);
    child_ = nullptr;
    ended_ = true;
    if (!result.started) errors_ += result.err;
    cv_.notify_all();
  }

  bool connects() const {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port()));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
  }

  const std::string executable_;
  TestTempDir tmp_;
  std::thread pump_;

  mutable std::mutex mu_;  // guards everything below
  std::condition_variable cv_;
  ChildProcess* child_ = nullptr;
  int port_ = 0;
  bool ended_ = false;
  std::string errors_;
};

}  // namespace ulmora::testing
