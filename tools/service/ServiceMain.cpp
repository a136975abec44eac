// The stand-in web service: the push channel, service discovery, account
// details and the video-conversion request, over HTTPS on loopback
// (docs/service.md).
#include <arpa/inet.h>
#include <signal.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "AccountDirectory.h"
#include "CertificateMaker.h"
#include "ListenerSupervisor.h"
#include "PushBroker.h"
#include "ServiceFaults.h"
#include "ServiceRoutes.h"

namespace {

using namespace ulmora::service;

constexpr const char* kUsage =
    "usage: ulmora-service --storage=DIR (--cert-dir=DIR | --cert=PEM --key=PEM)\n"
    "                      [--host=127.0.0.1] [--port=N] [--poll-seconds=N] [--max-polls=N]\n"
    "                      [--faults=FILE]\n"
    "       ulmora-service --make-certs=DIR\n";

struct Arguments {
  std::string storage;
  std::string cert;
  std::string key;
  std::string host = "127.0.0.1";
  int port = 0;
  int pollSeconds = 300;
  int maxPolls = 64;
  std::string faults;
  std::string makeCerts;
};

bool numberIn(std::string_view text, int low, int high, int& out) {
  if (text.empty() || text.size() > 9) return false;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  if (value < low || value > high) return false;
  out = value;
  return true;
}

std::optional<Arguments> parse(int argc, char** argv) {
  Arguments args;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    const auto eq = arg.find('=');
    const std::string_view name = arg.substr(0, eq);
    const std::string value(eq == std::string_view::npos ? std::string_view() : arg.substr(eq + 1));
    if (name == "--storage") {
      args.storage = value;
    } else if (name == "--cert") {
      args.cert = value;
    } else if (name == "--key") {
      args.key = value;
    } else if (name == "--cert-dir") {
      args.cert = value + "/server.pem";
      args.key = value + "/server-key.pem";
    } else if (name == "--host") {
      args.host = value;
    } else if (name == "--port") {
      if (!numberIn(value, 0, 65535, args.port)) return std::nullopt;
    } else if (name == "--poll-seconds") {
      if (!numberIn(value, 1, 86400, args.pollSeconds)) return std::nullopt;
    } else if (name == "--max-polls") {
      if (!numberIn(value, 1, 1024, args.maxPolls)) return std::nullopt;
    } else if (name == "--faults") {
      args.faults = value;
    } else if (name == "--make-certs") {
      args.makeCerts = value;
    } else {
      return std::nullopt;
    }
  }
  if (!args.makeCerts.empty()) return args;
  if (args.storage.empty() || args.cert.empty() || args.key.empty()) return std::nullopt;
  return args;
}

// The stand-in accepts logins without a password table, so it must never be
// reachable from another machine.
bool isLoopback(const std::string& host) {
  in_addr v4{};
  if (inet_pton(AF_INET, host.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  in6_addr v6{};
  return inet_pton(AF_INET6, host.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}

std::string absolute(const std::string& path) {
  char* resolved = realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return {};
  std::string result(resolved);
  std::free(resolved);
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  const std::optional<Arguments> args = parse(argc, argv);
  if (!args) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  if (!args->makeCerts.empty()) {
    const std::string error = makeCertificates(args->makeCerts);
    if (!error.empty()) {
      std::fprintf(stderr, "ulmora-service: %s\n", error.c_str());
      return 1;
    }
    return 0;
  }
  if (!isLoopback(args->host)) {
    std::fprintf(stderr, "ulmora-service: %s is not a numeric loopback address\n",
                 args->host.c_str());
    return 2;
  }
  const std::string storage = absolute(args->storage);
  struct stat st {};
  if (storage.empty() || stat(storage.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    std::fprintf(stderr, "ulmora-service: no storage folder %s\n", args->storage.c_str());
    return 2;
  }

  // Signals are taken by sigwait below; every thread started later inherits
  // the mask.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  const ServiceFaults faults(args->faults.empty() ? storage + "/service-faults" : args->faults);
  PushBroker broker;
  AccountDirectory accounts(storage);
  RouteSettings settings;
  settings.pollLimit = std::chrono::seconds(args->pollSeconds);
  settings.maxOpenPolls = static_cast<std::size_t>(args->maxPolls);
  settings.videoLog = storage + "/video-requests.jsonl";
  ServiceRoutes routes(settings, broker, faults, accounts);
  ListenerSupervisor supervisor({args->host, args->port, args->cert, args->key},
                                [&](httplib::Server& server) { routes.install(server); }, broker,
                                faults);
  std::string error;
  const std::optional<int> port = supervisor.bind(error);
  if (!port) {
    std::fprintf(stderr, "ulmora-service: %s\n", error.c_str());
    return 1;
  }
  accounts.setServiceAddress(
      (args->host.find(':') != std::string::npos ? "[" + args->host + "]" : args->host) + ":" +
      std::to_string(*port));
  supervisor.run();
  std::printf("PORT %d\n", *port);
  std::fflush(stdout);

  int received = 0;
  sigwait(&signals, &received);
  routes.shutDown();
  supervisor.stop();
  return 0;
}
