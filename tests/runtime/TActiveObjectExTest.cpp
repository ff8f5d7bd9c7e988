// TActiveObjectEx: order of posted work, blocking posts from other threads and from the worker,
// stopping (also from the worker and with blocked callers), timers, CheckAlive, synchronous
// execution; TRendezVousEx meetings with its worker; and the worker's catch-all: with
// "EnableCatch" on, a functor that throws or faults is logged as one line and the worker goes on;
// with it off, either ends the process.
#include "runtime/TActiveObjectEx.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "foundation/TRegEditor.h"
#include "runtime/CatchAll.h"
#include "runtime/TRendezVousEx.h"
#include "tests/TestSupport.h"
#include "tests/runtime/ActiveObjectTestKit.h"
#include "tests/runtime/LambdaFunctor.h"

namespace {

using testing_support::WaitFor;
constexpr platform::DWORD kInfinite = platform::INFINITE_TIMEOUT;
constexpr auto kWhile = std::chrono::milliseconds(30);  // to see that something does not happen

using Fn = testing_support::LambdaFunctor;

using testing_support::Gate;
using testing_support::Queued;
using ActiveObjectTest = testing_support::WatchedTest;

template <std::uint32_t N>
struct Worker : TActiveObjectEx<Worker<N>, N> {
  Worker() : TActiveObjectEx<Worker<N>, N>(this) {}
};
using Big = Worker<100>;
using Small = Worker<4>;
using Tiny = Worker<2>;

// Whether the worker runs a functor posted now within a while (not while it is parked).
bool RunsNow(TActiveObjectBase& object) {
  auto ran = std::make_shared<std::atomic<bool>>(false);
  object.Post(new Fn([ran] { *ran = true; }), kInfinite);
  std::this_thread::sleep_for(kWhile);
  return *ran;
}

TEST_F(ActiveObjectTest, PostsKeepEachThreadsOrderAndBlockingPostsReturnAfterTheirOwn) {
  Big w;
  EXPECT_FALSE(w.PushAndBlock(new Fn([] {}), 0));  // blocking posts need a running object
  ASSERT_TRUE(w.Start(u"Ordering"));
  testing_support::ExpectEachThreadsOrder(w);
  testing_support::ExpectBlockingCallersReturnAfterTheirOwn(w, 5);  // more callers than the priority lane holds
}

TEST_F(ActiveObjectTest, CallsFromTheWorkerRunAtOnceOrDispatchTheQueueInOrderAndNest) {
  Big w;
  ASSERT_TRUE(w.Start(u"Nesting"));
  testing_support::ExpectWorkerCallsRunAtOnceOrDispatchInOrderAndNest(w);
}

TEST_F(ActiveObjectTest, StopWithFlushDiscardsQueuedWorkAndGetsInWithTheLaneFull) {
  Small w;
  w.Start(u"Flushing");
  Gate gate;
  ASSERT_TRUE(gate.Hold(w));
  std::atomic<int> ran{0}, deleted{0};
  auto counted = [&] { return new Fn([&ran] { ++ran; }, &deleted); };
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(w.Post(counted(), 0));
  EXPECT_FALSE(w.Post(counted(), 0));  // the normal lane is full
  // The flush cannot pass the held worker in time; the stop request takes a priority place.
  auto stop = std::async(std::launch::async, [&] { return w.Stop(true, 20); });
  ASSERT_TRUE(WaitFor([&] { return Queued(w) == 5; }));
  EXPECT_FALSE(w.Post(counted(), 0));  // refused while stopping
  gate.Open();
  EXPECT_TRUE(stop.get());
  EXPECT_FALSE(w.IsRunning());
  EXPECT_EQ(ran, 0);
  EXPECT_EQ(deleted, 6);
}

TEST_F(ActiveObjectTest, StopFromItsOwnFunctorDoesNotWaitForItselfAndStartsAgain) {
  std::atomic<int> deleted{0};
  Big w;
  auto started = std::chrono::steady_clock::now();
  w.Post(new Fn([&] { EXPECT_TRUE(w.Stop(true, 10000)); }), 0);
  w.Post(new Fn([] { ADD_FAILURE() << "flushed functor ran"; }, &deleted), 0);
  w.Start(u"SelfStop");
  ASSERT_TRUE(WaitFor([&] { return !w.IsRunning(); }));
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
  EXPECT_EQ(deleted, 1);
  ASSERT_TRUE(w.Start(u"Again"));
  EXPECT_TRUE(w.PushAndBlock(new Fn([] {}), 0));
}

// Blocking posts discarded by the flush, or queued behind the stop request, return false.
TEST_F(ActiveObjectTest, StopWhileForeignThreadsBlockInPushAndBlockReturnsThemAll) {
  for (bool flush : {false, true}) {
    SCOPED_TRACE(flush ? "flush first" : "no flush");
    std::atomic<int> ran{0}, returnedTrue{0}, deleted{0};
    {
      Big w;
      w.Start(u"StopBlocked");
      Gate gate;
      ASSERT_TRUE(gate.Hold(w));
      std::vector<std::jthread> callers;
      for (int i = 0; i < 7; ++i)  // five fill the priority lane, two wait for a place
        callers.emplace_back([&] { returnedTrue += w.PushAndBlock(new Fn([&ran] { ++ran; }, &deleted), kInfinite); });
      ASSERT_TRUE(WaitFor([&] { return Queued(w) == 5; }));
      auto stop = std::async(std::launch::async, [&] { return w.Stop(flush, kInfinite); });
      std::uint32_t probes = 0;  // posted before the stopping flag was up
      ASSERT_TRUE(WaitFor([&] { return !w.Post(new Fn([] {}), 0) || (++probes, false); }));  // stopping
      // The flush covers what is queued when its marker goes in behind the five and the probes;
      // opened before that, the worker could run all seven first.
      if (flush) {
        ASSERT_TRUE(WaitFor([&] { return Queued(w) == 5 + probes + 1; }));
      }
      gate.Open();
      EXPECT_TRUE(stop.get());
      callers.clear();  // joins: every caller returned
      EXPECT_FALSE(w.IsRunning());
    }
    EXPECT_EQ(ran, returnedTrue);
    EXPECT_EQ(deleted, 7);  // run, discarded or given up: each deleted once, at the latest with the object
    EXPECT_GE(returnedTrue, flush ? 0 : 5);
    EXPECT_LE(returnedTrue, flush ? 2 : 7);
  }
}

TEST_F(ActiveObjectTest, TimersFireOnTheWorkerByTheirRepeatCountsAndCanBeCancelledAndReset) {
  Big w;
  w.Start(u"Timers");
  ASSERT_TRUE(w.PushAndBlock(new Fn([] {}), 0));  // the worker serves: its id is known
  testing_support::ExpectTimersFireOnTheWorkerByTheirRepeatCounts(w, w.GetActiveThreadId());
}

TEST_F(ActiveObjectTest, CheckAliveIsFalseOnlyWhileTheWorkerIsHeld) {
  Small w;
  w.Start(u"Diagnostics");
  EXPECT_TRUE(WaitFor([&] { return w.CheckAlive(); }));  // the wake-up functor ran
  Gate gate;
  ASSERT_TRUE(gate.Hold(w));
  w.CheckAlive();
  EXPECT_FALSE(w.CheckAlive());  // held inside a functor
  gate.Open();
  EXPECT_TRUE(WaitFor([&] { return w.CheckAlive(); }));
}

TEST_F(ActiveObjectTest, ExecuteSynchronizedRunsOnTheCallerWhileTheWorkerIsParked) {
  Big w;
  w.Start(u"Sync");
  const platform::DWORD caller = platform::CurrentThreadId();
  platform::DWORD ranOn = 0;
  std::atomic<int> posted{0};
  EXPECT_TRUE(w.ExecuteSynchronized(new Fn([&] {
    ranOn = platform::CurrentThreadId();
    w.Post(new Fn([&] { ++posted; }), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the parked worker runs nothing
    EXPECT_EQ(posted, 0);
  })));
  EXPECT_EQ(ranOn, caller);
  EXPECT_TRUE(WaitFor([&] { return posted == 1; }));  // from the worker it runs at once: the nesting test
}

TEST_F(ActiveObjectTest, RendezVousEnterOnAStoppedOwnerParksNothingAndLeavesNoStaleRelease) {
  Tiny owner;
  TRendezVousEx meeting(&owner, 0);
  ASSERT_TRUE(meeting.Enter(0));
  std::uint32_t queued = 1;
  ASSERT_TRUE(owner.GetQueueCount(&queued));
  EXPECT_EQ(queued, 0u);  // no meeting functor
  meeting.Leave();
  owner.Start(u"Meeting");
  ASSERT_TRUE(meeting.Enter(kInfinite));
  EXPECT_FALSE(RunsNow(owner));  // a stale release would have let the worker go on at once
  meeting.Leave();
  owner.Stop(false, kInfinite);  // runs once the worker has left the meeting
}

TEST_F(ActiveObjectTest, RendezVousSecondRequesterWaitsUntilTheFirstLeft) {
  Tiny owner;
  owner.Start(u"TwoRequesters");
  TRendezVousEx meeting(&owner, 0);
  ASSERT_TRUE(meeting.Enter(kInfinite));
  std::atomic<bool> secondIn{false};
  auto second = std::async(std::launch::async, [&] {
    bool entered = meeting.Enter(kInfinite);
    secondIn = true;
    bool parked = !RunsNow(owner);
    meeting.Leave();
    return entered && parked;
  });
  std::this_thread::sleep_for(kWhile);
  EXPECT_FALSE(secondIn);
  meeting.Leave();
  EXPECT_TRUE(second.get());
  owner.Stop(false, kInfinite);
}

void Throw() { throw std::runtime_error("functor failed"); }
// Left out of the undefined-behaviour sanitizer, which would report the read instead of making it.
__attribute__((no_sanitize("undefined"))) void ReadNull() {
  volatile int* volatile p = nullptr;
  (void)*p;
}

using CatchAllTest = testing_support::WatchedTest;
using CatchAllDeathTest = CatchAllTest;

// The only test of this program that writes the log, so it may remove the file.
TEST_F(CatchAllTest, ThrowAndFaultAreLoggedOnceEachAndTheWorkerGoesOn) {
  ASSERT_TRUE(TRegEditor().WriteDword(3, u"SOFTWARE\\Tolvane", u"EnableCatch", 1));
  const std::string log = CatchLogPath().ToNarrow();
  std::filesystem::remove(log);
  {
    Worker<20> w;
    ASSERT_TRUE(w.IsCatchEnabled());
    w.Start(u"Catcher");
    std::atomic<int> deleted{0};
    std::string after;  // worker only until the blocking post returns
    w.Post(new Fn(Throw, &deleted, u"Thrower"), 0);
    w.Post(new Fn([&] { after += '1'; }, &deleted), 0);
    w.Post(new Fn(ReadNull, &deleted), 0);
    w.Post(new Fn([&] { after += '2'; }, &deleted), 0);
    // A blocking post of a failing functor still returns, having run it.
    EXPECT_TRUE(w.PushAndBlock(new Fn([] { throw 7; }, &deleted, u"BlockingThrower"), 0));
    EXPECT_EQ(after, "12");
    EXPECT_EQ(deleted, 5);
  }
  // One line each, in order.
  const std::string stamp = "####-##-## ##:##:##.###: Catch TActiveObjectEx<Catcher>::Server_ExecuteFunc - ";
  const std::string codes = ", Error = %%%%%%%%, WSA Error = %%%%%%%%\r\n";
  auto line = [&](const char* func) { return stamp + func + codes; };
  const std::string expected = line("Func : Thrower") + line("No func name") + line("Func : BlockingThrower");
  const std::string text = testing_support::Utf16FileText(log);
  EXPECT_TRUE(testing_support::FitsPattern(text, expected)) << text;
  std::filesystem::remove(log);
}

// Without the catch-all the failure leaves the worker thread: the process ends, before its
// fixture could clean up, so the settings it read are cleaned up first.
void DiesWithoutCatch(testing_support::ActiveObjectEnvironment& environment, void (*failure)()) {
  Worker<20> w;
  environment.CleanUp();
  std::filesystem::remove_all(environment.Registry().Dir().Path());
  if (w.IsCatchEnabled()) return;
  w.Start(u"NoCatch");
  std::atomic<int> deleted{0};
  w.PushAndBlock(new Fn(failure, &deleted, u"Failing"), 0);
}

TEST_F(CatchAllDeathTest, WithCatchOffAThrowOrAFaultInAFunctorEndsTheProcess) {
  ::testing::FLAGS_gtest_death_test_style = "threadsafe";
  EXPECT_DEATH(DiesWithoutCatch(m_environment, Throw), "");
  EXPECT_DEATH(DiesWithoutCatch(m_environment, ReadNull), "");
}

}  // namespace
