#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <pthread.h>
#include <sys/resource.h>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/Event.h"
#include "platform/Semaphore.h"
#include "platform/Thread.h"
#include "tests/TestSupport.h"

namespace {

using namespace platform;
using testing_support::WaitFor;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
constexpr DWORD kInfinite = INFINITE_TIMEOUT;

// Aborts the run when a test is still going after 30 s, so a lost wake-up fails instead of hanging.
class SyncTest : public ::testing::Test {
  std::jthread m_watchdog{[](std::stop_token stop) {
    std::mutex lock;
    std::unique_lock<std::mutex> held(lock);
    std::condition_variable_any().wait_for(held, stop, std::chrono::seconds(30), [] { return false; });
    if (!stop.stop_requested()) std::fprintf(stderr, "watchdog: test hung, aborting\n"), std::abort();
  }};
};

// Gives a waiter time to fall asleep, so that the wake-up path is the one exercised; no result
// depends on it.
void LetItSleep() { std::this_thread::sleep_for(milliseconds(20)); }

TEST_F(SyncTest, SemaphoreCountsMaximumAndTimeouts) {
  Semaphore s(1, 3);
  LONG previous = -1;
  EXPECT_TRUE(s.Release(2, &previous));
  EXPECT_EQ(previous, 1);
  EXPECT_FALSE(s.Release(1));  // past the maximum: nothing changes
  EXPECT_FALSE(s.Release(0));
  EXPECT_EQ(s.Count(), 3);
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(s.Wait(0));
  auto start = Clock::now();
  EXPECT_FALSE(s.Wait(0));
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
  start = Clock::now();
  EXPECT_FALSE(s.Wait(100));
  EXPECT_GE(Clock::now() - start, milliseconds(99));
  std::thread waiter([&] { EXPECT_TRUE(s.Wait(kInfinite)); });
  LetItSleep();
  EXPECT_TRUE(s.Release(1));
  waiter.join();
  EXPECT_EQ(s.Count(), 0);

  // Counts out of range are brought into it; a maximum below 1 becomes 1.
  EXPECT_EQ(Semaphore(5, 2).Count(), 2);
  EXPECT_EQ(Semaphore(-3, 2).Count(), 0);
  Semaphore odd(3, -1);
  EXPECT_EQ(odd.Maximum(), 1);
  EXPECT_EQ(odd.Count(), 1);
  EXPECT_FALSE(odd.Release(1));
}

// Busy for a few microseconds, differently each round, so that signals land at every point of
// the waiter's path: before it waits, while it spins, as it registers, while it sleeps.
void Pause(int round) {
  for (int spin = (round * 7919) % 8000; spin > 0; --spin) __asm__ volatile("" : "+r"(spin));
}

// Each round hands a fresh heap object to a thread that deletes it as soon as its wait returns,
// while this thread may still be inside Release or Set: ASan and TSan catch a signal that touches
// the object after it made it available, and the watchdog a signal that the waiter misses. The
// rounds stop after 2 s, which only a loaded machine reaches.
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
    if (i % 4 < 2) {
      auto* semaphore = new Semaphore(0, 1);
      slot = semaphore;
      Pause(i);
      EXPECT_TRUE(semaphore->Release(1));
    } else {
      auto* event = new Event(i % 4 == 2, false);
      slot = event;
      Pause(i);
      event->Set();
    }
  }
  while (slot.load() != nullptr) std::this_thread::yield();
  finished = true;
  waiter.join();
}

TEST_F(SyncTest, SemaphoreLosesNoWakeUps) {
  constexpr int kWaiters = 4, kPerWaiter = 1500, kTotal = kWaiters * kPerWaiter;
  Semaphore s(0, kTotal);
  std::atomic<int> released{0};
  std::vector<std::thread> threads;
  for (int w = 0; w < kWaiters; ++w)
    threads.emplace_back([&, w] {
      Waitable* object = &s;
      for (int i = 0; i < kPerWaiter; ++i)
        ASSERT_TRUE(w == 0 ? WaitForAny(&object, 1, kInfinite) == 0 : s.Wait(kInfinite));
    });
  for (int r = 0; r < 3; ++r)
    threads.emplace_back([&] {
      for (int n; (n = released.fetch_add(1)) < kTotal;) {
        EXPECT_TRUE(s.Release(1));
        if (n % 64 == 0) std::this_thread::yield();  // lets waiters fall asleep now and then
      }
    });
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(s.Count(), 0);
}

TEST_F(SyncTest, EventManualAndAutoReset) {
  Event manual(true, false), automatic(false, false);
  std::atomic<int> manualDone{0}, autoDone{0};
  std::vector<std::jthread> waiters;
  for (int i = 0; i < 2; ++i) {
    waiters.emplace_back([&] { EXPECT_TRUE(manual.Wait(kInfinite)); ++manualDone; });
    waiters.emplace_back([&] { EXPECT_TRUE(automatic.Wait(kInfinite)); ++autoDone; });
  }
  LetItSleep();
  manual.Set();
  automatic.Set();
  EXPECT_TRUE(WaitFor([&] { return manualDone == 2 && autoDone == 1; }));
  EXPECT_TRUE(manual.IsSet());      // stays set
  EXPECT_FALSE(automatic.IsSet());  // taken by the one waiter it released
  automatic.Set();
  waiters.clear();
  EXPECT_EQ(autoDone, 2);
  EXPECT_TRUE(manual.Wait(0));
  manual.Reset();
  EXPECT_FALSE(manual.Wait(20));
  automatic.Set();
  EXPECT_TRUE(automatic.IsSet());
  EXPECT_TRUE(automatic.IsSet());  // looking does not take it
  EXPECT_TRUE(automatic.Wait(0));
  EXPECT_FALSE(automatic.Wait(0));
}

TEST_F(SyncTest, WaitForAnyTakesTheFirstSignalledObjectOnly) {
  Semaphore empty(0, 1), full(1, 1);
  Event event(true, true);
  Waitable* objects[] = {&empty, &event, &full};
  EXPECT_EQ(WaitForAny(objects, 3, 0), 1u);
  EXPECT_EQ(full.Count(), 1);
  event.Reset();
  EXPECT_EQ(WaitForAny(objects, 3, kInfinite), 2u);
  EXPECT_EQ(full.Count(), 0);
  EXPECT_EQ(WaitForAny(objects, 3, 20), kWaitTimeout);

  std::atomic<std::size_t> hit{0};
  std::thread waiter([&] { hit = WaitForAny(objects, 3, kInfinite); });
  LetItSleep();
  EXPECT_TRUE(full.Release(1));
  waiter.join();
  EXPECT_EQ(hit, 2u);
  EXPECT_FALSE(event.IsSet());
}

TEST_F(SyncTest, ThreadIdsNamesTicksAndPriorities) {
  DWORD self = CurrentThreadId();
  EXPECT_NE(self, 0u);
  EXPECT_EQ(CurrentThreadId(), self);
  DWORD other = 0;
  char name[32] = {};
  int nice = 0;
  StartThread("sync-worker-with-a-long-name", [&] {
    other = CurrentThreadId();
    pthread_getname_np(pthread_self(), name, sizeof name);
    EXPECT_FALSE(SetThreadPriorityLevel(other, 0));
    EXPECT_FALSE(SetThreadPriorityLevel(other, 8));
    EXPECT_TRUE(SetThreadPriorityLevel(other, 7));  // lowering needs no privilege
    nice = getpriority(PRIO_PROCESS, static_cast<id_t>(other));
  }).join();
  EXPECT_NE(other, self);
  EXPECT_STREQ(name, "sync-worker-wit");
  EXPECT_EQ(nice, 19);

  SetTickSourceForTesting([]() -> DWORD { return 0xFFFFFFF0u; });
  EXPECT_EQ(GetTickCount(), 0xFFFFFFF0u);
  SetTickSourceForTesting(nullptr);
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  auto ms = static_cast<DWORD>(static_cast<std::uint64_t>(now.tv_sec) * 1000u + static_cast<std::uint64_t>(now.tv_nsec) / 1000000u);
  EXPECT_LT(GetTickCount() - ms, 1000u);  // unsigned: also right across the wrap
}

}  // namespace
