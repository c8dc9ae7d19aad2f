#pragma once

#include "platform/proc_parsers.hpp"
#include "platform/proc_source.hpp"
#include "os/unique_fd.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace perfagent {

/// @brief The byte counters of one network interface or disk.
struct DeviceBytes {
    std::string name;
    std::uint64_t in = 0;   ///< received or read
    std::uint64_t out = 0;  ///< sent or written
};

/// @brief A process's counters of the app group.
struct AppCounters {
    std::uint64_t threads = 0;
    std::uint64_t descriptors = 0;
    ProcessIo io;
};

/// @brief The host files the opt-in metric groups read, under a root directory: "/" for the host, a stored
/// tree of proc and sys files in tests.
///
/// Each source is opened once before a measurement samples it; open… answers why this machine lacks it
/// (no such file, not readable, nothing of the kind), else its files stay open and each reading is one
/// pread per file. A reading that fails answers nothing (or false) and the next one tries again.
///
/// - memory: /proc/meminfo. load: /proc/loadavg.
/// - net: /proc/net/dev, every interface but loopback ("lo").
/// - disk: whole disks only, the block devices with a /sys/block/NAME/device link, which partitions and
///   stacked or memory devices (loop, dm, md, zram) have not, so no byte is counted twice; each one's
///   /sys/block/NAME/stat (the counters of its /proc/diskstats line, at a quarter of the cost). The disks
///   are those there when opened.
/// - thermal: /sys/class/thermal/thermal_zone*/temp (m°C), zones that read when opened.
/// - powercap: energy_uj of the top zones (one ':' in their directory name) of /sys/class/powercap whose
///   name starts with "package", each package once (mmio zones repeat the same counter).
/// - battery: /sys/class/power_supply/* of type Battery powering the system (scope not Device):
///   power_now (µW), else current_now (µA) × voltage_now (µV); status tells whether it discharges.
/// - gpu: /sys/class/drm/card*/device/gpu_busy_percent, /sys/class/kgsl/kgsl-3d0/gpu_busy_percentage.
/// - app: /proc/PID/stat (threads; a zombie reads as gone), fd/ (its size where the kernel gives the count
///   of open descriptors as the size, else its entries), io (rchar, wchar), through a descriptor of
///   /proc/PID, so that a pid the host hands to a newer process is never read for the old one.
///
/// Not thread-safe: each instance serves one thread.
class MetricFiles {
public:
    explicit MetricFiles(std::string root = "/");

    std::optional<std::string> openMemory();
    std::optional<std::string> openLoad();
    std::optional<std::string> openNet();
    std::optional<std::string> openDisks();
    std::optional<std::string> openThermal();
    std::optional<std::string> openPowercap();
    std::optional<std::string> openBattery();
    std::optional<std::string> openGpu();
    std::optional<std::string> openApp(Pid pid);

    std::optional<MemoryAvailableKb> readMemory();
    std::optional<LoadAverage> readLoad();
    /// Every interface but loopback, in the file's order.
    bool readNet(std::vector<DeviceBytes>& out);
    /// Whole disks that read, in bytes (sectors of 512 bytes); false when none did.
    bool readDisks(std::vector<DeviceBytes>& out);
    /// The hottest zone that reads, in m°C.
    std::optional<std::int64_t> readHottest();
    /// One counter (µJ) per package opened, absent where it did not read; `ranges` its wrap (µJ, 0: unknown).
    bool readEnergy(std::vector<std::optional<std::uint64_t>>& out);
    const std::vector<std::uint64_t>& energyRanges() const { return energyRanges_; }
    /// What the batteries give the system, in µW (0 while none discharges).
    std::optional<double> readBatteryDischarge();
    /// The busiest GPU's figure, in percent.
    std::optional<std::int64_t> readGpuBusy();
    std::optional<AppCounters> readApp();

private:
    struct Battery {
        UniqueFd status;
        UniqueFd power;    ///< power_now, when the driver has it
        UniqueFd current;  ///< else current_now and voltage_now
        UniqueFd voltage;
    };
    std::string path(std::string_view relative) const { return root_ + std::string(relative); }
    /// Opens `relative` under the root and reads it once: why not, else the descriptor.
    std::optional<std::string> openChecked(const std::string& file, UniqueFd& into);
    std::optional<std::int64_t> readInteger(const UniqueFd& fd);

    std::string root_;
    std::vector<char> buffer_;
    UniqueFd meminfo_, loadavg_, netDev_;
    std::vector<std::pair<std::string, UniqueFd>> disks_;  ///< name and stat file of each whole disk
    std::vector<UniqueFd> zones_, energy_, gpus_;
    std::vector<std::uint64_t> energyRanges_;
    std::vector<Battery> batteries_;
    UniqueFd appDir_, appStat_, appFds_, appIo_;
    bool appFdsSized_ = false;  ///< the size of fd/ is the count of descriptors
};

}  // namespace perfagent
