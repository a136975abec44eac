#include "sync/upload/UploadListingGate.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ulmora {
namespace {

struct Tick {
  bool pushDuringPause;
  bool listingPending;
};

struct GateCase {
  const char* name;
  bool pauseEnded;  // listingAwaitedAfterPause before the first tick
  std::vector<Tick> ticks;
  std::string held;  // one letter per tick: H held, u uploads go
};

class UploadListingGateTest : public ::testing::TestWithParam<GateCase> {};

TEST_P(UploadListingGateTest, HoldsUploadsOnlyForTheListingAPauseAwaits) {
  UploadListingGate gate;
  if (GetParam().pauseEnded) gate.listingAwaitedAfterPause();
  std::string held;
  for (const auto& t : GetParam().ticks) held += gate.holdUploads(t.pushDuringPause, t.listingPending) ? 'H' : 'u';
  EXPECT_EQ(held, GetParam().held);
}

constexpr Tick kIdle{false, false};
constexpr Tick kListing{false, true};
constexpr Tick kPausePush{true, false};

INSTANTIATE_TEST_SUITE_P(
    Cases, UploadListingGateTest,
    ::testing::Values(
        // A first sync: each upload set's push echo asks for a listing; the
        // next set must not wait for it.
        GateCase{"own_push_echo_never_holds", false, {kListing, kListing, kIdle, kListing}, "uuuu"},
        GateCase{"pause_end_holds_until_its_listing_ran", true, {kListing, kListing, kIdle, kListing}, "HHuu"},
        GateCase{"push_during_pause_holds", false, {kPausePush, kListing, kIdle, kListing}, "HHuu"},
        GateCase{"pause_end_with_nothing_to_list", true, {kIdle, kListing}, "uu"},
        GateCase{"a_busy_peer_lets_uploads_out_every_seventh_tick",
                 true,
                 {kListing, kListing, kListing, kListing, kListing, kListing, kListing, kListing},
                 "HHHHHHuH"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace ulmora
