// The timer manager against a plain ordered map with an id index: set 10,000 one-shot timers,
// cancel half of them in random order, then fire the rest in due order on a test clock.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <unordered_map>
#include <vector>

#include "platform/Thread.h"
#include "runtime/TFunctor.h"
#include "runtime/TTimerEx.h"
#include "runtime/TTimerMgrEx.h"

namespace {

constexpr int kTimers = 10000;
constexpr platform::DWORD kStart = 1000;

platform::DWORD g_tick = kStart;
platform::DWORD BenchTick() { return g_tick; }

struct Counter {
  std::uint64_t fired = 0;
  void OnFire() { ++fired; }
};

// The same random periods and cancel order for both contenders.
struct Workload {
  std::vector<platform::DWORD> periods;
  std::vector<int> cancelOrder;  // the first half is cancelled
  Workload() : periods(kTimers), cancelOrder(kTimers) {
    std::mt19937 random(42);
    std::uniform_int_distribution<platform::DWORD> period(1, 3600 * 1000);
    for (int i = 0; i < kTimers; ++i) {
      periods[i] = period(random);
      cancelOrder[i] = i;
    }
    std::shuffle(cancelOrder.begin(), cancelOrder.end(), random);
  }
};

const Workload& GetWorkload() {
  static const Workload workload;
  return workload;
}

// The baseline: due times in a multimap, ids mapped to their multimap entries, one lock.
class MapTimers {
 public:
  struct Timer {
    platform::DWORD period = 0;
    platform::DWORD id = 0;
    std::unique_ptr<TFunctor> functor;
  };

  platform::DWORD Set(Timer* timer) {
    std::lock_guard<std::mutex> guard(m_lock);
    timer->id = m_nextId++;
    auto entry = m_schedule.emplace(platform::GetTickCount() + timer->period, timer);
    m_byId.emplace(timer->id, entry);
    return timer->id;
  }
  bool Cancel(platform::DWORD id) {
    std::lock_guard<std::mutex> guard(m_lock);
    auto found = m_byId.find(id);
    if (found == m_byId.end()) return false;
    found->second->second->id = 0;
    m_schedule.erase(found->second);
    m_byId.erase(found);
    return true;
  }
  // Fires the earliest timer once; false when nothing is scheduled.
  bool FireFirst() {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_schedule.empty()) return false;
    auto first = m_schedule.begin();
    g_tick = first->first;
    Timer* timer = first->second;
    m_byId.erase(timer->id);
    m_schedule.erase(first);
    timer->functor->Execute();
    timer->id = 0;
    return true;
  }

 private:
  std::mutex m_lock;
  std::multimap<platform::DWORD, Timer*> m_schedule;
  std::unordered_map<platform::DWORD, std::multimap<platform::DWORD, Timer*>::iterator> m_byId;
  platform::DWORD m_nextId = 65536;
};

void BM_Timers_Ours(benchmark::State& state) {
  const Workload& work = GetWorkload();
  platform::SetTickSourceForTesting(&BenchTick);
  Counter counter;
  TTimerMgrEx mgr(kTimers);
  std::vector<std::unique_ptr<TTimerEx<Counter>>> timers;
  for (int i = 0; i < kTimers; ++i) {
    timers.push_back(std::make_unique<TTimerEx<Counter>>());
    timers.back()->Setup(work.periods[i], 0, 0);
    timers.back()->SetFunctor(new TFunctor0<Counter>(&counter, &Counter::OnFire));
  }
  for (auto _ : state) {
    g_tick = kStart;
    for (auto& timer : timers) mgr.Set(timer.get());
    for (int i = 0; i < kTimers / 2; ++i) mgr.Cancel(timers[work.cancelOrder[i]].get());
    for (platform::DWORD wait; (wait = mgr.TimeToFirstDue()) != platform::INFINITE_TIMEOUT;) {
      g_tick += wait;
      mgr.Run();
    }
  }
  if (counter.fired != static_cast<std::uint64_t>(state.iterations()) * (kTimers - kTimers / 2)) state.SkipWithError("lost timers");
  state.SetItemsProcessed(state.iterations() * kTimers);
  platform::SetTickSourceForTesting(nullptr);
}
BENCHMARK(BM_Timers_Ours)->Unit(benchmark::kMicrosecond);

void BM_Timers_Baseline(benchmark::State& state) {
  const Workload& work = GetWorkload();
  platform::SetTickSourceForTesting(&BenchTick);
  Counter counter;
  MapTimers mgr;
  std::vector<MapTimers::Timer> timers(kTimers);
  for (int i = 0; i < kTimers; ++i) {
    timers[i].period = work.periods[i];
    timers[i].functor = std::make_unique<TFunctor0<Counter>>(&counter, &Counter::OnFire);
  }
  for (auto _ : state) {
    g_tick = kStart;
    for (auto& timer : timers) mgr.Set(&timer);
    for (int i = 0; i < kTimers / 2; ++i) mgr.Cancel(timers[work.cancelOrder[i]].id);
    while (mgr.FireFirst()) {
    }
  }
  if (counter.fired != static_cast<std::uint64_t>(state.iterations()) * (kTimers - kTimers / 2)) state.SkipWithError("lost timers");
  state.SetItemsProcessed(state.iterations() * kTimers);
  platform::SetTickSourceForTesting(nullptr);
}
BENCHMARK(BM_Timers_Baseline)->Unit(benchmark::kMicrosecond);

}  // namespace
