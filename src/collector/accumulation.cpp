#include "collector/accumulation.hpp"

namespace perfagent {

void accumulateSample(Accumulation& s, double systemCpu, const SystemMemory& memory) {
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

void resetAccumulators(Accumulation& s) {
    s.counter = 0;
    s.sumCpu = s.sumMemoryUsed = s.sumMemoryFree = s.sumMemoryCompressed = 0;
    s.maxCpu = s.maxMemoryUsed = s.maxMemoryFree = s.maxMemoryCompressed = 0;
}

void clearSeries(Accumulation& s) {
    s.cpuDict.clear();
    s.memoryUsedDict.clear();
    s.memoryCompressedDict.clear();
    s.memoryFreeDict.clear();
}

MeasurementReport reportOf(const Accumulation& s, const std::optional<std::string>& usecaseName,
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
