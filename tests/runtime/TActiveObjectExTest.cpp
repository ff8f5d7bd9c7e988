// TActiveObjectEx: order of posted work, blocking posts from other threads and from the worker,
// stopping (also from the worker and with blocked callers), timers, CheckAlive and synchronous
// execution.
#include "runtime/TActiveObjectEx.h"

#include <gtest/gtest.h>

#include <functional>
#include <future>
#include <string>
#include <vector>

#include "runtime/TTimerEx.h"
#include "tests/TestSupport.h"
#include "tests/runtime/ActiveObjectTestKit.h"
#include "tests/runtime/LambdaFunctor.h"

namespace {

using testing_support::WaitFor;
constexpr platform::DWORD kInfinite = platform::INFINITE_TIMEOUT;

using Fn = testing_support::LambdaFunctor;

using testing_support::Gate;
using testing_support::Queued;
using ActiveObjectTest = testing_support::WatchedTest;

template <std::uint32_t N>
struct Worker : TActiveObjectEx<Worker<N>, N> {
  Worker() : TActiveObjectEx<Worker<N>, N>(this) {}
  void Record(int value) { log.push_back(value); }
  TFunctor* Rec(int value) { return new TFunctor1<Worker, int>(this, &Worker::Record, value); }
  std::vector<int> log;  // read by the test only after a blocking post
};
using Big = Worker<100>;
using Small = Worker<4>;

TEST_F(ActiveObjectTest, PostsKeepEachThreadsOrderAndBlockingPostsReturnAfterTheirOwn) {
  Big w;
  EXPECT_FALSE(w.PushAndBlock(w.Rec(-1), 0));  // blocking posts need a running object
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
      ASSERT_TRUE(WaitFor([&] { return !w.Post(new Fn([] {}), 0); }));  // stopping
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

TEST_F(ActiveObjectTest, TimersFireOnTheWorkerAndCanBeCancelledAndReset) {
  TTimerEx<Big> counted, endless, reset;  // outlive the object
  Big w;
  w.Start(u"Timers");
  std::atomic<int> fires{0}, endlessFires{0}, resetFires{0};
  std::atomic<bool> offWorker{false};
  counted.SetFunctor(new Fn([&] {
    ++fires;
    if (platform::CurrentThreadId() != w.GetActiveThreadId()) offWorker = true;
  }));
  counted.Setup(2, 3, 0);  // four firings
  endless.SetFunctor(new Fn([&] { ++endlessFires; }));
  endless.Setup(1, -1, 0);
  reset.SetFunctor(new Fn([&] { ++resetFires; }));
  reset.Setup(60000, 0, 0);
  EXPECT_TRUE(w.SetTimer(&counted) && w.SetTimer(&endless) && w.SetTimer(&reset));
  ASSERT_TRUE(WaitFor([&] { return fires == 4 && endlessFires >= 10; }));
  EXPECT_TRUE(w.CancelTimer(&endless));
  int stoppedAt = endlessFires;
  reset.Setup(20, 0, 0);
  EXPECT_TRUE(w.ResetTimer(&reset));
  ASSERT_TRUE(WaitFor([&] { return resetFires == 1; }));
  ASSERT_TRUE(w.PushAndBlock(new Fn([] {}), 0));
  EXPECT_EQ(endlessFires, stoppedAt);
  EXPECT_EQ(fires, 4);
  EXPECT_FALSE(offWorker);
  w.Stop(false, kInfinite);
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

}  // namespace
