#pragma once

// Stored proc files for the tests of the code that reads them (a proc tree is written into a
// TempDirectory).

#include <string>
#include <string_view>

namespace perfagent::testing {

// Output of a 6.18 x86_64 kernel with 24 GiB of memory and two CPUs (Zswap and steal made non-zero so
// that they are checked; cut to the fields read, their look-alikes and a few others).
constexpr std::string_view kMeminfo = R"(MemTotal:       24683736 kB
MemFree:        24489024 kB
Active:            31044 kB
Inactive:          30384 kB
Active(anon):         40 kB
Inactive(anon):     6884 kB
Active(file):      31004 kB
Inactive(file):    23500 kB
Unevictable:       16360 kB
Zswap:               752 kB
Zswapped:              0 kB
SReclaimable:      53056 kB
SUnreclaim:        22756 kB
KernelStack:        2020 kB
PageTables:         1768 kB
SecPageTables:         0 kB
VmallocTotal:   34359738367 kB
HugePages_Total:       0
)";

constexpr std::string_view kStat = R"(cpu  11287 0 6001 89638 318 0 100 7 0 0
cpu0 5198 0 2684 45687 50 0 37 3 0 0
cpu1 6088 0 3317 43951 268 0 62 4 0 0
ctxt 286676
)";

/// A stat line with the columns the kernel backend reads set and the others plausible.
inline std::string statLine(int pid, std::string_view comm, char state, unsigned utime, unsigned stime,
                            unsigned startTime) {
    return std::to_string(pid) + " (" + std::string(comm) + ") " + state + " 1 1 1 0 -1 0 0 0 0 0 " +
           std::to_string(utime) + " " + std::to_string(stime) + " 0 0 20 0 1 0 " + std::to_string(startTime) +
           " 4096 10\n";
}

}  // namespace perfagent::testing
