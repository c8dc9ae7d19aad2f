// The proc file system's parsers, the proc source and the process list, over stored files or a written tree.
#include "platform/linux_proc.hpp"
#include "platform/proc_parsers.hpp"
#include "platform/processes.hpp"
#include "probes/cpu.hpp"
#include "support/temp_directory.hpp"

#include <gtest/gtest.h>

#include <pwd.h>
#include <sys/resource.h>
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

constexpr std::string_view kStat = R"(cpu  11287 3 6001 89638 318 11 100 7 0 0
cpu0 5198 0 2684 45687 50 0 37 3 0 0
cpu1 6088 0 3317 43951 268 0 62 4 0 0
ctxt 286676
)";

/// A stat line with the columns the agent reads set and the others plausible.
std::string statLine(int pid, std::string_view comm, char state, unsigned utime, unsigned stime, unsigned startTime) {
    return std::to_string(pid) + " (" + std::string(comm) + ") " + state + " 1 1 1 0 -1 0 0 0 0 0 " +
           std::to_string(utime) + " " + std::to_string(stime) + " 0 0 20 0 1 0 " + std::to_string(startTime) +
           " 4096 10\n";
}

constexpr std::string_view kStatm = "22652 3476 1709 1 0 4138 0\n";

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

// The fields of the stored files are read, exactly, by the proc source's tests.
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
    expectEveryCutFailsOrAgrees(kOddNameStat, parseTaskStat, &TaskStat::utime, &TaskStat::stime, &TaskStat::startTime);
}

const std::uint64_t kTicksPerSecond = static_cast<std::uint64_t>(::sysconf(_SC_CLK_TCK));
const std::uint64_t kPage = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));

TEST(LinuxProc, ReadsTheHostInItsOwnUnitsAndFoldsTheTicks) {
    TempDirectory proc;
    proc.write("meminfo", kMeminfo);
    proc.write("stat", kStat);
    proc.write("self/statm", kStatm);
    proc.write("self/stat", statLine(1, "agent", 'S', 3 * kTicksPerSecond, kTicksPerSecond / 2, 1));
    LinuxProc source(proc.path(), [] { return 7; });

    const SystemReading host = source.readSystem();
    ASSERT_TRUE(host.ticks && host.memory);
    const SystemMemory m = systemMemoryOf(host.memory, 1.0);
    // Wired: Unevictable + SUnreclaim + KernelStack + PageTables; compressed: Zswap.
    EXPECT_EQ(std::tuple(m.free, m.active, m.inactive, m.wired, m.compressed),
              std::tuple(24489024 * 1024.0, 31044 * 1024.0, 30384 * 1024.0, (16360 + 22756 + 2020 + 1768) * 1024.0, 752 * 1024.0));
    // User; system + irq + softirq + steal; idle + iowait; nice; the interval since boot.
    const double total = 11287 + 3 + 6001 + 89638 + 318 + 11 + 100 + 7;
    const SystemCpu c = cpuShares({}, *host.ticks);
    EXPECT_EQ(std::tuple(c.user, c.system, c.idle, c.nice),
              std::tuple(11287 / total * 100, (6001 + 11 + 100 + 7) / total * 100, (89638 + 318) / total * 100, 3 / total * 100));
    // Counters past 2^32 stay whole, read again through the kept descriptor.
    proc.write("stat", "cpu  4294967301 1 2 3 4 5 6 7 0 0\n");
    EXPECT_EQ(source.readSystem().ticks.value().user, 4294967301u);

    const auto self = source.open({}, false);
    ASSERT_TRUE(self);
    const auto reading = (*self)->read();
    ASSERT_TRUE(reading);
    EXPECT_EQ(std::tuple(reading->cpuNs, reading->residentBytes, reading->atNs), std::tuple(3'500'000'000u, 3476 * kPage, 7));
    proc.write("meminfo", "MemFree: 1 kB\n");
    EXPECT_FALSE(source.readSystem().memory);
}

/// Writes a process: its stat line (CPU time in ticks), statm and the children file of each thread.
void writeProcess(TempDirectory& proc, int pid, std::vector<int> tids, const char* statm, unsigned start,
                  unsigned ticks = 0, char state = 'S') {
    proc.write(std::to_string(pid) + "/stat", statLine(pid, "app", state, ticks, 0, start));
    proc.write(std::to_string(pid) + "/statm", statm);
    for (const int tid : tids) proc.write(std::to_string(pid) + "/task/" + std::to_string(tid) + "/children", "");
}

TEST(LinuxProc, AProcessOrItsTreeUntilItExitsAndAnUnreadableDescendantIsSkipped) {
    TempDirectory proc;
    writeProcess(proc, 50, {50}, "100 40 0\n", 300, 100);
    writeProcess(proc, 60, {60, 61}, "100 10 0\n", 400, 20);
    writeProcess(proc, 70, {70}, "10 5 0\n", 500, 3);
    proc.write("50/task/50/children", "60 ");
    proc.write("60/task/61/children", "70\n");
    LinuxProc source(proc.path());
    const auto ns = [](std::uint64_t ticks) { return ticks * 1'000'000'000 / kTicksPerSecond; };

    for (const ProcessIdentity absent : {ProcessIdentity{50, 301}, ProcessIdentity{51, 300}})  // a newer process; none
        EXPECT_EQ(source.open(absent, false).error().code, std::errc::no_such_process);
    auto single = source.open({50, 300}, false);
    auto tree = source.open({50, 300}, true);
    ASSERT_TRUE(single && tree);
    const auto read = [](auto& handle) { return (*handle)->read().value(); };
    EXPECT_EQ(std::pair(read(single).cpuNs, read(single).residentBytes), std::pair(ns(100), 40 * kPage));
    EXPECT_EQ(std::pair(read(tree).cpuNs, read(tree).residentBytes), std::pair(ns(123), 55 * kPage));

    // 70 cannot be read this time: the tree's figures are the rest's, not none.
    proc.write("70/statm", "?\n");
    proc.write("60/stat", statLine(60, "app", 'S', 30, 0, 400));
    EXPECT_EQ(std::pair(read(tree).cpuNs, read(tree).residentBytes), std::pair(ns(133), 50 * kPage));
    proc.write("70/statm", "10 5 0\n");  // readable again: its time is not counted twice
    EXPECT_EQ(std::pair(read(tree).cpuNs, read(tree).residentBytes), std::pair(ns(133), 55 * kPage));
    // The tree is found afresh: 60 left it (and took 70 along); what they used stays counted.
    proc.write("50/task/50/children", "");
    writeProcess(proc, 50, {50}, "100 40 0\n", 300, 110);
    EXPECT_EQ(std::pair(read(tree).cpuNs, read(tree).residentBytes), std::pair(ns(143), 40 * kPage));

    // The process exits (a zombie not yet reaped): both handles say so.
    writeProcess(proc, 50, {50}, "100 40 0\n", 300, 110, 'Z');
    for (auto* handle : {&single, &tree}) EXPECT_EQ((**handle)->read().error().code, std::errc::no_such_process);
}

TEST(LinuxProc, KeptDescriptorsStayWithinTheirShareAndCloseWithTheHandle) {
    rlimit limit{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
    const rlimit lowered{std::min<rlim_t>(limit.rlim_max, 256), limit.rlim_max};
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
    EXPECT_EQ(raiseDescriptorLimit(), limit.rlim_max == RLIM_INFINITY ? lowered.rlim_cur : limit.rlim_max);

    TempDirectory proc;
    writeProcess(proc, 50, {50}, "100 40 0\n", 300);
    writeProcess(proc, 60, {60}, "100 10 0\n", 400);
    writeProcess(proc, 70, {70}, "10 5 0\n", 500);
    proc.write("50/task/50/children", "60 70");
    KeptDescriptors kept(3);
    LinuxProc source(proc.path(), {}, &kept);
    {
        auto tree = source.open({50, 300}, true);
        ASSERT_TRUE(tree);
        for (int i = 0; i < 2; ++i) {
            const auto reading = (*tree)->read();
            ASSERT_TRUE(reading);
            EXPECT_EQ(reading->residentBytes, 55 * kPage);  // read all the same
            EXPECT_EQ(kept.used(), 3u);
            EXPECT_EQ((*tree)->unkept(), 2u);  // the first process keeps both of its files
        }
    }
    EXPECT_EQ(kept.used(), 0u);
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
