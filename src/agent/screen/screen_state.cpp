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
        const Measurement& m = c.samples->measurement();
        const bool better = !shown || (c.running && !shown->running) ||
                            (!shown->running && !c.running && m.startTime() > shown->samples->measurement().startTime());
        if (better && (c.running || !m.series(kCpuSeries).empty())) shown = &c;
        if (c.samples->latestReadout() && (!readBy || c.samples->latestReadoutAt() > readBy->latestReadoutAt()))
            readBy = c.samples;
    }

    boost::json::object state;
    state["running"] = shown && shown->running;
    if (shown) {
        const Measurement& m = shown->samples->measurement();
        state["measurement"] = boost::json::object{{"useCaseName", name(shown->useCaseName)},
                                                   {"srNumber", name(shown->srNumber)},
                                                   {"pageName", name(shown->pageName)},
                                                   {"started", std::llround(m.startTime())},
                                                   {"origin", shown->origin},
                                                   {"samples", m.series(kCpuSeries).size()},
                                                   {"target", nullptr}};
        if (const ProcessTarget* target = shown->samples->target())
            state["measurement"].as_object()["target"] = boost::json::object{{"name", target->name()}, {"pid", target->pid()}};
    } else {
        state["measurement"] = nullptr;
    }
    if (readBy) {
        // Every figure of the latest sample that the series of its measurement's groups declare.
        const SampleReadout& r = *readBy->latestReadout();
        boost::json::object readout;
        for (const SeriesDeclaration& declared : kSeries)
            if (declared.readoutKey && readBy->measurement().groups().has(declared.group))
                readout[declared.readoutKey] = number(declared.read(r));
        state["readout"] = std::move(readout);
    } else {
        state["readout"] = nullptr;
    }
    const std::int64_t from = std::clamp<std::int64_t>(since, 0, kLargestSince) + 1;
    boost::json::object series{{"from", from}};
    // Without a measurement, the system's series of the base group, empty.
    const Measurement* m = shown ? &shown->samples->measurement() : nullptr;
    const std::int64_t last = m ? m->series(kCpuSeries).last() : 0;
    const SeriesGroups groups = m ? m->groups() : SeriesGroups{};
    // Each series it carries, described from its declaration, so that the page can draw series it
    // does not know by name.
    boost::json::array described;
    for (std::size_t i = 0; i < kSeriesCount; ++i) {
        if (!recordsSeries(i, groups, m && shown->samples->target())) continue;
        const SeriesDeclaration& declared = kSeries[i];
        series[declared.key] = m ? samplesAfter(m->series(i), from, last) : boost::json::array{};
        described.push_back(boost::json::object{{"key", declared.key},
                                                {"label", declared.label},
                                                {"unit", declared.unit},
                                                {"group", seriesGroupName(declared.group)},
                                                {"readout", declared.readoutKey ? boost::json::value(declared.readoutKey) : nullptr}});
    }
    state["series"] = std::move(series);
    state["seriesInfo"] = std::move(described);
    return boost::json::serialize(state);
}

}  // namespace perfagent
