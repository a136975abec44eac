#include "ServiceRoutes.h"

#include <fcntl.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <pugixml.hpp>
#include <sstream>
#include <thread>

#include "FormFields.h"
#include "foundation/StringExtensions.h"

namespace ulmora::service {
namespace {

constexpr std::size_t kMaxBody = 1u << 20;
// A push payload is a small JSON object; no real one nests past a few levels.
constexpr std::size_t kMaxPayloadBytes = 64u * 1024u;
constexpr int kMaxJsonDepth = 32;
constexpr const char* kMaintenanceText = "Service is under maintenance. Try later.";

bool isXmlName(const std::string& name) {
  if (name.empty()) return false;
  auto letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; };
  if (!letter(name[0])) return false;
  for (char c : name) {
    if (!letter(c) && !(c >= '0' && c <= '9') && c != '-' && c != '.') return false;
  }
  return true;
}

std::string xmlReply(const AccountDirectory::Attributes& attributes) {
  pugi::xml_document document;
  pugi::xml_node declaration = document.append_child(pugi::node_declaration);
  declaration.append_attribute("version") = "1.0";
  declaration.append_attribute("encoding") = "UTF-8";
  pugi::xml_node response = document.append_child("response");
  for (const auto& [key, value] : attributes) {
    if (isXmlName(key)) response.append_attribute(key.c_str()) = value.c_str();
  }
  std::ostringstream out;
  document.save(out, "", pugi::format_raw);
  return out.str();
}

std::string jsonLine(const nlohmann::json& value) {
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

}  // namespace

ServiceRoutes::ServiceRoutes(RouteSettings settings, PushBroker& broker,
                             const ServiceFaults& faults, const AccountDirectory& accounts)
    : settings_(std::move(settings)), broker_(broker), faults_(faults), accounts_(accounts) {}

void ServiceRoutes::install(httplib::Server& server) {
  route(server, "/pns/broadcast", &ServiceRoutes::broadcast);
  route(server, "/kvt/getServerAddress", &ServiceRoutes::serverAddress);
  route(server, "/cgi-bin/get_umsync_kvt_details_xml_ip.cgi", &ServiceRoutes::accountDetails);
  route(server, "/cgi-bin/video_conversion.cgi", &ServiceRoutes::videoConversion);
}

void ServiceRoutes::route(httplib::Server& server, const std::string& path, Handler handler) {
  // Bodies are read here rather than by the library, which caps form bodies
  // far below what a video-conversion batch needs.
  server.Post(path, [this, handler](const httplib::Request&, httplib::Response& res,
                                    const httplib::ContentReader& reader) {
    std::string body;
    bool tooLarge = false;
    reader([&](const char* data, size_t length) {
      if (body.size() + length > kMaxBody) {
        tooLarge = true;
        return false;
      }
      body.append(data, length);
      return true;
    });
    if (tooLarge) {
      res.status = 413;
      return;
    }
    const FaultSet faults = faults_.read();
    pause(faults.slowSeconds);
    if (faults.maintenance) {
      res.status = 503;
      res.set_content(kMaintenanceText, "text/plain");
      return;
    }
    (this->*handler)(body, res);
  });
}

void ServiceRoutes::pause(int seconds) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!stopping_.load() && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

void ServiceRoutes::broadcast(const std::string& body, httplib::Response& res) {
  const FormFields form = FormFields::parse(body);
  const std::string action = form.first("action").value_or("");
  const std::string payloadText = form.first("payLoad").value_or("");
  if (payloadText.size() > kMaxPayloadBytes || jsonNestingDepth(payloadText) > kMaxJsonDepth) {
    res.status = 400;
    res.set_content("payLoad is larger than " + std::to_string(kMaxPayloadBytes) +
                        " bytes or nested deeper than " + std::to_string(kMaxJsonDepth) + "\n",
                    "text/plain");
    return;
  }
  const auto payload = nlohmann::json::parse(payloadText, nullptr, false);
  if (!payload.is_object() || !payload.contains("TOPIC") || !payload["TOPIC"].is_string()) {
    res.status = 400;
    res.set_content("payLoad must be a JSON object with a TOPIC\n", "text/plain");
    return;
  }
  const std::string topic = payload["TOPIC"].get<std::string>();
  if (action == "subscribe") {
    if (faults_.read().pollEndsAtOnce) {
      res.status = 200;
      return;
    }
    subscribe(topic, res);
    return;
  }
  if (action != "push") {
    res.status = 400;
    res.set_content("unknown action\n", "text/plain");
    return;
  }
  nlohmann::json message = payload;
  // Subscribers read the id and path under lower-case keys as well.
  if (!message.contains("id") && message.contains("Id")) message["id"] = message["Id"];
  if (!message.contains("path") && message.contains("Path")) message["path"] = message["Path"];
  const std::size_t reached = broker_.publish(topic, jsonLine(message));
  res.status = 200;
  res.set_content("OK " + std::to_string(reached) + "\n", "text/plain");
}

void ServiceRoutes::subscribe(const std::string& topic, httplib::Response& res) {
  if (openPolls_.fetch_add(1) >= settings_.maxOpenPolls) {
    openPolls_.fetch_sub(1);
    res.status = 503;
    res.set_content("too many open polls (" + std::to_string(settings_.maxOpenPolls) +
                        "); subscribe again later\n",
                    "text/plain");
    return;
  }
  // Registered before the reply headers go out: once a client sees them, a
  // push to its topic reaches it.
  std::shared_ptr<Subscription> subscription = broker_.subscribe(topic);
  const auto deadline = std::chrono::steady_clock::now() + settings_.pollLimit;
  auto lastWrite = std::make_shared<std::chrono::steady_clock::time_point>(
      std::chrono::steady_clock::now());
  res.status = 200;
  res.set_chunked_content_provider(
      "text/plain",
      [this, subscription, deadline, lastWrite](size_t, httplib::DataSink& sink) {
        const auto now = std::chrono::steady_clock::now();
        if (auto message = subscription->next(std::chrono::milliseconds(200))) {
          *lastWrite = now;
          return sink.write(message->data(), message->size());
        }
        if (subscription->ended() || stopping_.load() || now >= deadline) {
          sink.done();
          return true;
        }
        if (now - *lastWrite >= settings_.keepAlive) {
          *lastWrite = now;
          return sink.write("\n", 1);
        }
        return true;
      },
      [this, subscription](bool) {
        broker_.unsubscribe(subscription);
        openPolls_.fetch_sub(1);
      });
}

void ServiceRoutes::serverAddress(const std::string& body, httplib::Response& res) {
  const FormFields form = FormFields::parse(body);
  detailsReply(form.first("uid").value_or(""), form.first("pwd").value_or(""), res);
}

void ServiceRoutes::accountDetails(const std::string& body, httplib::Response& res) {
  const FormFields form = FormFields::parse(body);
  detailsReply(form.first("username").value_or(""), form.first("password").value_or(""), res);
}

void ServiceRoutes::detailsReply(const std::string& user, const std::string& password,
                                 httplib::Response& res) {
  res.status = 200;
  if (faults_.read().badXml) {
    res.set_content("<html><body>Internal error", "text/html");
    return;
  }
  // A refusal carries the message alone: callers act only on replies with
  // more than one attribute.
  const AccountDirectory::Attributes attributes =
      accounts_.accepts(user, password)
          ? accounts_.details(user)
          : AccountDirectory::Attributes{{"message", "Invalid username or password"}};
  res.set_content(xmlReply(attributes), "text/xml");
}

void ServiceRoutes::videoConversion(const std::string& body, httplib::Response& res) {
  const FormFields form = FormFields::parse(body);
  const std::string user = form.first("username").value_or("");
  if (!accounts_.accepts(user, form.first("password").value_or(""))) {
    res.status = 403;
    res.set_content("Invalid username or password\n", "text/plain");
    return;
  }
  const std::vector<std::string> files = form.all("file");
  if (files.empty()) {
    res.status = 400;
    res.set_content("no file\n", "text/plain");
    return;
  }
  // The password is not recorded.
  if (!record(jsonLine({{"user", user}, {"files", files}}))) {
    res.status = 500;
    return;
  }
  res.status = 200;
  res.set_content(xmlReply({{"message", "SUCCESS"}, {"count", std::to_string(files.size())}}),
                  "text/xml");
}

bool ServiceRoutes::record(const std::string& line) {
  std::lock_guard<std::mutex> lock(logMu_);
  const int fd = ::open(settings_.videoLog.c_str(),
                        O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return false;
  std::size_t written = 0;
  while (written < line.size()) {
    const ssize_t n = ::write(fd, line.data() + written, line.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    written += static_cast<std::size_t>(n);
  }
  ::close(fd);
  return written == line.size();
}

}  // namespace ulmora::service
