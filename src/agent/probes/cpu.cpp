#include "probes/cpu.hpp"

#include <limits>

namespace perfagent {

namespace {

constexpr std::int64_t kMinimumBaselineNs = 500'000'000;
constexpr std::size_t kMaxRecentReadings = 64;

}  // namespace

SystemCpu cpuShares(const CpuTicks& from, const CpuTicks& to) {
    // Counters that went back (a host that read a failed value before) give no figure either.
    const auto delta = [](std::uint64_t a, std::uint64_t b) {
        return b >= a ? static_cast<double>(b - a) : std::numeric_limits<double>::quiet_NaN();
    };
    const double dU = delta(from.user, to.user);
    const double dS = delta(from.system + from.irq + from.softirq + from.steal, to.system + to.irq + to.softirq + to.steal);
    const double dI = delta(from.idle + from.iowait, to.idle + to.iowait);
    const double dN = delta(from.nice, to.nice);
    const double total = ((dU + dS) + dN) + dI;
    // No tick elapsed: every share is 0/0, a NaN, which the callers handle.
    return {dS / total * 100.0, dU / total * 100.0, dI / total * 100.0, dN / total * 100.0};
}

SystemReading Probes::readSystem() {
    SystemReading reading = source_.readSystem();
    if (!reading.ticks) return reading;
    recent_.push_back({*reading.ticks, reading.atNs});
    while (recent_.size() > kMaxRecentReadings ||
           (recent_.size() >= 2 && reading.atNs - recent_[1].atNs >= kMinimumBaselineNs))
        recent_.pop_front();
    return reading;
}

CpuTicks Probes::baselineFor(std::int64_t nowNs) const {
    for (auto it = recent_.rbegin(); it != recent_.rend(); ++it)
        if (nowNs - it->atNs >= kMinimumBaselineNs) return it->ticks;
    return {};
}

Result<ProcessMeter::Figures> ProcessMeter::read() {
    auto reading = handle_->read();
    if (!reading) return reading.error();
    Figures out{std::numeric_limits<double>::quiet_NaN(), static_cast<double>(reading->residentBytes)};
    if (previous_ && reading->atNs > previous_->atNs && reading->cpuNs >= previous_->cpuNs) {
        out.cpu = static_cast<double>(reading->cpuNs - previous_->cpuNs) /
                  static_cast<double>(reading->atNs - previous_->atNs) * 100.0;
    }
    previous_ = *reading;
    return out;
}

namespace {

std::unique_ptr<ProcessHandle> openSelf(ProcSource& source) {
    auto self = source.open({}, false);
    if (!self) throw std::runtime_error("cannot read the agent's own process: " + self.error().message);
    return std::move(*self);
}

}  // namespace

Sampler::Sampler(Probes& probes) : probes_(probes), self_(openSelf(probes.source())) {}

void Sampler::restart() {
    previous_ = probes_.readSystem().ticks;
    self_.restart();
}

void Sampler::restartFromAgentReading() {
    previous_.reset();
    self_.restart();
}

Sampler::System Sampler::readSystem() {
    const SystemReading reading = probes_.readSystem();
    System out{{}, systemMemoryOf(reading.memory, probes_.physicalMemory())};
    if (!reading.ticks) {
        // No reading: say so, and keep the previous one so the next covers this interval too.
        constexpr double nan = std::numeric_limits<double>::quiet_NaN();
        out.cpu = {nan, nan, nan, nan};
        return out;
    }
    const CpuTicks from = previous_ ? *previous_ : probes_.baselineFor(reading.atNs);
    out.cpu = cpuShares(from, *reading.ticks);
    previous_ = reading.ticks;
    return out;
}

}  // namespace perfagent
