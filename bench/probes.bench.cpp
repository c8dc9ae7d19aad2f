#include "platform/linux_kernel.hpp"
#include "probes/cpu.hpp"
#include "probes/memory.hpp"

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

/// One full sample as a sampler takes it once per second.
void sample(Probes& probes) {
    benchmark::DoNotOptimize(probes.cpu.appUsage());
    benchmark::DoNotOptimize(probes.cpu.systemUsage());
    benchmark::DoNotOptimize(probes.memory.appMemory());
    benchmark::DoNotOptimize(probes.memory.systemMemory());
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

void BM_Sample(benchmark::State& state) {
    LinuxKernel kernel;
    Probes probes(kernel);
    for (auto _ : state) sample(probes);
}
BENCHMARK(BM_Sample);

/// A target process of 200 threads, all asleep, or one of them woken before each sample (so that the
/// process has run and every thread's file is read).
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
    LinuxKernel kernel;
    Probes probes(kernel);
    if (probes.follow(identityOf(child), false) != kKernSuccess) state.SkipWithError("cannot follow the target");
    if (probes.cpu.threadActs().size() != 200) state.SkipWithError("the target has not started its threads");
    for (auto _ : state) {
        if (wakeOne) benchmark::DoNotOptimize(::write(wake[1], "x", 1));
        sample(probes);
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
pid_t startTree() {
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
    return root;
}

void stopTree(pid_t root) {
    ::kill(-root, SIGKILL);
    ::waitpid(root, nullptr, 0);
}

void BM_SampleTree50Processes(benchmark::State& state) {
    const pid_t root = startTree();
    LinuxKernel kernel;
    Probes probes(kernel);
    if (probes.follow(identityOf(root), true) != kKernSuccess) state.SkipWithError("cannot follow the target");
    if (probes.cpu.threadActs().size() != 50) state.SkipWithError("the tree has not started");
    for (auto _ : state) sample(probes);
    stopTree(root);
}
BENCHMARK(BM_SampleTree50Processes);

/// The tree's footprint (proportional set sizes), dearer than its resident size.
void BM_TreeFootprint(benchmark::State& state) {
    const pid_t root = startTree();
    LinuxKernel kernel;
    Probes probes(kernel);
    if (probes.follow(identityOf(root), true) != kKernSuccess) state.SkipWithError("cannot follow the target");
    for (auto _ : state) benchmark::DoNotOptimize(probes.memory.appFootprint());
    stopTree(root);
}
BENCHMARK(BM_TreeFootprint);

}  // namespace
}  // namespace perfagent
