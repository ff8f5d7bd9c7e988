// Formatting a short help line: ours into a TStringEx against snprintf into a std::string.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "bench/AllocationCounter.h"
#include "foundation/TStringEx.h"

namespace {

void BM_Format_Ours(benchmark::State& state) {
  const TStringEx name(u"saveoutput");
  const TStringEx text(u"Saves the console output to a file");
  TStringEx line;
  std::size_t before = bench::AllocationCount();
  for (auto _ : state) {
    line.Format(u"  %-13s %s", name, text);
    benchmark::DoNotOptimize(line.Buffer());
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["allocs_per_item"] = benchmark::Counter(
      static_cast<double>(bench::AllocationCount() - before) / static_cast<double>(state.iterations()));
}
BENCHMARK(BM_Format_Ours);

void BM_Format_Baseline(benchmark::State& state) {
  const char* name = "saveoutput";
  const char* text = "Saves the console output to a file";
  std::string line;
  std::size_t before = bench::AllocationCount();
  for (auto _ : state) {
    char buffer[257];
    std::snprintf(buffer, sizeof buffer, "  %-13s %s", name, text);
    line = buffer;
    benchmark::DoNotOptimize(line.data());
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["allocs_per_item"] = benchmark::Counter(
      static_cast<double>(bench::AllocationCount() - before) / static_cast<double>(state.iterations()));
}
BENCHMARK(BM_Format_Baseline);

}  // namespace
