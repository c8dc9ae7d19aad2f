#pragma once

#include "probes/memory.hpp"
#include "report/measurement_report.hpp"
#include "report/sample_series.hpp"

#include <cstdint>
#include <optional>
#include <string>

namespace perfagent {

/// @brief What a measurement accumulates: the sample counter, sums and maxima (memory in MB), the four
/// series under the sample numbers, and the start and end instants. The metrics collector and the
/// operator screen each are one, so both keep these under the same names.
struct Accumulation {
    SampleSeries cpuDict;
    SampleSeries memoryUsedDict;
    SampleSeries memoryFreeDict;
    SampleSeries memoryCompressedDict;
    std::int64_t counter = 0;
    double sumCpu = 0;
    double sumMemoryUsed = 0;
    double sumMemoryFree = 0;
    double sumMemoryCompressed = 0;
    double maxCpu = 0;
    double maxMemoryUsed = 0;
    double maxMemoryFree = 0;
    double maxMemoryCompressed = 0;
    double startTime = 0;
    double endTime = 0;
    /// The latest system CPU reading that was a number: a reading of no elapsed ticks (NaN) is replaced
    /// by it, so one such reading cannot make every later report unsendable.
    double systemCPULatest = 0;
};

/// Adds one sample: counter + 1, the sums, the maxima (raised only by a strictly greater value) and
/// the four series under the new sample number. Memory goes in as MB.
void accumulateSample(Accumulation& s, double systemCpu, const SystemMemory& memory);

/// Counter, sums and maxima back to zero; series, names and instants stay.
void resetAccumulators(Accumulation& s);

/// Empties the four series.
void clearSeries(Accumulation& s);

/// The report of the series, the averages over `counter` (NaN when it is 0), the maxima and the
/// duration from `startTime` to `endTime`, under the names given (each left out when absent or empty).
MeasurementReport reportOf(const Accumulation& s, const std::optional<std::string>& usecaseName,
                           const std::optional<std::string>& srNumber, const std::optional<std::string>& pageName);

}  // namespace perfagent
