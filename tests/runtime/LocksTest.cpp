#include <atomic>
#include <chrono>
#include <string>
#include <thread>
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
    if (timeoutMs == 0) {
      EXPECT_EQ(g_dispatched, 0);  // only tests
    }
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
