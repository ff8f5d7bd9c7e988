#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/Event.h"
#include "platform/Semaphore.h"
#include "platform/Waitable.h"
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

}  // namespace
