#pragma once

#include "platform/proc_source.hpp"
#include "os/unique_fd.hpp"

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace perfagent {

/// Reads a whole proc or sysfs file from offset 0 into `buffer` (grown as needed, up to 1 MiB); empty on
/// failure.
std::string_view readWholeFile(int fd, std::vector<char>& buffer);

/// Raises the soft limit on open descriptors to the hard one; answers the soft limit then in force.
std::uint64_t raiseDescriptorLimit();

/// @brief Descriptors kept open for targets, counted across the agent against one limit, so that the
/// listener, timers and uploads always have theirs. A file that finds the budget spent is opened for
/// each reading instead.
class KeptDescriptors {
public:
    explicit KeptDescriptors(std::size_t limit) : limit_(limit) {}
    bool take();
    void giveBack() { used_.fetch_sub(1); }
    std::size_t used() const { return used_.load(); }

private:
    std::size_t limit_;
    std::atomic<std::size_t> used_{0};
};

/// @brief The proc file system as the samplers read it.
///
/// - The system: the "cpu " line of stat (ticks per state) and meminfo (kB), through kept descriptors.
/// - A process: its stat line, checked against the start time it was opened with (a reused pid is not
///   it) and not a zombie; its CPU time is its CPU clock on the host's proc (ns, every thread it has
///   had), else utime + stime of that line; resident bytes from statm. A tree adds every descendant,
///   found afresh at each reading through the threads' `children` files; its CPU time adds each
///   process's time since the previous reading (a new one's whole time), so processes that end take
///   nothing back. A descendant gone since the walk is skipped; the first process gone is the end.
/// - Each process keeps two descriptors (stat, statm) while the budget allows, closed with the handle.
///
/// Not thread-safe: each instance serves one thread; the budget is shared.
class LinuxProc final : public ProcSource {
public:
    /// `procRoot`: where the proc file system is (tests pass a directory of stored files);
    /// `monotonicNs`: the reading clock, the host's unless given; `kept`: the budget, the agent's unless given.
    explicit LinuxProc(std::string procRoot = "/proc", std::function<std::int64_t()> monotonicNs = {},
                       KeptDescriptors* kept = nullptr);

    double physicalMemory() const override { return physicalMemory_; }
    SystemReading readSystem() override;
    Result<std::unique_ptr<ProcessHandle>> open(ProcessIdentity process, bool tree) override;

    /// The budget of every instance that is given none: a quarter of the descriptor limit.
    static KeptDescriptors& agentBudget();

    // For the handles: reading files into one reused buffer, the paths, the clocks.
    /// "<root>/<pid|self>/<leaf>" or "<root>/<pid>/task/<tid>/<leaf>"
    const char* path(Pid pid, std::string_view leaf, Pid tid = 0);
    /// Reads a whole proc file from offset 0; empty on failure.
    std::string_view readFd(int fd);
    std::string_view readPath(const char* path);
    std::int64_t nowNs() const override { return monotonicNs_(); }
    std::uint64_t ticksToNs(std::uint64_t ticks) const;
    std::uint64_t pageBytes() const { return pageBytes_; }
    bool hostClocks() const { return hostClocks_; }
    KeptDescriptors& kept() { return kept_; }

private:
    std::string procRoot_;
    std::function<std::int64_t()> monotonicNs_;
    KeptDescriptors& kept_;
    double physicalMemory_;
    std::uint64_t pageBytes_;
    std::uint64_t clockTicksPerSecond_;
    bool hostClocks_;  ///< process CPU clocks read the processes procRoot_ lists
    UniqueFd meminfo_;
    UniqueFd stat_;
    std::vector<char> buffer_;
    std::string path_;
};

}  // namespace perfagent
