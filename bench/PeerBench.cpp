// The libraries a user might take instead, each with the traffic of one of ours: moodycamel's
// BlockingConcurrentQueue (QueueBench.cpp), Asio's post to an io_context (ActiveObjectBench.cpp),
// libuv's timers (TimerBench.cpp) and spdlog's synchronous logger (ConsoleBench.cpp, against
// BM_PrintPrefixed_Ours below).
#include <benchmark/benchmark.h>
#include <concurrentqueue/blockingconcurrentqueue.h>
#include <spdlog/details/null_mutex.h>
#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>
#include <uv.h>

#include <algorithm>
#include <asio.hpp>
#include <future>
#include <random>
#include <thread>
#include <vector>

#include "modules/TConsole.h"
#include "runtime/TFunctor.h"

namespace {

// --- The queue: one or two senders, one receiver, a million values (as BM_QueueSPSC/MPSC_Ours).
// moodycamel's queue is unbounded: a sender never waits for room, where ours waits at 10,000.
constexpr int kValues = 1000000;

TFunctor* ValueFor(int i) { return reinterpret_cast<TFunctor*>(static_cast<std::uintptr_t>(i + 1)); }

void RunMoody(benchmark::State& state, int senders) {
  for (auto _ : state) {
    moodycamel::BlockingConcurrentQueue<TFunctor*> queue;
    std::vector<std::thread> threads;
    for (int s = 0; s < senders; ++s)
      threads.emplace_back([&, s] {
        for (int i = s; i < kValues; i += senders) queue.enqueue(ValueFor(i));
      });
    for (int received = 0; received < kValues;) {
      TFunctor* value = nullptr;
      queue.wait_dequeue(value);
      if (value != nullptr) ++received;
    }
    for (auto& t : threads) t.join();
  }
  state.SetItemsProcessed(state.iterations() * kValues);
}
void BM_QueueSPSC_Moody(benchmark::State& state) { RunMoody(state, 1); }
void BM_QueueMPSC_Moody(benchmark::State& state) { RunMoody(state, 2); }
BENCHMARK(BM_QueueSPSC_Moody)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_QueueMPSC_Moody)->Unit(benchmark::kMillisecond)->UseRealTime();

// --- Post and run: a million calls posted to one thread running the io_context, then one that
// signals the end (as BM_PostRun_Ours).
constexpr int kPosts = 1000000;

void BM_PostRun_Asio(benchmark::State& state) {
  for (auto _ : state) {
    asio::io_context context(1);
    auto work = asio::make_work_guard(context);
    std::thread runner([&] { context.run(); });
    long count = 0;
    for (int i = 0; i < kPosts; ++i) asio::post(context, [&count] { ++count; });
    std::promise<void> done;
    asio::post(context, [&done] { done.set_value(); });
    done.get_future().wait();
    work.reset();
    context.stop();
    runner.join();
    if (count != kPosts) state.SkipWithError("lost posts");
  }
  state.SetItemsProcessed(state.iterations() * kPosts);
}
BENCHMARK(BM_PostRun_Asio)->Unit(benchmark::kMillisecond)->UseRealTime();

// --- Timers: 10,000 one-shot timers with the same random periods (1 ms to 1 h) and cancel order
// as BM_Timers_Ours, half cancelled, the rest fired in due order. Ours runs on a test clock;
// libuv's clock is the loop's own, so the timers are set as if an hour ago (the loop's cached
// time moved back before they start) and are all due at the next turn of the loop.
constexpr int kTimers = 10000;
constexpr std::uint64_t kHourMs = 3600 * 1000;

void BM_Timers_Libuv(benchmark::State& state) {
  std::mt19937 random(42);
  std::uniform_int_distribution<std::uint32_t> period(1, kHourMs);
  std::vector<std::uint32_t> periods(kTimers);
  std::vector<int> cancelOrder(kTimers);
  for (int i = 0; i < kTimers; ++i) {
    periods[i] = period(random);
    cancelOrder[i] = i;
  }
  std::shuffle(cancelOrder.begin(), cancelOrder.end(), random);

  uv_loop_t loop;
  uv_loop_init(&loop);
  std::vector<uv_timer_t> timers(kTimers);
  std::uint64_t fired = 0;
  for (uv_timer_t& timer : timers) {
    uv_timer_init(&loop, &timer);
    timer.data = &fired;
  }
  uv_update_time(&loop);
  if (uv_now(&loop) <= kHourMs) {
    state.SkipWithError("the loop's clock has not run for an hour yet");
    uv_loop_close(&loop);
    return;
  }
  auto onFire = [](uv_timer_t* timer) { ++*static_cast<std::uint64_t*>(timer->data); };
  for (auto _ : state) {
    uv_update_time(&loop);
    loop.time -= kHourMs + 1;
    for (int i = 0; i < kTimers; ++i) uv_timer_start(&timers[i], onFire, periods[i], 0);
    for (int i = 0; i < kTimers / 2; ++i) uv_timer_stop(&timers[cancelOrder[i]]);
    uv_run(&loop, UV_RUN_NOWAIT);
  }
  if (fired != static_cast<std::uint64_t>(state.iterations()) * (kTimers - kTimers / 2))
    state.SkipWithError("lost timers");
  state.SetItemsProcessed(state.iterations() * kTimers);
  for (uv_timer_t& timer : timers) uv_close(reinterpret_cast<uv_handle_t*>(&timer), nullptr);
  uv_run(&loop, UV_RUN_DEFAULT);
  uv_loop_close(&loop);
}
BENCHMARK(BM_Timers_Libuv)->Unit(benchmark::kMicrosecond);

// --- Printing a short line with thread id, time and module name in front of it.
class DiscardingListener : public IConsoleListener {
 public:
  void OnConsoleOutput(const char16_t* text) override { benchmark::DoNotOptimize(text); }
};

void BM_PrintPrefixed_Ours(benchmark::State& state) {
  DiscardingListener listener;
  TConsole::SetConsoleListener(&listener);
  TConsole::SetPrintThreadId(true);
  TConsole::SetPrintTimeStamp(true);
  TConsole::SetPrintCurrentMod(true);
  for (auto _ : state) TConsole::PrintLine(u"Debug: %s(%d) in %s", u"Mutex", 1, u"libtolvane.so");
  TConsole::SetPrintThreadId(false);
  TConsole::SetPrintTimeStamp(false);
  TConsole::SetPrintCurrentMod(false);
  TConsole::SetConsoleListener(nullptr);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PrintPrefixed_Ours);

// spdlog's own null sink drops the message before its pattern is applied; this one applies the
// pattern, as every real sink does, and then drops the line, as our discarding listener does.
class FormattingNullSink : public spdlog::sinks::base_sink<spdlog::details::null_mutex> {
 protected:
  void sink_it_(const spdlog::details::log_msg& message) override {
    spdlog::memory_buf_t line;
    formatter_->format(message, line);
    benchmark::DoNotOptimize(line.data());
  }
  void flush_() override {}
};

void BM_Print_Spdlog(benchmark::State& state) {
  auto logger = std::make_shared<spdlog::logger>("diagbench", std::make_shared<FormattingNullSink>());
  logger->set_pattern("%t - %H:%M:%S.%e - %n - %v");
  for (auto _ : state) logger->info("Debug: {}({}) in {}", "Mutex", 1, "libtolvane.so");
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Print_Spdlog);

}  // namespace
