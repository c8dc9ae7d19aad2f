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
#include <functional>
#include <latch>
#include <optional>
#include <thread>

namespace perfagent {
namespace {

using namespace std::chrono_literals;
using testing::readFile;

std::string proc(Pid pid, const std::string& file) { return "/proc/" + std::to_string(pid) + "/" + file; }
ProcessIdentity identityOf(Pid pid) { return findProcess(LinuxProcessList().processes(), std::to_string(pid)).value().identity; }

/// A forked child running `body`; killed and reaped with the object.
struct Child {
    explicit Child(const std::function<void()>& body) : pid(::fork()) {
        if (pid == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);  // a test that fails early leaves nothing running
            body();
            ::_exit(0);
        }
    }
    ~Child() { ::kill(pid, SIGKILL), ::waitpid(pid, nullptr, 0); }
    Pid pid;
};

template <typename Condition> bool eventually(Condition condition) {
    for (int i = 0; i < 200 && !condition(); ++i) std::this_thread::sleep_for(10ms);
    return condition();
}

TEST(LinuxProbes, TreeIsSummedAndAnExitedTargetSaysSo) {
    const std::string name = "pa-tree-" + std::to_string(::getpid());  // runs side by side never share it
    Child parent([&] {
        ::prctl(PR_SET_NAME, name.c_str());
        if (::fork() == 0) ::prctl(PR_SET_PDEATHSIG, SIGKILL);  // dies with its parent
        ::pause();
    });
    const auto children = proc(parent.pid, "task/" + std::to_string(parent.pid) + "/children");
    ASSERT_TRUE(eventually([&] { return !readFile(children).empty(); }));
    const Pid grandchild = std::stoi(readFile(children));  // forked after the name was set

    const auto found = findProcess(LinuxProcessList().processes(), name);
    ASSERT_TRUE(found) << found.error().message();
    LinuxKernel kernel;
    Probes probes(kernel);
    ASSERT_EQ(probes.follow(found->identity, true), kKernSuccess);
    const auto threads = probes.cpu.threadActs();  // (sanitizers may add threads of their own)
    for (const Pid pid : {parent.pid, grandchild})
        EXPECT_NE(std::ranges::find(threads, static_cast<ThreadPort>(pid)), threads.end()) << pid;
    const auto resident = [&](Pid pid) {
        return static_cast<double>(parseStatm(readFile(proc(pid, "statm"))).value().resident) * kernel.pageSize();
    };
    EXPECT_EQ(probes.memory.appMemory().resident, resident(parent.pid) + resident(grandchild));

    ::kill(parent.pid, SIGKILL);  // a zombie until reaped: already an exit
    ASSERT_TRUE(eventually([&] { return probes.cpu.appUsage() == 0.0 && probes.taskResult() == kKernTerminated; }));
    EXPECT_EQ(probes.memory.appMemory().resident, 0.0);
}

TEST(LinuxProbes, AnIdleTargetReadsZeroUntilItStartsAThreadThatBurns) {
    int wake[2];
    ASSERT_EQ(::pipe(wake), 0);
    Child child([&] {
        for (int i = 0; i < 3; ++i) std::thread([] { ::pause(); }).detach();
        char byte;
        if (::read(wake[0], &byte, 1) == 1)
            std::thread([] { for (volatile unsigned spin = 0;;) spin = spin + 1; }).detach();
        ::pause();
    });
    LinuxKernel kernel;
    Probes probes(kernel);
    ASSERT_EQ(probes.follow(identityOf(child.pid), false), kKernSuccess);
    probes.cpu.appUsage();  // the baseline: each thread's lifetime average
    // Once all four sleep, the process's clock stands still: its threads are not read and the share is 0.
    ASSERT_TRUE(eventually([&] {
        std::this_thread::sleep_for(20ms);
        return probes.cpu.appUsage() == 0.0 && probes.cpu.threadActs().size() >= 4;
    }));
    const std::size_t threads = probes.cpu.threadActs().size();
    ASSERT_EQ(::write(wake[1], "x", 1), 1);
    // On a loaded machine the spinning thread may get little of a CPU, but some.
    EXPECT_TRUE(eventually([&] { std::this_thread::sleep_for(50ms); return probes.cpu.appUsage() > 0.0; }));
    EXPECT_EQ(probes.cpu.threadActs().size(), threads + 1);
    ::close(wake[0]);
    ::close(wake[1]);
}

/// A thread of this process that waits until it is let go.
struct Sleeper {
    Sleeper() : thread([this] { tid = static_cast<ThreadPort>(::gettid()), started.count_down(), release.wait(); }) {
        started.wait();
    }
    ~Sleeper() { release.count_down(), thread.join(); }
    std::latch started{1}, release{1};
    ThreadPort tid = 0;
    std::thread thread;
};

TEST(LinuxKernel, AThreadThatEndedIsDroppedAndOneThatBeganFoundThoughTheCountStayedTheSame) {
    LinuxKernel kernel;
    const auto listAndRead = [&] {  // the own threads, each listed and read
        ThreadPort* list = nullptr;
        std::uint32_t count = 0;
        EXPECT_EQ(kernel.taskThreads(kTaskSelf, &list, &count), kKernSuccess);
        std::vector<ThreadPort> tids(list, list + count);
        kernel.vmDeallocate(list, count * sizeof(ThreadPort));
        ThreadBasicInfo info;
        for (const ThreadPort tid : tids) EXPECT_EQ(kernel.threadBasicInfo(tid, info), kKernSuccess) << tid;
        return tids;
    };
    const auto has = [](const std::vector<ThreadPort>& tids, ThreadPort tid) { return std::ranges::count(tids, tid) == 1; };
    std::optional<Sleeper> sleeper(std::in_place);
    const ThreadPort first = sleeper->tid;
    listAndRead();
    EXPECT_TRUE(has(listAndRead(), first));
    sleeper.emplace();  // one thread ends and another begins: the count stays the same
    const auto listed = listAndRead();
    EXPECT_TRUE(has(listed, sleeper->tid));
    EXPECT_FALSE(has(listed, first));
    const Sleeper another;  // and now one more
    EXPECT_TRUE(has(listAndRead(), another.tid));
}

}  // namespace
}  // namespace perfagent
