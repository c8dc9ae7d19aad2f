#pragma once

#include "platform/proc_parsers.hpp"
#include "base/result.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace perfagent {

/// A process id as the host numbers it.
using Pid = std::int32_t;

/// @brief Names one process for its whole life: its pid plus its start time (clock ticks after boot),
/// so that a pid the system hands to a newer process is never taken for the old one.
struct ProcessIdentity {
    Pid pid = 0;
    std::uint64_t startTime = 0;
    friend bool operator==(const ProcessIdentity&, const ProcessIdentity&) = default;
};

/// @brief The host as a whole: CPU ticks per state since boot and the memory lines, each absent when
/// its file could not be read, and when it was read (a monotonic clock, ns).
struct SystemReading {
    std::optional<CpuTicks> ticks;
    std::optional<MeminfoKb> memory;
    std::int64_t atNs = 0;
};

/// @brief A process (or a process tree) at one instant: the CPU time it has used in ns, counting threads
/// (and, for a tree, processes) that have ended since it was opened, its resident bytes, and when it was
/// read (a monotonic clock, ns).
struct ProcessReading {
    std::uint64_t cpuNs = 0;
    std::uint64_t residentBytes = 0;
    std::int64_t atNs = 0;
};

/// @brief One opened process or process tree, read once per sample.
class ProcessHandle {
public:
    virtual ~ProcessHandle() = default;
    /// The reading, or why there is none: ESRCH once the process has exited (for a tree, its first
    /// process), another code when it could not be read this time.
    virtual Result<ProcessReading> read() = 0;
    /// Processes of the latest reading that were read without kept descriptors (the descriptor limit).
    virtual std::size_t unkept() const { return 0; }
};

/// @brief Where the samplers read the host and its processes: on Linux a proc file system.
class ProcSource {
public:
    virtual ~ProcSource() = default;
    /// Bytes of physical memory in the machine.
    virtual double physicalMemory() const = 0;
    virtual SystemReading readSystem() = 0;
    /// The directory the metric groups read the host's proc and sys trees under: "/" for the host.
    virtual std::string metricsRoot() const { return "/"; }
    /// The clock readings are stamped with (monotonic, ns).
    virtual std::int64_t nowNs() const = 0;
    /// Opens `process` (pid 0: the agent's own), with every descendant when `tree`. ESRCH when no
    /// running process has this identity, EACCES when it may not be read.
    virtual Result<std::unique_ptr<ProcessHandle>> open(ProcessIdentity process, bool tree) = 0;
};

}  // namespace perfagent
