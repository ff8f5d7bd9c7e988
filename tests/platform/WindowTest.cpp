// Hidden windows: posting and dispatching on the owner thread, sending (also when the owner ends
// or destroys the window first), window timers, and the filtered and foreign takes of the queue.
#include "platform/Window.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
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
constexpr UINT kOther = WM_APP + 2;

// What the procedure of the test class saw, on which thread; answers wParam + 1.
struct Seen {
  std::mutex lock;
  std::vector<UINT> messages;
  std::vector<WPARAM> params;
  std::vector<DWORD> threads;
  void Add(UINT message, WPARAM wParam) {
    std::lock_guard<std::mutex> guard(lock);
    messages.push_back(message);
    params.push_back(wParam);
    threads.push_back(CurrentThreadId());
  }
  std::size_t Count() {
    std::lock_guard<std::mutex> guard(lock);
    return messages.size();
  }
};
Seen* g_seen = nullptr;
std::function<void(UINT, WPARAM)> g_inside;  // run inside the procedure when set

LRESULT TestProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (g_seen != nullptr) g_seen->Add(message, wParam);
  if (g_inside) g_inside(message, wParam);
  if (message == kHello || message == kOther || message == WM_TIMER) return static_cast<LRESULT>(wParam + 1);
  return DefWindowProc(window, message, wParam, lParam);
}

constexpr const char* kClass = "WindowTest::Class";

// A thread that owns a window and runs a message loop until WM_QUIT (or until told to end
// without one). Every test waiting on threads has the watchdog.
class Owner {
 public:
  explicit Owner(bool loop = true) {
    m_thread = std::thread([this, loop] {
      window = CreateHiddenWindow(kClass);
      id = CurrentThreadId();
      ready.set_value();
      if (!loop) {
        release.get_future().wait();
        return;
      }
      ThreadMessage message;
      while (GetMessage(&message)) DispatchMessage(message);
    });
    ready.get_future().wait();
  }
  ~Owner() { End(); }
  void End() {
    if (!m_thread.joinable()) return;
    PostThreadMessage(id, WM_QUIT, 0, 0);
    if (!released) release.set_value();
    released = true;
    m_thread.join();
  }
  HWND window = nullptr;
  DWORD id = 0;
  std::promise<void> ready, release;
  bool released = false;

 private:
  std::thread m_thread;
};

class WindowTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { RegisterWindowClass(kClass, &TestProc); }
  void SetUp() override { g_seen = &m_seen; }
  void TearDown() override {
    g_inside = nullptr;
    g_seen = nullptr;
  }
  Seen m_seen;

 private:
  std::jthread m_watchdog{[](std::stop_token stop) {
    std::mutex lock;
    std::unique_lock<std::mutex> held(lock);
    std::condition_variable_any().wait_for(held, stop, std::chrono::seconds(30), [] { return false; });
    if (!stop.stop_requested()) std::fprintf(stderr, "watchdog: test hung, aborting\n"), std::abort();
  }};
};

TEST_F(WindowTest, ClassesAreRegisteredOnceAndWindowsNeedOne) {
  EXPECT_FALSE(RegisterWindowClass(kClass, &TestProc));
  EXPECT_FALSE(RegisterWindowClass("WindowTest::NoProcedure", nullptr));
  EXPECT_EQ(CreateHiddenWindow("WindowTest::Unknown"), nullptr);
  int data = 0;
  std::thread([&] {
    HWND window = CreateHiddenWindow(kClass, &data);
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(IsWindow(window));
    EXPECT_EQ(GetWindowThreadId(window), CurrentThreadId());
    EXPECT_EQ(GetWindowData(window), &data);
    EXPECT_TRUE(DestroyWindow(window));
    EXPECT_FALSE(IsWindow(window));
    EXPECT_FALSE(DestroyWindow(window));
    EXPECT_EQ(GetWindowData(window), nullptr);
  }).join();
  ASSERT_EQ(m_seen.messages, std::vector<UINT>{WM_DESTROY});
}

TEST_F(WindowTest, PostedMessagesReachTheProcedureOnTheOwnerInOrderUntilDestroyed) {
  Owner owner;
  for (WPARAM i = 0; i < 100; ++i) ASSERT_TRUE(PostMessage(owner.window, i % 2 ? kHello : kOther, i, 0));
  EXPECT_TRUE(PostThreadMessage(owner.id, kHello, 1000, 0));  // a thread message reaches no procedure
  ASSERT_TRUE(WaitFor([&] { return m_seen.Count() == 100; }));
  LRESULT answer = 0;
  ASSERT_TRUE(SendMessage(owner.window, kHello, 7, 0, &answer));  // after the thread message was taken
  EXPECT_EQ(answer, 8);
  for (WPARAM i = 0; i < 100; ++i) {
    EXPECT_EQ(m_seen.params[i], i);
    EXPECT_EQ(m_seen.threads[i], owner.id);
  }
  // Destroyed by its owner (not by another thread): then posts and sends fail.
  EXPECT_FALSE(DestroyWindow(owner.window));
  ASSERT_TRUE(SendMessage(owner.window, kHello, 0, 0));
  g_inside = [&](UINT message, WPARAM) {
    if (message == kOther) DestroyWindow(owner.window);
  };
  ASSERT_TRUE(SendMessage(owner.window, kOther, 0, 0));
  EXPECT_FALSE(IsWindow(owner.window));
  EXPECT_FALSE(PostMessage(owner.window, kHello, 0, 0));
  EXPECT_FALSE(SendMessage(owner.window, kHello, 0, 0));
  EXPECT_EQ(m_seen.messages.back(), WM_DESTROY);
}

TEST_F(WindowTest, SentMessagesGoAheadOfPostedOnesAndOwnSendsAreDirect) {
  Owner owner;
  std::promise<void> hold;
  std::shared_future<void> held = hold.get_future().share();
  std::atomic<bool> holding{false};
  g_inside = [&](UINT message, WPARAM wParam) {
    if (message == kOther && wParam == 0) {
      holding = true;
      held.wait();
    }
  };
  ASSERT_TRUE(PostMessage(owner.window, kOther, 0, 0));  // holds the owner
  ASSERT_TRUE(WaitFor([&] { return holding.load(); }));
  ASSERT_TRUE(PostMessage(owner.window, kOther, 1, 0));
  // A send that timed out stays queued and is still handled: behind the held message, but ahead
  // of the message posted before it.
  EXPECT_FALSE(SendMessageTimeout(owner.window, kHello, 41, 0, 1, nullptr));
  hold.set_value();
  ASSERT_TRUE(WaitFor([&] { return m_seen.Count() == 3; }));
  EXPECT_EQ(m_seen.params, (std::vector<WPARAM>{0, 41, 1}));
  LRESULT answer = 0;
  ASSERT_TRUE(SendMessage(owner.window, kHello, 5, 0, &answer));
  EXPECT_EQ(answer, 6);
  // From the owner itself the procedure is called at once, inside the first one.
  std::vector<WPARAM> order;
  g_inside = [&](UINT message, WPARAM wParam) {
    order.push_back(wParam);
    if (message == kHello && wParam == 1) {
      LRESULT inner = 0;
      EXPECT_TRUE(SendMessage(owner.window, kOther, 2, 0, &inner));
      EXPECT_EQ(inner, 3);
    }
  };
  ASSERT_TRUE(SendMessage(owner.window, kHello, 1, 0));
  EXPECT_EQ(order, (std::vector<WPARAM>{1, 2}));
}

// Two owners sending to each other from inside their procedures both get answers: a thread
// waiting for its own send answers what is sent to it.
TEST_F(WindowTest, OwnersSendingToEachOtherDoNotDeadlock) {
  Owner a, b;
  g_inside = [&](UINT message, WPARAM wParam) {
    if (message != kHello) return;
    HWND other = CurrentThreadId() == a.id ? b.window : a.window;
    if (wParam < 6) {
      EXPECT_TRUE(SendMessage(other, kHello, wParam + 1, 0));
    }
  };
  LRESULT answer = 0;
  ASSERT_TRUE(SendMessage(a.window, kHello, 0, 0, &answer));
  EXPECT_EQ(answer, 1);
  EXPECT_EQ(m_seen.params, (std::vector<WPARAM>{0, 1, 2, 3, 4, 5, 6}));
}

TEST_F(WindowTest, SendsFailWhenTheOwnerEndsOrDestroysTheWindowFirst) {
  {
    Owner silent(false);  // never asks for a message
    auto sent = std::async(std::launch::async, [&] { return SendMessage(silent.window, kHello, 0, 0); });
    EXPECT_EQ(sent.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    silent.End();
    EXPECT_FALSE(sent.get());
    EXPECT_FALSE(IsWindow(silent.window));  // the window went with its thread
    EXPECT_FALSE(SendMessage(silent.window, kHello, 0, 0));
    EXPECT_FALSE(PostMessage(silent.window, kHello, 0, 0));
  }
  {
    // Destroyed while a send waits in the queue: the owner takes the send and finds no window.
    Owner owner;
    std::promise<void> hold;
    std::shared_future<void> held = hold.get_future().share();
    std::atomic<bool> holding{false};
    g_inside = [&](UINT message, WPARAM) {
      if (message != kOther) return;
      holding = true;
      held.wait();
      DestroyWindow(owner.window);
    };
    ASSERT_TRUE(PostMessage(owner.window, kOther, 0, 0));
    ASSERT_TRUE(WaitFor([&] { return holding.load(); }));
    auto sent = std::async(std::launch::async, [&] { return SendMessage(owner.window, kHello, 0, 0); });
    EXPECT_EQ(sent.wait_for(std::chrono::milliseconds(20)), std::future_status::timeout);
    hold.set_value();  // queued by now or not, the send finds no window
    EXPECT_FALSE(sent.get());
  }
  EXPECT_EQ(std::count(m_seen.messages.begin(), m_seen.messages.end(), kHello), 0);
  // A time-out ends the wait too.
  Owner silent(false);
  EXPECT_FALSE(SendMessageTimeout(silent.window, kHello, 0, 0, 20, nullptr));
}

std::atomic<int> g_fired{0};
std::atomic<DWORD> g_firedOn{0};
void CountFiring(HWND, UINT message, std::uintptr_t id, DWORD) {
  if (message == WM_TIMER && id == 5) ++g_fired;
  g_firedOn = CurrentThreadId();
}

TEST_F(WindowTest, TimersFireThroughTheOwnersQueueUntilKilled) {
  Owner owner;
  g_fired = 0;
  // Set from another thread: the sleeping owner wakes for it.
  ASSERT_TRUE(SetTimer(owner.window, 5, 1, &CountFiring));
  ASSERT_TRUE(WaitFor([] { return g_fired >= 5; }));
  EXPECT_EQ(g_firedOn, owner.id);
  ASSERT_TRUE(KillTimer(owner.window, 5));
  EXPECT_FALSE(KillTimer(owner.window, 5));
  ASSERT_TRUE(SendMessage(owner.window, kHello, 0, 0));  // any firing taken before the kill is over
  int stopped = g_fired;
  // Without a callback the message goes to the procedure, with the id.
  ASSERT_TRUE(SetTimer(owner.window, 9, 1, nullptr));
  ASSERT_TRUE(WaitFor([&] {
    std::lock_guard<std::mutex> guard(m_seen.lock);
    return std::count(m_seen.params.begin(), m_seen.params.end(), 9u) >= 2;
  }));
  EXPECT_TRUE(KillTimer(owner.window, 9));
  // A timer message naming a callback that no timer has reaches nothing.
  ASSERT_TRUE(PostWindowMessage(owner.id, owner.window, WM_TIMER, 5, reinterpret_cast<LPARAM>(&CountFiring)));
  ASSERT_TRUE(SendMessage(owner.window, kHello, 0, 0));
  EXPECT_EQ(g_fired, stopped);
  EXPECT_FALSE(SetTimer(reinterpret_cast<HWND>(std::uintptr_t{8}), 1, 1, &CountFiring));
}

// While posted messages wait, timers wait: a busy owner takes its posts first.
TEST_F(WindowTest, TimerMessagesComeAfterPostedMessages) {
  std::thread([&] {
    HWND window = CreateHiddenWindow(kClass);
    ASSERT_TRUE(SetTimer(window, 3, 1, nullptr));
    ThreadMessage message;
    ASSERT_TRUE(WaitFor([&] { return PeekMessage(&message, window, WM_TIMER, WM_TIMER, false); }));  // due
    for (WPARAM i = 0; i < 3; ++i) PostMessage(window, kHello, i, 0);
    std::vector<UINT> order;
    for (int i = 0; i < 4; ++i) {
      ASSERT_TRUE(PeekMessage(&message, true));
      order.push_back(message.message);
    }
    EXPECT_EQ(order, (std::vector<UINT>{kHello, kHello, kHello, WM_TIMER}));
    EXPECT_EQ(message.wParam, 3u);
    EXPECT_FALSE(PeekMessage(&message, true));  // due again an interval after it was taken
  }).join();
}

TEST_F(WindowTest, FilteredPeekAndForeignRemovalTakeOnlyWhatTheyName) {
  std::atomic<DWORD> id{0};
  std::atomic<HWND> target{nullptr};
  std::promise<void> posted, removed;
  std::thread owner([&] {
    HWND window = CreateHiddenWindow(kClass);
    int other = 0;
    PostWindowMessage(CurrentThreadId(), &other, kHello, 1, 0);
    PostThreadMessage(CurrentThreadId(), WM_QUIT, 0, 0);
    PostMessage(window, kOther, 2, 0);
    PostMessage(window, kHello, 3, 0);
    PostMessage(window, kHello, 4, 0);
    target = window;
    id = CurrentThreadId();
    posted.set_value();
    removed.get_future().wait();
    ThreadMessage message;
    // The window's kHello messages went to the other thread; the filter passes over the quit
    // message and the other window's message.
    EXPECT_FALSE(PeekMessage(&message, window, kHello, kHello, true));
    ASSERT_TRUE(PeekMessage(&message, window, 0, 0, true));
    EXPECT_EQ(message.wParam, 2u);
    ASSERT_TRUE(PeekMessage(&message, true));
    EXPECT_EQ(message.wParam, 1u);
    EXPECT_FALSE(GetMessage(&message));
  });
  posted.get_future().wait();
  std::vector<ThreadMessage> taken;
  EXPECT_EQ(RemoveWindowMessages(id, target.load(), kHello, kHello, &taken), 2u);
  ASSERT_EQ(taken.size(), 2u);
  EXPECT_EQ(taken[0].wParam, 3u);
  EXPECT_EQ(taken[1].wParam, 4u);
  removed.set_value();
  owner.join();
  EXPECT_EQ(m_seen.Count(), 0u);
}

}  // namespace
