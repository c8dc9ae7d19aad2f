#include "platform/linux_kernel.hpp"

#include "platform/proc_parsers.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <limits>
#include <new>
#include <string>

namespace perfagent {

namespace {

constexpr std::size_t kInitialBufferBytes = 4096;
constexpr std::size_t kMaxBufferBytes = 1 << 20;

bool deniedErrno() { return errno == EACCES || errno == EPERM; }

std::uint32_t saturatingPages(std::uint64_t kb, std::uint64_t pageBytes) {
    constexpr std::uint64_t kMaxPages = std::numeric_limits<std::uint32_t>::max();
    if (kb > std::numeric_limits<std::uint64_t>::max() / 1024) return kMaxPages;
    return static_cast<std::uint32_t>(std::min(kb * 1024 / pageBytes, kMaxPages));
}

std::int64_t hostBoottimeNs() {
    timespec ts{};
    ::clock_gettime(CLOCK_BOOTTIME, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

/// The run time of every thread the process has had, in ns: its CPU clock, which any process may
/// read. The clock id of another process is the kernel's encoding of its pid (~pid << 3 | 2, the
/// scheduler clock); glibc's clock_getcpuclockid would spend a syscall checking it each time.
bool processCpuNs(Pid pid, std::uint64_t& ns) {
    const clockid_t clock =
        pid == 0 ? CLOCK_PROCESS_CPUTIME_ID : static_cast<clockid_t>((~static_cast<std::uint32_t>(pid) << 3) | 2);
    timespec ts{};
    if (::clock_gettime(clock, &ts) != 0) return false;
    ns = static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000'000 + static_cast<std::uint64_t>(ts.tv_nsec);
    return true;
}

bool parseTid(const char* name, ThreadPort& tid) {
    const char* end = name + std::char_traits<char>::length(name);
    const auto result = std::from_chars(name, end, tid);
    return result.ec == std::errc() && result.ptr == end;
}

}  // namespace

LinuxKernel::LinuxKernel(std::string procRoot, std::function<std::int64_t()> boottimeNs)
    : procRoot_(std::move(procRoot)),
      boottimeNs_(boottimeNs ? std::move(boottimeNs) : hostBoottimeNs),
      hostClocks_(procRoot_ == "/proc") {
    const long page = ::sysconf(_SC_PAGESIZE);
    pageBytes_ = page > 0 ? static_cast<std::uint64_t>(page) : 4096;
    pageSize_ = static_cast<double>(pageBytes_);
    const long physicalPages = ::sysconf(_SC_PHYS_PAGES);
    physicalMemory_ = physicalPages > 0 ? static_cast<double>(physicalPages) * pageSize_ : 0.0;
    const long ticks = ::sysconf(_SC_CLK_TCK);
    clockTicksPerSecond_ = ticks > 0 ? static_cast<std::uint64_t>(ticks) : 100;

    buffer_.resize(kInitialBufferBytes);
    meminfo_.reset(openFile((procRoot_ + "/meminfo").c_str()));
    stat_.reset(openFile((procRoot_ + "/stat").c_str()));
    tasks_.emplace_back();
    tasks_.front().members.emplace_back();
}

LinuxKernel::~LinuxKernel() {
    for (const OutstandingList& list : outstanding_) delete[] list.address;
}

const char* LinuxKernel::path(Pid pid, std::string_view leaf, ThreadPort tid) {
    // "<root>/<pid|self>/<leaf>" or "<root>/<pid|self>/task/<tid>/<leaf>"
    char digits[16];
    path_.assign(procRoot_);
    if (pid == 0) {
        path_ += "/self";
    } else {
        path_ += '/';
        path_.append(digits, std::to_chars(digits, digits + sizeof digits, pid).ptr);
    }
    if (tid != 0) {
        path_ += "/task/";
        path_.append(digits, std::to_chars(digits, digits + sizeof digits, tid).ptr);
    }
    path_ += '/';
    path_ += leaf;
    return path_.c_str();
}

int LinuxKernel::openFile(const char* path) { return ::open(path, O_RDONLY | O_CLOEXEC); }

std::string_view LinuxKernel::readFd(int fd) {
    // procfs makes these files in one go, so one read returns all of it unless the buffer is too
    // small; then the buffer grows and the read is repeated. Empty on failure (no file read here is).
    if (fd < 0) return {};
    for (;;) {
        const ssize_t n = ::pread(fd, buffer_.data(), buffer_.size(), 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            return {};
        }
        if (static_cast<std::size_t>(n) < buffer_.size()) return std::string_view(buffer_.data(), static_cast<std::size_t>(n));
        if (buffer_.size() >= kMaxBufferBytes) return {};
        buffer_.resize(buffer_.size() * 2);
    }
}

std::string_view LinuxKernel::readKept(UniqueFd& fd, const char* path) {
    if (!fd) fd.reset(openFile(path));
    return readFd(fd.get());
}

std::string_view LinuxKernel::readOnce(const char* path) {
    const UniqueFd fd(openFile(path));
    return readFd(fd.get());
}

LinuxKernel::Task* LinuxKernel::findTask(TaskPort port) {
    const auto it = std::find_if(tasks_.begin(), tasks_.end(), [&](const Task& t) { return t.port == port; });
    return it == tasks_.end() ? nullptr : &*it;
}

KernReturn LinuxKernel::taskForPid(ProcessIdentity process, bool withDescendants, TaskPort* task) {
    if (task == nullptr || process.pid <= 0) return kKernInvalidArgument;
    Task made;
    made.tree = withDescendants;
    made.stat.reset(openFile(path(process.pid, "stat")));
    if (!made.stat) return deniedErrno() ? kKernProtectionFailure : kKernTerminated;
    const auto stat = parseTaskStat(readFd(made.stat.get()));
    if (!stat || stat->startTime != process.startTime || hasExited(*stat)) return kKernTerminated;

    Member& first = made.members.emplace_back();
    first.pid = process.pid;
    first.taskDir.reset(::opendir(path(process.pid, "task")));
    if (!first.taskDir) return deniedErrno() ? kKernProtectionFailure : kKernTerminated;
    first.statm.reset(openFile(path(process.pid, "statm")));
    if (!first.statm) return deniedErrno() ? kKernProtectionFailure : kKernTerminated;

    made.port = nextPort_++;
    *task = made.port;
    tasks_.push_back(std::move(made));
    return kKernSuccess;
}

KernReturn LinuxKernel::taskRelease(TaskPort port) {
    const auto it = std::find_if(tasks_.begin() + 1, tasks_.end(), [&](const Task& t) { return t.port == port; });
    if (it == tasks_.end()) return kKernInvalidArgument;
    tasks_.erase(it);
    std::erase_if(threads_, [&](const Thread& t) { return t.task == port; });
    return kKernSuccess;
}

KernReturn LinuxKernel::checkAlive(Task& task) {
    if (task.port == kTaskSelf) return kKernSuccess;
    if (!task.terminated) {
        // The kept descriptor names the process it was opened for: once that one is reaped, it reads
        // nothing, even when its pid already names another process.
        const auto stat = parseTaskStat(readFd(task.stat.get()));
        task.terminated = !stat || hasExited(*stat);
    }
    return task.terminated ? kKernTerminated : kKernSuccess;
}

template <typename Read>
KernReturn LinuxKernel::readMembers(TaskPort port, Read&& read) {
    Task* task = findTask(port);
    if (task == nullptr) return kKernInvalidArgument;
    if (const KernReturn alive = checkAlive(*task); alive != kKernSuccess) return alive;
    if (task->tree && !task->walked) {
        if (const KernReturn listed = listTask(*task); listed != kKernSuccess) return listed;
    }
    for (Member& member : task->members) {
        const bool first = &member == &task->members.front();
        const KernReturn result = read(member);
        if (result == kKernProtectionFailure) return result;
        // The first process's figure is the task's own; a descendant that has exited since the walk
        // holds no memory.
        if (result != kKernSuccess && first) return checkAlive(*task) == kKernSuccess ? kKernFailure : kKernTerminated;
    }
    return kKernSuccess;
}

KernReturn LinuxKernel::taskBasicInfo(TaskPort port, TaskBasicInfo& info) {
    TaskBasicInfo sum;
    const KernReturn result = readMembers(port, [&](Member& member) {
        const auto pages = parseStatm(readKept(member.statm, path(member.pid, "statm")));
        if (!pages) return kKernFailure;
        sum.virtualSize += pages->size * pageBytes_;
        sum.residentSize += pages->resident * pageBytes_;
        return kKernSuccess;
    });
    if (result == kKernSuccess) info = sum;
    return result;
}

KernReturn LinuxKernel::taskVmInfo(TaskPort port, TaskVmInfo& info) {
    TaskVmInfo sum;
    const KernReturn result = readMembers(port, [&](Member& member) {
        const char* file = path(member.pid, "smaps_rollup");
        if (!member.smaps) {
            member.smaps.reset(openFile(file));
            if (!member.smaps && deniedErrno()) return kKernProtectionFailure;  // needs ptrace rights
        }
        const auto kb = parseSmapsRollupPssKb(readKept(member.smaps, file));
        if (!kb) return kKernFailure;
        sum.physFootprint += *kb * 1024;
        return kKernSuccess;
    });
    if (result == kKernSuccess) info = sum;
    return result;
}

KernReturn LinuxKernel::hostVmInfo64(VmStatistics64& info) {
    const auto kb = parseMeminfo(readFd(meminfo_.get()));
    if (!kb) return kKernFailure;
    const std::uint64_t wiredKb = kb->unevictable + kb->sUnreclaim + kb->kernelStack + kb->pageTables;
    info.freeCount = saturatingPages(kb->memFree, pageBytes_);
    info.activeCount = saturatingPages(kb->active, pageBytes_);
    info.inactiveCount = saturatingPages(kb->inactive, pageBytes_);
    info.wireCount = saturatingPages(wiredKb, pageBytes_);
    info.compressorPageCount = saturatingPages(kb->zswap.value_or(0), pageBytes_);
    return kKernSuccess;
}

KernReturn LinuxKernel::hostCpuLoadInfo(HostCpuLoadInfo& info) {
    const auto ticks = parseStatCpu(readFd(stat_.get()));
    if (!ticks) return kKernFailure;
    // Truncating each sum to 32 bits keeps it exact modulo 2^32, which is all a difference needs.
    info.cpuTicks[HostCpuLoadInfo::kUser] = static_cast<std::uint32_t>(ticks->user);
    info.cpuTicks[HostCpuLoadInfo::kSystem] =
        static_cast<std::uint32_t>(ticks->system + ticks->irq + ticks->softirq + ticks->steal);
    // iowait is idle time with I/O pending; their sum is steady even where iowait alone goes back.
    info.cpuTicks[HostCpuLoadInfo::kIdle] = static_cast<std::uint32_t>(ticks->idle + ticks->iowait);
    info.cpuTicks[HostCpuLoadInfo::kNice] = static_cast<std::uint32_t>(ticks->nice);
    return kKernSuccess;
}

KernReturn LinuxKernel::taskThreads(TaskPort port, ThreadPort** list, std::uint32_t* count) {
    if (list == nullptr || count == nullptr) return kKernInvalidArgument;
    Task* task = findTask(port);
    if (task == nullptr) return kKernInvalidArgument;
    if (const KernReturn listed = listTask(*task); listed != kKernSuccess) return listed;

    auto* ports = new (std::nothrow) ThreadPort[listed_.size()];
    if (ports == nullptr) return kKernFailure;
    std::copy(listed_.begin(), listed_.end(), ports);
    outstanding_.push_back({ports, static_cast<std::uint32_t>(listed_.size())});
    *list = ports;
    *count = static_cast<std::uint32_t>(listed_.size());
    return kKernSuccess;
}

KernReturn LinuxKernel::listTask(Task& task) {
    if (const KernReturn alive = checkAlive(task); alive != kKernSuccess) return alive;
    ++listing_;
    listed_.clear();
    const bool still = markStill(task);
    std::size_t firstThread = 0;
    if (still && task.tree && task.walked) {
        // No process of the tree ran, so none forked, exited or reaped: the previous walk stands.
        for (Member& member : task.members) listKept(task, member, true);
    } else {
        listMember(task, task.members.front(), firstThread);
    }
    if (task.tree && !(still && task.walked)) {
        // Breadth first from the first process: each listed thread's children join the tree; members
        // no longer reached are dropped, with their descriptors.
        std::vector<Member> reached;
        reached.push_back(std::move(task.members.front()));
        for (std::size_t next = 0;; ++next) {
            childPids_.clear();
            for (std::size_t i = firstThread; i < listed_.size(); ++i) {
                Thread& thread = threadEntry(listed_[i], reached[next].pid, task.port);
                forEachChildPid(readKept(thread.children, path(thread.pid, "children", thread.tid)),
                                [&](Pid child) { childPids_.push_back(child); });
            }
            for (const Pid child : childPids_) {
                if (std::any_of(reached.begin(), reached.end(), [&](const Member& m) { return m.pid == child; })) {
                    continue;
                }
                const auto kept = std::find_if(task.members.begin() + 1, task.members.end(),
                                               [&](const Member& m) { return m.pid == child; });
                if (kept != task.members.end()) {
                    reached.push_back(std::move(*kept));
                    kept->pid = -1;  // taken
                } else {
                    reached.emplace_back().pid = child;
                }
            }
            if (next + 1 >= reached.size()) break;
            listMember(task, reached[next + 1], firstThread);
        }
        task.members = std::move(reached);
        task.walked = true;
    }
    if (listed_.empty()) return checkAlive(task) == kKernSuccess ? kKernFailure : kKernTerminated;
    std::erase_if(threads_, [&](const Thread& t) { return t.task == task.port && t.listing != listing_; });
    return kKernSuccess;
}

bool LinuxKernel::markStill(Task& task) {
    bool all = true;
    for (Member& member : task.members) {
        std::uint64_t cpuNs = 0;
        const bool clocked = hostClocks_ && processCpuNs(member.pid, cpuNs);
        // Each thread's kept reading must date from the previous listing: the clock vouches for no
        // more than the time since then.
        member.readUnderLast = member.listedAt != 0 && !member.tids.empty() &&
                               std::all_of(member.tids.begin(), member.tids.end(), [&](ThreadPort tid) {
                                   const Thread* thread = findThread(tid);
                                   return thread != nullptr && thread->pid == member.pid &&
                                          thread->task == task.port && thread->read &&
                                          thread->readAt == member.listedAt;
                               });
        member.still = clocked && cpuNs == member.cpuNs && member.readUnderLast;
        member.cpuNs = cpuNs;
        member.listedAt = clocked ? listing_ : 0;
        all = all && member.still;
    }
    return all;
}

bool LinuxKernel::keptThreadsStand(Member& member) {
    // On the host's proc file system a task directory links 2 + the process's thread count. With the
    // count unchanged, the kept list stands when each of its threads still reads: one that had ended would
    // not, and then another could have begun in its place. The readings serve threadBasicInfo.
    struct stat st {};
    if (!member.readUnderLast || !member.taskDir || ::fstat(::dirfd(member.taskDir.get()), &st) != 0 ||
        st.st_nlink != member.tids.size() + 2)
        return false;
    for (const ThreadPort tid : member.tids) {
        Thread* thread = findThread(tid);
        if (thread == nullptr || !readThreadCpu(*thread, thread->readNs)) return false;
        thread->readIn = listing_;
    }
    return true;
}

void LinuxKernel::listKept(Task& task, Member& member, bool still) {
    for (const ThreadPort tid : member.tids) {
        listed_.push_back(tid);
        Thread& thread = threadEntry(tid, member.pid, task.port);
        thread.listing = listing_;
        thread.still = still;
    }
}

void LinuxKernel::listMember(Task& task, Member& member, std::size_t& firstThread) {
    firstThread = listed_.size();
    if (member.still || keptThreadsStand(member)) {
        listKept(task, member, member.still);
        return;
    }
    const bool first = &member == &task.members.front();
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!member.taskDir) member.taskDir.reset(::opendir(path(member.pid, "task")));
        if (!member.taskDir) break;
        ::rewinddir(member.taskDir.get());
        while (const dirent* entry = ::readdir(member.taskDir.get())) {
            ThreadPort tid = 0;
            if (parseTid(entry->d_name, tid)) {
                listed_.push_back(tid);
                Thread& thread = threadEntry(tid, member.pid, task.port);
                thread.listing = listing_;
                thread.still = false;
            }
        }
        // A kept directory of a process that has gone lists nothing; a descendant's pid may name a
        // newer process of the tree by now, so it is opened afresh once. The first process never is.
        if (listed_.size() > firstThread || first) break;
        member.taskDir.reset();
        member.statm.reset();
        member.smaps.reset();
        member.listedAt = 0;
    }
    member.tids.assign(listed_.begin() + static_cast<std::ptrdiff_t>(firstThread), listed_.end());
}

KernReturn LinuxKernel::vmDeallocate(void* address, std::size_t size) {
    const auto it = std::find_if(outstanding_.begin(), outstanding_.end(),
                                 [&](const OutstandingList& l) { return l.address == address; });
    if (it == outstanding_.end() || size != std::size_t{it->count} * sizeof(ThreadPort)) {
        return kKernInvalidArgument;
    }
    delete[] it->address;
    outstanding_.erase(it);
    return kKernSuccess;
}

}  // namespace perfagent
