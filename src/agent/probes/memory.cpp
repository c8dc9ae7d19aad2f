#include "probes/memory.hpp"

#include "base/text.hpp"

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

SystemMemory systemMemoryOf(const std::optional<MeminfoKb>& kb, double total) {
    if (!kb) return {0, 0, 0, 0, 0, total};
    // Each sum is formed in kB, then made bytes in double, which no count can overflow.
    const auto bytes = [](std::uint64_t kilobytes) { return static_cast<double>(kilobytes) * 1024.0; };
    return {bytes(kb->memFree),
            bytes(kb->active),
            bytes(kb->inactive),
            bytes(kb->unevictable + kb->sUnreclaim + kb->kernelStack + kb->pageTables),
            bytes(kb->zswap.value_or(0)),
            total};
}

}  // namespace perfagent
