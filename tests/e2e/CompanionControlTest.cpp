// The companions' controls as ulmora-peer sends them to an agent linked to
// the stand-in service: a dropped file is uploaded while the peer shows its
// progress; a peer replaced by a newer one waits for it to leave; a pause
// holds the upload and the resume finishes it; an unlink stops the work and
// leaves the user's files.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "SharedAccountHarness.h"
#include "ipc/IpcMessageTypes.h"
#include "platform/ProcessRunner.h"

namespace ulmora {
namespace {

using namespace e2e;

// ulmora-peer run as the user runs it, in the home of `home`.
ProcessOptions peerOptions(const LinkedHome& home, std::vector<std::string> arguments) {
  ProcessOptions o;
  o.executable = ULMORA_PEER_PATH;
  o.arguments = std::move(arguments);
  o.environment = {{"HOME", home.home()}, {"XDG_RUNTIME_DIR", home.runtime()}};
  o.timeout = std::chrono::seconds(60);
  return o;
}

// One command from the peer to the monitor channel; true once it was sent.
bool peerSends(const LinkedHome& home, int type) {
  const ProcessResult r = ProcessRunner::run(
      peerOptions(home, {"--monitor", "--no-bus", "--count", "0", "--send", std::to_string(type), ""}));
  return r.succeeded();
}

// A peer that prints everything the agent tells its companions, collected
// on a thread of its own.
class WatchingPeer {
 public:
  explicit WatchingPeer(const LinkedHome& home)
      : child_(peerOptions(home, {"--both", "--no-bus", "--timeout", "600"})) {
    child_.setStdoutLineHandler([this](std::string_view line) {
      std::lock_guard<std::mutex> lock(mu_);
      lines_.emplace_back(line);
    });
    started_ = child_.start();
    if (started_) waiter_ = std::thread([this] { child_.wait(); });
  }
  ~WatchingPeer() {
    if (started_) child_.kill(SIGTERM);
    if (waiter_.joinable()) waiter_.join();
  }
  bool saw(const std::string& text) const {
    std::lock_guard<std::mutex> lock(mu_);
    for (const auto& line : lines_)
      if (line.find(text) != std::string::npos) return true;
    return false;
  }
  int count(const std::string& text) const {
    std::lock_guard<std::mutex> lock(mu_);
    int n = 0;
    for (const auto& line : lines_) n += line.find(text) != std::string::npos;
    return n;
  }

 private:
  ChildProcess child_;
  bool started_ = false;
  std::thread waiter_;
  mutable std::mutex mu_;
  std::vector<std::string> lines_;
};

class CompanionControl : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(service_.start()) << service_.why();
    home_ = std::make_unique<LinkedHome>(dir_, "a", service_);
    ASSERT_TRUE(home_->ok());
    agent_ = std::make_unique<RunningAgent>(*home_, timeScale());
    ASSERT_TRUE(agent_->start());
    ASSERT_TRUE(agent_->waitUntilListening()) << home_->trace();
  }
  void TearDown() override {
    if (const char* keep = std::getenv("ULMORA_E2E_TRACES"); keep != nullptr && home_) {
      const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
      fileutil::writeFileAtomically(std::string(keep) + "/" + name + ".log", home_->trace());
    }
    if (agent_ && !agent_->ended()) {
      const ProcessResult result = agent_->stop();
      EXPECT_EQ(result.termSignal, 0) << result.err;
    }
  }
  virtual double timeScale() const { return kTimeScale; }
  bool stored(const std::string& path) const {
    auto conn = SqliteConnection::open(service_.storage() + "/accounts/demo/meta.db",
                                       SqliteConnection::OpenMode::kReadOnly);
    return conn && conn->queryText("SELECT COUNT(*) FROM entries WHERE in_trash = 0 AND CAST(path AS TEXT) = '" +
                                   path + "'") == "1";
  }
  // Whether an upload list of the account names `name`.
  bool queuedForUpload(const std::string& name) const {
    const std::string folder = home_->home() + "/.local/share/ulmora/demo/Journal/Backup";
    for (const std::string& file : fileutil::listDirectory(folder).value_or(std::vector<std::string>{})) {
      if (fileutil::readFile(folder + "/" + file).value_or("").find(name) != std::string::npos) return true;
    }
    return false;
  }
  bool paused() const {
    auto details = PropertyList::readFile(home_->loginDetails());
    const PropertyList* flag = details ? details->find("Pause") : nullptr;
    return flag != nullptr && flag->boolValue();
  }

  testing::TestTempDir dir_;
  testing::StandInService service_{ULMORA_SERVICE_PATH};
  std::unique_ptr<LinkedHome> home_;
  std::unique_ptr<RunningAgent> agent_;
};

// The suite's case at real speed.
class CompanionControlAtRealTime : public CompanionControl {
 protected:
  double timeScale() const override { return kRealTime; }
};

TEST_F(CompanionControlAtRealTime, ADroppedFileIsUploadedWhileThePeerShowsItsProgress) {
  WatchingPeer peer(*home_);
  ASSERT_TRUE(eventuallyWithin(kCrossPatience, [&] { return peer.saw("monitor"); }))
      << "the peer never connected";
  ASSERT_TRUE(fileutil::writeFileAtomically(home_->at("dropped.txt"), std::string(200000, 'x')));
  EXPECT_TRUE(eventuallyWithin(kCrossPatience, [&] { return stored("/dropped.txt"); })) << home_->trace();
  EXPECT_TRUE(eventuallyWithin(kCrossPatience, [&] { return peer.saw("T1002") || peer.saw("T1003"); }))
      << "the peer showed no upload progress";
  EXPECT_TRUE(eventuallyWithin(kCrossPatience, [&] { return peer.saw("T1001"); }))
      << "the peer never showed the idle status";
}

// The agent keeps the companion that connected last. A peer replaced by
// another stays off the channel until that one leaves, rather than taking it
// back at once and having the two take turns twice a second.
TEST_F(CompanionControl, APeerLeavesTheChannelsToANewerOneAndTakesThemBackWhenItLeaves) {
  const std::string announced = " 900 [\"sync agent\"";
  WatchingPeer first(*home_);
  ASSERT_TRUE(eventuallyWithin(kCrossPatience, [&] { return first.count(announced) == 2; }))
      << "the first peer was not greeted on both channels";
  {
    WatchingPeer second(*home_);
    ASSERT_TRUE(eventuallyWithin(kCrossPatience, [&] { return second.count(announced) == 2; }))
        << "the second peer was not greeted on both channels";
    // Six retry intervals of the replaced peer.
    std::this_thread::sleep_for(std::chrono::seconds(3));
    EXPECT_EQ(first.count(announced), 2) << "the replaced peer took a channel back";
    EXPECT_EQ(second.count(announced), 2) << "the newer peer lost a channel";
  }
  EXPECT_TRUE(eventuallyWithin(kCrossPatience, [&] { return first.count(announced) == 4; }))
      << "the first peer did not take the channels back once the other left";
}

TEST_F(CompanionControl, PauseHoldsTheUploadResumeFinishesItUnlinkLeavesTheFiles) {
  ASSERT_TRUE(peerSends(*home_, messagetype::kPause));
  ASSERT_TRUE(eventuallyWithin(kCrossPatience, [&] { return paused(); }));
  ASSERT_TRUE(fileutil::writeFileAtomically(home_->at("held.txt"), "held while paused"));
  // The file waits in an upload list while the pause is in force.
  ASSERT_TRUE(eventuallyWithin(kCrossPatience, [&] { return queuedForUpload("held.txt"); }))
      << home_->trace();
  EXPECT_FALSE(stored("/held.txt")) << "the upload ran while paused";

  ASSERT_TRUE(peerSends(*home_, messagetype::kResume));
  EXPECT_TRUE(eventuallyWithin(kCrossPatience, [&] { return !paused() && stored("/held.txt"); }))
      << home_->trace();

  ASSERT_TRUE(peerSends(*home_, messagetype::kUnlinkToo));
  EXPECT_TRUE(eventuallyWithin(kCrossPatience, [&] {
    return home_->trace().find("syncoperation timer invalidated .") != std::string::npos;
  })) << "the unlink did not stop the cycle";
  EXPECT_EQ(home_->content("held.txt"), "held while paused");
  EXPECT_FALSE(agent_->ended());
}

}  // namespace
}  // namespace ulmora
