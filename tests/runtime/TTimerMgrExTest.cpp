#include "runtime/TTimerMgrEx.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <stdexcept>
#include <vector>

#include "platform/Thread.h"
#include "runtime/TFunctor.h"
#include "runtime/TTimerEx.h"

namespace {

using platform::DWORD;
constexpr DWORD kInfinite = platform::INFINITE_TIMEOUT;

std::atomic<DWORD> g_tick{0};
DWORD TestTick() { return g_tick.load(); }

// Counts its firings and runs an optional action inside the callback.
struct Probe {
  int fired = 0;
  std::function<void()> action;
  void OnFire() {
    ++fired;
    if (action) action();
  }
};
using Timer = TTimerEx<Probe>;

struct CountedFunctor : TFunctor0<Probe> {
  CountedFunctor(Probe* probe, int* destroyed) : TFunctor0<Probe>(probe, &Probe::OnFire), m_destroyed(destroyed) {}
  ~CountedFunctor() override { ++*m_destroyed; }
  int* m_destroyed;
};

std::unique_ptr<Timer> MakeTimer(Probe* probe, DWORD period, std::int32_t repeatCount, std::int32_t phase = 0) {
  auto timer = std::make_unique<Timer>();
  timer->Setup(period, repeatCount, phase);
  timer->SetFunctor(new TFunctor0<Probe>(probe, &Probe::OnFire));
  return timer;
}

// Every test runs on the test clock, which moves only when the test moves it.
class TTimerMgrExTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_tick = 1000;
    platform::SetTickSourceForTesting(&TestTick);
  }
  void TearDown() override { platform::SetTickSourceForTesting(nullptr); }

  static void Advance(DWORD ms) { g_tick += ms; }
  // Moves the clock to the earliest timer and runs once; false when nothing is scheduled.
  static bool FireNext(TTimerMgrEx& mgr) {
    DWORD wait = mgr.TimeToFirstDue();
    if (wait == kInfinite) return false;
    Advance(wait);
    mgr.Run();
    return true;
  }
  bool FireNext() { return FireNext(mgr); }

  TTimerMgrEx mgr{10};
  Probe probe;
};

TEST(TTimerExTest, OwnsItsFunctorAndDeletesItOnReplacementAndDestruction) {
  Probe probe;
  int destroyed = 0;
  auto* first = new CountedFunctor(&probe, &destroyed);
  {
    Timer timer;
    timer.Fire();  // no functor yet: nothing happens
    timer.SetFunctor(first);
    timer.SetFunctor(first);  // the functor already held stays alive
    timer.Fire();
    EXPECT_EQ(probe.fired, 1);
    timer.SetFunctor(new CountedFunctor(&probe, &destroyed));
    EXPECT_EQ(destroyed, 1);
  }
  EXPECT_EQ(destroyed, 2);
}

TEST_F(TTimerMgrExTest, IdsStartAt65536AndSettingAScheduledTimerChangesNothing) {
  auto a = MakeTimer(&probe, 100, 0);
  auto b = MakeTimer(&probe, 200, 0);
  EXPECT_EQ(mgr.Set(nullptr), 0u);
  EXPECT_EQ(mgr.Set(a.get()), 65536u);
  EXPECT_EQ(mgr.Set(b.get()), 65537u);

  Advance(50);
  EXPECT_EQ(mgr.Set(a.get()), 65536u);
  EXPECT_EQ(mgr.TimeToFirstDue(), 50u);

  EXPECT_TRUE(mgr.Cancel(a.get()));
  EXPECT_FALSE(mgr.Cancel(a.get()));
  EXPECT_EQ(mgr.GetFirstDue(), b.get());
  EXPECT_EQ(mgr.Set(a.get()), 65538u);
  EXPECT_EQ(a->GetNextFiring(), 1150u);
}

TEST_F(TTimerMgrExTest, RepeatCountSetsHowOftenATimerFires) {
  for (std::int32_t repeatCount : {0, 3, -1}) {
    SCOPED_TRACE(repeatCount);
    Probe probe;
    auto timer = MakeTimer(&probe, 100, repeatCount);
    mgr.Set(timer.get());
    for (int i = 0; i < 10 && FireNext();) ++i;
    EXPECT_EQ(probe.fired, repeatCount < 0 ? 10 : repeatCount + 1);
    EXPECT_EQ(mgr.Cancel(timer.get()), repeatCount < 0);  // only the endless one is still scheduled
    EXPECT_FALSE(FireNext());
  }
}

TEST_F(TTimerMgrExTest, RunFiresOnlyWhenDueAndRearmsFromTheEndOfTheCallback) {
  probe.action = [] { Advance(7); };  // the callback takes 7 ms
  auto timer = MakeTimer(&probe, 100, -1);
  mgr.Set(timer.get());
  Advance(99);
  mgr.Run();
  EXPECT_EQ(probe.fired, 0);

  Advance(51);  // 50 ms late
  mgr.Run();
  EXPECT_EQ(probe.fired, 1);
  EXPECT_EQ(timer->GetNextFiring(), 1000u + 150 + 7 + 100);
}

TEST_F(TTimerMgrExTest, CallbackCanCancelOrSetItsOwnTimer) {
  auto timer = MakeTimer(&probe, 100, 3);
  bool cancelled = true;
  probe.action = [&] { cancelled = mgr.Cancel(timer.get()); };
  mgr.Set(timer.get());
  ASSERT_TRUE(FireNext());
  EXPECT_FALSE(cancelled);  // a firing timer is out of the schedule
  EXPECT_FALSE(FireNext());  // and is not re-armed

  probe.action = [&] {
    mgr.Cancel(timer.get());
    timer->SetPeriod(500);
    mgr.Set(timer.get());
  };
  mgr.Set(timer.get());
  ASSERT_TRUE(FireNext());
  EXPECT_EQ(timer->GetRepeatCount(), 3);  // not re-armed after the call
  EXPECT_EQ(mgr.TimeToFirstDue(), 500u);
  EXPECT_TRUE(mgr.Cancel(timer.get()));
  EXPECT_EQ(mgr.GetFirstDue(), nullptr);  // it was in the schedule once

  probe.action = [&] { mgr.Set(timer.get()); };  // setting the firing timer alone: it is re-armed
  mgr.Set(timer.get());
  ASSERT_TRUE(FireNext());
  EXPECT_EQ(timer->GetRepeatCount(), 2);
  EXPECT_TRUE(mgr.Cancel(timer.get()));
  EXPECT_EQ(mgr.GetFirstDue(), nullptr);
}

TEST_F(TTimerMgrExTest, OverdueTimerComesBeforeOneDueSoonAlsoAcrossTheWrap) {
  // Starts where both firings lie before the wrap, where the overdue one is numerically larger,
  // and where the wrap falls between the overdue firing and now.
  for (DWORD start : {1000u, 0xFFFFFFDCu, 0xFFFFFFE6u}) {
    SCOPED_TRACE(start);
    g_tick = start;
    Probe overdue, soon;
    auto a = MakeTimer(&overdue, 20, 0);
    auto b = MakeTimer(&soon, 10, 0);
    TTimerMgrEx mgr(10);
    mgr.Set(a.get());
    Advance(30);
    mgr.Set(b.get());  // ordered while a is 10 ms overdue
    mgr.Run();
    EXPECT_EQ(overdue.fired, 1);
    EXPECT_EQ(mgr.TimeToFirstDue(), 10u);
  }
}

TEST_F(TTimerMgrExTest, ScheduleKeepsDueOrderThroughCancelsAndTheWrap) {
  constexpr int kTimers = 500;
  const DWORD start = 0xFFFFFFFFu - 5000;
  g_tick = start;
  std::vector<Probe> probes(kTimers);
  std::vector<std::unique_ptr<Timer>> timers;
  TTimerMgrEx mgr(kTimers);
  for (int i = 0; i < kTimers; ++i) {
    // Firing exactly when due means no timer due later came first.
    probes[i].action = [&, i] { EXPECT_EQ(g_tick - start, timers[i]->GetPeriod()) << i; };
    timers.push_back(MakeTimer(&probes[i], static_cast<DWORD>(i * 7919 % 20011), 0));  // scattered due times
    mgr.Set(timers.back().get());
  }
  for (int i = 0; i < kTimers; i += 2) ASSERT_TRUE(mgr.Cancel(timers[i].get()));
  while (FireNext(mgr)) continue;
  for (int i = 0; i < kTimers; ++i) EXPECT_EQ(probes[i].fired, i % 2) << i;
}

TEST_F(TTimerMgrExTest, FullScheduleKeepsTheIdButNeverFiresAndDueTimersFireOnePerRun) {
  TTimerMgrEx mgr(2);
  Probe left;
  auto a = MakeTimer(&probe, 100, 0);
  auto b = MakeTimer(&probe, 100, 0);
  auto c = MakeTimer(&left, 100, 0);
  mgr.Set(a.get());
  mgr.Set(b.get());
  EXPECT_EQ(mgr.Set(c.get()), 65538u);
  Advance(1000);
  mgr.Run();
  EXPECT_EQ(probe.fired, 1);
  mgr.Run();
  mgr.Run();
  EXPECT_EQ(probe.fired, 2);
  EXPECT_EQ(left.fired, 0);
  EXPECT_EQ(mgr.Set(c.get()), 65538u);  // still counts as scheduled

  EXPECT_FALSE(mgr.Cancel(c.get()));
  EXPECT_EQ(mgr.Set(c.get()), 65539u);
  EXPECT_TRUE(FireNext(mgr));
  EXPECT_EQ(left.fired, 1);
}

TEST_F(TTimerMgrExTest, TimeToFirstDueCountsDownAcrossTheWrap) {
  g_tick = 0xFFFFFF00u;
  auto timer = MakeTimer(&probe, 0x200, 0);
  mgr.Set(timer.get());
  Advance(0x180);
  EXPECT_EQ(mgr.TimeToFirstDue(), 0x80u);
  Advance(0x80 + 60 * 60 * 1000);  // an hour overdue is still due, not 48 days ahead
  EXPECT_EQ(mgr.TimeToFirstDue(), 0u);
  mgr.Run();
  EXPECT_EQ(probe.fired, 1);

  constexpr DWORD kThirtyDays = 30u * 24 * 60 * 60 * 1000;  // past 2^31 ms: still ahead, not overdue
  auto distant = MakeTimer(&probe, kThirtyDays, 0);
  mgr.Set(distant.get());
  EXPECT_EQ(mgr.TimeToFirstDue(), kThirtyDays);
  mgr.Run();
  EXPECT_EQ(probe.fired, 1);
  mgr.Cancel(distant.get());
}

// The delay a minute-aligned timer gets when set at calendar second s.
std::int64_t AlignedDelay(std::int64_t s, std::int64_t period, std::int64_t phase) {
  std::int64_t delay = period + phase - 60000 + ((s / 60 + 1) * 60 - s) * 1000;
  while (delay <= 0) delay += 60000;
  return delay;
}

TEST_F(TTimerMgrExTest, MinuteAlignedTimerFiresOnWholeCalendarMinutes) {
  struct Case {
    DWORD period;
    std::int32_t phase;
  };
  for (Case c : {Case{60000, 0}, Case{120000, 500}, Case{60000, -120000}}) {
    SCOPED_TRACE(c.phase);
    Probe probe;
    auto timer = MakeTimer(&probe, c.period, -2, c.phase);
    TTimerMgrEx mgr(10);
    // Runs `step` and checks the delay then; the calendar second may change during it.
    auto expectAligned = [&](const std::function<void()>& step) {
      std::int64_t before = std::time(nullptr);
      step();
      std::int64_t after = std::time(nullptr);
      std::int64_t delay = mgr.TimeToFirstDue();
      EXPECT_TRUE(delay == AlignedDelay(before, c.period, c.phase) || delay == AlignedDelay(after, c.period, c.phase))
          << delay;
    };
    expectAligned([&] { mgr.Set(timer.get()); });
    expectAligned([&] { FireNext(mgr); });  // realigned, not the period
    EXPECT_EQ(probe.fired, 1);
  }

  auto shortPeriod = MakeTimer(&probe, 30000, -2, 500);
  mgr.Set(shortPeriod.get());
  EXPECT_EQ(mgr.TimeToFirstDue(), 30000u);
}

TEST_F(TTimerMgrExTest, ThrowingCallbackEndsItsTimer) {
  probe.action = [] { throw std::runtime_error("callback failed"); };
  auto timer = MakeTimer(&probe, 100, -1);
  mgr.Set(timer.get());
  EXPECT_THROW(FireNext(), std::runtime_error);
  EXPECT_EQ(mgr.Set(timer.get()), 65537u);  // it can be set again
}

}  // namespace
