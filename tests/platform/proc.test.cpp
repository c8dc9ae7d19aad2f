// The proc file system's parsers, the kernel backend and the process list, over stored files or a written tree.
#include "platform/linux_kernel.hpp"
#include "platform/proc_parsers.hpp"
#include "platform/processes.hpp"
#include "support/temp_directory.hpp"

#include <gtest/gtest.h>

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace perfagent {
namespace {

using testing::TempDirectory;

// Output of a 6.18 x86_64 kernel with 24 GiB of memory and two CPUs (Zswap and steal made non-zero so
// that they are checked; cut to the fields read, their look-alikes and a few others).
constexpr std::string_view kMeminfo = R"(MemTotal:       24683736 kB
MemFree:        24489024 kB
Active:            31044 kB
Inactive:          30384 kB
Active(anon):         40 kB
Inactive(anon):     6884 kB
Unevictable:       16360 kB
Zswap:               752 kB
Zswapped:              0 kB
SReclaimable:      53056 kB
SUnreclaim:        22756 kB
KernelStack:        2020 kB
PageTables:         1768 kB
SecPageTables:         0 kB
VmallocTotal:   34359738367 kB
HugePages_Total:       0
)";

constexpr std::string_view kStat = R"(cpu  11287 0 6001 89638 318 0 100 7 0 0
cpu0 5198 0 2684 45687 50 0 37 3 0 0
cpu1 6088 0 3317 43951 268 0 62 4 0 0
ctxt 286676
)";

/// A stat line with the columns the kernel backend reads set and the others plausible.
std::string statLine(int pid, std::string_view comm, char state, unsigned utime, unsigned stime, unsigned startTime) {
    return std::to_string(pid) + " (" + std::string(comm) + ") " + state + " 1 1 1 0 -1 0 0 0 0 0 " +
           std::to_string(utime) + " " + std::to_string(stime) + " 0 0 20 0 1 0 " + std::to_string(startTime) +
           " 4096 10\n";
}

constexpr std::string_view kStatm = "22652 3476 1709 1 0 4138 0\n";
constexpr std::string_view kSchedstat = "167185993 140559519 138\n";

constexpr std::string_view kBashStat =
    "2834 (bash) S 2833 2834 2834 0 -1 4194560 3023 38643 0 87 4 12 94 126 20 0 1 0 30811 5124096 982 "
    "18446744073709551615 94186723962880 94186724752285 140734841556368 0 0 0 65536 4 1132560123 1 0 0 17 1 0 "
    "0 0 0 0 94186724985584 94186725033828 94187134005248 140734841563962 140734841563977 140734841563977 "
    "140734841565162 0\n";

/// The stored text with its first `from` replaced by `to`.
std::string with(std::string_view text, std::string_view from, std::string_view to) {
    return std::string(text).replace(text.find(from), from.size(), to);
}

// A thread that named itself "w) (x y)" and then spun for a while.
const std::string kOddNameStat = with(with(kBashStat, "(bash) S", "(w) (x y)) R"), " 4 12 94 126 ", " 251 19 16 17 ");

// The fields of the stored files are read, exactly, by the kernel backend's tests.
TEST(ProcParsers, ReadTheirNumbersOptionalFieldsAndOddNames) {
    EXPECT_EQ(parseMeminfo(with(kMeminfo, "Zswap:               752 kB\n", "")).value().zswap, std::nullopt);
    EXPECT_TRUE(parseStatCpu("cpu  1 2 3 4 5 6 7 8\n"));  // exactly eight columns are enough
    EXPECT_EQ(parseStatm("18446744073709551615 1\n").value().size, 18446744073709551615u);  // the largest, exactly

    const struct { std::string text; std::uint64_t utime, stime; std::string_view comm; char state; } stats[] = {
        {kOddNameStat, 251, 19, "w) (x y)", 'R'},
        {with(kBashStat, "bash", "ba\nsh 1 2 3"), 4, 12, "ba\nsh 1 2 3", 'S'},  // even a newline
    };
    for (const auto& s : stats) {
        const auto t = parseTaskStat(s.text);
        ASSERT_TRUE(t) << s.comm;
        EXPECT_EQ(std::tuple(t->utime, t->stime, t->startTime, t->comm, t->state),
                  std::tuple(s.utime, s.stime, 30811u, s.comm, s.state));
    }
}

TEST(ProcParsers, RejectBrokenText) {
    // The stored bash line up to its utime.
    const auto bash = [](std::string_view tail) { return std::string(kBashStat.substr(0, 57)) + std::string(tail); };
    const std::pair<std::function<bool(std::string_view)>, std::vector<std::string>> cases[] = {
        {[](std::string_view s) { return parseMeminfo(s).has_value(); },
         {with(kMeminfo, "KernelStack:        2020 kB\n", ""), "", "\n\n:::\n", with(kMeminfo, "24489024", "2448x024"),
          with(kMeminfo, "24489024", "99999999999999999999999"), with(kMeminfo, "24489024", "-1"),
          with(kMeminfo, "2020 kB", "2020 MB")}},
        // A per-CPU line is never taken for the total.
        {[](std::string_view s) { return parseStatCpu(s).has_value(); },
         {"", "cpu0 5198 0 2684 45687 50 0 37 3 0 0\n", "cpu  11287 0 6001 89638 318 0 100\n",
          "cpu  11287 0 6001 89638x 318 0 100 7 0 0\n", "cpu  11287 0 6001 -5 318 0 100 7 0 0\n"}},
        {[](std::string_view s) { return parseStatm(s).has_value(); },
         {"22652\n", "22652 34x6 1709\n", " 22652 3476\n", "18446744073709551616 1\n"}},
        {[](std::string_view s) { return parseSchedstatRunTime(s).has_value(); }, {"16718x993 1 1\n", "\n"}},
        {[](std::string_view s) { return parseSmapsRollupPssKb(s).has_value(); }, {"Rss:  4 kB\nPss_Anon:  12 kB\n"}},
        {[](std::string_view s) { return forEachChildPid(s, [](std::uint32_t) {}); }, {"12 x", "99999999999"}},
        {[](std::string_view s) { return parseTaskStat(s).has_value(); },
         {"", "2834 bash S 2833\n", bash(" 4 12 94 126 20 0 1 0 30811\n").substr(5), bash(" 4 12 94 126 20 0 1 0\n"),
          bash(" 4x 12 94 126 20 0 1 0 3\n"), bash("  4 12 94 126 20 0 1 0 3\n")}},
    };
    for (const auto& [parses, texts] : cases)
        for (const auto& text : texts) EXPECT_FALSE(parses(text)) << text.substr(0, 60);
}

// A short read can cut a file anywhere. Every cut must either fail or give exactly what the whole
// text gives (the fields named, or the number): a number cut in two must never be read as a smaller one.
template <typename Parse, typename... Field>
void expectEveryCutFailsOrAgrees(std::string_view text, Parse parse, Field... field) {
    const auto read = [&](std::string_view s) {
        const auto r = parse(s);
        if constexpr (sizeof...(Field) == 0) return r;
        else return r ? std::optional(std::tuple((*r).*field...)) : std::nullopt;
    };
    const auto whole = read(text);
    ASSERT_TRUE(whole);
    for (std::size_t length = 0; length < text.size(); ++length) {
        const auto part = read(std::string(text.substr(0, length)));  // own buffer, so ASan sees any overread
        EXPECT_TRUE(!part || *part == *whole) << "cut after " << length << " characters";
    }
}

TEST(ProcParsers, TruncatedTextFailsOrAgreesWithTheWhole) {
    using C = CpuTicks;
    using M = MeminfoKb;
    expectEveryCutFailsOrAgrees(kStat, parseStatCpu, &C::user, &C::nice, &C::system, &C::idle, &C::iowait, &C::irq,
                                &C::softirq, &C::steal);
    expectEveryCutFailsOrAgrees(kMeminfo, parseMeminfo, &M::memFree, &M::active, &M::inactive, &M::unevictable,
                                &M::sUnreclaim, &M::kernelStack, &M::pageTables, &M::zswap);
    expectEveryCutFailsOrAgrees(kStatm, parseStatm, &StatmPages::size, &StatmPages::resident);
    expectEveryCutFailsOrAgrees(kSchedstat, parseSchedstatRunTime);
    expectEveryCutFailsOrAgrees(kOddNameStat, parseTaskStat, &TaskStat::utime, &TaskStat::stime, &TaskStat::startTime);
}

const std::uint64_t kTicksPerSecond = static_cast<std::uint64_t>(::sysconf(_SC_CLK_TCK));

/// The threads a task lists, sorted, with the list handed back.
std::vector<ThreadPort> threadsOf(LinuxKernel& kernel, TaskPort task, KernReturn expected = kKernSuccess) {
    ThreadPort* list = nullptr;
    std::uint32_t count = 0;
    EXPECT_EQ(kernel.taskThreads(task, &list, &count), expected);
    if (expected != kKernSuccess) return {};
    std::vector<ThreadPort> out(list, list + count);
    EXPECT_EQ(kernel.vmDeallocate(list, count * sizeof(ThreadPort) - 1), kKernInvalidArgument);
    EXPECT_EQ(kernel.vmDeallocate(list, count * sizeof(ThreadPort)), kKernSuccess);
    EXPECT_EQ(kernel.vmDeallocate(list, count * sizeof(ThreadPort)), kKernInvalidArgument);  // not twice
    std::sort(out.begin(), out.end());
    return out;
}

TEST(LinuxKernel, FoldsHostFiguresExactly) {
    TempDirectory proc;
    proc.write("meminfo", kMeminfo);
    proc.write("stat", kStat);
    proc.write("self/statm", kStatm);
    LinuxKernel kernel(proc.path());
    const auto pages = [&](std::uint64_t kb) { return static_cast<std::uint32_t>(kb * 1024 / kernel.pageSize()); };

    VmStatistics64 vm;
    ASSERT_EQ(kernel.hostVmInfo64(vm), kKernSuccess);
    // Wired: Unevictable + SUnreclaim + KernelStack + PageTables.
    EXPECT_EQ(std::tuple(vm.freeCount, vm.activeCount, vm.inactiveCount, vm.wireCount, vm.compressorPageCount),
              std::tuple(pages(24489024), pages(31044), pages(30384), pages(16360 + 22756 + 2020 + 1768), pages(752)));

    HostCpuLoadInfo load;
    ASSERT_EQ(kernel.hostCpuLoadInfo(load), kKernSuccess);
    // User; system + irq + softirq + steal; idle + iowait; nice.
    EXPECT_EQ(std::to_array(load.cpuTicks), (std::array<std::uint32_t, 4>{11287, 6001 + 0 + 100 + 7, 89638 + 318, 0}));
    // Counters past 2^32 are kept modulo 2^32, read again through the kept descriptor.
    proc.write("stat", "cpu  4294967301 1 2 3 4 5 6 7 0 0\n");
    ASSERT_EQ(kernel.hostCpuLoadInfo(load), kKernSuccess);
    EXPECT_EQ(load.cpuTicks[HostCpuLoadInfo::kUser], 5u);

    TaskBasicInfo task;
    ASSERT_EQ(kernel.taskBasicInfo(kTaskSelf, task), kKernSuccess);
    EXPECT_EQ(task.residentSize, 3476 * static_cast<std::uint64_t>(kernel.pageSize()));
    proc.write("meminfo", "MemFree: 1 kB\n");
    EXPECT_EQ(kernel.hostVmInfo64(vm), kKernFailure);
}

TEST(LinuxKernel, ThreadSharesSinceTheirPreviousReading) {
    TempDirectory proc;
    // Thread 7 has schedstat; thread 9's reads zero, so its stat ticks count instead.
    proc.write("self/task/7/schedstat", "2000000000 0 1\n");
    proc.write("self/task/7/stat", statLine(7, "main", 'R', 0, 0, 1 * kTicksPerSecond));
    proc.write("self/task/9/schedstat", "0 0 0\n");
    proc.write("self/task/9/stat", statLine(9, "worker", 'S', kTicksPerSecond / 4, kTicksPerSecond / 4, 2 * kTicksPerSecond));
    std::int64_t nowNs = 5'000'000'000;
    LinuxKernel kernel(proc.path(), [&] { return nowNs; });

    ASSERT_EQ(threadsOf(kernel, kTaskSelf), (std::vector<ThreadPort>{7, 9}));
    ThreadBasicInfo info;
    const auto usage = [&](ThreadPort t) { return kernel.threadBasicInfo(t, info) == kKernSuccess ? info.cpuUsage : -1; };
    // First sight: the lifetime average, 2 s of 4 s and 0.5 s of 3 s.
    EXPECT_EQ(std::pair(usage(7), usage(9)), std::pair(500, 167));

    // One second later: 0.25 s and 0.5 s more.
    nowNs += 1'000'000'000;
    proc.write("self/task/7/schedstat", "2250000000 0 2\n");
    proc.write("self/task/9/stat", statLine(9, "worker", 'S', kTicksPerSecond / 2, kTicksPerSecond / 2, 2 * kTicksPerSecond));
    ASSERT_EQ(threadsOf(kernel, kTaskSelf).size(), 2u);
    EXPECT_EQ(std::pair(usage(7), usage(9)), std::pair(250, 500));
    EXPECT_EQ(usage(9), 0);  // no time passed: no share

    // A thread no longer listed is forgotten; one listed but gone before it is read is a failure.
    std::filesystem::remove_all(proc / "self/task/9");
    proc.write("self/task/11/stat", statLine(11, "gone", 'R', 0, 0, 1));
    ASSERT_EQ(threadsOf(kernel, kTaskSelf), (std::vector<ThreadPort>{7, 11}));
    EXPECT_EQ(kernel.threadBasicInfo(9, info), kKernFailure);
    EXPECT_EQ(kernel.threadBasicInfo(11, info), kKernFailure);
}

TEST(LinuxKernel, TargetTaskIsItsProcessOrItsTreeUntilItExits) {
    TempDirectory proc;
    const auto process = [&](int pid, std::vector<int> tids, const char* statm, int pssKb, unsigned start) {
        proc.write(std::to_string(pid) + "/stat", statLine(pid, "app", 'S', 0, 0, start));
        proc.write(std::to_string(pid) + "/statm", statm);
        proc.write(std::to_string(pid) + "/smaps_rollup", "Rss: 1 kB\nPss: " + std::to_string(pssKb) + " kB\n");
        for (const int tid : tids) proc.write(std::to_string(pid) + "/task/" + std::to_string(tid) + "/children", "");
    };
    process(50, {50}, "100 40 0\n", 120, 300);
    process(60, {60, 61}, "100 10 0\n", 30, 400);
    process(70, {70}, "10 5 0\n", 4, 500);
    proc.write("50/task/50/children", "60 ");
    proc.write("60/task/61/children", "70\n");
    LinuxKernel kernel(proc.path());
    const std::uint64_t page = static_cast<std::uint64_t>(kernel.pageSize());

    TaskPort task = 0, tree = 0;
    EXPECT_EQ(kernel.taskForPid({50, 301}, false, &task), kKernTerminated);  // the pid names a newer process
    EXPECT_EQ(kernel.taskForPid({51, 300}, false, &task), kKernTerminated);
    ASSERT_EQ(kernel.taskForPid({50, 300}, false, &task), kKernSuccess);
    ASSERT_EQ(kernel.taskForPid({50, 300}, true, &tree), kKernSuccess);

    TaskBasicInfo basic;
    TaskVmInfo vm;
    const auto resident = [&](TaskPort t) { return kernel.taskBasicInfo(t, basic) == kKernSuccess ? basic.residentSize : 0; };
    EXPECT_EQ(threadsOf(kernel, task), (std::vector<ThreadPort>{50}));
    EXPECT_EQ(resident(task), 40 * page);
    EXPECT_EQ(threadsOf(kernel, tree), (std::vector<ThreadPort>{50, 60, 61, 70}));
    EXPECT_EQ(resident(tree), (40 + 10 + 5) * page);
    ASSERT_EQ(kernel.taskVmInfo(tree, vm), kKernSuccess);
    EXPECT_EQ(vm.physFootprint, (120 + 30 + 4) * 1024u);

    // The tree is found afresh: 60 left it (and took 70 along).
    proc.write("50/task/50/children", "");
    EXPECT_EQ(threadsOf(kernel, tree), (std::vector<ThreadPort>{50}));
    EXPECT_EQ(resident(tree), 40 * page);

    // The process exits (a zombie not yet reaped): every query of both tasks says so.
    proc.write("50/stat", statLine(50, "app", 'Z', 0, 0, 300));
    for (const TaskPort t : {task, tree}) {
        EXPECT_EQ(kernel.taskBasicInfo(t, basic), kKernTerminated);
        EXPECT_EQ(kernel.taskVmInfo(t, vm), kKernTerminated);
        threadsOf(kernel, t, kKernTerminated);
        EXPECT_EQ(kernel.taskRelease(t), kKernSuccess);
        EXPECT_EQ(kernel.taskRelease(t), kKernInvalidArgument);
    }
    EXPECT_EQ(kernel.taskRelease(kTaskSelf), kKernInvalidArgument);
}

TEST(ProcessList, ReadsEachRunningProcessAndFindsOneByPidOrName) {
    TempDirectory proc;
    const auto process = [&](int pid, const char* comm, char state, unsigned start, std::string_view cmdline) {
        proc.write(std::to_string(pid) + "/stat", statLine(pid, comm, state, 0, 0, start));
        proc.write(std::to_string(pid) + "/statm", "100 25 0\n");
        proc.write(std::to_string(pid) + "/cmdline", cmdline);
    };
    process(30, "kworker/0:1", 'I', 5, "");
    process(41, "app", 'S', 900, std::string_view("/usr/bin/app\0--new\0", 19));
    process(52, "app", 'S', 700, std::string_view("/usr/bin/app\0--old\0", 19));
    process(63, "python3", 'R', 800, std::string_view("/opt/tools/builder.py\0-j\0", 25));
    process(74, "app", 'Z', 100, "");  // exited: never listed, never found
    proc.write("self/stat", statLine(1, "self", 'S', 0, 0, 1));

    const std::vector<ProcessInfo> running = LinuxProcessList(proc.path()).processes();
    ASSERT_EQ(running.size(), 4u);
    const ProcessInfo& old = running[2];
    EXPECT_EQ(std::tuple(old.identity, old.commandLine, old.user, old.residentBytes),
              std::tuple(ProcessIdentity{52, 700}, "/usr/bin/app --old", ::getpwuid(::getuid())->pw_name,
                         25u * static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE))));

    // The pid found (0: none): the oldest of several, argv[0]'s last part, the kernel's name, a pid; never a
    // zombie, a path or part of a name.
    const std::pair<const char*, Pid> cases[] = {{"app", 52}, {"builder.py", 63}, {"python3", 63}, {"41", 41},
                                                 {"74", 0}, {"/usr/bin/app", 0}, {"ap", 0}, {"", 0}};
    for (const auto& [target, pid] : cases) {
        const auto found = findProcess(running, target);
        EXPECT_EQ(found ? found->identity.pid : 0, pid) << target;
    }
}

// With hidepid another user's process is not listed; its pid is told apart from no process at all. Checked as
// a user other than init's (root), in a child process.
TEST(ProcessList, APidOfAnotherUsersProcessIsHiddenNotMissing) {
    const auto check = [] {
        if (::geteuid() == 0 && ::setuid(65534) != 0) std::_Exit(2);
        LinuxProcessList list;
        std::_Exit(list.hiddenFromUs("1") && !list.hiddenFromUs(std::to_string(::getpid())) &&
                           !list.hiddenFromUs("2147483647") && !list.hiddenFromUs("init") ? 0 : 1);
    };
    EXPECT_EXIT(check(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace perfagent
