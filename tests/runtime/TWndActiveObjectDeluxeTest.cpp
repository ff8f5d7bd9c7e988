// Hidden windows: sending (ahead of posted messages, directly from the owner, failing when the
// owner ends or destroys the window first) and window timers. The window-message active object on
// them: order, blocking posts (foreign and nested), the run-and-wait call, stopping and flushing,
// hooks, window timers and the catch-all's lines.
#include "runtime/TWndActiveObjectDeluxe.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <ctime>
#include <filesystem>
#include <future>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "foundation/TRegEditor.h"
#include "platform/Thread.h"
#include "platform/Window.h"
#include "runtime/TTimerEx.h"
#include "tests/TestSupport.h"
#include "tests/runtime/ActiveObjectTestKit.h"

namespace {

// The windows' own tests keep the platform's names to themselves.
namespace window_test {

using namespace platform;
using testing_support::WaitFor;

constexpr UINT kHello = WM_APP + 1;
constexpr const char* kClass = "WindowTest::Class";

std::mutex g_lock;
std::vector<WPARAM> g_seen;  // wParam of each message the procedure handled

std::size_t Seen(WPARAM wParam) {
  std::lock_guard<std::mutex> guard(g_lock);
  return std::count(g_seen.begin(), g_seen.end(), wParam);
}

LRESULT TestProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message != kHello && message != WM_TIMER) return DefWindowProc(window, message, wParam, lParam);
  std::unique_lock<std::mutex> guard(g_lock);
  g_seen.push_back(wParam);
  guard.unlock();
  LRESULT inner = 0;  // kHello 5 sends kHello 6 to its own window, from the owner
  EXPECT_TRUE(message != kHello || wParam != 5 || (SendMessage(window, kHello, 6, 0, &inner) && inner == 7));
  return static_cast<LRESULT>(wParam + 1);
}

// A thread that owns a window. It takes no message until released (exactly once): then it ends,
// or runs a message loop until WM_QUIT, after destroying the window when told to.
enum Go { kEnd, kLoop, kDestroyAndLoop };
class Owner {
 public:
  Owner()
      : m_thread([this] {
          window = CreateHiddenWindow(kClass);
          id = CurrentThreadId();
          m_ready.set_value();
          Go go = m_go.get_future().get();
          if (go == kDestroyAndLoop) DestroyWindow(window);
          ThreadMessage message;
          while (go != kEnd && GetMessage(&message)) DispatchMessage(message);
        }) {
    m_ready.get_future().wait();
  }
  ~Owner() {
    PostThreadMessage(id, WM_QUIT, 0, 0);
    m_thread.join();
  }
  void Release(Go go) { m_go.set_value(go); }
  HWND window = nullptr;
  DWORD id = 0;

 private:
  std::promise<void> m_ready;
  std::promise<Go> m_go;
  std::thread m_thread;
};

class WindowTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { RegisterWindowClass(kClass, &TestProc); }
  void TearDown() override { g_seen.clear(); }
  testing_support::ActiveObjectEnvironment m_watchdog;  // for its watchdog
};

// A send is taken ahead of posted messages (also one whose sender stopped waiting); from the
// owner a send calls the procedure at once.
TEST_F(WindowTest, SendsGoAheadOfPostedMessagesAndFromTheOwnerAreDirect) {
  Owner owner;
  EXPECT_TRUE(PostMessage(owner.window, kHello, 1, 0));
  EXPECT_FALSE(SendMessageTimeout(owner.window, kHello, 41, 0, 1, nullptr));  // queued all the same
  owner.Release(kLoop);
  ASSERT_TRUE(WaitFor([] { return Seen(1) == 1; }));
  LRESULT answer = 0;
  ASSERT_TRUE(SendMessage(owner.window, kHello, 5, 0, &answer));
  EXPECT_EQ(answer, 6);
  EXPECT_EQ(g_seen, (std::vector<WPARAM>{41, 1, 5, 6}));  // 6 from inside 5
}

// A send waiting in the queue fails when the owner ends, or destroys the window, before taking it.
TEST_F(WindowTest, SendsFailWhenTheOwnerEndsOrDestroysTheWindowFirst) {
  for (Go go : {kEnd, kDestroyAndLoop}) {
    SCOPED_TRACE(go);
    Owner owner;
    auto sent = std::async(std::launch::async, [&] { return SendMessage(owner.window, kHello, 0, 0); });
    EXPECT_EQ(sent.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    owner.Release(go);
    EXPECT_FALSE(sent.get());
    EXPECT_FALSE(IsWindow(owner.window));
  }
  EXPECT_TRUE(g_seen.empty());
}

std::atomic<int> g_fired{0};  // on the owner thread
void CountFiring(HWND window, UINT message, std::uintptr_t id, DWORD) {
  if (message == WM_TIMER && id == 5 && GetWindowThreadId(window) == CurrentThreadId()) ++g_fired;
}

// Set from another thread, a timer fires on the owner through its queue, to its callback or else
// to the procedure; once killed, it does not fire, not even from a timer message already queued.
TEST_F(WindowTest, TimersFireThroughTheOwnersQueueUntilKilled) {
  Owner owner;
  owner.Release(kLoop);
  g_fired = 0;
  ASSERT_TRUE(SetTimer(owner.window, 5, 1, &CountFiring));  // the sleeping owner wakes for it
  ASSERT_TRUE(WaitFor([] { return g_fired >= 5; }));
  ASSERT_TRUE(KillTimer(owner.window, 5));
  ASSERT_TRUE(SendMessage(owner.window, kHello, 0, 0));  // any firing taken before the kill is over
  int stopped = g_fired;
  ASSERT_TRUE(PostWindowMessage(owner.id, owner.window, WM_TIMER, 5, reinterpret_cast<LPARAM>(&CountFiring)));  // as if taken before the kill
  ASSERT_TRUE(SetTimer(owner.window, 9, 1, nullptr));
  ASSERT_TRUE(WaitFor([] { return Seen(9) >= 2; }));  // after the posted message
  EXPECT_TRUE(KillTimer(owner.window, 9));
  EXPECT_EQ(g_fired, stopped);
}

}  // namespace window_test

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

// Hooks and timers run on the worker, over two starts. A repeat count of -2 fires on the next
// whole minute plus the phase (here 150 ms away), staying set under its id.
TEST_F(WndDeluxeTest, HooksAndTimersRunOnTheWorkerByTheirRepeatCounts) {
  TTimerEx<Probe> aligned;  // outlives the object
  Probe w;
  testing_support::ExpectHooksAndBuiltInTimerOnTheWorker(w, 2, [&](DWORD worker) {
    std::atomic<DWORD> alignedId{0};  // as it fired
    aligned.SetFunctor(new Fn([&] { alignedId = aligned.GetId(); }));
    for (std::time_t s = 0; s != std::time(nullptr);) {  // again when the calendar second changed meanwhile
      w.CancelTimer(&aligned);
      s = std::time(nullptr);
      aligned.Setup(60000, -2, static_cast<std::int32_t>(150 - ((s / 60 + 1) * 60 - s) * 1000));
      ASSERT_TRUE(w.SetTimer(&aligned));
    }
    testing_support::ExpectTimersFireOnTheWorkerByTheirRepeatCounts(w, worker);
    ASSERT_TRUE(WaitFor([&] { return alignedId != 0; }));
    ASSERT_TRUE(w.ExecuteSynchronized(new Fn([&] { EXPECT_EQ(aligned.GetId(), alignedId); })));
    EXPECT_TRUE(w.CancelTimer(&aligned));  // still set
  });
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
