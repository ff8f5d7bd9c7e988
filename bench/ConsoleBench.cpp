// Printing a short line through the module's console, and checking a disabled trace.
#include <benchmark/benchmark.h>

#include <cstdio>

#include "modules/LibraryTraces.h"
#include "modules/TConsole.h"

namespace {

class DiscardingListener : public IConsoleListener {
 public:
  void OnConsoleOutput(const char16_t* text) override { benchmark::DoNotOptimize(text); }
};

void Discard(const char* text) { benchmark::DoNotOptimize(text); }

void BM_Print_Ours(benchmark::State& state) {
  DiscardingListener listener;
  TConsole::SetConsoleListener(&listener);
  for (auto _ : state) TConsole::PrintLine(u"Debug: %s(%d) in %s", u"Mutex", 1, u"libtolvane.so");
  TConsole::SetConsoleListener(nullptr);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Print_Ours);

void BM_Print_Baseline(benchmark::State& state) {
  for (auto _ : state) {
    char buffer[8192];
    std::snprintf(buffer, sizeof buffer, "Debug: %s(%d) in %s\r\n", "Mutex", 1, "libtolvane.so");
    Discard(buffer);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Print_Baseline);

// What a disabled trace guards: a call that never happens.
[[gnu::noinline]] void TraceLine(int i) { benchmark::DoNotOptimize(i); }

void BM_TraceCheck_Ours(benchmark::State& state) {
  for (auto _ : state) {
    for (int i = 0; i < 1000; ++i)
      if (TRACE_ON(g_trcMutex, 2)) TraceLine(i);
  }
  state.SetItemsProcessed(state.iterations() * 1000);
}
BENCHMARK(BM_TraceCheck_Ours);

// The same check over a plain global int, loaded afresh at every check: without the load the
// compiler would hoist the comparison out of the loop and measure nothing.
int g_plainLevel = 0;

void BM_TraceCheck_Baseline(benchmark::State& state) {
  for (auto _ : state) {
    for (int i = 0; i < 1000; ++i) {
      int level = g_plainLevel;
      benchmark::DoNotOptimize(level);
      if (level >= 2) TraceLine(i);
    }
  }
  state.SetItemsProcessed(state.iterations() * 1000);
}
BENCHMARK(BM_TraceCheck_Baseline);

}  // namespace
