#include "platform/linux_proc.hpp"
#include "probes/cpu.hpp"
#include "probes/metric_groups.hpp"

#include <benchmark/benchmark.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace perfagent {
namespace {

/// One full sample as a sampler takes it once per second: the application's CPU and memory, the system's.
void sample(Sampler& sampler, ProcessMeter& app) {
    benchmark::DoNotOptimize(app.read());
    benchmark::DoNotOptimize(sampler.readSystem());
}

ProcessIdentity identityOf(pid_t pid) {
    std::ostringstream text;
    text << std::ifstream("/proc/" + std::to_string(pid) + "/stat").rdbuf();
    const std::string line = text.str();
    std::istringstream fields(line.substr(line.rfind(')') + 2));
    std::string field;
    for (int i = 3; i <= 22; ++i) fields >> field;  // start time is field 22
    return {pid, std::stoull(field)};
}

/// The agent's own process and the system.
void BM_Sample(benchmark::State& state) {
    LinuxProc proc;
    Probes probes(proc);
    Sampler sampler(probes);
    for (auto _ : state) sample(sampler, sampler.self());
}
BENCHMARK(BM_Sample);

/// The same with every metric group on, the app group on the agent's own process.
void BM_SampleEveryGroup(benchmark::State& state) {
    LinuxProc proc;
    Probes probes(proc);
    Sampler sampler(probes);
    MetricGroupSet groups;
    for (std::size_t i = 0; i < kMetricGroupCount; ++i) groups.add(static_cast<MetricGroup>(i));
    MetricGroupSampler metrics(groups, ::getpid());
    state.SetLabel(std::to_string(metrics.series().size()) + " series");
    for (auto _ : state) {
        sample(sampler, sampler.self());
        benchmark::DoNotOptimize(metrics.read());
    }
}
BENCHMARK(BM_SampleEveryGroup);

/// One metric group alone, by its number: what each adds to a sample.
void BM_OneGroup(benchmark::State& state) {
    const auto group = static_cast<MetricGroup>(state.range(0));
    MetricGroupSet groups;
    groups.add(group);
    MetricGroupSampler metrics(groups, ::getpid());
    state.SetLabel(std::string(metricGroupName(group)) + (metrics.leftOut().empty() ? "" : " (left out here)"));
    for (auto _ : state) benchmark::DoNotOptimize(metrics.read());
}
BENCHMARK(BM_OneGroup)->DenseRange(0, kMetricGroupCount - 1);

/// A target process of 200 threads, all asleep, or one of them woken before each sample.
void sampleTarget200Threads(benchmark::State& state, bool wakeOne) {
    int wake[2];
    if (::pipe(wake) != 0) state.SkipWithError("no pipe");
    const pid_t child = ::fork();
    if (child == 0) {
        std::vector<std::thread> threads;
        for (int i = 0; i < 199; ++i) threads.emplace_back([] { ::pause(); });
        for (char byte; ::read(wake[0], &byte, 1) == 1;) {}
        ::pause();
    }
    ::usleep(300'000);
    LinuxProc proc;
    Probes probes(proc);
    Sampler sampler(probes);
    auto target = proc.open(identityOf(child), false);
    if (!target) state.SkipWithError("cannot open the target");
    ProcessMeter app(std::move(*target));
    for (auto _ : state) {
        if (wakeOne) benchmark::DoNotOptimize(::write(wake[1], "x", 1));
        sample(sampler, app);
    }
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    ::close(wake[0]);
    ::close(wake[1]);
}

void BM_SampleTarget200Threads(benchmark::State& state) { sampleTarget200Threads(state, false); }
BENCHMARK(BM_SampleTarget200Threads);

void BM_SampleTarget200ThreadsOneWoken(benchmark::State& state) { sampleTarget200Threads(state, true); }
BENCHMARK(BM_SampleTarget200ThreadsOneWoken);

/// A process group of 50 single-threaded processes: a root with 49 children.
void BM_SampleTree50Processes(benchmark::State& state) {
    const pid_t root = ::fork();
    if (root == 0) {
        ::setpgid(0, 0);
        for (int i = 0; i < 49; ++i) {
            if (::fork() == 0) {
                ::pause();
                ::_exit(0);
            }
        }
        ::pause();
    }
    ::usleep(300'000);
    LinuxProc proc;
    Probes probes(proc);
    Sampler sampler(probes);
    auto target = proc.open(identityOf(root), true);
    if (!target) state.SkipWithError("cannot open the target");
    ProcessMeter app(std::move(*target));
    for (auto _ : state) sample(sampler, app);
    ::kill(-root, SIGKILL);
    ::waitpid(root, nullptr, 0);
}
BENCHMARK(BM_SampleTree50Processes);

}  // namespace
}  // namespace perfagent
