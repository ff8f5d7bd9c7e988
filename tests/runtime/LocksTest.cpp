#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "modules/TConsole.h"
#include "platform/Thread.h"
#include "platform/ThreadMessages.h"
#include "runtime/TGuard.h"
#include "runtime/TSemaphore.h"
#include "tests/TestSupport.h"
#include "tests/ConsoleCapture.h"

namespace {

using testing_support::WaitFor;
using Clock = std::chrono::steady_clock;
constexpr platform::DWORD kInfinite = platform::INFINITE_TIMEOUT;

// Collects what the lock functions print, and aborts the run when a test is still going after
// 30 s, so a lost wake-up fails instead of hanging.
class LocksTest : public ::testing::Test {
 protected:
  LocksTest() { TConsole::SetConsoleListener(&m_capture); }
  ~LocksTest() override { TConsole::SetConsoleListener(nullptr); }
  std::u16string Printed() { return m_capture.Text(); }

 private:
  testing_support::ConsoleCapture m_capture;
  std::jthread m_watchdog{[](std::stop_token stop) {
    std::mutex lock;
    std::unique_lock<std::mutex> held(lock);
    std::condition_variable_any().wait_for(held, stop, std::chrono::seconds(30), [] { return false; });
    if (!stop.stop_requested()) std::fprintf(stderr, "watchdog: test hung, aborting\n"), std::abort();
  }};
};

TEST_F(LocksTest, MutexWaitResults) {
  TMutexEx owned;
  TMutexHandle mutex = owned.GetHandle();
  platform::StartThread("abandoner", [&] {
    EXPECT_TRUE(TMutex_Wait(mutex, 0));
    EXPECT_TRUE(TMutex_Wait(mutex, kInfinite));  // recursive; ends holding it twice
  }).join();
  EXPECT_FALSE(TMutex_Wait(mutex, 1000));
  EXPECT_EQ(Printed(), u"TMutex_Wait: Return Code (80) Last Error (0)\n");
  EXPECT_TRUE(TMutex_Wait(mutex, 0));  // the caller owns it now, once (the dead owner's nesting is gone)
  std::atomic<int> stage{0};
  std::thread other([&] {
    EXPECT_FALSE(TMutex_Wait(mutex, 0));
    EXPECT_FALSE(TMutex_Wait(mutex, 30));
    EXPECT_FALSE(TMutex_Release(mutex));  // not the owner
    stage = 1;
    EXPECT_TRUE(TMutex_Wait(mutex, 20000));
    stage = 2;
    EXPECT_TRUE(TMutex_Release(mutex));
  });
  ASSERT_TRUE(WaitFor([&] { return stage == 1; }));
  EXPECT_TRUE(TMutex_Release(mutex));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // gives a wrong hand-over time to show
  EXPECT_EQ(stage, 1);
  EXPECT_TRUE(TMutex_Release(mutex));
  other.join();
  EXPECT_EQ(stage, 2);
  EXPECT_FALSE(TMutex_Release(mutex));
  EXPECT_EQ(Printed(), u"");  // time-outs are silent

  EXPECT_FALSE(TMutex_Wait(nullptr, 0));
  EXPECT_EQ(Printed(), u"TMutex_Wait: Return Code (ffffffff) Last Error (6)\n");
  EXPECT_FALSE(TMutex_Release(nullptr));
}

TEST_F(LocksTest, SemaphoreFunctions) {
  TSemaphoreHandle semaphore = TSemaphore_Create(1, 2);
  ASSERT_NE(semaphore, nullptr);
  EXPECT_TRUE(TSemaphore_Wait(semaphore, 0));
  EXPECT_FALSE(TSemaphore_Wait(semaphore, 20));
  EXPECT_FALSE(TSemaphore_WaitAlterable(semaphore, 0));
  EXPECT_EQ(Printed(), u"");  // time-outs are silent
  EXPECT_TRUE(TSemaphore_Release(semaphore, 2));
  EXPECT_FALSE(TSemaphore_Release(semaphore, 1));  // past the maximum
  EXPECT_TRUE(TSemaphore_WaitAlterable(semaphore, 0));
  EXPECT_TRUE(TSemaphore_Wait(semaphore, kInfinite));
  EXPECT_FALSE(TSemaphore_Wait(semaphore, 0));
  EXPECT_TRUE(TSemaphore_Close(semaphore));

  EXPECT_FALSE(TSemaphore_Wait(nullptr, 0));
  EXPECT_EQ(Printed(), u"TSemaphore_Wait: Return Code (ffffffff) Last Error (6)\n");
  EXPECT_FALSE(TSemaphore_WaitAlterable(nullptr, kInfinite));
  EXPECT_EQ(Printed(), u"TSemaphore_WaitAlterable: Return Code (ffffffff) Last Error (6)\n");
  EXPECT_FALSE(TSemaphore_Release(nullptr, 1));
  EXPECT_FALSE(TSemaphore_WaitPumpingMessages(nullptr, 0));
}

std::atomic<int> g_dispatched{0};

TEST_F(LocksTest, WaitPumpingMessages) {
  TSemaphoreHandle semaphore = TSemaphore_Create(0, 1);
  g_dispatched = 0;
  platform::SetWindowDispatcher([](const platform::ThreadMessage&) -> std::intptr_t { return ++g_dispatched; });
  std::atomic<platform::DWORD> id{0};
  std::atomic<int> result{-1};
  // Window messages are dispatched while it waits; a release ends the wait.
  std::thread pump([&] {
    platform::ThreadMessage message;
    platform::PeekMessage(&message, false);  // asks for messages
    id = platform::CurrentThreadId();
    result = TSemaphore_WaitPumpingMessages(semaphore, kInfinite);
  });
  ASSERT_TRUE(WaitFor([&] { return id != 0; }));
  int window = 0;
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(platform::PostWindowMessage(id, &window, 0x400, 0, 0));
  EXPECT_TRUE(WaitFor([&] { return g_dispatched == 5; }));
  EXPECT_EQ(result, -1);
  EXPECT_TRUE(TSemaphore_Release(semaphore, 1));
  pump.join();
  platform::SetWindowDispatcher(nullptr);
  EXPECT_EQ(result, 1);
  EXPECT_FALSE(TSemaphore_Wait(semaphore, 0));

  // A quit message that arrives first ends the wait, and is consumed.
  std::thread([&] {
    platform::ThreadMessage message;
    platform::PeekMessage(&message, false);
    ASSERT_TRUE(platform::PostThreadMessage(platform::CurrentThreadId(), platform::WM_QUIT, 0, 0));
    EXPECT_FALSE(TSemaphore_WaitPumpingMessages(semaphore, kInfinite));
    EXPECT_FALSE(platform::PeekMessage(&message, false));
  }).join();

  auto start = Clock::now();
  EXPECT_FALSE(TSemaphore_WaitPumpingMessages(semaphore, 120));
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(100));
  start = Clock::now();
  EXPECT_FALSE(TSemaphore_WaitPumpingMessages(semaphore, 0));  // one short slice
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
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
