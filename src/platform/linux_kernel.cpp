#include "platform/linux_kernel.hpp"

#include "platform/proc_parsers.hpp"

#include <fcntl.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <limits>
#include <new>
#include <string>

namespace perfagent {

namespace {

constexpr std::size_t kInitialBufferBytes = 4096;
constexpr std::size_t kMaxBufferBytes = 1 << 20;

int openReadOnly(const char* path) { return ::open(path, O_RDONLY | O_CLOEXEC); }

bool deniedErrno() { return errno == EACCES || errno == EPERM; }

/// Reads a whole proc file from offset 0. procfs generates these files in one go, so one read
/// returns all of it unless the buffer is too small; then the buffer grows and the read is repeated.
/// Empty on failure (no proc file read here is empty).
std::string_view preadWhole(int fd, std::vector<char>& buffer) {
    if (fd < 0) return {};
    for (;;) {
        const ssize_t n = ::pread(fd, buffer.data(), buffer.size(), 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            return {};
        }
        if (static_cast<std::size_t>(n) < buffer.size()) {
            return std::string_view(buffer.data(), static_cast<std::size_t>(n));
        }
        if (buffer.size() >= kMaxBufferBytes) return {};
        buffer.resize(buffer.size() * 2);
    }
}

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

/// CPU time over wall time as thousandths of one CPU, capped at one CPU (the two clocks are read a
/// moment apart, so a fully busy thread can come out a hair above it).
std::int32_t shareOfOneCpu(std::uint64_t cpuNs, std::int64_t wallNs) {
    if (wallNs <= 0) return 0;
    const double share = static_cast<double>(cpuNs) / static_cast<double>(wallNs) * ThreadBasicInfo::kUsageScale;
    return static_cast<std::int32_t>(std::lround(std::min<double>(share, ThreadBasicInfo::kUsageScale)));
}

bool parseTid(const char* name, ThreadPort& tid) {
    const char* end = name + std::char_traits<char>::length(name);
    const auto result = std::from_chars(name, end, tid);
    return result.ec == std::errc() && result.ptr == end;
}

}  // namespace

LinuxKernel::LinuxKernel(std::string procRoot, std::function<std::int64_t()> boottimeNs)
    : procRoot_(std::move(procRoot)), boottimeNs_(boottimeNs ? std::move(boottimeNs) : hostBoottimeNs) {
    const long page = ::sysconf(_SC_PAGESIZE);
    pageBytes_ = page > 0 ? static_cast<std::uint64_t>(page) : 4096;
    pageSize_ = static_cast<double>(pageBytes_);
    const long physicalPages = ::sysconf(_SC_PHYS_PAGES);
    physicalMemory_ = physicalPages > 0 ? static_cast<double>(physicalPages) * pageSize_ : 0.0;
    const long ticks = ::sysconf(_SC_CLK_TCK);
    clockTicksPerSecond_ = ticks > 0 ? static_cast<std::uint64_t>(ticks) : 100;

    buffer_.resize(kInitialBufferBytes);
    meminfo_.reset(openReadOnly((procRoot_ + "/meminfo").c_str()));
    stat_.reset(openReadOnly((procRoot_ + "/stat").c_str()));
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

std::string_view LinuxKernel::readKept(UniqueFd& fd, const char* path, bool mayReopen) {
    if (fd) {
        const std::string_view text = preadWhole(fd.get(), buffer_);
        if (!text.empty() || !mayReopen) return text;
    }
    fd.reset(openReadOnly(path));
    return preadWhole(fd.get(), buffer_);
}

std::string_view LinuxKernel::readOnce(const char* path) {
    const UniqueFd fd(openReadOnly(path));
    return preadWhole(fd.get(), buffer_);
}

LinuxKernel::Task* LinuxKernel::findTask(TaskPort port) {
    const auto it = std::find_if(tasks_.begin(), tasks_.end(), [&](const Task& t) { return t.port == port; });
    return it == tasks_.end() ? nullptr : &*it;
}

KernReturn LinuxKernel::taskForPid(ProcessIdentity process, bool withDescendants, TaskPort* task) {
    if (task == nullptr || process.pid <= 0) return kKernInvalidArgument;
    Task made;
    made.tree = withDescendants;
    made.stat.reset(openReadOnly(path(process.pid, "stat")));
    if (!made.stat) return deniedErrno() ? kKernProtectionFailure : kKernTerminated;
    const auto stat = parseTaskStat(preadWhole(made.stat.get(), buffer_));
    if (!stat || stat->startTime != process.startTime || hasExited(*stat)) return kKernTerminated;

    Member& first = made.members.emplace_back();
    first.pid = process.pid;
    first.taskDir.reset(::opendir(path(process.pid, "task")));
    if (!first.taskDir) return deniedErrno() ? kKernProtectionFailure : kKernTerminated;
    first.statm.reset(openReadOnly(path(process.pid, "statm")));
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
        const auto stat = parseTaskStat(preadWhole(task.stat.get(), buffer_));
        task.terminated = !stat || hasExited(*stat);
    }
    return task.terminated ? kKernTerminated : kKernSuccess;
}

KernReturn LinuxKernel::taskBasicInfo(TaskPort port, TaskBasicInfo& info) {
    Task* task = findTask(port);
    if (task == nullptr) return kKernInvalidArgument;
    if (const KernReturn alive = checkAlive(*task); alive != kKernSuccess) return alive;
    if (task->tree && !task->walked) {
        if (const KernReturn listed = listTask(*task); listed != kKernSuccess) return listed;
    }
    TaskBasicInfo sum;
    for (Member& member : task->members) {
        const bool first = &member == &task->members.front();
        const auto pages = parseStatm(readKept(member.statm, path(member.pid, "statm"), !first));
        if (!pages) {
            if (first) return checkAlive(*task) == kKernSuccess ? kKernFailure : kKernTerminated;
            continue;  // a descendant that has exited since the walk holds no memory
        }
        sum.virtualSize += pages->size * pageBytes_;
        sum.residentSize += pages->resident * pageBytes_;
    }
    info = sum;
    return kKernSuccess;
}

KernReturn LinuxKernel::taskVmInfo(TaskPort port, TaskVmInfo& info) {
    Task* task = findTask(port);
    if (task == nullptr) return kKernInvalidArgument;
    if (const KernReturn alive = checkAlive(*task); alive != kKernSuccess) return alive;
    if (task->tree && !task->walked) {
        if (const KernReturn listed = listTask(*task); listed != kKernSuccess) return listed;
    }
    TaskVmInfo sum;
    for (Member& member : task->members) {
        const bool first = &member == &task->members.front();
        const char* file = path(member.pid, "smaps_rollup");
        if (!member.smaps) {
            member.smaps.reset(openReadOnly(file));
            if (!member.smaps && deniedErrno()) return kKernProtectionFailure;
        }
        const auto kb = parseSmapsRollupPssKb(readKept(member.smaps, file, !first));
        if (!kb) {
            if (first) return checkAlive(*task) == kKernSuccess ? kKernFailure : kKernTerminated;
            continue;
        }
        sum.physFootprint += *kb * 1024;
    }
    info = sum;
    return kKernSuccess;
}

KernReturn LinuxKernel::hostVmInfo64(VmStatistics64& info) {
    const auto kb = parseMeminfo(preadWhole(meminfo_.get(), buffer_));
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
    const auto ticks = parseStatCpu(preadWhole(stat_.get(), buffer_));
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
    std::size_t firstThread = 0;
    listMember(task, task.members.front(), firstThread);
    if (task.tree) {
        // Breadth first from the first process: each listed thread's children join the tree; members
        // no longer reached are dropped, with their descriptors.
        std::vector<Member> reached;
        reached.push_back(std::move(task.members.front()));
        for (std::size_t next = 0;; ++next) {
            childPids_.clear();
            for (std::size_t i = firstThread; i < listed_.size(); ++i) {
                Thread& thread = threadEntry(listed_[i], reached[next].pid, task.port);
                forEachChildPid(readKept(thread.children, path(thread.pid, "children", thread.tid), false),
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
            firstThread = listed_.size();
            listMember(task, reached[next + 1], firstThread);
        }
        task.members = std::move(reached);
        task.walked = true;
    }
    if (listed_.empty()) return checkAlive(task) == kKernSuccess ? kKernFailure : kKernTerminated;
    std::erase_if(threads_, [&](const Thread& t) { return t.task == task.port && t.listing != listing_; });
    return kKernSuccess;
}

void LinuxKernel::listMember(Task& task, Member& member, std::size_t& firstThread) {
    firstThread = listed_.size();
    const bool first = &member == &task.members.front();
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!member.taskDir) member.taskDir.reset(::opendir(path(member.pid, "task")));
        if (!member.taskDir) return;
        ::rewinddir(member.taskDir.get());
        while (const dirent* entry = ::readdir(member.taskDir.get())) {
            ThreadPort tid = 0;
            if (parseTid(entry->d_name, tid)) {
                listed_.push_back(tid);
                threadEntry(tid, member.pid, task.port).listing = listing_;
            }
        }
        // A kept directory of a process that has gone lists nothing; a descendant's pid may name a
        // newer process of the tree by now, so it is opened afresh once. The first process never is.
        if (listed_.size() > firstThread || first) return;
        member.taskDir.reset();
        member.statm.reset();
        member.smaps.reset();
    }
}

LinuxKernel::Thread& LinuxKernel::threadEntry(ThreadPort tid, Pid pid, TaskPort task) {
    const auto it = std::lower_bound(threads_.begin(), threads_.end(), tid,
                                     [](const Thread& t, ThreadPort id) { return t.tid < id; });
    Thread made;
    made.tid = tid;
    made.pid = pid;
    made.task = task;
    made.listing = listing_;
    if (it != threads_.end() && it->tid == tid) {
        if (it->pid != pid || it->task != task) *it = std::move(made);
        return *it;
    }
    return *threads_.insert(it, std::move(made));
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

bool LinuxKernel::readThreadCpu(Thread& thread, std::uint64_t& cpuNs) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        // A kept descriptor that no longer reads belonged to a thread that has gone; when the listing
        // shows its id again, that is a newer thread, read afresh from its first sight.
        if (attempt == 1) thread.read = false;
        const bool reopen = attempt == 1 || !thread.cpuFd;
        if (reopen) thread.cpuFd.reset(openReadOnly(path(thread.pid, thread.ticks ? "stat" : "schedstat", thread.tid)));
        const std::string_view text = preadWhole(thread.cpuFd.get(), buffer_);
        if (text.empty()) {
            if (reopen) return false;
            continue;
        }
        if (!thread.ticks) {
            const auto runTime = parseSchedstatRunTime(text);
            if (!runTime) return false;
            cpuNs = *runTime;
            if (cpuNs > 0) return true;
            // schedstat reads "0 0 0" where the kernel keeps no scheduler statistics; a thread whose
            // stat line shows CPU time has run, so this kernel's figures come from stat instead.
            const auto stat = parseTaskStat(readOnce(path(thread.pid, "stat", thread.tid)));
            if (!stat) return false;
            cpuNs = ticksToNs(stat->utime + stat->stime);
            if (cpuNs > 0) {
                thread.ticks = true;
                thread.cpuFd.reset();
            }
            return true;
        }
        const auto stat = parseTaskStat(text);
        if (!stat) return false;
        cpuNs = ticksToNs(stat->utime + stat->stime);
        return true;
    }
    return false;
}

bool LinuxKernel::readStartTicks(const Thread& thread, std::uint64_t& startTicks) {
    const auto stat = parseTaskStat(readOnce(path(thread.pid, "stat", thread.tid)));
    if (!stat) return false;
    startTicks = stat->startTime;
    return true;
}

KernReturn LinuxKernel::threadBasicInfo(ThreadPort tid, ThreadBasicInfo& info) {
    const auto it = std::lower_bound(threads_.begin(), threads_.end(), tid,
                                     [](const Thread& t, ThreadPort id) { return t.tid < id; });
    if (it == threads_.end() || it->tid != tid) return kKernFailure;  // never listed, or gone since
    Thread& thread = *it;
    std::uint64_t cpuNs = 0;
    if (!readThreadCpu(thread, cpuNs)) return kKernFailure;
    const std::int64_t nowNs = boottimeNs_();

    std::int32_t usage;
    if (thread.read && cpuNs >= thread.cpuNs) {
        usage = shareOfOneCpu(cpuNs - thread.cpuNs, nowNs - thread.atNs);
    } else {
        // First sight of this thread: its lifetime average.
        std::uint64_t startTicks = 0;
        if (!readStartTicks(thread, startTicks)) return kKernFailure;
        usage = shareOfOneCpu(cpuNs, nowNs - static_cast<std::int64_t>(ticksToNs(startTicks)));
    }
    thread.cpuNs = cpuNs;
    thread.atNs = nowNs;
    thread.read = true;
    info.cpuUsage = usage;
    info.flags = 0;
    return kKernSuccess;
}

std::uint64_t LinuxKernel::ticksToNs(std::uint64_t ticks) const {
    constexpr std::uint64_t kNsPerSecond = 1'000'000'000;
    return ticks / clockTicksPerSecond_ * kNsPerSecond + ticks % clockTicksPerSecond_ * kNsPerSecond / clockTicksPerSecond_;
}

}  // namespace perfagent
