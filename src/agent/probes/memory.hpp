#pragma once

#include "platform/proc_parsers.hpp"

#include <optional>
#include <string>

namespace perfagent {

/// Bytes to megabytes: exactly 2^-20.
inline constexpr double kMegabytesPerByte = 9.5367431640625e-07;

/// @brief The system's physical memory split, in bytes. `total` is the physical memory size, never a
/// sum of the page counts.
struct SystemMemory {
    double free = 0;
    double active = 0;
    double inactive = 0;
    double wired = 0;
    double compressed = 0;
    double total = 0;
};

/// Used system memory: (active + inactive) + wired, in bytes.
inline double usedMemory(const SystemMemory& m) { return (m.active + m.inactive) + m.wired; }
/// Used system memory as a percentage of the physical memory size.
inline double percentOfSystemMemory(const SystemMemory& m) { return usedMemory(m) / m.total * 100.0; }
/// "(free: 1.0, active: 2.0, inactive: 3.0, wired: 4.0, compressed: 5.0, total: 6.0)"
std::string systemMemoryText(const SystemMemory& m);

/// The memory lines as bytes: free = MemFree, active = Active, inactive = Inactive, wired = Unevictable +
/// SUnreclaim + KernelStack + PageTables (memory that cannot be paged out), compressed = Zswap (0 when the
/// kernel has no zswap); all five 0.0 when the lines could not be read. `total` is the physical memory.
SystemMemory systemMemoryOf(const std::optional<MeminfoKb>& kb, double total);

}  // namespace perfagent
