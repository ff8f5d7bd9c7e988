// Posting to an active object (also one served through a window's message queue) against a
// plain worker thread fed by a monitor queue.
#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

#include "runtime/TActiveObjectDeluxe.h"
#include "runtime/TWndActiveObjectDeluxe.h"

namespace {

constexpr int kPosts = 1000000;

class Counter : public TActiveObjectDeluxe {
 public:
  Counter() : TActiveObjectDeluxe(u"bench") {}
  void Count() { ++count; }
  void Nothing() {}
  long count = 0;
};

// The same served through a hidden window's message queue.
class WndCounter : public TWndActiveObjectDeluxe {
 public:
  WndCounter() : TWndActiveObjectDeluxe(u"bench") {}
  void Count() { ++count; }
  void Nothing() {}
  long count = 0;
};

// The baseline: one worker thread serving a std::function queue.
class BaselineWorker {
 public:
  BaselineWorker() : m_thread([this] { Run(); }) {}
  ~BaselineWorker() {
    Post(nullptr);
    m_thread.join();
  }
  void Post(std::function<void()> call) {
    {
      std::lock_guard<std::mutex> lock(m_lock);
      m_calls.push_back(std::move(call));
    }
    m_ready.notify_one();
  }

 private:
  void Run() {
    for (;;) {
      std::function<void()> call;
      {
        std::unique_lock<std::mutex> lock(m_lock);
        m_ready.wait(lock, [this] { return !m_calls.empty(); });
        call = std::move(m_calls.front());
        m_calls.pop_front();
      }
      if (!call) return;
      call();
    }
  }
  std::mutex m_lock;
  std::condition_variable m_ready;
  std::deque<std::function<void()>> m_calls;
  std::thread m_thread;
};

void BM_PostRun_Ours(benchmark::State& state) {
  for (auto _ : state) {
    auto counter = std::make_unique<Counter>();
    counter->Start(u"bench");
    for (int i = 0; i < kPosts; ++i)
      counter->Post(new TFunctor0<Counter>(counter.get(), &Counter::Count), platform::INFINITE_TIMEOUT);
    // The last post has run once a blocking post behind it returns.
    counter->PushAndBlock(new TFunctor0<Counter>(counter.get(), &Counter::Nothing), platform::INFINITE_TIMEOUT);
    if (counter->count != kPosts) state.SkipWithError("lost posts");
    counter->Stop(false, platform::INFINITE_TIMEOUT);
  }
  state.SetItemsProcessed(state.iterations() * kPosts);
}
BENCHMARK(BM_PostRun_Ours)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_PostRunWnd_Ours(benchmark::State& state) {
  for (auto _ : state) {
    auto counter = std::make_unique<WndCounter>();
    counter->Start(u"bench");
    for (int i = 0; i < kPosts; ++i)
      counter->Post(new TFunctor0<WndCounter>(counter.get(), &WndCounter::Count), platform::INFINITE_TIMEOUT);
    counter->PushAndBlock(new TFunctor0<WndCounter>(counter.get(), &WndCounter::Nothing), platform::INFINITE_TIMEOUT);
    if (counter->count != kPosts) state.SkipWithError("lost posts");
    counter->Stop(false, platform::INFINITE_TIMEOUT);
  }
  state.SetItemsProcessed(state.iterations() * kPosts);
}
BENCHMARK(BM_PostRunWnd_Ours)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_PostRun_Baseline(benchmark::State& state) {
  for (auto _ : state) {
    long count = 0;
    {
      BaselineWorker worker;
      for (int i = 0; i < kPosts; ++i) worker.Post([&count] { ++count; });
      std::promise<void> done;
      worker.Post([&done] { done.set_value(); });
      done.get_future().wait();
    }
    if (count != kPosts) state.SkipWithError("lost posts");
  }
  state.SetItemsProcessed(state.iterations() * kPosts);
}
BENCHMARK(BM_PostRun_Baseline)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_BlockingPost_Ours(benchmark::State& state) {
  Counter counter;
  counter.Start(u"bench");
  for (auto _ : state) counter.PushAndBlock(new TFunctor0<Counter>(&counter, &Counter::Count), platform::INFINITE_TIMEOUT);
  counter.Stop(false, platform::INFINITE_TIMEOUT);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BlockingPost_Ours)->UseRealTime();

void BM_BlockingPost_Baseline(benchmark::State& state) {
  BaselineWorker worker;
  long count = 0;
  for (auto _ : state) {
    std::promise<void> done;
    std::future<void> ready = done.get_future();
    worker.Post([&] {
      ++count;
      done.set_value();
    });
    ready.wait();
  }
  benchmark::DoNotOptimize(count);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BlockingPost_Baseline)->UseRealTime();

}  // namespace
