#include "sync/control/QuotaWorker.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <map>
#include <unistd.h>
#include <utility>

#include "engine/EngineCredentials.h"
#include "engine/ProxyController.h"
#include "engine/QLSYNCParser.h"
#include "engine/QuotaHandlerData.h"
#include "engine/UMCommandExcecuter.h"
#include "foundation/QLBackupProgressLogger.h"
#include "foundation/QLLocalizedString.h"
#include "platform/FileUtil.h"
#include "platform/PropertyList.h"
#include "platform/ThreadCheck.h"
#include "sync/status/SyncTraceTexts.h"

namespace ulmora {

namespace {

std::string lower(std::string_view s) {
  std::string out(s);
  for (auto& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string trimmed(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return std::string(s);
}

// Foundation's boolValue: "YES", "Y", "T" and a leading 1-9 are true.
bool boolValue(std::string_view text) {
  const std::string t = trimmed(text);
  if (t.empty()) return false;
  const char c = static_cast<char>(std::toupper(static_cast<unsigned char>(t[0])));
  return c == 'Y' || c == 'T' || (c >= '1' && c <= '9');
}

}  // namespace

// ---------------------------------------------------------------- engine query

EngineQuotaQuery::EngineQuotaQuery(std::string executable, UserSource user,
                                   std::string proxySettingsFile)
    : executable_(std::move(executable)),
      user_(std::move(user)),
      proxySettingsFile_(std::move(proxySettingsFile)) {}

std::vector<std::string> EngineQuotaQuery::quotaArguments(bool fromFile,
                                                          const std::string& passwordFile,
                                                          const std::string& privateKeyFile,
                                                          const std::string& proxyArgument,
                                                          const std::string& syncUser,
                                                          const std::string& server) {
  std::vector<std::string> args = {"--encode", fromFile ? "--quota-fromfile" : "--get-quota",
                                   "--timeout=30", "--port=443"};
  if (!passwordFile.empty()) args.push_back("--password-file=" + passwordFile);
  if (!privateKeyFile.empty()) args.push_back("--pvt-key=" + privateKeyFile);
  args.emplace_back("--xml-output");
  if (!proxyArgument.empty()) args.push_back(proxyArgument);
  args.push_back(lower(syncUser) + "@" + server + "::quellar/");
  return args;
}

QuotaReply EngineQuotaQuery::runQuota(bool fromFile) {
  daemonTrace(fromFile
                  ? "calling initwith proxy details from setProxyObjectWithSettingsFile of calculate "
                    "quota of mainsync class"
                  : "calling initwith proxy details from setProxyObjectWithSettingsFile of calculate "
                    "quota with error of mainsync class");
  const User user = user_ ? user_() : User();
  const ProxyController proxy(proxySettingsFile_);
  auto credentials = EngineCredentials::writePrivate(user);
  if (!credentials) return {"", "cannot write the credential files for the quota query"};
  UMCommandExcecuter run;
  run.setCommandString(executable_);
  run.setCommandArguments(quotaArguments(fromFile, credentials->passwordFile(),
                                         credentials->privateKeyFile(), proxy.proxyArgument(),
                                         user.userName(), user.kvtServerIP()));
  run.setEnvironment(credentials->environment(proxy.proxyPassword()));
  // The engine gives up on the network after 30 s; this bounds a stuck run,
  // which would also hold the agent's stop.
  run.setTimeout(std::chrono::seconds(50));
  QuotaReply reply;
  auto output = run.excecute(&reply.error, nullptr);
  if (output) reply.output = std::move(*output);
  // Only the error text of a failed run counts; a warning on a good run does not.
  if (run.exitStatus() == 0 && !reply.output.empty()) reply.error.clear();
  return reply;
}

// ---------------------------------------------------------------- pure helpers

std::optional<double> QuotaWorker::quotaNumber(std::string_view text) {
  const std::string t = trimmed(text);
  if (t.empty()) return std::nullopt;
  errno = 0;
  char* end = nullptr;
  const double v = std::strtod(t.c_str(), &end);
  if (errno != 0 || end != t.c_str() + t.size() || !std::isfinite(v) || v < 0) return std::nullopt;
  return v;
}

double QuotaWorker::toUnits(double engineValue) { return engineValue * 0.0009765625 * 0.0009765625; }

bool QuotaWorker::isExceeded(double usedUnits, double totalUnits) {
  // 0/0 gives NaN, which never compares as exceeded.
  return std::ceil(usedUnits * 100 / totalUnits) - 100 >= 0;
}

bool QuotaWorker::isFull(double used, double total) {
  used = std::max(used, 0.0);
  total = std::max(total, 0.0);
  return total > 0 && std::lround(used / total * 100) >= 100;
}

std::optional<QuotaWorker::Values> QuotaWorker::parseQuotaOutput(std::string_view output) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start <= output.size()) {
    const std::size_t nl = output.find('\n', start);
    lines.emplace_back(output.substr(start, nl == std::string_view::npos ? nl : nl - start));
    if (nl == std::string_view::npos) break;
    start = nl + 1;
  }
  Values v;
  bool haveUsed = false, haveTotal = false;
  QuotaHandlerData record;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    std::string line = lines[i];
    // An element broken over two lines is read as one.
    if (!line.empty() && line.front() == '<' && line.back() != '>' && i + 1 < lines.size())
      line += " " + lines[++i];
    record.ClearData();
    if (QLSYNCParser::ParseLineStr(line, record, QLSYNCParser::kQuota) != QLSYNCParser::kOk) continue;
    if (record.totalQuota()) v.total = *record.totalQuota(), haveTotal = true;
    if (record.usedQuota()) v.used = *record.usedQuota(), haveUsed = true;
  }
  if (!haveUsed || !haveTotal) return std::nullopt;
  return v;
}

// ---------------------------------------------------------------- worker

QuotaWorker::QuotaWorker(Clock& clock, RunLoop& mainLoop, Paths paths, QuotaQuery& query,
                         QuotaHost& host)
    : clock_(clock),
      mainLoop_(mainLoop),
      paths_(std::move(paths)),
      query_(query),
      host_(host),
      quotaLoop_(clock) {}

QuotaWorker::~QuotaWorker() {
  guard_.invalidate();
  stop();
}

void QuotaWorker::stop() {
  MutexLock lock(threadMu_);
  stopped_ = true;
  quotaLoop_.stop();
  if (thread_.joinable()) thread_.join();
}

void QuotaWorker::start() {
  MutexLock lock(threadMu_);
  if (stopped_ || thread_.joinable()) return;
  thread_ = std::thread([this] {
    RunLoop::setCurrent(&quotaLoop_);
    try {
      quotaLoop_.run();
    } catch (const std::exception& e) {
      daemonTrace(std::string("quota thread: ") + e.what());
    }
    RunLoop::setCurrent(nullptr);
  });
}

std::optional<QuotaWorker::Values> QuotaWorker::lastQuota() const {
  MutexLock lock(lastMu_);
  return lastQuota_;
}

void QuotaWorker::runCalQuotaInThread(const std::string& mode) {
  if (mode == "FromFile") {
    quotaLoop_.post(guard_.wrap([this] {
      std::string error;
      updatePosted_ = false;
      calculateQuotaFromFile(&error, true);
      if (!updatePosted_) finishRequest();
    }));
    return;
  }
  const bool removeMarker = boolValue(mode);
  {
    MutexLock lock(mu_);
    if (requestPending_) {
      // One request already waits for its query: this one rides along.
      pendingRemoveMarker_ = pendingRemoveMarker_ || removeMarker;
      return;
    }
    requestPending_ = true;
    pendingRemoveMarker_ = removeMarker;
  }
  quotaLoop_.postDelayed(guard_.wrap([this] { runPendingRequest(); }), kWaitBeforeQuery);
}

void QuotaWorker::RecalculateQuota() {
  recalculateQuota_ = true;
  daemonTrace("from RecalculateQuota calculate quota called");
  runCalQuotaInThread("YES");
}

void QuotaWorker::runPendingRequest() {
  bool removeMarker;
  {
    MutexLock lock(mu_);
    requestPending_ = false;
    removeMarker = pendingRemoveMarker_;
  }
  std::string error;
  updatePosted_ = false;
  calculateQuotaWithError(&error, removeMarker);
  interactiveTrace("calculateQuotaWithError from runCalQuotaInThread");
  // A posted update answers a pending recalculate once the quota is stored.
  if (!updatePosted_) finishRequest();
}

void QuotaWorker::finishRequest() {
  if (recalculateQuota_.exchange(false)) sendRecalculated();
}

void QuotaWorker::sendRecalculated() {
  if (auto monitor = host_.monitorMessenger())
    monitor->sendIPCMessage(PropertyList(std::string()), kRecalculatedMessage, false);
}

void QuotaWorker::scheduleRetry() {
  {
    MutexLock lock(mu_);
    if (retryScheduled_) return;  // the retry already scheduled covers this request
    retryScheduled_ = true;
  }
  mainLoop_.postDelayed(guard_.wrap([this] {
                          {
                            MutexLock lock(mu_);
                            retryScheduled_ = false;
                          }
                          runCalQuotaInThread("NO");
                        }),
                        kRetryDelay);
}

std::optional<QuotaWorker::Values> QuotaWorker::readReply(const QuotaReply& reply,
                                                         std::string* error, bool fromFile) {
  std::string output = reply.output;
  if (!reply.error.empty()) {
    if (error) *error = reply.error;
    if (reply.error.find("@ERROR: protocol version mismatch") != std::string::npos)
      return std::nullopt;
    output.clear();
  }
  const char* resultTrace = fromFile ? "Quota-fromfile Result:(" : "Get-Quota Result:(";
  interactiveTrace(resultTrace + output + ")");
  if (lower(output).find("unable to retrieve the quota") != std::string::npos) {
    if (!fromFile) {
      interactiveTrace("Calling quota after delay, due to retrieve quota error");
      scheduleRetry();
    }
    return std::nullopt;
  }
  if (trimmed(output).empty()) return std::nullopt;
  if (!fromFile) previousCallTime_ = clock_.monotonicNow();
  auto values = parseQuotaOutput(output);
  if (values && fromFile) {
    const auto blank = values->used.find(' ');
    if (blank != std::string::npos) values->used.resize(blank);
    interactiveTrace(resultTrace + output + ")");
  }
  if (!values || !quotaNumber(values->used) || !quotaNumber(values->total)) {
    daemonTrace("quota reply holds no usable quota; the last one is kept");
    return std::nullopt;
  }
  return values;
}

void QuotaWorker::evaluate(const Values& values, std::optional<double> comparisonTotal,
                           std::string* error, bool removeMarker) {
  const double used = toUnits(*quotaNumber(values.used));
  if (comparisonTotal) {
    const double total = toUnits(*comparisonTotal);
    if (isExceeded(used, total) && error) *error = kExceeded;
    if (removeMarker && total - used >= kFreeUnitsToLiftMarker &&
        fileutil::exists(paths_.overQuotaMarker))
      ::unlink(paths_.overQuotaMarker.c_str());
  }
  updatePosted_ = true;
  mainLoop_.post(guard_.wrap([this, values] { updateQuotaDetails(values); }));
}

bool QuotaWorker::calculateQuotaWithError(std::string* error, bool removeMarker) {
  ULMORA_DCHECK_ON_LOOP(quotaLoop_);
  if (previousCallTime_ && clock_.monotonicNow() - *previousCallTime_ < kThreshold) {
    interactiveTrace("Calling quota after delay, for called within threshould");
    scheduleRetry();
    return false;
  }
  if (inProgress_) return true;
  inProgress_ = true;
  const QuotaReply reply = query_.runQuota(false);
  inProgress_ = false;
  auto values = readReply(reply, error, false);
  if (!values) return false;
  evaluate(*values, quotaNumber(values->total), error, removeMarker);
  return false;
}

std::optional<double> QuotaWorker::storedTotal() const {
  for (const auto* path : {&paths_.lastUserLoginDetails, &paths_.loginDetails}) {
    auto dict = PropertyList::readFile(*path);
    if (!dict || !dict->isDict()) continue;
    if (auto total = dict->stringFor(kTotalKey)) return quotaNumber(*total);
  }
  return std::nullopt;
}

bool QuotaWorker::calculateQuotaFromFile(std::string* error, bool removeMarker) {
  ULMORA_DCHECK_ON_LOOP(quotaLoop_);
  const QuotaReply reply = query_.runQuota(true);
  auto values = readReply(reply, error, true);
  if (values) evaluate(*values, storedTotal(), error, removeMarker);
  return false;
}

void QuotaWorker::updateQuotaDetails(const Values& values) {
  ULMORA_DCHECK_ON_LOOP(mainLoop_);
  auto store = [&](const std::string& path, PropertyList& dict) {
    dict.set(kUsedKey, values.used);
    dict.set(kTotalKey, values.total);
    return dict.writeFile(path);
  };
  if (fileutil::exists(paths_.lastUserLoginDetails)) {
    interactiveTrace(synctexts::quotaUserNames(host_.syncUserName(), host_.accountUserName()));
    interactiveTrace("strPrefPath in updateQuotaDetails details " + paths_.lastUserLoginDetails +
                     "  ");
    interactiveTrace(synctexts::quotaDict(
        synctexts::describe(std::map<std::string, std::string>{{kUsedKey, values.used}, {kTotalKey, values.total}})));
    auto dict = PropertyList::readFile(paths_.lastUserLoginDetails);
    if (!dict || !dict->isDict()) {
      finishRequest();
      return;
    }
    store(paths_.lastUserLoginDetails, *dict);
    dict->writeFile(paths_.loginDetails);
    {
      MutexLock lock(lastMu_);
      lastQuota_ = values;
    }
    finishRequest();
    daemonTrace("Quota used:" + values.used + " total:" + values.total);
    if (isFull(*quotaNumber(values.used), *quotaNumber(values.total))) {
      daemonTrace("Quota is full");
      if (auto monitor = host_.monitorMessenger())
        monitor->sendIPCMessage(PropertyList(QLLocalizedString(kFullText)), SyncQuotaFull_ ? 1 : 0, false);
      SyncQuotaFull_ = true;
      host_.setQuotaFull(true);
    } else if (quotaNumber(values.total).value_or(0) > 0 && SyncQuotaFull_) {
      daemonTrace("Quota was full now not");
      daemonTrace("Calling is there any file exist for backup from database after quota reset.");
      host_.queryMainDB(true);
      SyncQuotaFull_ = false;
      host_.setQuotaFull(false);
    }
    return;
  }
  if (fileutil::exists(paths_.loginDetails)) {
    auto dict = PropertyList::readFile(paths_.loginDetails);
    if (dict && dict->isDict() && store(paths_.loginDetails, *dict)) {
      MutexLock lock(lastMu_);
      lastQuota_ = values;
    }
  }
  finishRequest();
}

void QuotaWorker::setQuotaToPlist() {
  if (paths_.loginDetails.empty()) return;
  auto text = fileutil::readFile(fileutil::joinPath(fileutil::parentPath(paths_.loginDetails), "quota"));
  if (!text || !fileutil::exists(paths_.lastUserLoginDetails)) return;
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t nl; (nl = text->find('\n', start)) != std::string::npos; start = nl + 1)
    lines.push_back(text->substr(start, nl - start));
  if (start < text->size()) lines.push_back(text->substr(start));
  if (lines.size() < 2) return;
  auto dict = PropertyList::readFile(paths_.lastUserLoginDetails);
  if (!dict || !dict->isDict()) return;
  dict->set(kUsedKey, lines[0]);
  dict->set(kTotalKey, lines[1]);
  dict->writeFile(paths_.lastUserLoginDetails);
  dict->writeFile(paths_.loginDetails);
}

}  // namespace ulmora
