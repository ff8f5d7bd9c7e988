// TRendezVousEx: meetings with an active object's worker, on a stopped owner and between two
// requesters.
#include "runtime/TRendezVousEx.h"

#include <gtest/gtest.h>

#include <functional>
#include <future>

#include "runtime/TActiveObjectEx.h"
#include "tests/TestSupport.h"
#include "tests/runtime/LambdaFunctor.h"

namespace {

constexpr platform::DWORD kInfinite = platform::INFINITE_TIMEOUT;
constexpr auto kWhile = std::chrono::milliseconds(30);  // to see that something does not happen

using Fn = testing_support::LambdaFunctor;

struct Owner : TActiveObjectEx<Owner, 2> {
  Owner() : TActiveObjectEx(this) {}
  // Whether the worker runs a functor posted now within a while (not while it is parked).
  bool RunsNow() {
    auto ran = std::make_shared<std::atomic<bool>>(false);
    Post(new Fn([ran] { *ran = true; }), kInfinite);
    std::this_thread::sleep_for(kWhile);
    return *ran;
  }
};

using RendezVousTest = testing_support::WatchedTest;

TEST_F(RendezVousTest, EnterOnAStoppedOwnerParksNothingAndLeavesNoStaleRelease) {
  Owner owner;
  TRendezVousEx meeting(&owner, 0);
  ASSERT_TRUE(meeting.Enter(0));
  std::uint32_t queued = 1;
  ASSERT_TRUE(owner.GetQueueCount(&queued));
  EXPECT_EQ(queued, 0u);  // no meeting functor
  meeting.Leave();
  owner.Start(u"Meeting");
  ASSERT_TRUE(meeting.Enter(kInfinite));
  EXPECT_FALSE(owner.RunsNow());  // a stale release would have let the worker go on at once
  meeting.Leave();
  owner.Stop(false, kInfinite);  // runs once the worker has left the meeting
}

TEST_F(RendezVousTest, SecondRequesterWaitsUntilTheFirstLeft) {
  Owner owner;
  owner.Start(u"TwoRequesters");
  TRendezVousEx meeting(&owner, 0);
  ASSERT_TRUE(meeting.Enter(kInfinite));
  std::atomic<bool> secondIn{false};
  auto second = std::async(std::launch::async, [&] {
    bool entered = meeting.Enter(kInfinite);
    secondIn = true;
    bool parked = !owner.RunsNow();
    meeting.Leave();
    return entered && parked;
  });
  std::this_thread::sleep_for(kWhile);
  EXPECT_FALSE(secondIn);
  meeting.Leave();
  EXPECT_TRUE(second.get());
  owner.Stop(false, kInfinite);
}

}  // namespace
