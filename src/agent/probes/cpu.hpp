#pragma once

#include "platform/proc_source.hpp"
#include "probes/memory.hpp"

#include <deque>
#include <memory>

namespace perfagent {

/// @brief Shares of the host CPU ticks over an interval, in percent.
struct SystemCpu {
    double system = 0;
    double user = 0;
    double idle = 0;
    double nice = 0;
};

/// The system CPU figure the samplers record: (system + user) + nice, a share of all cores, so within
/// 0–100 whatever the rounding of the three shares. NaN when the shares are.
inline double systemCpuFigure(const SystemCpu& c) {
    const double sum = (c.system + c.user) + c.nice;
    return sum > 100.0 ? 100.0 : sum < 0.0 ? 0.0 : sum;
}

/// The shares of the ticks between two readings: user = user; system = system + irq + softirq + steal;
/// idle = idle + iowait (their sum is steady even where iowait alone goes back); nice = nice. Four NaN
/// when no tick elapsed: an interval of no length yields no figure.
SystemCpu cpuShares(const CpuTicks& from, const CpuTicks& to);

/// @brief The host readings every sampler shares: the proc source, and the agent's previous readings
/// of the CPU ticks, from which a measurement that needs a figure at once takes its first interval.
class Probes {
public:
    explicit Probes(ProcSource& source) : source_(source) { readSystem(); }
    Probes(const Probes&) = delete;
    Probes& operator=(const Probes&) = delete;

    ProcSource& source() const { return source_; }
    double physicalMemory() const { return source_.physicalMemory(); }
    /// Reads the host, and keeps the ticks as the agent's latest reading.
    SystemReading readSystem();
    /// The ticks a first interval ending at `now` starts from: the agent's newest reading at least half
    /// a second before it, else zeros (the time since boot).
    CpuTicks baselineFor(std::int64_t nowNs) const;

private:
    struct Stamped {
        CpuTicks ticks;
        std::int64_t atNs = 0;
    };
    ProcSource& source_;
    /// The latest readings, oldest first: each but the first less than half a second before the latest,
    /// so that the first is the newest any later baseline can need (a few at most; bounded all the same).
    std::deque<Stamped> recent_;
};

/// @brief A process's (or tree's) CPU share and resident size, each share over the interval since this
/// meter's previous reading.
class ProcessMeter {
public:
    explicit ProcessMeter(std::unique_ptr<ProcessHandle> handle) : handle_(std::move(handle)) {}
    struct Figures {
        double cpu = 0;       ///< percent of one CPU; NaN on a first reading or an interval of no length
        double resident = 0;  ///< bytes
    };
    /// The figures, or why the process was not read (ESRCH: it has exited).
    Result<Figures> read();
    /// A reading that only starts the next interval.
    void restart() { (void)read(); }
    /// Processes read without kept descriptors in the latest reading.
    std::size_t unkept() const { return handle_->unkept(); }

private:
    std::unique_ptr<ProcessHandle> handle_;
    std::optional<ProcessReading> previous_;
};

/// @brief One sampler's readings: the system CPU over its own intervals (never another sampler's) and
/// the agent's own process.
class Sampler {
public:
    explicit Sampler(Probes& probes);

    /// The next sample's CPU covers the time from now.
    void restart();
    /// The next sample's CPU covers the time since the agent's previous reading (see Probes::baselineFor),
    /// so that a sample taken at once still covers a real interval.
    void restartFromAgentReading();

    struct System {
        SystemCpu cpu;
        SystemMemory memory;
    };
    /// The system CPU since this sampler's previous reading, and memory.
    System readSystem();
    ProcessMeter& self() { return self_; }
    Probes& probes() const { return probes_; }

private:
    Probes& probes_;
    ProcessMeter self_;
    std::optional<CpuTicks> previous_;  ///< none: take the agent's baseline at the next reading
};

}  // namespace perfagent
