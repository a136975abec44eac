#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/ThreadAnnotations.h"

#include "engine/User.h"
#include "journal/CompanionMessenger.h"
#include "platform/Clock.h"
#include "platform/RunLoop.h"
#include "platform/WeakGuard.h"

namespace ulmora {

// One quota query of the engine: its standard output and its error text.
struct QuotaReply {
  std::string output;
  std::string error;
};

// Runs the engine's quota query. Called on the quota thread only.
class QuotaQuery {
 public:
  virtual ~QuotaQuery() = default;
  // fromFile: the stored totals ("--quota-fromfile") instead of a recount.
  virtual QuotaReply runQuota(bool fromFile) = 0;
};

// The real query: the engine with the account's credentials in owner-only
// files (their paths on the command line, the password in the environment).
class EngineQuotaQuery final : public QuotaQuery {
 public:
  using UserSource = std::function<User()>;  // the account as currently loaded
  EngineQuotaQuery(std::string executable, UserSource user, std::string proxySettingsFile);

  // The command line after the executable, in the engine's order.
  static std::vector<std::string> quotaArguments(bool fromFile, const std::string& passwordFile,
                                                 const std::string& privateKeyFile,
                                                 const std::string& proxyArgument,
                                                 const std::string& syncUser,
                                                 const std::string& server);
  QuotaReply runQuota(bool fromFile) override;

 private:
  std::string executable_;
  UserSource user_;
  std::string proxySettingsFile_;
};

// What the quota keeps current beside its own files. Called on the main loop,
// except monitorMessenger: a query that stored no quota answers a pending
// recalculate from the quota loop.
class QuotaHost {
 public:
  virtual ~QuotaHost() = default;
  // The console user's monitor channel; nullptr when there is none.
  virtual std::shared_ptr<CompanionMessenger> monitorMessenger() = 0;
  virtual void setQuotaFull(bool full) = 0;
  // The quota has room again: queue the uploads the local database holds.
  virtual void queryMainDB(bool backupOnly) = 0;
  // The sync user's and the account's names, for the trace of an update.
  virtual std::string syncUserName() = 0;
  virtual std::string accountUserName() = 0;
};

// The account's storage quota: asks the engine on a thread of its own, keeps
// the used and total values in the login-details property lists, tells the
// monitor when the quota fills up or frees up, and removes the over-quota
// marker when there is room again.
//
// Requests collapse: while one waits its 15 s before the query, further ones
// only add their marker-removal flag to it; a query within 100 s of the last
// one that answered turns into a retry 120 s later, and at most one retry is
// scheduled at a time. A reply without a usable quota (empty, garbage,
// negative) is traced and the last good quota is kept.
//
// Thread-safety: runCalQuotaInThread, RecalculateQuota and the flag accessors
// may be called from any thread. The queries run on the quota loop (its own
// thread after start(); a test turns the loop itself); updateQuotaDetails and
// the retries run on the main loop. The methods bound to one loop check it in
// debug and test builds.
class QuotaWorker {
 public:
  static constexpr Clock::Duration kWaitBeforeQuery = std::chrono::seconds(15);
  static constexpr Clock::Duration kThreshold = std::chrono::seconds(100);
  static constexpr Clock::Duration kRetryDelay = std::chrono::seconds(120);
  static constexpr double kFreeUnitsToLiftMarker = 200.0;
  static constexpr int kRecalculatedMessage = 508;
  static constexpr const char* kUsedKey = "USEDQUOTASIZE";
  static constexpr const char* kTotalKey = "TOTALQUOTASIZE";
  static constexpr const char* kExceeded = "Quota Exceeded";
  static constexpr const char* kFullText =
      "You have exceeded the allocated account storage limit. Upgrade your account, to sync more "
      "data.";

  struct Paths {
    std::string lastUserLoginDetails;  // application file 26
    std::string loginDetails;          // application file 24
    std::string overQuotaMarker;       // application file 124
  };

  struct Values {
    std::string used;
    std::string total;
    bool operator==(const Values&) const = default;
  };

  QuotaWorker(Clock& clock, RunLoop& mainLoop, Paths paths, QuotaQuery& query, QuotaHost& host);
  // Stops and joins the quota thread.
  ~QuotaWorker();
  QuotaWorker(const QuotaWorker&) = delete;
  QuotaWorker& operator=(const QuotaWorker&) = delete;

  // Starts the quota thread; a second call, or one after stop(), does nothing.
  void start();
  // Ends the quota thread (after the query under way); requests are dropped
  // from then on. Idempotent.
  void stop();
  // The loop the queries run on (tests turn it instead of starting a thread).
  RunLoop& quotaLoop() { return quotaLoop_; }

  // "FromFile" asks for the stored totals; any other mode is read as the
  // marker-removal flag of a recount ("YES" / "NO").
  void runCalQuotaInThread(const std::string& mode);
  // The monitor's recalculate command: the next finished query answers 508.
  void RecalculateQuota();
  bool recalculateQuota() const { return recalculateQuota_.load(); }
  // SyncQuotaFull: the one place the account's full state is kept.
  bool isSyncQuotaFull() const { return SyncQuotaFull_.load(); }
  // The last quota that was stored.
  std::optional<Values> lastQuota() const;

  // On the quota loop. true only when a query is already under way; `error`
  // gets the engine's error text or kExceeded.
  bool calculateQuotaWithError(std::string* error, bool removeMarker);
  bool calculateQuotaFromFile(std::string* error, bool removeMarker);
  // On the main loop.
  void updateQuotaDetails(const Values& values);
  // Copies the two lines of the "quota" file beside the login details into
  // the property lists.
  void setQuotaToPlist();

  // Pure helpers.
  static std::optional<Values> parseQuotaOutput(std::string_view output);
  // The engine's value as a finite, non-negative number.
  static std::optional<double> quotaNumber(std::string_view text);
  static double toUnits(double engineValue);
  static bool isExceeded(double usedUnits, double totalUnits);
  static bool isFull(double used, double total);

 private:
  void runPendingRequest();
  void finishRequest();
  void scheduleRetry();
  // Shared tail of both queries; nullopt when the reply holds no quota.
  std::optional<Values> readReply(const QuotaReply& reply, std::string* error, bool fromFile);
  void evaluate(const Values& values, std::optional<double> comparisonTotal, std::string* error,
                bool removeMarker);
  void sendRecalculated();
  std::optional<double> storedTotal() const;

  Clock& clock_;
  RunLoop& mainLoop_;
  const Paths paths_;
  QuotaQuery& query_;
  QuotaHost& host_;
  RunLoop quotaLoop_;
  Mutex threadMu_;
  std::thread thread_ ULMORA_GUARDED_BY(threadMu_);
  bool stopped_ ULMORA_GUARDED_BY(threadMu_) = false;

  Mutex mu_;
  bool requestPending_ ULMORA_GUARDED_BY(mu_) = false;
  bool pendingRemoveMarker_ ULMORA_GUARDED_BY(mu_) = false;
  bool retryScheduled_ ULMORA_GUARDED_BY(mu_) = false;

  // Quota loop only.
  bool inProgress_ = false;
  bool updatePosted_ = false;
  std::optional<Clock::TimePoint> previousCallTime_;

  // Two single flags, each read and written on its own: the monitor's
  // request (taken once) and the full state (written on the main loop,
  // read from any thread).
  std::atomic<bool> recalculateQuota_{false};
  std::atomic<bool> SyncQuotaFull_{false};

  mutable Mutex lastMu_;
  std::optional<Values> lastQuota_ ULMORA_GUARDED_BY(lastMu_);
  WeakGuard guard_;  // last: invalidated first
};

}  // namespace ulmora
