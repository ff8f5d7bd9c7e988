// The window-message active object: order, blocking posts (foreign and nested), the run-and-wait
// call, stopping and flushing, hooks, window timers and the catch-all's lines.
#include "runtime/TWndActiveObjectDeluxe.h"

#include <gtest/gtest.h>

#include <atomic>
#include <ctime>
#include <filesystem>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "foundation/TRegEditor.h"
#include "runtime/TTimerEx.h"
#include "tests/TestSupport.h"
#include "tests/runtime/ActiveObjectTestKit.h"

namespace {

using platform::CurrentThreadId;
using platform::DWORD;
using testing_support::Gate;
using testing_support::WaitFor;
using Fn = testing_support::LambdaFunctor;
constexpr DWORD kForever = platform::INFINITE_TIMEOUT;

using testing_support::Queued;
using Probe = testing_support::HookProbe<TWndActiveObjectDeluxe>;
using WndDeluxeTest = testing_support::WatchedTest;

TEST_F(WndDeluxeTest, PostsKeepEachThreadsOrderAndConcurrentBlockingPostsReturnAfterTheirOwn) {
  Probe w;
  ASSERT_TRUE(w.Start(u"Ordering"));
  testing_support::ExpectEachThreadsOrder(w);
  testing_support::ExpectBlockingCallersReturnAfterTheirOwn(w, 8);  // the window's queue has no limit
}

// On the worker the calls run at once or dispatch in order, nesting; from another thread the
// run-and-wait call runs on the worker while the caller waits.
TEST_F(WndDeluxeTest, CallsOnTheWorkerRunAtOnceOrDispatchInOrderAndNest) {
  Probe w;
  ASSERT_TRUE(w.Start(u"Nesting"));
  testing_support::ExpectWorkerCallsRunAtOnceOrDispatchInOrderAndNest(w);
  std::atomic<DWORD> where{0};
  Gate gate;
  ASSERT_TRUE(gate.Hold(w));
  auto caller = std::async(std::launch::async, [&] { return w.ExecuteSynchronized(new Fn([&] { where = CurrentThreadId(); })); });
  EXPECT_EQ(caller.wait_for(std::chrono::milliseconds(20)), std::future_status::timeout);  // the worker is held
  gate.Open();
  EXPECT_TRUE(caller.get());
  EXPECT_EQ(where, w.GetWorkerThreadId());
}

// Flush deletes what is queued, unrun, releasing a blocked caller. A stop loses nothing posted
// before it: functors behind the quit message still run; then posts are refused, functors deleted.
TEST_F(WndDeluxeTest, FlushDiscardsAndStopRunsEverythingPostedBeforeTheWindowGoes) {
  Probe w;
  ASSERT_TRUE(w.Start(u"Stopping"));
  std::atomic<int> ran{0}, deleted{0};
  auto counted = [&] { return new Fn([&] { ++ran; }, &deleted); };
  Gate gate;
  ASSERT_TRUE(gate.Hold(w));
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(w.Post(counted(), 0));
  auto blocked = std::async(std::launch::async, [&] { return w.PushAndBlock(counted(), kForever); });
  ASSERT_TRUE(WaitFor([&] { return Queued(w) == 4; }));
  w.Flush(0);
  EXPECT_FALSE(blocked.get());
  EXPECT_EQ(Queued(w), 0u);
  EXPECT_EQ(deleted, 4);
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(w.Post(counted(), 0));
  w.Post(new Fn([&] {
           EXPECT_TRUE(w.Stop(false, kForever));  // from the worker it does not wait
           for (int i = 0; i < 3; ++i) EXPECT_TRUE(w.Post(counted(), 0));  // behind the quit message
           EXPECT_FALSE(w.PushAndBlock(counted(), 0));                     // not running any more
         }),
         0);
  gate.Open();
  ASSERT_TRUE(WaitFor([&] { return !w.IsRunning() && w.GetWindow() == nullptr; }));
  EXPECT_EQ(ran, 8);
  EXPECT_EQ(deleted, 13);
  EXPECT_FALSE(w.Post(counted(), 0));
  EXPECT_EQ(deleted, 14);
}

// Hooks and timers run on the worker; the built-in timer ends before OnStop. Ids count from 65536;
// a repeat count of 3 fires four times, -1 until cancelled, and -2 on the next whole minute plus
// the phase (here 150 ms away), staying set under its id.
TEST_F(WndDeluxeTest, HooksAndTimersRunOnTheWorkerByTheirRepeatCounts) {
  TTimerEx<Probe> counted, endless, aligned;  // outlive the object
  Probe w;
  w.GetTimer().SetFunctor(new TFunctor0<Probe>(&w, &Probe::Tick));
  w.GetTimer().Setup(1, -1, 0);
  ASSERT_TRUE(w.Start(u"Timers"));
  EXPECT_FALSE(w.Start(u"Again"));
  DWORD worker = w.GetWorkerThreadId();
  EXPECT_NE(worker, CurrentThreadId());
  EXPECT_EQ(w.startThread, worker);
  EXPECT_EQ(w.starts, 1);  // before Start returned
  std::atomic<int> fires{0}, endlessFires{0};
  std::atomic<DWORD> alignedId{0};  // as it fired
  counted.SetFunctor(new Fn([&] { ++fires; }));
  counted.Setup(2, 3, 0);
  endless.SetFunctor(new Fn([&] { ++endlessFires; }));
  endless.Setup(1, -1, 0);
  EXPECT_EQ(w.GetTimer().GetId(), 65536u);
  ASSERT_TRUE(w.SetTimer(&endless));
  EXPECT_EQ(endless.GetId(), 65537u);
  EXPECT_TRUE(w.SetTimer(&endless));
  EXPECT_EQ(endless.GetId(), 65537u);
  ASSERT_TRUE(w.SetTimer(&counted));
  aligned.SetFunctor(new Fn([&] { alignedId = aligned.GetId(); }));
  for (std::time_t s = 0; s != std::time(nullptr);) {  // again when the calendar second changed meanwhile
    w.CancelTimer(&aligned);
    s = std::time(nullptr);
    aligned.Setup(60000, -2, static_cast<std::int32_t>(150 - ((s / 60 + 1) * 60 - s) * 1000));
    ASSERT_TRUE(w.SetTimer(&aligned));
  }
  ASSERT_TRUE(WaitFor([&] { return fires == 4 && endlessFires >= 10 && alignedId != 0 && w.ticks >= 3; }));
  EXPECT_EQ(w.tickThread, worker);
  EXPECT_TRUE(w.CancelTimer(&endless));
  int stoppedAt = endlessFires, ticksAt = w.ticks;
  ASSERT_TRUE(WaitFor([&] { return w.ticks >= ticksAt + 20; }));  // 20 ms in which the endless one would fire
  ASSERT_TRUE(w.ExecuteSynchronized(new Fn([&] { EXPECT_EQ(aligned.GetId(), alignedId); })));
  EXPECT_EQ(endlessFires, stoppedAt);
  EXPECT_EQ(fires, 4);
  EXPECT_EQ(counted.GetId(), 0u);  // ended
  EXPECT_TRUE(w.CancelTimer(&aligned));  // still set
  EXPECT_TRUE(w.Stop(false, kForever));
  EXPECT_EQ(w.ticks, w.ticksAtStop);
  EXPECT_EQ(w.stops, 1);
  EXPECT_EQ(w.stopThread, worker);
  EXPECT_TRUE(WaitFor([&] { return testing_support::ThreadGone(worker); }));
}

// With "EnableCatch" on, a throwing functor is logged with the handler's line and its name, and
// the worker goes on; the run-and-wait call reports it as not run to the end.
TEST_F(WndDeluxeTest, CaughtFailuresAreLoggedWithTheirPlace) {
  ASSERT_TRUE(TRegEditor().WriteDword(3, u"SOFTWARE\\Tolvane", u"EnableCatch", 1));
  std::filesystem::remove(CatchLogPath().ToNarrow());
  Probe w;
  ASSERT_TRUE(w.Start(u"Catcher"));
  enum Call { kPost, kBlock, kSend };
  const std::tuple<Call, const char16_t*, const char*> cases[] = {{kPost, u"Posted", "OnFunctor - Func : Posted"},
                                                                  {kBlock, u"Blocked", "Server_ExecuteFunc - Func : Blocked"},
                                                                  {kSend, nullptr, "OnFunctor - No func name"},
                                                                  {kBlock, nullptr, "Server_ExecuteFunc - No func name"}};
  for (auto [call, name, line] : cases) {
    auto* thrower = new Fn([] { throw std::runtime_error("boom"); }, nullptr, name);
    EXPECT_EQ(call == kPost ? w.Post(thrower, 0) : call == kBlock ? w.PushAndBlock(thrower, 0) : w.ExecuteSynchronized(thrower),
              call != kSend);
  }
  const std::string log = testing_support::Utf16FileText(CatchLogPath().ToNarrow());
  std::vector<std::string> lines;
  for (std::size_t at = 0, end; (end = log.find("\r\n", at)) != std::string::npos; at = end + 2)
    if (std::size_t catchAt = log.find("Catch ", at); catchAt < end) lines.push_back(log.substr(catchAt, end - catchAt));
  ASSERT_EQ(lines.size(), std::size(cases)) << log;
  for (std::size_t i = 0; i < lines.size(); ++i)
    EXPECT_TRUE(testing_support::FitsPattern(
        lines[i], std::string("Catch CWndActiveObj<Catcher>::") + std::get<2>(cases[i]) + ", Error = %%%%%%%%, WSA Error = %%%%%%%%"))
        << lines[i];
}

// Without a deluxe layer that stops it first, the object is destroyed running: it stops itself.
struct BareWnd : CWndActiveObjImpWithThread<BareWnd> {
  BareWnd() : CWndActiveObjImpWithThread(this) {}
};

TEST_F(WndDeluxeTest, DestroyedRunningItStopsAndWaitsForItsWorker) {
  DWORD worker = 0;
  {
    BareWnd w;
    ASSERT_TRUE(w.Start(u"Bare"));
    worker = w.GetActiveThreadId();
  }
  EXPECT_TRUE(WaitFor([&] { return testing_support::ThreadGone(worker); }));
}

}  // namespace
