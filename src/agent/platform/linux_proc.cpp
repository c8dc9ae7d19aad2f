#include "platform/linux_proc.hpp"

#include <fcntl.h>
#include <sys/resource.h>
#include <time.h>

#include <cerrno>
#include <charconv>
#include <unordered_map>
#include <unordered_set>

namespace perfagent {

namespace {

constexpr std::size_t kInitialBufferBytes = 4096;
constexpr std::size_t kMaxBufferBytes = 1 << 20;

int openFile(const char* path) { return ::open(path, O_RDONLY | O_CLOEXEC); }

std::int64_t hostMonotonicNs() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
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

/// One proc file of a process, kept open while the budget allows (a kept descriptor reads nothing once
/// its process is gone, even when the pid names a newer one), else opened for each reading.
class KeptFile {
public:
    KeptFile() = default;
    KeptFile(KeptFile&& other) noexcept
        : fd_(std::move(other.fd_)), budget_(std::exchange(other.budget_, nullptr)), unkept_(other.unkept_) {}
    KeptFile& operator=(KeptFile&& other) noexcept {
        if (this == &other) return *this;
        release();
        fd_ = std::move(other.fd_);
        budget_ = std::exchange(other.budget_, nullptr);
        unkept_ = other.unkept_;
        return *this;
    }
    ~KeptFile() { release(); }

    std::string_view read(LinuxProc& proc, const char* path) {
        if (!fd_ && !unkept_) adopt(proc, openFile(path));
        return fd_ ? proc.readFd(fd_.get()) : proc.readPath(path);
    }
    /// Keeps `fd` when the budget allows, else closes it and reads by path from then on.
    void adopt(LinuxProc& proc, int fd) {
        if (fd < 0) return;
        if (!proc.kept().take()) {
            ::close(fd);
            unkept_ = true;
            return;
        }
        fd_.reset(fd);
        budget_ = &proc.kept();
    }
    bool unkept() const { return unkept_; }

private:
    void release() {
        fd_.reset();
        if (budget_ != nullptr) std::exchange(budget_, nullptr)->giveBack();
    }
    UniqueFd fd_;
    KeptDescriptors* budget_ = nullptr;
    bool unkept_ = false;
};

/// One process of a handle; pid 0 is the agent's own ("self").
struct Member {
    Pid pid = 0;
    std::uint64_t startTime = 0;
    bool startKnown = false;  ///< a descendant's start time is taken from its first reading
    KeptFile stat;
    KeptFile statm;
    std::uint64_t cpuNs = 0;
    bool seen = false;          ///< cpuNs holds a reading
    std::uint64_t resident = 0;  ///< bytes, at the latest reading
    std::uint64_t round = 0;    ///< the handle's reading that read it last
};

class LinuxProcessHandle final : public ProcessHandle {
public:
    LinuxProcessHandle(LinuxProc& proc, ProcessIdentity process, bool tree) : proc_(proc), tree_(tree) {
        Member& first = members_.emplace_back();
        first.pid = process.pid;
        first.startTime = process.startTime;
        first.startKnown = true;
    }

    Member& first() { return members_.front(); }

    Result<ProcessReading> read() override {
        ++round_;
        // A tree is walked at its first reading and after one of its processes ran or went: while none
        // ran, none forked or reaped, so the previous walk stands. Only the scheduler's CPU clock (ns)
        // vouches for that (stat's ticks can stand still while a process runs briefly), so without it
        // the tree is walked at every reading.
        const bool walkFirst = tree_ && (!walked_ || !proc_.hostClocks());
        if (walkFirst) walk();
        bool changed = false;
        const Outcome first = readMembers(changed);
        if (first == Outcome::Gone) return systemFailure("the process has exited", ESRCH);
        if (first == Outcome::NoMemory) return systemFailure("the process could not be read", EIO);
        if (tree_ && changed && !walkFirst) {
            walk();
            readMembers(changed);  // the processes that joined
        }
        ProcessReading out;
        unkept_ = 0;
        for (const Member& member : members_) {
            out.residentBytes += member.resident;
            if (member.stat.unkept() || member.statm.unkept()) ++unkept_;
        }
        out.cpuNs = totalNs_;
        out.atNs = proc_.nowNs();
        return out;
    }

    std::size_t unkept() const override { return unkept_; }

private:
    /// Read: both figures; NoMemory: its CPU time only; Gone: neither, for good.
    enum class Outcome { Read, NoMemory, Gone };

    /// Reads the members not read yet in this reading, dropping descendants that have gone (what they
    /// used while in the tree stays counted); sets `changed` when one went, is new or ran. Answers the
    /// first process's outcome when it was read now.
    Outcome readMembers(bool& changed) {
        Outcome firstOutcome = Outcome::Read;
        std::erase_if(members_, [&](Member& member) {
            if (member.round == round_) return false;
            member.round = round_;
            std::uint64_t cpuNs = 0;
            member.resident = 0;
            const Outcome outcome = readMember(member, cpuNs, member.resident);
            const bool first = &member == &members_.front();
            if (first) firstOutcome = outcome;
            if (outcome == Outcome::Gone) {
                changed = true;
                return !first;
            }
            changed = changed || !member.seen || cpuNs != member.cpuNs;
            totalNs_ += !member.seen ? cpuNs : cpuNs > member.cpuNs ? cpuNs - member.cpuNs : 0;
            member.cpuNs = cpuNs;
            member.seen = true;
            return false;
        });
        return firstOutcome;
    }

    Outcome readMember(Member& member, std::uint64_t& cpuNs, std::uint64_t& resident) {
        const bool self = member.pid == 0;
        const bool clocked = proc_.hostClocks();
        if (clocked && !processCpuNs(member.pid, cpuNs)) return Outcome::Gone;
        // A process whose clock stood still has not run since its previous reading, so it has not exited
        // either (and a newer process under its pid would show another clock): its stat stands.
        const bool ran = !clocked || !member.seen || cpuNs != member.cpuNs;
        if ((!self || !clocked) && ran) {
            const auto stat = parseTaskStat(member.stat.read(proc_, proc_.path(member.pid, "stat")));
            if (!stat || hasExited(*stat) || (member.startKnown && !self && stat->startTime != member.startTime))
                return Outcome::Gone;
            member.startTime = stat->startTime;
            member.startKnown = true;
            if (!clocked) cpuNs = proc_.ticksToNs(stat->utime + stat->stime);
        }
        const auto pages = parseStatm(member.statm.read(proc_, proc_.path(member.pid, "statm")));
        if (!pages) return Outcome::NoMemory;
        resident = pages->resident * proc_.pageBytes();
        return Outcome::Read;
    }

    /// Breadth first from the first process: each thread's children join the tree; processes no longer
    /// reached are dropped, with their descriptors.
    void walk() {
        std::unordered_map<Pid, std::size_t> kept;
        for (std::size_t i = 1; i < members_.size(); ++i) kept.emplace(members_[i].pid, i);
        std::vector<Member> reached;
        reached.push_back(std::move(members_.front()));
        std::unordered_set<Pid> seen{reached.front().pid};
        std::vector<Pid> children;
        for (std::size_t next = 0; next < reached.size(); ++next) {
            const Pid pid = reached[next].pid;
            children.clear();
            const UniqueDir tasks(::opendir(proc_.path(pid, "task")));
            while (const dirent* entry = tasks ? ::readdir(tasks.get()) : nullptr) {
                Pid tid = 0;
                const char* name = entry->d_name;
                const char* end = name + std::char_traits<char>::length(name);
                const auto parsed = std::from_chars(name, end, tid);
                if (parsed.ec != std::errc() || parsed.ptr != end) continue;
                forEachChildPid(proc_.readPath(proc_.path(pid, "children", tid)),
                                [&](std::uint32_t child) { children.push_back(static_cast<Pid>(child)); });
            }
            for (const Pid child : children) {
                if (!seen.insert(child).second) continue;
                const auto old = kept.find(child);
                if (old != kept.end()) {
                    reached.push_back(std::move(members_[old->second]));
                } else {
                    reached.emplace_back().pid = child;
                }
            }
        }
        members_ = std::move(reached);
        walked_ = true;
    }

    LinuxProc& proc_;
    bool tree_;
    std::vector<Member> members_;  ///< the first is the process the handle was opened for
    std::uint64_t totalNs_ = 0;
    std::size_t unkept_ = 0;
    std::uint64_t round_ = 0;
    bool walked_ = false;
};

}  // namespace

std::uint64_t raiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 1024;
    if (limit.rlim_max != RLIM_INFINITY && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) ::getrlimit(RLIMIT_NOFILE, &limit);
    }
    return limit.rlim_cur == RLIM_INFINITY ? 1 << 20 : static_cast<std::uint64_t>(limit.rlim_cur);
}

bool KeptDescriptors::take() {
    std::size_t used = used_.load();
    do {
        if (used >= limit_) return false;
    } while (!used_.compare_exchange_weak(used, used + 1));
    return true;
}

KeptDescriptors& LinuxProc::agentBudget() {
    // The first use raises the limit, so the agent has it from its start; targets keep a quarter of it.
    static KeptDescriptors budget(static_cast<std::size_t>(raiseDescriptorLimit() / 4));
    return budget;
}

LinuxProc::LinuxProc(std::string procRoot, std::function<std::int64_t()> monotonicNs, KeptDescriptors* kept)
    : procRoot_(std::move(procRoot)),
      monotonicNs_(monotonicNs ? std::move(monotonicNs) : hostMonotonicNs),
      kept_(kept ? *kept : agentBudget()),
      hostClocks_(procRoot_ == "/proc") {
    const long page = ::sysconf(_SC_PAGESIZE);
    pageBytes_ = page > 0 ? static_cast<std::uint64_t>(page) : 4096;
    const long physicalPages = ::sysconf(_SC_PHYS_PAGES);
    physicalMemory_ = physicalPages > 0 ? static_cast<double>(physicalPages) * static_cast<double>(pageBytes_) : 0.0;
    const long ticks = ::sysconf(_SC_CLK_TCK);
    clockTicksPerSecond_ = ticks > 0 ? static_cast<std::uint64_t>(ticks) : 100;
    buffer_.resize(kInitialBufferBytes);
    meminfo_.reset(openFile((procRoot_ + "/meminfo").c_str()));
    stat_.reset(openFile((procRoot_ + "/stat").c_str()));
}

const char* LinuxProc::path(Pid pid, std::string_view leaf, Pid tid) {
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

std::string_view readWholeFile(int fd, std::vector<char>& buffer) {
    // procfs and sysfs make these files in one go, so one read returns all of it unless the buffer is
    // too small; then the buffer grows and the read is repeated.
    if (fd < 0) return {};
    if (buffer.empty()) buffer.resize(kInitialBufferBytes);
    for (;;) {
        const ssize_t n = ::pread(fd, buffer.data(), buffer.size(), 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            return {};
        }
        if (static_cast<std::size_t>(n) < buffer.size()) return {buffer.data(), static_cast<std::size_t>(n)};
        if (buffer.size() >= kMaxBufferBytes) return {};
        buffer.resize(buffer.size() * 2);
    }
}

std::string_view LinuxProc::readFd(int fd) { return readWholeFile(fd, buffer_); }

std::string_view LinuxProc::readPath(const char* path) {
    const UniqueFd fd(openFile(path));
    return readFd(fd.get());
}

std::uint64_t LinuxProc::ticksToNs(std::uint64_t ticks) const {
    constexpr std::uint64_t kNsPerSecond = 1'000'000'000;
    return ticks / clockTicksPerSecond_ * kNsPerSecond + ticks % clockTicksPerSecond_ * kNsPerSecond / clockTicksPerSecond_;
}

SystemReading LinuxProc::readSystem() {
    SystemReading out;
    out.ticks = parseStatCpu(readFd(stat_.get()));
    out.memory = parseMeminfo(readFd(meminfo_.get()));
    out.atNs = nowNs();
    return out;
}

Result<std::unique_ptr<ProcessHandle>> LinuxProc::open(ProcessIdentity process, bool tree) {
    auto handle = std::make_unique<LinuxProcessHandle>(*this, process, tree);
    if (process.pid < 0) return systemFailure("no such process", ESRCH);
    if (process.pid == 0) return std::unique_ptr<ProcessHandle>(std::move(handle));
    const int fd = openFile(path(process.pid, "stat"));
    if (fd < 0) {
        const int error = errno == EACCES || errno == EPERM ? EACCES : ESRCH;
        return systemFailure(error == EACCES ? "may not be read" : "no such process", error);
    }
    // Only the first process is checked here (a tree is walked by the first reading), so that a check
    // made to answer a request stays cheap.
    Member& first = handle->first();
    first.stat.adopt(*this, fd);
    const auto stat = parseTaskStat(first.stat.read(*this, path(process.pid, "stat")));
    if (!stat || hasExited(*stat) || stat->startTime != process.startTime)
        return systemFailure("no such process", ESRCH);
    return std::unique_ptr<ProcessHandle>(std::move(handle));
}

}  // namespace perfagent
