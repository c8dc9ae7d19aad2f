#include "screen/screen_state.hpp"

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>
#include <boost/json/serialize.hpp>

#include <algorithm>
#include <cmath>

namespace perfagent {

namespace {

boost::json::value number(double value) {
    if (!std::isfinite(value)) return nullptr;
    return value;
}

boost::json::value name(const std::optional<std::string>& text) {
    if (!text || text->empty()) return nullptr;
    return boost::json::string(*text);
}

boost::json::array samplesAfter(const SampleSeries& series, std::int64_t from, std::int64_t last) {
    boost::json::array values;
    values.reserve(static_cast<std::size_t>(std::max<std::int64_t>(0, last - from + 1)));
    for (std::int64_t n = from; n <= last; ++n) {
        const auto value = series.get(n);
        values.push_back(value ? number(*value) : nullptr);
    }
    return values;
}

}  // namespace

std::string screenStateJson(std::span<const ScreenMeasurement> candidates, std::int64_t since) {
    const ScreenMeasurement* shown = nullptr;
    const MetricsCollector* readBy = nullptr;
    for (const ScreenMeasurement& c : candidates) {
        if (!c.samples) continue;
        const bool better = !shown || (c.running && !shown->running) ||
                            (!shown->running && !c.running && c.samples->startTime > shown->samples->startTime);
        if (better && (c.running || !c.samples->cpuDict.empty())) shown = &c;
        if (c.samples->latestReadout && (!readBy || c.samples->latestReadoutAt > readBy->latestReadoutAt))
            readBy = c.samples;
    }

    boost::json::object state;
    state["running"] = shown && shown->running;
    if (shown) {
        const MetricsCollector& m = *shown->samples;
        state["measurement"] = boost::json::object{{"useCaseName", name(shown->useCaseName)},
                                                   {"srNumber", name(shown->srNumber)},
                                                   {"pageName", name(shown->pageName)},
                                                   {"started", std::llround(m.startTime)},
                                                   {"origin", shown->origin},
                                                   {"samples", m.cpuDict.size()},
                                                   {"target", nullptr}};
        if (const ProcessTarget* target = m.target())
            state["measurement"].as_object()["target"] = boost::json::object{{"name", target->name()}, {"pid", target->pid()}};
    } else {
        state["measurement"] = nullptr;
    }
    if (readBy) {
        const SampleReadout& r = *readBy->latestReadout;
        state["readout"] = boost::json::object{{"systemCpu", number(r.systemCpu)},
                                               {"memoryUsed", number(usedMemory(r.memory) * kMegabytesPerByte)},
                                               {"memoryFree", number(r.memory.free * kMegabytesPerByte)},
                                               {"memoryCompressed", number(r.memory.compressed * kMegabytesPerByte)},
                                               {"appCpu", number(r.appCpu)},
                                               {"appMemory", number(r.appMemory * kMegabytesPerByte)}};
    } else {
        state["readout"] = nullptr;
    }
    const std::int64_t from = std::clamp<std::int64_t>(since, 0, kLargestSince) + 1;
    boost::json::object series{{"from", from}};
    const MetricsCollector* m = shown ? shown->samples : nullptr;
    const std::int64_t last = m ? m->cpuDict.last() : 0;
    series["CPU"] = m ? samplesAfter(m->cpuDict, from, last) : boost::json::array{};
    series["MemoryUsed"] = m ? samplesAfter(m->memoryUsedDict, from, last) : boost::json::array{};
    series["MemoryFree"] = m ? samplesAfter(m->memoryFreeDict, from, last) : boost::json::array{};
    series["MemoryCompressed"] = m ? samplesAfter(m->memoryCompressedDict, from, last) : boost::json::array{};
    if (m && m->target()) {
        series["AppCPU"] = samplesAfter(m->appCpuDict, from, last);
        series["AppMemory"] = samplesAfter(m->appMemoryDict, from, last);
    }
    state["series"] = std::move(series);
    return boost::json::serialize(state);
}

}  // namespace perfagent
