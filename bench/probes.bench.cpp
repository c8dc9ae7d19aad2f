#include "platform/linux_kernel.hpp"
#include "probes/cpu.hpp"
#include "probes/memory.hpp"

#include <benchmark/benchmark.h>

namespace perfagent {
namespace {

// One full sample as a sampler takes it once per second.
void BM_Sample(benchmark::State& state) {
    LinuxKernel kernel;
    Probes probes(kernel);
    for (auto _ : state) {
        benchmark::DoNotOptimize(probes.cpu.appUsage());
        benchmark::DoNotOptimize(probes.cpu.systemUsage());
        benchmark::DoNotOptimize(probes.memory.appMemory());
        benchmark::DoNotOptimize(probes.memory.systemMemory());
    }
}
BENCHMARK(BM_Sample);

}  // namespace
}  // namespace perfagent
