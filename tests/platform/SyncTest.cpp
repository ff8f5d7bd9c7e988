// Semaphores and events, waiting for any of several, and thread message queues; over them, the
// runtime's mutex and semaphore functions, waiting while pumping messages, and the guards.
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "modules/TConsole.h"
#include "platform/Event.h"
#include "platform/Semaphore.h"
#include "platform/Thread.h"
#include "platform/ThreadMessages.h"
#include "platform/Waitable.h"
#include "runtime/TGuard.h"
#include "runtime/TSemaphore.h"
#include "tests/ConsoleCapture.h"
#include "tests/TestSupport.h"

namespace {

using namespace platform;
using testing_support::WaitFor;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
constexpr DWORD kInfinite = INFINITE_TIMEOUT;

using SyncTest = testing_support::WatchedTest;  // a lost wake-up fails instead of hanging

TEST_F(SyncTest, SemaphoreCountsMaximumAndTimeoutsAndWaitForAnyTakesTheFirstSignalled) {
  Semaphore s(1, 3);
  LONG previous = -1;
  EXPECT_TRUE(s.Release(2, &previous));
  EXPECT_EQ(previous, 1);
  EXPECT_FALSE(s.Release(1));  // past the maximum: nothing changes
  EXPECT_FALSE(s.Release(0));
  EXPECT_EQ(s.Count(), 3);
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(s.Wait(0));
  EXPECT_FALSE(s.Wait(0));
  auto start = Clock::now();
  EXPECT_FALSE(s.Wait(100));
  EXPECT_GE(Clock::now() - start, milliseconds(99));
  // WaitForAny takes the first signalled object only (sleeping and waking: the tests below).
  Semaphore empty(0, 1), full(1, 1);
  Event event(true, true);
  Waitable* objects[] = {&empty, &event, &full};
  EXPECT_EQ(WaitForAny(objects, 3, 0), 1u);
  EXPECT_EQ(full.Count(), 1);
  event.Reset();
  EXPECT_EQ(WaitForAny(objects, 3, kInfinite), 2u);
  EXPECT_EQ(full.Count(), 0);
  EXPECT_EQ(WaitForAny(objects, 3, 20), kWaitTimeout);
}

// Busy for a few microseconds, differently each round, so that signals land all along a wait.
void Pause(int round) {
  for (int spin = (round * 7919) % 8000; spin > 0; --spin) __asm__ volatile("" : "+r"(spin));
}

// Each round hands a fresh object to a thread that deletes it as soon as its wait returns, while
// this thread may still be inside Release or Set: ASan and TSan catch a signal that touches the
// object after making it available, the watchdog a missed signal. At most 2 s of rounds.
TEST_F(SyncTest, ReleasedThreadMayDestroyTheObjectAtOnce) {
  std::atomic<Waitable*> slot{nullptr};
  std::atomic<bool> finished{false};
  std::thread waiter([&] {
    for (int i = 0;; ++i) {
      Waitable* object;
      while ((object = slot.exchange(nullptr)) == nullptr) {
        if (finished) return;
        std::this_thread::yield();
      }
      // Semaphore::Wait sleeps on the count; WaitForAny and events go through registration.
      EXPECT_TRUE(i % 4 == 1 ? WaitForAny(&object, 1, kInfinite) == 0 : object->Wait(kInfinite));
      delete object;
    }
  });
  auto end = Clock::now() + std::chrono::seconds(2);
  for (int i = 0; i < 4000 && Clock::now() < end; ++i) {
    while (slot.load() != nullptr) std::this_thread::yield();
    Semaphore* semaphore = i % 4 < 2 ? new Semaphore(0, 1) : nullptr;
    Event* event = semaphore == nullptr ? new Event(i % 4 == 2, false) : nullptr;
    slot = semaphore != nullptr ? static_cast<Waitable*>(semaphore) : event;
    Pause(i);
    if (semaphore != nullptr) EXPECT_TRUE(semaphore->Release(1));
    else event->Set();
  }
  while (slot.load() != nullptr) std::this_thread::yield();
  finished = true;
  waiter.join();
}

TEST_F(SyncTest, EventManualAndAutoReset) {
  Event manual(true, false), automatic(false, false);
  std::atomic<int> manualDone{0}, autoDone{0};
  std::vector<std::jthread> waiters;
  for (int i = 0; i < 2; ++i) {
    waiters.emplace_back([&] { EXPECT_TRUE(manual.Wait(kInfinite)); ++manualDone; });
    waiters.emplace_back([&] { EXPECT_TRUE(automatic.Wait(kInfinite)); ++autoDone; });
  }
  std::this_thread::sleep_for(milliseconds(20));  // lets them fall asleep; no result depends on it
  manual.Set();
  automatic.Set();
  EXPECT_TRUE(WaitFor([&] { return manualDone == 2 && autoDone == 1; }));
  EXPECT_TRUE(manual.IsSet());      // stays set
  EXPECT_FALSE(automatic.IsSet());  // taken by the one waiter it released
  automatic.Set();
  waiters.clear();
  EXPECT_EQ(autoDone, 2);
  manual.Reset();
  EXPECT_FALSE(manual.Wait(20));
  automatic.Set();
  EXPECT_TRUE(automatic.IsSet() && automatic.Wait(0));  // looking does not take it
}

TEST_F(SyncTest, ThreadMessageQueueLastsFromTheFirstRequestUntilTheThreadEnds) {
  std::atomic<DWORD> id{0};
  std::atomic<int> step{0};
  std::vector<ThreadMessage> got;
  UINT last = 0;
  std::thread owner([&] {
    id = CurrentThreadId();
    WaitFor([&] { return step == 1; });
    ThreadMessage message;
    EXPECT_FALSE(PeekMessage(&message, false));  // asks for messages: the queue now exists
    step = 2;
    while (GetMessage(&message)) got.push_back(message);  // sleeps between the posts
    last = message.message;
  });
  ASSERT_TRUE(WaitFor([&] { return id != 0; }));
  EXPECT_FALSE(PostThreadMessage(id, 0x400, 1, 2));
  step = 1;
  ASSERT_TRUE(WaitFor([&] { return step == 2; }));
  int window = 0;
  EXPECT_TRUE(PostThreadMessage(id, 0x401, 10, -10));
  EXPECT_TRUE(PostWindowMessage(id, &window, 0x402, 20, -20));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // lets it sleep in GetMessage
  EXPECT_TRUE(PostThreadMessage(id, 0x403, 30, -30));
  EXPECT_TRUE(PostThreadMessage(id, WM_QUIT, 0, 0));
  owner.join();
  EXPECT_EQ(last, WM_QUIT);
  ASSERT_EQ(got.size(), 3u);
  for (std::size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].message, 0x401u + i);
    EXPECT_EQ(got[i].wParam, 10u * (i + 1));
    EXPECT_EQ(got[i].lParam, -10 * static_cast<std::intptr_t>(i + 1));
    EXPECT_EQ(got[i].window, i == 1 ? &window : nullptr);
  }
  EXPECT_FALSE(PostThreadMessage(id, 0x404, 0, 0));  // the thread has ended
}

TEST_F(SyncTest, PeekMessageAndWaitForObjectOrMessage) {
  std::thread([] {
    ThreadMessage message;
    EXPECT_FALSE(PeekMessage(&message, true));
    Event event(false, false);
    EXPECT_EQ(WaitForObjectOrMessage(&event, 0), MessageWait::Timeout);
    EXPECT_EQ(WaitForObjectOrMessage(&event, 30), MessageWait::Timeout);
    ASSERT_TRUE(PostThreadMessage(CurrentThreadId(), 0x400, 7, 0));
    ASSERT_TRUE(PostThreadMessage(CurrentThreadId(), 0x401, 8, 0));
    EXPECT_EQ(WaitForObjectOrMessage(&event, 0), MessageWait::Message);
    EXPECT_TRUE(PeekMessage(&message, false));  // the wait and a peek leave the message queued
    EXPECT_TRUE(PeekMessage(&message, true));
    EXPECT_EQ(message.wParam, 7u);
    event.Set();  // the object comes first, and is taken
    EXPECT_EQ(WaitForObjectOrMessage(&event, 0), MessageWait::Signalled);
    EXPECT_FALSE(event.IsSet());
    EXPECT_TRUE(PeekMessage(&message, true));
    EXPECT_EQ(message.wParam, 8u);
    EXPECT_FALSE(PeekMessage(&message, true));
  }).join();
}

// Collects what the lock functions print; the environment's watchdog aborts a hung test.
class LocksTest : public ::testing::Test {
 protected:
  LocksTest() { TConsole::SetConsoleListener(&m_capture); }
  ~LocksTest() override { TConsole::SetConsoleListener(nullptr); }
  std::u16string Printed() { return m_capture.Text(); }
  testing_support::ActiveObjectEnvironment m_environment;
  testing_support::ConsoleCapture m_capture;
};

TEST_F(LocksTest, MutexAndSemaphoreResults) {
  TMutexEx owned;
  TMutexHandle mutex = owned.GetHandle();
  platform::StartThread("abandoner", [&] {
    EXPECT_TRUE(TMutex_Wait(mutex, 0));
    EXPECT_TRUE(TMutex_Wait(mutex, kInfinite));  // recursive; ends holding it twice
  }).join();
  EXPECT_FALSE(TMutex_Wait(mutex, 1000));
  EXPECT_EQ(Printed(), u"TMutex_Wait: Return Code (80) Last Error (0)\n");
  EXPECT_TRUE(TMutex_Wait(mutex, 0));  // the caller owns it now, once (the dead owner's nesting is gone)
  std::thread([&] {
    EXPECT_FALSE(TMutex_Wait(mutex, 30));
    EXPECT_FALSE(TMutex_Release(mutex));  // not the owner
  }).join();
  EXPECT_TRUE(TMutex_Release(mutex));
  EXPECT_TRUE(TMutex_Release(mutex));
  EXPECT_FALSE(TMutex_Release(mutex));  // held exactly twice
  std::thread([&] { EXPECT_TRUE(TMutex_Wait(mutex, 0) && TMutex_Release(mutex)); }).join();  // free

  TSemaphoreHandle semaphore = TSemaphore_Create(1, 1);
  ASSERT_NE(semaphore, nullptr);
  EXPECT_TRUE(TSemaphore_WaitAlterable(semaphore, kInfinite));
  EXPECT_FALSE(TSemaphore_Wait(semaphore, 20));
  EXPECT_FALSE(TSemaphore_WaitAlterable(semaphore, 0));
  EXPECT_TRUE(TSemaphore_Close(semaphore));
  // Time-outs are silent; a null handle is reported.
  EXPECT_FALSE(TMutex_Wait(nullptr, 0));
  EXPECT_FALSE(TSemaphore_Wait(nullptr, 0));
  EXPECT_FALSE(TSemaphore_WaitAlterable(nullptr, kInfinite));
  EXPECT_EQ(Printed(), u"TMutex_Wait: Return Code (ffffffff) Last Error (6)\n"
                       u"TSemaphore_Wait: Return Code (ffffffff) Last Error (6)\n"
                       u"TSemaphore_WaitAlterable: Return Code (ffffffff) Last Error (6)\n");
  EXPECT_FALSE(TMutex_Release(nullptr));
  EXPECT_FALSE(TSemaphore_Release(nullptr, 1));
  EXPECT_FALSE(TSemaphore_WaitPumpingMessages(nullptr, 0));
}

std::atomic<int> g_dispatched{0};

// Another thread posts window messages to the waiting thread without pause: they are dispatched
// during the wait, and the time-out holds all the same.
TEST_F(LocksTest, WaitPumpingMessages) {
  TSemaphoreHandle semaphore = TSemaphore_Create(0, 1);
  g_dispatched = 0;
  platform::SetWindowDispatcher([](const platform::ThreadMessage&) -> std::intptr_t { return ++g_dispatched; });
  platform::EnsureMessageQueue();
  const platform::DWORD self = platform::CurrentThreadId();
  std::atomic<bool> stop{false};
  int window = 0;
  std::thread poster([&] {
    while (!stop) {
      platform::PostWindowMessage(self, &window, 0x400, 0, 0);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  for (platform::DWORD timeoutMs : {platform::DWORD{0}, platform::DWORD{200}}) {
    auto start = Clock::now();
    EXPECT_FALSE(TSemaphore_WaitPumpingMessages(semaphore, timeoutMs));
    auto waited = Clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(timeoutMs) - std::chrono::milliseconds(20)) << timeoutMs;
    EXPECT_LT(waited, std::chrono::milliseconds(timeoutMs) + std::chrono::seconds(2)) << timeoutMs;
    EXPECT_TRUE(timeoutMs != 0 || g_dispatched == 0);  // a time-out of 0 only tests
  }
  EXPECT_GT(g_dispatched, 0);
  // Without a limit it outlasts many slices of messages; a release ends it, and so does a quit
  // message, which is consumed.
  std::atomic<bool> released{false};
  std::thread ender([&] {
    int seen = g_dispatched;
    EXPECT_TRUE(WaitFor([&] { return g_dispatched >= seen + 100; }));  // well over 50 ms of messages
    released = true;
    EXPECT_TRUE(TSemaphore_Release(semaphore, 1));
    EXPECT_TRUE(WaitFor([&] { return g_dispatched >= seen + 200; }));
    stop = true;
    EXPECT_TRUE(platform::PostThreadMessage(self, platform::WM_QUIT, 0, 0));
  });
  EXPECT_TRUE(TSemaphore_WaitPumpingMessages(semaphore, kInfinite));
  EXPECT_TRUE(released);
  EXPECT_FALSE(TSemaphore_WaitPumpingMessages(semaphore, kInfinite));
  ender.join();
  poster.join();
  platform::ThreadMessage message;
  while (platform::PeekMessage(&message, true)) EXPECT_NE(message.message, platform::WM_QUIT);
  platform::SetWindowDispatcher(nullptr);
  EXPECT_EQ(Printed(), u"");
  TSemaphore_Close(semaphore);
}

TEST_F(LocksTest, GuardsExcludeEachOther) {
  TMutexEx mutex, mutexEx;
  TCriticalSection section;
  int counters[3] = {};  // plain ints: a lapse in exclusion loses counts, and TSan reports it
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        {
          TGuard guard(mutex.GetHandle()), again(mutex.GetHandle());  // recursive for the owner
          ++counters[0];
        }
        {
          TGuardEx guard(&mutexEx);
          ++counters[1];
        }
        TGuard guard(&section), again(&section);
        ++counters[2];
      }
    });
  for (auto& thread : threads) thread.join();
  for (int counter : counters) EXPECT_EQ(counter, 8000);
  {
    TGuard noMutex(static_cast<TMutexHandle>(nullptr)), noSection(static_cast<TCriticalSection*>(nullptr));
    TGuardEx noMutexEx(nullptr);
  }
  EXPECT_EQ(Printed(), u"");  // a null mutex is not even waited for
}

}  // namespace
