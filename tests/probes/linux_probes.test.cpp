// The probes on the real Linux kernel backend: the wiring, not the arithmetic (stored files and the
// fake kernel prove that). Figures are compared with independent readings of the same interval, so
// the tests hold on a loaded machine and under nice, where busy time counts as nice, not user.

#include "platform/linux_kernel.hpp"
#include "platform/proc_parsers.hpp"
#include "platform/processes.hpp"
#include "probes/cpu.hpp"
#include "probes/memory.hpp"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

namespace perfagent {
namespace {

using namespace std::chrono_literals;

std::string readText(const std::string& path) {
    std::ostringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

TaskStat statOf(Pid pid) {
    auto stat = parseTaskStat(readText("/proc/" + std::to_string(pid) + "/stat")).value_or(TaskStat{});
    stat.comm = {};  // the text it pointed into is gone
    return stat;
}

ProcessIdentity identityOf(Pid pid) { return {pid, statOf(pid).startTime}; }

/// CPU seconds of a process from its stat line: an independent reading of what the probe measures.
double cpuSecondsOf(Pid pid) {
    const TaskStat stat = statOf(pid);
    return static_cast<double>(stat.utime + stat.stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

double residentOf(Pid pid, double pageSize) {
    const auto pages = parseStatm(readText("/proc/" + std::to_string(pid) + "/statm"));
    return pages ? static_cast<double>(pages->resident) * pageSize : 0;
}

void spinFor(std::chrono::steady_clock::duration duration) {
    const auto until = std::chrono::steady_clock::now() + duration;
    volatile unsigned sink = 0;
    while (std::chrono::steady_clock::now() < until) sink = sink + 1;
}

/// A forked child running `body`; killed and reaped with the object unless reaped before.
struct Child {
    explicit Child(const std::function<void()>& body) : pid(::fork()) {
        if (pid == 0) {
            body();
            ::_exit(0);
        }
    }
    ~Child() { reap(); }
    void reap() {
        if (pid <= 0) return;
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        pid = -1;
    }
    Pid pid;
};

template <typename Condition>
bool eventually(Condition condition) {
    for (int i = 0; i < 200 && !condition(); ++i) std::this_thread::sleep_for(10ms);
    return condition();
}

TEST(LinuxProbes, MemoryFiguresOfThisProcessAndTheSystem) {
    LinuxKernel kernel;
    Memory memory(kernel);
    const AppMemory app = memory.appMemory();
    EXPECT_NEAR(app.resident, residentOf(::getpid(), kernel.pageSize()), 64 * kernel.pageSize());  // reading moves it
    EXPECT_EQ(app.total, static_cast<double>(::sysconf(_SC_PHYS_PAGES)) * kernel.pageSize());
    EXPECT_GT(memory.appFootprint(), 0.0);
    const SystemMemory system = memory.systemMemory();
    EXPECT_GT(system.free, 0.0);
    EXPECT_GT(system.wired, 0.0);
    EXPECT_LT(usedMemory(system) + system.free, system.total);
}

TEST(LinuxProbes, SystemAndAppCpuOfABusyInterval) {
    LinuxKernel kernel;
    CPU cpu(kernel);
    cpu.systemUsage();
    cpu.appUsage();  // from here on each thread reads its share since this reading
    timespec cpuBefore{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpuBefore);
    const auto wallBefore = std::chrono::steady_clock::now();
    spinFor(300ms);
    const double app = cpu.appUsage();
    timespec cpuAfter{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpuAfter);
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallBefore).count();
    const double spun = static_cast<double>(cpuAfter.tv_sec - cpuBefore.tv_sec) +
                        static_cast<double>(cpuAfter.tv_nsec - cpuBefore.tv_nsec) * 1e-9;
    EXPECT_NEAR(app, spun / wall * 100.0, 10.0);

    const SystemCpu c = cpu.systemUsage();
    EXPECT_NEAR(c.system + c.user + c.idle + c.nice, 100.0, 1e-9);
    EXPECT_GT(systemCpuFigure(c), 0.0);  // counts nice, where a niced test's spinning goes
}

TEST(LinuxProbes, TargetAtHalfDutyCycleReadsWhatItsStatSays) {
    Child child([] {
        for (;;) {
            spinFor(20ms);
            std::this_thread::sleep_for(20ms);
        }
    });
    LinuxKernel kernel;
    Probes probes(kernel);
    ASSERT_EQ(probes.follow(identityOf(child.pid), false), kKernSuccess);
    probes.cpu.appUsage();
    const double cpuBefore = cpuSecondsOf(child.pid);
    std::this_thread::sleep_for(1s);
    const double usage = probes.cpu.appUsage();
    const double expected = (cpuSecondsOf(child.pid) - cpuBefore) * 100.0;  // over about one second
    EXPECT_NEAR(usage, expected, 10.0);
    EXPECT_LT(usage, 60.0);  // half of one CPU at most, however much it gets
    EXPECT_EQ(probes.memory.appMemory().resident, residentOf(child.pid, kernel.pageSize()));
    EXPECT_EQ(probes.taskResult(), kKernSuccess);
}

TEST(LinuxProbes, TreeIsSummedAndFoundAfreshAndAnExitedTargetSaysSo) {
    Child parent([] {
        ::prctl(PR_SET_NAME, "pa-tree-root");
        if (::fork() == 0) {
            ::pause();
            ::_exit(0);
        }
        while (::wait(nullptr) > 0) {}
        ::pause();
    });
    const std::string children = "/proc/" + std::to_string(parent.pid) + "/task/" + std::to_string(parent.pid) + "/children";
    ASSERT_TRUE(eventually([&] { return !readText(children).empty(); }));
    const Pid grandchild = std::stoi(readText(children));  // forked after the name was set

    const auto found = findProcess(LinuxProcessList().processes(), "pa-tree-root");
    ASSERT_TRUE(found) << found.error().message();
    const ProcessIdentity identity = found->identity;
    EXPECT_EQ(identity, identityOf(parent.pid));

    LinuxKernel kernel;
    Probes probes(kernel);
    // The same pid with another start time is another process: never followed.
    EXPECT_EQ(probes.follow({identity.pid, identity.startTime + 1}, true), kKernTerminated);
    ASSERT_EQ(probes.follow(identity, true), kKernSuccess);
    const auto lists = [&](Pid pid) {
        const auto threads = probes.cpu.threadActs();  // (sanitizers may add threads of their own)
        return std::find(threads.begin(), threads.end(), static_cast<ThreadPort>(pid)) != threads.end();
    };
    EXPECT_TRUE(lists(parent.pid));
    EXPECT_TRUE(lists(grandchild));
    EXPECT_EQ(probes.memory.appMemory().resident,
              residentOf(parent.pid, kernel.pageSize()) + residentOf(grandchild, kernel.pageSize()));

    ::kill(grandchild, SIGKILL);  // reaped by its parent
    EXPECT_TRUE(eventually([&] { return !lists(grandchild); }));

    ::kill(parent.pid, SIGKILL);  // a zombie until reaped, then gone: both are an exit
    ASSERT_TRUE(eventually([&] { return hasExited(statOf(parent.pid)); }));
    EXPECT_EQ(probes.cpu.appUsage(), 0.0);
    EXPECT_EQ(probes.taskResult(), kKernTerminated);
    parent.reap();
    EXPECT_EQ(probes.memory.appMemory().resident, 0.0);
    EXPECT_EQ(probes.memory.lastTaskResult(), kKernTerminated);
}

}  // namespace
}  // namespace perfagent
