// The window-message active object: ordering, blocking posts from other threads and from the
// worker (nesting), the run-and-wait call by sending, stopping (what was posted runs, also behind
// the quit message), the catch-all's lines, window timers by repeat count, hooks and the built-in
// timer.
#include "runtime/TWndActiveObjectDeluxe.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "foundation/TRegEditor.h"
#include "runtime/TTimerEx.h"
#include "tests/TestSupport.h"
#include "tests/runtime/ActiveObjectTestKit.h"
#include "tests/runtime/LambdaFunctor.h"

namespace {

using platform::CurrentThreadId;
using platform::DWORD;
using testing_support::WaitFor;
constexpr DWORD kForever = platform::INFINITE_TIMEOUT;

using Fn = testing_support::LambdaFunctor;

using testing_support::Gate;
using testing_support::ThreadGone;

// Also keeps a log of values, written by its functors on the worker.
class Probe : public testing_support::HookProbe<TWndActiveObjectDeluxe> {
 public:
  void Record(int value) { log.push_back(value); }
  TFunctor* Rec(int value) { return new TFunctor1<Probe, int>(this, &Probe::Record, value); }
  std::uint32_t Queued() {
    std::uint32_t count = 0;
    GetQueueCount(&count);
    return count;
  }
  std::vector<int> log;  // worker only, read by the test after a blocking post
};

// The log's text after its byte order mark, as ASCII.
std::string LogText() {
  std::ifstream in(CatchLogPath().ToNarrow(), std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::string text;
  for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) text += bytes[i + 1] == 0 ? bytes[i] : '?';
  return text;
}

class WndDeluxeTest : public testing::Test {
 protected:
  testing_support::ActiveObjectEnvironment m_environment;
};

TEST_F(WndDeluxeTest, PostsFromSeveralThreadsRunInOrderAndForeignBlockingPostsReturnAfterTheirOwn) {
  Probe w;
  std::atomic<int> deleted{0};
  EXPECT_FALSE(w.Post(new Fn([] {}, &deleted), 0));  // no window before the start: refused, deleted
  EXPECT_FALSE(w.PushAndBlock(new Fn([] {}, &deleted), 0));
  EXPECT_EQ(deleted, 2);
  ASSERT_TRUE(w.Start(u"Ordering"));
  constexpr int kThreads = 4, kEach = 300;
  {
    std::vector<std::jthread> posters;
    for (int t = 0; t < kThreads; ++t)
      posters.emplace_back([&w, t] {
        for (int i = 0; i < kEach; ++i) EXPECT_TRUE(w.Post(w.Rec(t * 1000 + i), 0));
      });
  }
  ASSERT_TRUE(w.PushAndBlock(w.Rec(-1), 0));  // returns once it ran, after everything before it
  ASSERT_EQ(w.log.size(), 1u + kThreads * kEach);
  EXPECT_EQ(w.log.back(), -1);
  std::vector<int> next(kThreads, 0);
  for (int v : w.log)
    if (v >= 0 && v % 1000 != next[v / 1000]++) ADD_FAILURE() << "out of order: " << v;
  // Many blocking callers at once, each released by its own functor.
  Gate gate;
  ASSERT_TRUE(gate.Hold(w));
  constexpr int kCallers = 8;
  std::atomic<bool> ran[kCallers] = {};
  std::vector<std::jthread> callers;
  for (int i = 0; i < kCallers; ++i)
    callers.emplace_back([&, i] {
      EXPECT_TRUE(w.PushAndBlock(new Fn([&ran, i] { ran[i] = true; }), kForever));
      EXPECT_TRUE(ran[i]) << i;
    });
  ASSERT_TRUE(WaitFor([&] { return w.Queued() == kCallers; }));
  gate.Open();
}

TEST_F(WndDeluxeTest, BlockingPostsFromTheWorkerDispatchInOrderAndNest) {
  Probe w;
  ASSERT_TRUE(w.Start(u"Nesting"));
  std::vector<std::string> seen;  // worker only until `done`
  std::atomic<bool> done{false};
  auto note = [&seen](const char* text) { return new Fn([&seen, text] { seen.push_back(text); }); };
  Gate gate;
  ASSERT_TRUE(gate.Hold(w));
  w.Post(new Fn([&] {
           EXPECT_TRUE(w.PostOrExecute(note("at once"), 0));
           seen.push_back(w.PushAndBlock(note("P1"), 0) ? "outer true" : "outer false");
           done = true;
         }),
         0);
  w.Post(note("A"), 0);
  w.Post(new Fn([&] { seen.push_back(w.PushAndBlock(note("P2"), 0) ? "inner true" : "inner false"); }), 0);
  gate.Open();
  ASSERT_TRUE(WaitFor([&] { return done.load(); }));
  EXPECT_EQ(seen, (std::vector<std::string>{"at once", "A", "P1", "P2", "inner true", "outer true"}));
}

// The run-and-wait call sends: it runs on the worker while the caller waits (it is answered
// ahead of posted functors: see the window tests); from the worker it runs at once; once stopped
// it fails.
TEST_F(WndDeluxeTest, ExecuteSynchronizedRunsOnTheWorkerWhileTheCallerWaits) {
  Probe w;
  std::atomic<int> deleted{0};
  EXPECT_FALSE(w.ExecuteSynchronized(new Fn([] {}, &deleted)));
  EXPECT_FALSE(w.ExecuteSynchronized(nullptr));
  ASSERT_TRUE(w.Start(u"Sync"));
  Gate gate;
  ASSERT_TRUE(gate.Hold(w));
  w.Post(w.Rec(1), 0);
  std::atomic<DWORD> where{0};
  auto caller = std::async(std::launch::async, [&] {
    return w.ExecuteSynchronized(new Fn([&] {
      where = CurrentThreadId();
      w.Record(2);
    }));
  });
  EXPECT_EQ(caller.wait_for(std::chrono::milliseconds(20)), std::future_status::timeout);  // the worker is held
  gate.Open();
  EXPECT_TRUE(caller.get());
  EXPECT_EQ(where, w.GetWorkerThreadId());
  bool nested = false;
  ASSERT_TRUE(w.PushAndBlock(new Fn([&] { nested = w.ExecuteSynchronized(new Fn([&] { w.Record(3); })); }), 0));
  EXPECT_TRUE(nested);
  ASSERT_EQ(w.log.size(), 3u);
  EXPECT_EQ(w.log[0] + w.log[1], 3);
  EXPECT_EQ(w.log[2], 3);
  EXPECT_EQ(w.Queued(), 0u);
  // Lock parks the worker: what is posted meanwhile waits for Unlock.
  ASSERT_TRUE(w.Lock(kForever));
  w.Post(w.Rec(4), 0);
  EXPECT_EQ(w.log.size(), 3u);
  EXPECT_EQ(w.Queued(), 1u);
  EXPECT_TRUE(w.Unlock());
  ASSERT_TRUE(w.PushAndBlock(new Fn([] {}), 0));
  EXPECT_EQ(w.log.back(), 4);
  EXPECT_TRUE(w.Stop(false, kForever));
  EXPECT_FALSE(w.ExecuteSynchronized(new Fn([] { ADD_FAILURE(); }, &deleted)));
  EXPECT_EQ(deleted, 2);
}

// Nothing posted before the stop is lost: functors queued behind the quit message still run, and
// once the window is gone posts are refused and their functors deleted.
TEST_F(WndDeluxeTest, StopRunsEverythingPostedBeforeTheWindowGoes) {
  Probe w;
  w.EnableStatistics(true);
  ASSERT_TRUE(w.Start(u"Stopping"));
  Gate gate;
  ASSERT_TRUE(gate.Hold(w));
  std::atomic<int> ran{0}, deleted{0};
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(w.Post(new Fn([&] { ++ran; }, &deleted), 0));
  EXPECT_EQ(w.Queued(), 5u);
  EXPECT_GE(w.GetMaxQueueCount(), 5u);
  EXPECT_EQ(w.GetPostCount(), 6u);
  w.Post(new Fn([&] {
           // From the worker the stop does not wait; what is posted after it lands behind the quit message.
           EXPECT_TRUE(w.Stop(false, kForever));
           for (int i = 0; i < 3; ++i) EXPECT_TRUE(w.Post(new Fn([&] { ++ran; }, &deleted), 0));
           EXPECT_TRUE(w.PushAndBlock(new Fn([&] { ++ran; }, &deleted), 0) == false);  // not running any more
         }),
         0);
  gate.Open();
  ASSERT_TRUE(WaitFor([&] { return !w.IsRunning() && w.GetWindow() == nullptr; }));
  EXPECT_EQ(ran, 8);
  EXPECT_EQ(deleted, 9);
  EXPECT_FALSE(w.Post(new Fn([&] { ++ran; }, &deleted), 0));
  EXPECT_EQ(deleted, 10);
  EXPECT_EQ(ran, 8);
  EXPECT_EQ(w.stops, 1);
  // Started again, a stop with flush discards what is queued and releases blocked callers.
  ASSERT_TRUE(w.Start(u"Again"));
  Gate second;
  ASSERT_TRUE(second.Hold(w));
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(w.Post(new Fn([&] { ++ran; }, &deleted), 0));
  auto blocked = std::async(std::launch::async, [&] { return w.PushAndBlock(new Fn([&] { ++ran; }, &deleted), kForever); });
  ASSERT_TRUE(WaitFor([&] { return w.Queued() == 4; }));
  w.Flush(0);
  EXPECT_FALSE(blocked.get());
  EXPECT_EQ(w.Queued(), 0u);
  second.Open();
  EXPECT_TRUE(w.Stop(true, kForever));
  EXPECT_EQ(ran, 8);
  EXPECT_EQ(deleted, 14);
  EXPECT_EQ(w.stops, 2);
}

TEST_F(WndDeluxeTest, HooksAndBuiltInTimerRunOnTheWorkerFromStartToStop) {
  Probe object;
  object.GetTimer().SetFunctor(new TFunctor0<Probe>(&object, &Probe::Tick));
  object.GetTimer().Setup(1, -1, 0);
  EXPECT_FALSE(object.Stop(false, kForever));
  EXPECT_EQ(object.stops, 0);
  for (int round = 1; round <= 2; ++round) {
    SCOPED_TRACE(round);
    ASSERT_TRUE(object.Start(u"Worker"));
    EXPECT_FALSE(object.Start(u"Again"));
    EXPECT_EQ(object.starts, round);  // once, before Start returned
    DWORD worker = object.startThread;
    EXPECT_NE(worker, CurrentThreadId());
    EXPECT_EQ(worker, object.GetWorkerThreadId());
    EXPECT_EQ(worker, object.GetActiveThreadId());
    int before = object.ticks;
    ASSERT_TRUE(WaitFor([&] { return object.ticks >= before + 3; }));
    EXPECT_EQ(object.tickThread, worker);
    EXPECT_TRUE(object.CheckAlive() || WaitFor([&] { return object.CheckAlive(); }));
    EXPECT_TRUE(object.Stop(round == 2, kForever));
    EXPECT_EQ(object.ticks, object.ticksAtStop);  // cancelled before OnStop
    EXPECT_EQ(object.GetTimer().GetId(), 0u);
    EXPECT_FALSE(object.Stop(false, kForever));
    EXPECT_EQ(object.stops, round);
    EXPECT_EQ(object.stopThread, worker);
    EXPECT_TRUE(WaitFor([&] { return ThreadGone(worker); }));
  }
}

// Repeat counts: 3 fires four times, -1 until cancelled, a callback that cancels its timer ends
// it; ids count from 65536; setting a set timer changes nothing.
TEST_F(WndDeluxeTest, WindowTimersFireByTheirRepeatCounts) {
  TTimerEx<Probe> counted, endless, selfCancelling, later;  // outlive the object
  Probe w;
  EXPECT_FALSE(w.SetTimer(&counted));  // no window yet
  ASSERT_TRUE(w.Start(u"Timers"));
  std::atomic<int> fires{0}, endlessFires{0}, selfFires{0}, laterFires{0};
  std::atomic<bool> offWorker{false};
  counted.SetFunctor(new Fn([&] {
    ++fires;
    if (CurrentThreadId() != w.GetActiveThreadId()) offWorker = true;
  }));
  counted.Setup(2, 3, 0);
  endless.SetFunctor(new Fn([&] { ++endlessFires; }));
  endless.Setup(1, -1, 0);
  selfCancelling.SetFunctor(new Fn([&] {
    ++selfFires;
    w.CancelTimer(&selfCancelling);
  }));
  selfCancelling.Setup(1, -1, 0);
  later.SetFunctor(new Fn([&] { ++laterFires; }));
  later.Setup(60000, 0, 0);
  ASSERT_TRUE(w.SetTimer(&later));
  EXPECT_EQ(later.GetId(), 65536u);
  ASSERT_TRUE(w.SetTimer(&counted) && w.SetTimer(&endless) && w.SetTimer(&selfCancelling));
  EXPECT_TRUE(w.SetTimer(&later));
  EXPECT_EQ(later.GetId(), 65536u);
  ASSERT_TRUE(WaitFor([&] { return fires == 4 && endlessFires >= 10 && selfFires == 1; }));
  EXPECT_TRUE(w.CancelTimer(&endless));
  int stoppedAt = endlessFires;
  later.Setup(20, 0, 0);
  EXPECT_TRUE(w.ResetTimer(&later));  // reset: the new period at once
  ASSERT_TRUE(WaitFor([&] { return laterFires == 1; }));
  ASSERT_TRUE(w.PushAndBlock(new Fn([] {}), 0));
  ASSERT_TRUE(w.PushAndBlock(new Fn([] {}), 0));
  EXPECT_EQ(endlessFires, stoppedAt);
  EXPECT_EQ(fires, 4);
  EXPECT_EQ(selfFires, 1);
  EXPECT_EQ(counted.GetId(), 0u);  // ended
  EXPECT_EQ(later.GetId(), 0u);
  EXPECT_FALSE(w.CancelTimer(&counted));
  EXPECT_FALSE(offWorker);
}

// Minute alignment (-2): the first firing falls on the calendar minute plus the phase, and the
// timer keeps its id and goes on after each firing.
TEST_F(WndDeluxeTest, MinuteAlignedTimersFireOnTheMinutePlusThePhase) {
  TTimerEx<Probe> aligned, soon;
  Probe w;
  ASSERT_TRUE(w.Start(u"Aligned"));
  aligned.SetFunctor(new Fn([] {}));
  aligned.Setup(60000, -2, 0);
  std::atomic<int> soonFires{0};
  soon.SetFunctor(new Fn([&] { ++soonFires; }));
  auto toNextMinuteMs = [](std::time_t s) { return static_cast<std::int64_t>(((s / 60 + 1) * 60 - s) * 1000); };
  std::int64_t expected = 0, delay = 0;
  for (;;) {  // again when the calendar second changed meanwhile
    std::time_t before = std::time(nullptr);
    ASSERT_TRUE(w.SetTimer(&aligned));
    // Scheduled like a timer manager's: read on the worker, which owns the timer once it is set.
    w.ExecuteSynchronized(new Fn([&] { delay = static_cast<std::int32_t>(aligned.GetNextFiring() - platform::GetTickCount()); }));
    soon.Setup(60000, -2, static_cast<std::int32_t>(150 - toNextMinuteMs(before)));
    ASSERT_TRUE(w.SetTimer(&soon));
    if (std::time(nullptr) == before) {
      expected = toNextMinuteMs(before);
      break;
    }
    w.CancelTimer(&aligned);
    w.CancelTimer(&soon);
  }
  EXPECT_LE(delay, expected);
  EXPECT_GE(delay, expected - 1000);
  DWORD id = 0;
  ASSERT_TRUE(w.ExecuteSynchronized(new Fn([&] { id = soon.GetId(); })));
  EXPECT_NE(id, 0u);
  ASSERT_TRUE(WaitFor([&] { return soonFires >= 1; }));
  DWORD idAfter = 0;
  ASSERT_TRUE(w.ExecuteSynchronized(new Fn([&] { idAfter = soon.GetId(); })));
  EXPECT_EQ(idAfter, id);
  EXPECT_TRUE(w.CancelTimer(&soon));
  EXPECT_TRUE(w.CancelTimer(&aligned));
}

// With "EnableCatch" on, a throwing functor is logged with the handler's line and the worker goes
// on; the run-and-wait call and the blocking post report it as not run to the end.
TEST_F(WndDeluxeTest, CaughtFailuresAreLoggedWithTheirPlace) {
  ASSERT_TRUE(TRegEditor().WriteDword(3, u"SOFTWARE\\Tolvane", u"EnableCatch", 1));
  std::filesystem::remove(CatchLogPath().ToNarrow());
  Probe w;
  ASSERT_TRUE(w.IsCatchEnabled());
  ASSERT_TRUE(w.Start(u"Catcher"));
  auto thrower = [](const char16_t* name) { return new Fn([] { throw std::runtime_error("boom"); }, nullptr, name); };
  EXPECT_TRUE(w.Post(thrower(u"Posted"), 0));
  EXPECT_TRUE(w.PushAndBlock(thrower(u"Blocked"), 0));
  EXPECT_FALSE(w.ExecuteSynchronized(thrower(nullptr)));
  EXPECT_TRUE(w.PushAndBlock(thrower(nullptr), 0));
  std::atomic<bool> after{false};
  EXPECT_TRUE(w.ExecuteSynchronized(new Fn([&] { after = true; })));
  EXPECT_TRUE(after);
  std::string log = LogText();
  std::vector<std::string> lines;
  for (std::size_t at = 0, end; (end = log.find("\r\n", at)) != std::string::npos; at = end + 2) {
    std::string line = log.substr(at, end - at);
    std::size_t catchAt = line.find("Catch ");
    if (catchAt != std::string::npos) lines.push_back(line.substr(catchAt));
  }
  ASSERT_EQ(lines.size(), 4u) << log;
  EXPECT_TRUE(testing_support::FitsPattern(
      lines[0], "Catch CWndActiveObj<Catcher>::OnFunctor - Func : Posted, Error = %%%%%%%%, WSA Error = %%%%%%%%"))
      << lines[0];
  EXPECT_TRUE(testing_support::FitsPattern(
      lines[1], "Catch CWndActiveObj<Catcher>::Server_ExecuteFunc - Func : Blocked, Error = %%%%%%%%, WSA Error = %%%%%%%%"))
      << lines[1];
  EXPECT_TRUE(testing_support::FitsPattern(
      lines[2], "Catch CWndActiveObj<Catcher>::OnFunctor - No func name, Error = %%%%%%%%, WSA Error = %%%%%%%%"))
      << lines[2];
  EXPECT_TRUE(testing_support::FitsPattern(
      lines[3], "Catch CWndActiveObj<Catcher>::Server_ExecuteFunc - No func name, Error = %%%%%%%%, WSA Error = %%%%%%%%"))
      << lines[3];
}

}  // namespace
