#pragma once

// Pure parsers for the /proc files the agent reads. They take the file's text and
// never do I/O, so they are tested on stored kernel output. A line counts only when it ends in a
// newline: text cut off by a short read is rejected rather than misread.

#include <cstdint>
#include <optional>
#include <string_view>

namespace perfagent {

/// @brief The /proc/meminfo lines the agent uses, in kB.
struct MeminfoKb {
    std::uint64_t memFree = 0;
    std::uint64_t active = 0;
    std::uint64_t inactive = 0;
    std::uint64_t unevictable = 0;
    std::uint64_t sUnreclaim = 0;
    std::uint64_t kernelStack = 0;
    std::uint64_t pageTables = 0;
    std::optional<std::uint64_t> zswap;  ///< absent on kernels built without zswap
};

/// Parses /proc/meminfo. Fails unless every field but Zswap is present as "<Key>: <n> kB".
std::optional<MeminfoKb> parseMeminfo(std::string_view text);

/// @brief The aggregate "cpu " line of /proc/stat: clock ticks (USER_HZ) since boot, all CPUs.
/// `user` includes guest time and `nice` guest_nice time, so guest columns are not read.
struct CpuTicks {
    std::uint64_t user = 0;
    std::uint64_t nice = 0;
    std::uint64_t system = 0;
    std::uint64_t idle = 0;
    std::uint64_t iowait = 0;
    std::uint64_t irq = 0;
    std::uint64_t softirq = 0;
    std::uint64_t steal = 0;
};

/// Parses the "cpu " line of /proc/stat. Fails when the line is missing or has fewer than 8 columns.
std::optional<CpuTicks> parseStatCpu(std::string_view text);

/// @brief /proc/<pid>/statm, in pages.
struct StatmPages {
    std::uint64_t size = 0;      ///< total program size
    std::uint64_t resident = 0;  ///< resident set size
};

/// Parses the first two columns of /proc/<pid>/statm.
std::optional<StatmPages> parseStatm(std::string_view text);

/// Calls `each` for every pid in /proc/<pid>/task/<tid>/children ("12 345 "). False on anything but
/// blank-separated decimals.
template <typename Each>
bool forEachChildPid(std::string_view text, Each&& each);

/// @brief Columns of /proc/<pid>/stat and /proc/<pid>/task/<tid>/stat, numbered as in proc(5).
enum class StatField : int {
    kPid = 1,          ///< process (thread) id
    kComm = 2,         ///< executable name in parentheses; may itself contain blanks and ')'
    kState = 3,        ///< one of "RSDZTtWXxKWP"
    kPpid = 4,         ///< parent's pid
    kPgrp = 5,         ///< process group id
    kSession = 6,      ///< session id
    kTtyNr = 7,        ///< controlling terminal
    kTpgid = 8,        ///< foreground process group of the terminal
    kFlags = 9,        ///< kernel flags word (PF_*)
    kMinflt = 10,      ///< minor faults
    kCminflt = 11,     ///< minor faults of waited-for children
    kMajflt = 12,      ///< major faults
    kCmajflt = 13,     ///< major faults of waited-for children
    kUtime = 14,       ///< time scheduled in user mode, clock ticks
    kStime = 15,       ///< time scheduled in kernel mode, clock ticks
    kCutime = 16,      ///< user time of waited-for children, clock ticks
    kCstime = 17,      ///< kernel time of waited-for children, clock ticks
    kPriority = 18,    ///< scheduling priority as the kernel sees it
    kNice = 19,        ///< nice value
    kNumThreads = 20,  ///< threads in the process
    kItrealvalue = 21, ///< always 0 since Linux 2.6.17
    kStartTime = 22,   ///< start time after boot, clock ticks
};

/// @brief The columns of a task's stat line the agent uses; times in clock ticks (_SC_CLK_TCK).
struct TaskStat {
    std::string_view comm;  ///< the name, without its parentheses; points into the parsed text
    char state = 0;
    std::uint64_t utime = 0;
    std::uint64_t stime = 0;
    std::uint64_t threads = 0;
    std::uint64_t startTime = 0;
};

/// True for the states of a process that has exited and is not yet reaped (Z) or being reaped (X).
inline bool hasExited(const TaskStat& stat) { return stat.state == 'Z' || stat.state == 'X'; }

/// Parses a task's stat line. The columns after the name are found from the last ')', since the name
/// may contain anything.
std::optional<TaskStat> parseTaskStat(std::string_view text);

template <typename Each>
bool forEachChildPid(std::string_view text, Each&& each) {
    std::uint32_t pid = 0;
    bool inNumber = false;
    for (const char c : text) {
        if (c >= '0' && c <= '9') {
            if (pid > 429496728u) return false;
            pid = pid * 10 + static_cast<std::uint32_t>(c - '0');
            inNumber = true;
        } else if (c == ' ' || c == '\n') {
            if (inNumber) each(pid);
            pid = 0;
            inNumber = false;
        } else {
            return false;
        }
    }
    if (inNumber) each(pid);
    return true;
}

}  // namespace perfagent

namespace perfagent {

// The files of the opt-in metric groups. Like the parsers above, each takes the file's text and does no I/O.

/// @brief The /proc/meminfo lines of the memory group, in kB.
struct MemoryAvailableKb {
    std::uint64_t available = 0;  ///< MemAvailable: what new work can take without swapping
    std::uint64_t swapTotal = 0;
    std::uint64_t swapFree = 0;
};
/// Parses MemAvailable, SwapTotal and SwapFree ("<Key>: <n> kB"); fails unless all three are there.
std::optional<MemoryAvailableKb> parseMemoryAvailable(std::string_view text);

/// @brief /proc/loadavg: the one-minute load average and the tasks running or runnable now.
struct LoadAverage {
    double oneMinute = 0;
    std::uint64_t running = 0;
};
/// Parses "0.26 0.79 1.31 3/136 8346\n".
std::optional<LoadAverage> parseLoadavg(std::string_view text);

/// Calls `each(name, received, sent)` (bytes) for every device line of /proc/net/dev. False when a line is
/// not in the file's form; the devices before it have been given.
template <typename Each> bool forEachNetDevice(std::string_view text, Each&& each);

/// @brief /proc/<pid>/io: bytes passed through the process's read and write calls (files, pipes, sockets).
struct ProcessIo {
    std::uint64_t readBytes = 0;     ///< rchar
    std::uint64_t writtenBytes = 0;  ///< wchar
};
std::optional<ProcessIo> parseProcessIo(std::string_view text);

/// A sysfs attribute holding one integer ("45000\n", "-1200\n", "37 %\n"): the integer, whatever blank
/// and unit follow it.
std::optional<std::int64_t> parseSysfsInteger(std::string_view text);

/// @brief One device line: its name and its two counters (bytes received and sent, or sectors read and
/// written).
struct DeviceLine {
    std::string_view name;
    std::uint64_t first = 0;
    std::uint64_t second = 0;
};
/// One line of /proc/net/dev after its two heading lines ("  eth0: 1 2 ..." with 16 columns).
std::optional<DeviceLine> parseNetDevLine(std::string_view line);
/// /sys/block/NAME/stat ("  282818 14246 12844746 262362 516926 ...\n", the columns of /proc/diskstats after
/// the name): sectors read and written, without a name.
std::optional<DeviceLine> parseBlockStat(std::string_view text);

template <typename Each>
bool forEachNetDevice(std::string_view text, Each&& each) {
    for (int skipped = 0; skipped < 2; ++skipped) {
        const std::size_t newline = text.find('\n');
        if (newline == std::string_view::npos) return false;
        text.remove_prefix(newline + 1);
    }
    for (std::size_t newline; (newline = text.find('\n')) != std::string_view::npos; text.remove_prefix(newline + 1)) {
        const auto device = parseNetDevLine(text.substr(0, newline));
        if (!device) return false;
        each(device->name, device->first, device->second);
    }
    return true;
}

}  // namespace perfagent
