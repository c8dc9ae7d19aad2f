#pragma once

#include "platform/kernel.hpp"
#include "platform/unique_fd.hpp"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace perfagent {

/// @brief The kernel facade on Linux, read from a proc file system and sysconf.
///
/// - Page size and physical memory: sysconf, read once when built.
/// - Tasks: the agent's own is <proc>/self; taskForPid names <proc>/<pid>, checked against the start
///   time (stat field 22) so a reused pid is refused, and kept by open descriptors, which the kernel
///   ties to that one process. A tree task adds every descendant, found afresh by each taskThreads
///   through the threads' `children` files (a kernel without them sees the first process only). A task whose process exited (or is a zombie) answers
///   kKernTerminated from then on.
/// - Resident size: statm resident pages × page size, summed over the task's processes; footprint:
///   the Pss line of smaps_rollup, likewise.
/// - Page counts, from meminfo: free = MemFree, active = Active, inactive = Inactive,
///   wired = Unevictable + SUnreclaim + KernelStack + PageTables (memory that cannot be paged out),
///   compressed = Zswap (0 when the kernel has no zswap); each saturates at 2^32 - 1 pages.
/// - Host ticks, from the "cpu " line of stat: user = user; system = system + irq + softirq +
///   steal; idle = idle + iowait; nice = nice; each kept modulo 2^32, as a 32-bit kernel counter is.
/// - Threads: the ids under <process>/task stand in for thread ports.
/// - Thread usage: the thread's CPU time (schedstat run time in ns, or utime + stime from its stat
///   line where schedstat reads zero) as a share of one CPU, in thousandths, over the wall time since
///   this backend last read that thread. A thread read for the first time gets its lifetime average:
///   CPU time over the time since it started (stat start time against CLOCK_BOOTTIME, the clock that
///   start time counts on). Usage is capped at one full CPU; the idle flag is never set. A thread that
///   is gone by the time it is read is a failed query.
///
/// Every file read each sample is opened once and read with pread from offset 0 into one reused
/// buffer; descriptors of threads and processes no longer listed are closed at the next listing.
/// On the host's own proc file system each listing also reads every process's CPU clock (its threads'
/// run time, living and exited, in ns). A process whose clock has not moved since the previous
/// listing ran no thread in between, so it cannot have started or ended one: its previous thread list
/// stands, and each of its threads read under that listing reads 0 without its file being read. A tree
/// none of whose processes ran keeps its previous walk as well (a process that forks, exits or reaps
/// a child runs). Idle threads, the most of a big app's, then cost no file read. A process that ran
/// but whose thread count (its task directory's link count) matches its kept list, each thread of which
/// was read under the previous listing and reads still, keeps the list too without reading the directory.
/// Not thread-safe: each instance serves one thread (the probes' on the main thread, the push route's
/// on the network thread).
class LinuxKernel final : public Kernel {
public:
    /// `procRoot`: where the proc file system is (tests pass a directory of stored files);
    /// `boottimeNs`: CLOCK_BOOTTIME in ns, the host's unless given.
    explicit LinuxKernel(std::string procRoot = "/proc", std::function<std::int64_t()> boottimeNs = {});
    ~LinuxKernel() override;
    LinuxKernel(const LinuxKernel&) = delete;
    LinuxKernel& operator=(const LinuxKernel&) = delete;

    double pageSize() const override { return pageSize_; }
    double physicalMemory() const override { return physicalMemory_; }

    KernReturn taskForPid(ProcessIdentity process, bool withDescendants, TaskPort* task) override;
    KernReturn taskRelease(TaskPort task) override;
    KernReturn taskBasicInfo(TaskPort task, TaskBasicInfo& info) override;
    KernReturn taskVmInfo(TaskPort task, TaskVmInfo& info) override;
    KernReturn hostVmInfo64(VmStatistics64& info) override;
    KernReturn hostCpuLoadInfo(HostCpuLoadInfo& info) override;
    KernReturn taskThreads(TaskPort task, ThreadPort** list, std::uint32_t* count) override;
    /// Accepts only a list this backend handed out, with its exact size in bytes; anything else is
    /// refused with kKernInvalidArgument and nothing is freed.
    KernReturn vmDeallocate(void* address, std::size_t size) override;
    KernReturn threadBasicInfo(ThreadPort thread, ThreadBasicInfo& info) override;

private:
    /// One process of a task; pid 0 is the agent's own ("self").
    struct Member {
        Pid pid = 0;
        UniqueFd statm;
        UniqueFd smaps;
        UniqueDir taskDir;
        std::vector<ThreadPort> tids;  ///< its latest thread list
        std::uint64_t cpuNs = 0;       ///< its CPU clock at that listing
        std::uint64_t listedAt = 0;    ///< that listing; 0: none with a clock reading
        bool still = false;            ///< its clock has not moved since: the list stands
        bool readUnderLast = false;    ///< each thread of that list was read under that listing
    };
    struct Task {
        TaskPort port = kTaskSelf;
        bool tree = false;
        bool terminated = false;
        bool walked = false;
        UniqueFd stat;                ///< the first process's stat line, for its liveness
        std::vector<Member> members;  ///< the first is the process the task was made for
    };
    struct Thread {
        ThreadPort tid = 0;
        Pid pid = 0;
        TaskPort task = kTaskSelf;
        std::uint64_t listing = 0;  ///< the listing that last saw it
        bool ticks = false;         ///< cpuFd is the stat line (schedstat reads zero on this kernel)
        bool read = false;          ///< cpuNs/atNs hold a reading
        bool still = false;         ///< its process ran no thread since its previous reading
        std::uint64_t readAt = 0;   ///< the listing under which it was last read
        std::uint64_t readIn = 0;   ///< the listing that read its CPU time, into readNs, for the next reading
        std::uint64_t readNs = 0;
        UniqueFd cpuFd;
        UniqueFd children;
        std::uint64_t cpuNs = 0;
        std::int64_t atNs = 0;
    };
    struct OutstandingList {
        ThreadPort* address;
        std::uint32_t count;
    };

    Task* findTask(TaskPort port);
    KernReturn checkAlive(Task& task);
    /// Calls `read(member)` for each process of the task and answers for the task: the first
    /// process's failure is the task's, a descendant's is skipped (it has exited), a denial is final.
    template <typename Read>
    KernReturn readMembers(TaskPort port, Read&& read);
    KernReturn listTask(Task& task);
    void listMember(Task& task, Member& member, std::size_t& firstThread);
    /// Reads the CPU clock of every process of the task; true when none has moved since the previous
    /// listing, each of whose threads was read under it.
    bool markStill(Task& task);
    /// True when the process still has as many threads as its kept list, each read under the previous
    /// listing and read again now (the reading kept for threadBasicInfo).
    bool keptThreadsStand(Member& member);
    /// Lists the kept threads of a process again; `still`: it ran none of them since the previous listing.
    void listKept(Task& task, Member& member, bool still);
    Thread* findThread(ThreadPort tid);
    Thread& threadEntry(ThreadPort tid, Pid pid, TaskPort task);
    bool readThreadCpu(Thread& thread, std::uint64_t& cpuNs);
    bool readStartTicks(const Thread& thread, std::uint64_t& startTicks);
    /// Reads a kept file, opening it on first use. Once its process or thread is gone the descriptor
    /// reads nothing, even when the path names a newer one by then.
    std::string_view readKept(UniqueFd& fd, const char* path);
    std::string_view readOnce(const char* path);
    /// Reads a whole proc file from offset 0 into the reused buffer; empty on failure.
    std::string_view readFd(int fd);
    static int openFile(const char* path);
    const char* path(Pid pid, std::string_view leaf, ThreadPort tid = 0);
    std::uint64_t ticksToNs(std::uint64_t ticks) const;

    std::string procRoot_;
    std::function<std::int64_t()> boottimeNs_;
    double pageSize_;
    double physicalMemory_;
    std::uint64_t pageBytes_;
    std::uint64_t clockTicksPerSecond_;
    bool hostClocks_;  ///< process CPU clocks read the processes procRoot_ lists

    UniqueFd meminfo_;
    UniqueFd stat_;
    std::vector<Task> tasks_;  ///< the own task first
    TaskPort nextPort_ = 1;
    std::uint64_t listing_ = 0;

    std::vector<char> buffer_;          ///< reused for every file read
    std::string path_;                  ///< reused for every path built
    std::vector<Thread> threads_;       ///< sorted by tid
    std::vector<ThreadPort> listed_;    ///< the latest listing, kernel order
    std::vector<Pid> childPids_;        ///< scratch of the tree walk
    std::vector<OutstandingList> outstanding_;
};

}  // namespace perfagent
