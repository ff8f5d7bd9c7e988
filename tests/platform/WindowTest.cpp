// Hidden windows: sending (ahead of posted messages, directly from the owner, failing when the
// owner ends or destroys the window first) and window timers.
#include "platform/Window.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/Thread.h"
#include "tests/TestSupport.h"

namespace {

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

}  // namespace
