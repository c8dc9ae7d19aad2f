#pragma once

#include "probes/memory.hpp"
#include "report/measurement_report.hpp"

#include <optional>
#include <string>

namespace perfagent {

/// The metrics collector and the operator screen keep the same accumulators under the same names
/// (counter, sums, maxima, four series, start and end instants); these helpers work on either.

/// Adds one sample: counter + 1, the sums, the maxima (raised only by a strictly greater value) and
/// the four series under the new sample number. Memory goes in as MB.
template <typename Sampler>
void accumulateSample(Sampler& s, double systemCpu, const SystemMemory& memory) {
    const auto raise = [](double& maximum, double value) {
        if (value > maximum) maximum = value;
    };
    const double freeMB = memory.free * kMegabytesPerByte;
    const double usedMB = usedMemory(memory) * kMegabytesPerByte;
    const double compressedMB = memory.compressed * kMegabytesPerByte;
    s.counter += 1;
    s.sumCpu += systemCpu;
    s.sumMemoryUsed += usedMB;
    s.sumMemoryFree += freeMB;
    s.sumMemoryCompressed += compressedMB;
    raise(s.maxCpu, systemCpu);
    raise(s.maxMemoryFree, freeMB);
    raise(s.maxMemoryUsed, usedMB);
    raise(s.maxMemoryCompressed, compressedMB);
    s.cpuDict.set(s.counter, systemCpu);
    s.memoryUsedDict.set(s.counter, usedMB);
    s.memoryFreeDict.set(s.counter, freeMB);
    s.memoryCompressedDict.set(s.counter, compressedMB);
}

/// Counter, sums and maxima back to zero; series, names and instants stay.
template <typename Sampler>
void resetAccumulators(Sampler& s) {
    s.counter = 0;
    s.sumCpu = s.sumMemoryUsed = s.sumMemoryFree = s.sumMemoryCompressed = 0;
    s.maxCpu = s.maxMemoryUsed = s.maxMemoryFree = s.maxMemoryCompressed = 0;
}

/// Empties the four series.
template <typename Sampler>
void clearSeries(Sampler& s) {
    s.cpuDict.clear();
    s.memoryUsedDict.clear();
    s.memoryCompressedDict.clear();
    s.memoryFreeDict.clear();
}

/// The report of the sampler's series, its averages over `counter` (NaN when it is 0), its maxima and
/// the duration from `startTime` to `endTime`, under the names given (each left out when absent or
/// empty).
template <typename Sampler>
MeasurementReport reportOf(const Sampler& s, const std::optional<std::string>& usecaseName,
                           const std::optional<std::string>& srNumber, const std::optional<std::string>& pageName) {
    const double count = static_cast<double>(s.counter);
    MeasurementReport r;
    r.usecaseName = reportName(usecaseName);
    r.srNumber = reportName(srNumber);
    r.pagename = reportName(pageName);
    r.cpu = &s.cpuDict;
    r.memoryUsed = &s.memoryUsedDict;
    r.memoryFree = &s.memoryFreeDict;
    r.memoryCompressed = &s.memoryCompressedDict;
    r.averagecpu = s.sumCpu / count;
    r.averagememoryfree = s.sumMemoryFree / count;
    r.averagememorycompressed = s.sumMemoryCompressed / count;
    r.averagememoryused = s.sumMemoryUsed / count;
    r.maxmemoryfree = s.maxMemoryFree;
    r.maxmemorycompressed = s.maxMemoryCompressed;
    r.maxmemoryused = s.maxMemoryUsed;
    r.maxcpu = s.maxCpu;
    r.totalduration = totalDuration(s.startTime, s.endTime);
    return r;
}

}  // namespace perfagent
