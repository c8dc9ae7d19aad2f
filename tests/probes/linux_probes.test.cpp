// The probes on the host's own proc: following a real process tree, not the arithmetic (stored files and
// the fake source prove that).

#include "platform/linux_proc.hpp"
#include "platform/proc_parsers.hpp"
#include "platform/processes.hpp"
#include "probes/cpu.hpp"
#include "support/temp_directory.hpp"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <thread>

namespace perfagent {
namespace {

using namespace std::chrono_literals;
using testing::readFile;

std::string proc(Pid pid, const std::string& file) { return "/proc/" + std::to_string(pid) + "/" + file; }
const std::uint64_t kPage = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
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

/// A tree whose processes stood still keeps its walk; one that forks is walked again.
TEST(LinuxProbes, TreeIsSummedFollowsAForkAndAnExitedTargetSaysSo) {
    const std::string name = "pa-tree-" + std::to_string(::getpid());  // runs side by side never share it
    int wake[2];
    ASSERT_EQ(::pipe(wake), 0);
    const auto pausedChild = [] {
        const pid_t parent = ::getpid();
        if (::fork() != 0) return;
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);  // dies with its parent
        if (::getppid() != parent) ::_exit(0);  // which died before it asked
        ::pause();
        ::_exit(0);
    };
    Child parent([&] {
        ::prctl(PR_SET_NAME, name.c_str());
        pausedChild();
        char byte;
        if (::read(wake[0], &byte, 1) == 1) pausedChild();
        ::pause();
    });
    const auto childrenFile = proc(parent.pid, "task/" + std::to_string(parent.pid) + "/children");
    ASSERT_TRUE(eventually([&] { return !readFile(childrenFile).empty(); }));

    const auto found = findProcess(LinuxProcessList().processes(), name);
    ASSERT_TRUE(found) << found.error().message();
    LinuxProc source;
    auto tree = source.open(found->identity, true);
    ASSERT_TRUE(tree);
    const auto resident = [&](Pid pid) { return parseStatm(readFile(proc(pid, "statm"))).value().resident * kPage; };
    const auto treeResident = [&] {
        std::uint64_t sum = resident(parent.pid);
        forEachChildPid(readFile(childrenFile), [&](std::uint32_t child) { sum += resident(static_cast<Pid>(child)); });
        return sum;
    };
    EXPECT_EQ((*tree)->read().value().residentBytes, treeResident());
    EXPECT_EQ((*tree)->read().value().residentBytes, treeResident());  // nothing ran: the same walk
    ASSERT_EQ(::write(wake[1], "x", 1), 1);
    EXPECT_TRUE(eventually([&] {
        std::size_t children = 0;
        forEachChildPid(readFile(childrenFile), [&](std::uint32_t) { ++children; });
        return children == 2 && (*tree)->read().value().residentBytes == treeResident();
    }));

    ::kill(parent.pid, SIGKILL);  // a zombie until reaped: already an exit
    EXPECT_TRUE(eventually([&] { return (*tree)->read().error().code == std::errc::no_such_process; }));
    ::close(wake[0]);
    ::close(wake[1]);
}

/// A target's CPU counts a thread that ran and ended within the interval, and nothing while it sleeps.
TEST(LinuxProbes, AThreadThatEndedWithinTheIntervalCounts) {
    int wake[2], done[2];
    ASSERT_EQ(::pipe(wake), 0);
    ASSERT_EQ(::pipe(done), 0);
    Child child([&] {
        for (int i = 0; i < 3; ++i) std::thread([] { ::pause(); }).detach();
        char byte;
        if (::read(wake[0], &byte, 1) == 1) {
            std::thread([] {
                timespec spent{};
                do ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &spent);
                while (spent.tv_nsec < 50'000'000 && spent.tv_sec == 0);
            }).join();
            if (::write(done[1], "x", 1) != 1) ::_exit(1);
        }
        ::pause();
    });
    LinuxProc source;
    ProcessMeter meter(source.open(identityOf(child.pid), false).value());
    ASSERT_TRUE(eventually([&] {  // once all four sleep, the share is 0
        std::this_thread::sleep_for(20ms);
        return meter.read().value().cpu == 0.0;
    }));
    ASSERT_EQ(::write(wake[1], "x", 1), 1);
    char byte;
    ASSERT_EQ(::read(done[0], &byte, 1), 1);  // the thread has come and gone
    EXPECT_GT(meter.read().value().cpu, 0.0);  // its 50 ms of CPU count
    for (const int fd : {wake[0], wake[1], done[0], done[1]}) ::close(fd);
}

}  // namespace
}  // namespace perfagent
