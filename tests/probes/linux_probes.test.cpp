// The probes on the real Linux kernel backend: following a real process tree, not the arithmetic
// (stored files and the fake kernel prove that).

#include "platform/linux_kernel.hpp"
#include "platform/proc_parsers.hpp"
#include "platform/processes.hpp"
#include "probes/cpu.hpp"
#include "probes/memory.hpp"
#include "support/temp_directory.hpp"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

namespace perfagent {
namespace {

using namespace std::chrono_literals;
using testing::readFile;

TaskStat statOf(Pid pid) {
    auto stat = parseTaskStat(readFile("/proc/" + std::to_string(pid) + "/stat")).value_or(TaskStat{});
    stat.comm = {};  // the text it pointed into is gone
    return stat;
}

ProcessIdentity identityOf(Pid pid) { return {pid, statOf(pid).startTime}; }

double residentOf(Pid pid, double pageSize) {
    const auto pages = parseStatm(readFile("/proc/" + std::to_string(pid) + "/statm"));
    return pages ? static_cast<double>(pages->resident) * pageSize : 0;
}

/// A forked child running `body`; killed and reaped with the object unless reaped before.
struct Child {
    explicit Child(const std::function<void()>& body) : pid(::fork()) {
        if (pid == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);  // a test that fails early leaves nothing running
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

TEST(LinuxProbes, TreeIsSummedAndFoundAfreshAndAnExitedTargetSaysSo) {
    const std::string name = "pa-tree-" + std::to_string(::getpid());  // runs side by side never share it
    Child parent([&] {
        ::prctl(PR_SET_NAME, name.c_str());
        if (::fork() == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            ::pause();
            ::_exit(0);
        }
        while (::wait(nullptr) > 0) {}
        ::pause();
    });
    const std::string children = "/proc/" + std::to_string(parent.pid) + "/task/" + std::to_string(parent.pid) + "/children";
    ASSERT_TRUE(eventually([&] { return !readFile(children).empty(); }));
    const Pid grandchild = std::stoi(readFile(children));  // forked after the name was set

    const auto found = findProcess(LinuxProcessList().processes(), name);
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

TEST(LinuxProbes, AnIdleTargetReadsZeroUntilItStartsAThreadThatBurns) {
    int wake[2];
    ASSERT_EQ(::pipe(wake), 0);
    Child child([&] {
        std::vector<std::thread> sleepers;
        for (int i = 0; i < 3; ++i) sleepers.emplace_back([] { ::pause(); });
        char byte;
        if (::read(wake[0], &byte, 1) == 1) {
            std::thread([] {
                for (volatile unsigned spin = 0;;) spin = spin + 1;
            }).detach();
        }
        ::pause();
    });
    LinuxKernel kernel;
    Probes probes(kernel);
    const std::string tasks = "/proc/" + std::to_string(child.pid) + "/task";
    ASSERT_TRUE(eventually([&] {  // all four asleep (sanitizers may add threads of their own)
        int asleep = 0;
        for (const auto& thread : std::filesystem::directory_iterator(tasks)) {
            const auto stat = parseTaskStat(testing::readFile(thread.path() / "stat"));
            if (!stat || stat->state != 'S') return false;
            ++asleep;
        }
        return asleep >= 4;
    }));
    ASSERT_EQ(probes.follow(identityOf(child.pid), false), kKernSuccess);
    probes.cpu.appUsage();  // the baseline: each thread's lifetime average
    // Idle readings: the process's clock stands still, so its threads are not read again.
    for (int i = 0; i < 3; ++i) {
        std::this_thread::sleep_for(20ms);
        EXPECT_EQ(probes.cpu.appUsage(), 0.0);
    }
    const std::size_t threads = probes.cpu.threadActs().size();
    ASSERT_EQ(::write(wake[1], "x", 1), 1);
    // Shares over 50 ms (the kernel adds up a running thread's time at each tick); on a loaded machine
    // the spinning thread may get little of a CPU, but some.
    EXPECT_TRUE(eventually([&] {
        std::this_thread::sleep_for(50ms);
        return probes.cpu.appUsage() > 0.0;
    }));
    EXPECT_EQ(probes.cpu.threadActs().size(), threads + 1);
    ::close(wake[0]);
    ::close(wake[1]);
}

}  // namespace
}  // namespace perfagent
