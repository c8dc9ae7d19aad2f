#include "api/read_api.hpp"

#include "base/text.hpp"

#include <algorithm>
#include <cmath>

namespace perfagent {

namespace {

/// A CSV field: as it is, or quoted (quotes doubled) when it holds a comma, a quote or a line break.
void appendCsvField(std::string& out, std::string_view text) {
    if (text.find_first_of(",\"\r\n") == std::string_view::npos) {
        out += text;
        return;
    }
    out += '"';
    for (const char c : text) out += c == '"' ? std::string_view("\"\"") : std::string_view(&c, 1);
    out += '"';
}

}  // namespace

std::string samplesCsv(const RunDetail& run) {
    const std::vector<std::string> names = orderedSeriesNames(run);
    std::vector<const std::vector<double>*> columns;
    std::string out = "sample,time,elapsed_s";
    for (const std::string& name : names) {
        out += ',' + name;
        columns.push_back(&run.series.find(name)->second);
    }
    out += ",marker\n";
    // A mark made just before the stop names a sample that was never taken: its row is there all the same.
    const auto length = static_cast<std::size_t>(
        std::max(run.info.lastSample, run.markers.empty() ? 0 : run.markers.rbegin()->first));
    // The run's first sample: the lowest number holding a value in any series.
    std::size_t first = length;
    for (const auto* column : columns)
        for (std::size_t i = 0; i < std::min(first, column->size()); ++i)
            if (!std::isnan((*column)[i])) first = i;
    out.reserve(out.size() + length * (40 + names.size() * 16));
    for (std::size_t i = 0; i < length; ++i) {
        const auto n = static_cast<std::int64_t>(i + 1);
        out += std::to_string(n);
        out += ',' + isoUtc(run.info.firstSampleMs + (n - 1) * 1000) + ',';
        if (i >= first) out += std::to_string(i - first);
        for (const auto* column : columns) {
            out += ',';
            if (i < column->size() && std::isfinite((*column)[i])) appendDoubleText(out, (*column)[i]);
        }
        out += ',';
        if (const auto marker = run.markers.find(n); marker != run.markers.end()) appendCsvField(out, marker->second);
        out += '\n';
    }
    return out;
}

}  // namespace perfagent
