// TRendezVousEx: meetings with an active object's worker, on a stopped owner, between two
// requesters, and when the meeting functor is refused or discarded.
#include "runtime/TRendezVousEx.h"

#include <gtest/gtest.h>
#include <semaphore.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <future>

#include "runtime/TActiveObjectEx.h"
#include "tests/TestSupport.h"

namespace {

using testing_support::WaitFor;
constexpr platform::DWORD kInfinite = platform::INFINITE_TIMEOUT;
constexpr auto kWhile = std::chrono::milliseconds(30);  // to see that something does not happen

struct Fn : TFunctor {
  explicit Fn(std::function<void()> body) : body(std::move(body)) { NotifyCreated(); }
  void Execute() override { body(); }
  std::function<void()> body;
};

struct Owner : TActiveObjectEx<Owner, 2> {
  Owner() : TActiveObjectEx(this) {}
  std::uint32_t Queued() {
    std::uint32_t count = 0;
    GetQueueCount(&count);
    return count;
  }
  // Whether the worker runs a functor posted now within a while (not while it is parked).
  bool RunsNow() {
    auto ran = std::make_shared<std::atomic<bool>>(false);
    Post(new Fn([ran] { *ran = true; }), kInfinite);
    std::this_thread::sleep_for(kWhile);
    return *ran;
  }
  // Holds the worker in a functor until the returned promise is set or destroyed.
  std::promise<void> Hold() {
    std::promise<void> open;
    auto entered = std::make_shared<std::atomic<bool>>(false);
    Post(new Fn([entered, opened = open.get_future().share()] {
           *entered = true;
           opened.wait();
         }),
         kInfinite);  // a place given back by the worker may come a moment late
    EXPECT_TRUE(WaitFor([&] { return entered->load(); }));
    return open;
  }
};

class RendezVousTest : public ::testing::Test {
 protected:
  testing_support::ActiveObjectEnvironment m_environment;
};

TEST_F(RendezVousTest, EnterOnAStoppedOwnerParksNothingAndLeavesNoStaleRelease) {
  Owner owner;
  TRendezVousEx meeting(&owner, 0);
  ASSERT_TRUE(meeting.Enter(0));
  EXPECT_EQ(owner.Queued(), 0u);  // no meeting functor
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

TEST_F(RendezVousTest, RefusedOrDiscardedMeetingFailsTheEnterAndFreesTheRendezvous) {
  Owner owner;
  owner.Start(u"Refusing");
  TRendezVousEx meeting(&owner, 0);
  {
    std::promise<void> held = owner.Hold();
    owner.Post(new Fn([] {}), 0);
    owner.Post(new Fn([] {}), 0);
    EXPECT_FALSE(meeting.Enter(0));  // the lane is full
  }
  {
    std::promise<void> held = owner.Hold();
    auto requester = std::async(std::launch::async, [&] { return meeting.Enter(kInfinite); });
    ASSERT_TRUE(WaitFor([&] { return owner.Queued() == 1; }));
    owner.Flush(0);  // discards the meeting functor when the worker is free
    held.set_value();
    EXPECT_FALSE(requester.get());
  }
  // Another thread gets in, and only once the worker has really arrived.
  std::promise<void> held = owner.Hold();
  std::atomic<bool> entered{false};
  auto requester = std::async(std::launch::async, [&] {
    bool ok = meeting.Enter(kInfinite);
    entered = true;
    meeting.Leave();
    return ok;
  });
  std::this_thread::sleep_for(kWhile);
  EXPECT_FALSE(entered);
  held.set_value();
  EXPECT_TRUE(requester.get());
  owner.Stop(false, kInfinite);
}

}  // namespace
