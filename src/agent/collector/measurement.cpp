#include "collector/measurement.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace perfagent {

std::optional<std::size_t> seriesIndex(std::string_view key) {
    for (std::size_t i = 0; i < kSeriesCount; ++i)
        if (key == kSeries[i].key) return i;
    return std::nullopt;
}

void Measurement::start(double startMs, SeriesGroups groups) {
    startTime_ = startMs;
    groups_ = groups;
    markers_.clear();
    resetFigures();
    for (Totals& t : series_) t.entries.clear();
}

void Measurement::add(const SampleReadout& sample, bool withTarget) {
    samples_ += 1;
    for (std::size_t i = 0; i < kSeriesCount; ++i) {
        if (!recordsSeries(i, groups_, withTarget)) continue;
        const SeriesDeclaration& declared = kSeries[i];
        Totals& t = series_[i];
        double value = declared.read(sample);
        if (std::isnan(value)) {
            if (declared.whenMissing == WhenMissing::Skip) continue;
            value = t.latest;
        }
        t.latest = value;
        t.sum += value;
        t.max = t.count == 0 ? value : std::max(t.max, value);
        t.count += 1;
        t.entries.set(samples_, value);
    }
}

void Measurement::resetFigures() {
    samples_ = 0;
    for (Totals& t : series_) {
        t.sum = t.max = 0;
        t.count = 0;
    }
}

void Measurement::partOf(SeriesPart part, std::vector<MeasurementReport::Series>& series,
                         std::vector<MeasurementReport::Figure>& figures) const {
    struct Placed {
        int at;
        MeasurementReport::Figure figure;
    };
    std::vector<Placed> placed;
    // Figures without a fixed place follow every fixed one, in declaration order.
    int next = static_cast<int>(2 * kSeriesCount);
    for (std::size_t i = 0; i < kSeriesCount; ++i) {
        const SeriesDeclaration& declared = kSeries[i];
        if (declared.part != part || !recordsSeries(i, groups_, true)) continue;
        const Totals& t = series_[i];
        series.push_back({declared.key, &t.entries});
        const double none = declared.whenMissing == WhenMissing::HoldLatest ? std::numeric_limits<double>::quiet_NaN() : 0.0;
        if (declared.averageKey)
            placed.push_back({declared.averageAt >= 0 ? declared.averageAt : next++,
                              {declared.averageKey, t.count ? t.sum / static_cast<double>(t.count) : none}});
        if (declared.maxKey) placed.push_back({declared.maxAt >= 0 ? declared.maxAt : next++, {declared.maxKey, t.max}});
    }
    std::stable_sort(placed.begin(), placed.end(), [](const Placed& a, const Placed& b) { return a.at < b.at; });
    for (const Placed& p : placed) figures.push_back(p.figure);
}

MeasurementReport Measurement::report(const std::optional<std::string>& usecaseName,
                                      const std::optional<std::string>& srNumber,
                                      const std::optional<std::string>& pageName, std::optional<TargetName> target) const {
    MeasurementReport r;
    r.usecaseName = reportName(usecaseName);
    r.srNumber = reportName(srNumber);
    r.pagename = reportName(pageName);
    partOf(SeriesPart::System, r.series, r.figures);
    r.figures.push_back({"totalduration", totalDuration(startTime_, endTime_)});
    r.markers = &markers_;
    if (target) {
        r.target = MeasurementReport::Target{std::move(target->name), target->pid, {}, {}};
        partOf(SeriesPart::Target, r.target->series, r.target->figures);
    }
    return r;
}

}  // namespace perfagent
