// The active object's queue against a plain bounded monitor queue, one and two senders.
#include <benchmark/benchmark.h>

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "runtime/TFunctor.h"
#include "runtime/TMsgQueueEx.h"

namespace {

constexpr int kValues = 1000000;
constexpr std::size_t kCapacity = 10000;

using Queue = TMsgQueueEx<TFunctor*, kCapacity>;

// The baseline: a bounded queue of the same capacity with the same blocking behaviour.
class MonitorQueue {
 public:
  void Send(TFunctor* value) {
    std::unique_lock<std::mutex> lock(m_lock);
    m_notFull.wait(lock, [this] { return m_items.size() < kCapacity; });
    m_items.push_back(value);
    m_notEmpty.notify_one();
  }
  TFunctor* Receive() {
    std::unique_lock<std::mutex> lock(m_lock);
    m_notEmpty.wait(lock, [this] { return !m_items.empty(); });
    TFunctor* value = m_items.front();
    m_items.pop_front();
    m_notFull.notify_one();
    return value;
  }

 private:
  std::mutex m_lock;
  std::condition_variable m_notEmpty;
  std::condition_variable m_notFull;
  std::deque<TFunctor*> m_items;
};

TFunctor* ValueFor(int i) { return reinterpret_cast<TFunctor*>(static_cast<std::uintptr_t>(i + 1)); }

void RunOurs(benchmark::State& state, int senders) {
  for (auto _ : state) {
    auto queue = std::make_unique<Queue>(nullptr, nullptr, 0);
    std::vector<std::thread> threads;
    for (int s = 0; s < senders; ++s) {
      threads.emplace_back([&, s] {
        for (int i = s; i < kValues; i += senders) {
          TFunctor* value = ValueFor(i);
          queue->Send(&value, platform::INFINITE_TIMEOUT);
        }
      });
    }
    for (int received = 0; received < kValues;) {
      TFunctor* value = nullptr;
      if (queue->Receive(&value, platform::INFINITE_TIMEOUT, false) && value != nullptr) ++received;
    }
    for (auto& t : threads) t.join();
  }
  state.SetItemsProcessed(state.iterations() * kValues);
}

void RunBaseline(benchmark::State& state, int senders) {
  for (auto _ : state) {
    MonitorQueue queue;
    std::vector<std::thread> threads;
    for (int s = 0; s < senders; ++s) {
      threads.emplace_back([&, s] {
        for (int i = s; i < kValues; i += senders) queue.Send(ValueFor(i));
      });
    }
    for (int received = 0; received < kValues; ++received) benchmark::DoNotOptimize(queue.Receive());
    for (auto& t : threads) t.join();
  }
  state.SetItemsProcessed(state.iterations() * kValues);
}

void BM_QueueSPSC_Ours(benchmark::State& state) { RunOurs(state, 1); }
void BM_QueueSPSC_Baseline(benchmark::State& state) { RunBaseline(state, 1); }
void BM_QueueMPSC_Ours(benchmark::State& state) { RunOurs(state, 2); }
void BM_QueueMPSC_Baseline(benchmark::State& state) { RunBaseline(state, 2); }

BENCHMARK(BM_QueueSPSC_Ours)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_QueueSPSC_Baseline)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_QueueMPSC_Ours)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_QueueMPSC_Baseline)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
