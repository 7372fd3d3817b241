// Dividing a 4000 x 4000 picture and drawing the fragment names, as a save does, at counts from
// a thousand to a million: the time per chunk should not grow with the count.
#include <benchmark/benchmark.h>

#include <string>
#include <unordered_set>

#include "core/MCImage.h"

namespace {

using namespace mosaicer;

constexpr std::int32_t kSide = 4000;

void PerChunk(benchmark::State& state) {
  state.counters["per_chunk"] = benchmark::Counter(static_cast<double>(state.range(0)),
                                                   benchmark::Counter::kIsIterationInvariantRate |
                                                       benchmark::Counter::kInvert);
}

// A new division replaces the previous one, as "Crumb!" pressed again does.
void BM_Divide(benchmark::State& state) {
  const auto count = static_cast<std::int32_t>(state.range(0));
  TMCBreakup breakup;
  RandomState = 1;
  for (auto _ : state) {
    MakeBreakupOf(breakup, kSide, kSide, count);
    benchmark::DoNotOptimize(breakup.RowCount());
  }
  PerChunk(state);
}

// One save's names: each drawn against those before it, the set made and freed each time.
void BM_DrawNames(benchmark::State& state) {
  const auto count = static_cast<std::size_t>(state.range(0));
  RandomState = 1;
  for (auto _ : state) {
    std::unordered_set<std::string> used;
    used.reserve(count);
    for (std::size_t k = 0; k < count; ++k) used.insert(RandomName(8, used));
    benchmark::DoNotOptimize(used.size());
  }
  PerChunk(state);
}

BENCHMARK(BM_Divide)->Arg(1024)->Arg(65536)->Arg(1048576)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DrawNames)->Arg(1024)->Arg(65536)->Arg(1048576)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
