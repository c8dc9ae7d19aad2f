#include "platform/linux_kernel.hpp"

#include "platform/proc_parsers.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

// The per-thread half of the Linux kernel facade: thread records kept across listings and the CPU
// share each reading works out.

namespace perfagent {

namespace {

/// CPU time over wall time as thousandths of one CPU, capped at one CPU (the two clocks are read a
/// moment apart, so a fully busy thread can come out a hair above it).
std::int32_t shareOfOneCpu(std::uint64_t cpuNs, std::int64_t wallNs) {
    if (wallNs <= 0) return 0;
    const double share = static_cast<double>(cpuNs) / static_cast<double>(wallNs) * ThreadBasicInfo::kUsageScale;
    return static_cast<std::int32_t>(std::lround(std::min<double>(share, ThreadBasicInfo::kUsageScale)));
}

}  // namespace

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

bool LinuxKernel::readThreadCpu(Thread& thread, std::uint64_t& cpuNs) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        // A kept descriptor that no longer reads belonged to a thread that has gone; when the listing
        // shows its id again, that is a newer thread, read afresh from its first sight.
        if (attempt == 1) {
            thread.read = false;
            thread.children.reset();
        }
        const bool reopen = attempt == 1 || !thread.cpuFd;
        if (reopen) thread.cpuFd.reset(openFile(path(thread.pid, thread.ticks ? "stat" : "schedstat", thread.tid)));
        const std::string_view text = readFd(thread.cpuFd.get());
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

LinuxKernel::Thread* LinuxKernel::findThread(ThreadPort tid) {
    const auto it = std::lower_bound(threads_.begin(), threads_.end(), tid,
                                     [](const Thread& t, ThreadPort id) { return t.tid < id; });
    return it == threads_.end() || it->tid != tid ? nullptr : &*it;
}

KernReturn LinuxKernel::threadBasicInfo(ThreadPort tid, ThreadBasicInfo& info) {
    Thread* found = findThread(tid);
    if (found == nullptr) return kKernFailure;  // never listed, or gone since
    Thread& thread = *found;
    if (thread.still) {
        // Its process ran no thread since this one's previous reading.
        thread.atNs = boottimeNs_();
        thread.readAt = thread.listing;
        info.cpuUsage = 0;
        info.flags = 0;
        return kKernSuccess;
    }
    std::uint64_t cpuNs = thread.readNs;
    if (std::exchange(thread.readIn, 0) != thread.listing && !readThreadCpu(thread, cpuNs)) return kKernFailure;
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
    thread.readAt = thread.listing;
    info.cpuUsage = usage;
    info.flags = 0;
    return kKernSuccess;
}

std::uint64_t LinuxKernel::ticksToNs(std::uint64_t ticks) const {
    constexpr std::uint64_t kNsPerSecond = 1'000'000'000;
    return ticks / clockTicksPerSecond_ * kNsPerSecond + ticks % clockTicksPerSecond_ * kNsPerSecond / clockTicksPerSecond_;
}

}  // namespace perfagent
