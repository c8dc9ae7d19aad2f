#include "probes/memory.hpp"

#include "report/text.hpp"

namespace perfagent {

std::string systemMemoryText(const SystemMemory& m) {
    std::string out;
    out.reserve(128);
    out += "(free: ";
    appendDoubleText(out, m.free);
    out += ", active: ";
    appendDoubleText(out, m.active);
    out += ", inactive: ";
    appendDoubleText(out, m.inactive);
    out += ", wired: ";
    appendDoubleText(out, m.wired);
    out += ", compressed: ";
    appendDoubleText(out, m.compressed);
    out += ", total: ";
    appendDoubleText(out, m.total);
    out += ')';
    return out;
}

Memory::Memory(Kernel& kernel)
    : kernel_(kernel), pageSize_(kernel.pageSize()), totalMemory_(kernel.physicalMemory()) {}

AppMemory Memory::appMemory() {
    TaskBasicInfo info{};
    double resident = 0.0;
    lastTaskResult_ = kernel_.taskBasicInfo(task_, info);
    if (lastTaskResult_ == kKernSuccess) resident = static_cast<double>(info.residentSize);
    return {resident, totalMemory_};
}

double Memory::appFootprint() {
    TaskVmInfo info{};
    lastTaskResult_ = kernel_.taskVmInfo(task_, info);
    return lastTaskResult_ == kKernSuccess ? static_cast<double>(info.physFootprint) : 0.0;
}

SystemMemory Memory::systemMemory() {
    VmStatistics64 vm{};
    // A failed query counts as an all-zero record, whatever the backend left in it.
    if (kernel_.hostVmInfo64(vm) != kKernSuccess) vm = VmStatistics64{};
    // Page counts go to double before multiplying, so even 2^32 - 1 pages cannot overflow.
    return {
        static_cast<double>(vm.freeCount) * pageSize_,
        static_cast<double>(vm.activeCount) * pageSize_,
        static_cast<double>(vm.inactiveCount) * pageSize_,
        static_cast<double>(vm.wireCount) * pageSize_,
        static_cast<double>(vm.compressorPageCount) * pageSize_,
        totalMemory_,
    };
}

}  // namespace perfagent
