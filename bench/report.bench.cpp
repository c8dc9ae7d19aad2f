#include "collector/metrics_collector.hpp"
#include "platform/asio_run_loop.hpp"
#include "platform/linux_proc.hpp"
#include "report/collection_server.hpp"

#include <benchmark/benchmark.h>

namespace perfagent {
namespace {

/// Takes requests and drops them: the benchmark measures the tick, not the network.
class DroppingUrlSession final : public UrlSession {
public:
    void start(HttpRequest request) override { benchmark::DoNotOptimize(request.body); }
};

// One running-report tick of a measurement already `range(0)` samples long: the probes, the readout
// lines, accumulation, and the report built, validated, encoded, decoded again and printed to a null
// console. The sample count is held steady by rewinding the counter, so each tick rewrites the newest
// sample.
void BM_RunningReportTick(benchmark::State& state) {
    const auto samples = state.range(0);
    LinuxProc proc;
    Probes probes(proc);
    SystemClock clock;
    NullConsole console;
    AsioRunLoop loop;
    Platform platform{clock, console, loop};
    DroppingUrlSession session;
    CollectionServer server(session, CollectionEndpoint{});
    MetricsCollector collector(platform, probes, server);
    collector.start("", "", "");
    for (std::int64_t i = 0; i < samples; ++i) collector.timerHandler();
    for (auto _ : state) {
        collector.retakeLastSample();
        collector.timerHandler();
    }
    state.SetComplexityN(samples);
}
BENCHMARK(BM_RunningReportTick)->Arg(60)->Arg(3600)->Arg(14400)->Unit(benchmark::kMicrosecond)->Complexity(benchmark::oN);

}  // namespace
}  // namespace perfagent
