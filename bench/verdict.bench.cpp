#include "verdict/verdict.hpp"

#include <benchmark/benchmark.h>

#include <cmath>
#include <random>

namespace perfagent {
namespace {

/// Six series of `count` samples: noisy CPU with many distinct values, memory with many ties.
std::vector<NamedSeries> hourOfSamples(std::size_t count, double cpuLevel, unsigned seed) {
    std::mt19937 random(seed);
    std::normal_distribution<double> noise(0, 1);
    std::vector<NamedSeries> series{{"CPU", {}}, {"MemoryUsed", {}}, {"MemoryFree", {}}, {"MemoryCompressed", {}},
                                    {"AppCPU", {}}, {"AppMemory", {}}};
    for (std::size_t n = 0; n < count; ++n) {
        series[0].values.push_back(cpuLevel + 5 * noise(random));
        series[1].values.push_back(std::round(3000 + 20 * noise(random)));
        series[2].values.push_back(std::round(5000 + 20 * noise(random)));
        series[3].values.push_back(0.0);
        series[4].values.push_back(cpuLevel / 2 + 3 * noise(random));
        series[5].values.push_back(std::round(300 + 4 * noise(random)) / 4);
    }
    return series;
}

/// One run's verdict against its baseline, both an hour long (3600 samples, six series).
void BM_VerdictOfTwoHourRuns(benchmark::State& state) {
    const auto samples = static_cast<std::size_t>(state.range(0));
    const auto baseline = hourOfSamples(samples, 20, 1), run = hourOfSamples(samples, 22, 2);
    for (auto _ : state) {
        auto verdict = judge(2, run, 1, baseline, {}, {});
        benchmark::DoNotOptimize(verdict);
    }
}
BENCHMARK(BM_VerdictOfTwoHourRuns)->Arg(3600)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace perfagent
