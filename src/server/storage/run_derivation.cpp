#include "storage/run_derivation.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace perfagent {

namespace {

bool compatible(const std::optional<std::string>& run, const std::optional<std::string>& report) {
    return !run || !report || *run == *report;
}

void fillAbsent(std::optional<std::string>& run, const std::optional<std::string>& report) {
    if (!run) run = report;
}

/// The run's series index of each report column, adding the report's new series to `series`; nothing
/// when the run would hold more than kMaxSeries.
std::optional<std::vector<std::size_t>> mapColumns(std::vector<StoredSeries>& series, const IncomingReport& report) {
    std::vector<std::size_t> columns;
    columns.reserve(report.series.size());
    for (const std::string& name : report.series) {
        const auto it = std::find_if(series.begin(), series.end(), [&](const StoredSeries& s) { return s.name == name; });
        if (it != series.end()) {
            columns.push_back(static_cast<std::size_t>(it - series.begin()));
            continue;
        }
        if (series.size() == kMaxSeries) return std::nullopt;
        columns.push_back(series.size());
        series.push_back({name});
    }
    return columns;
}

/// The report's row holding sample `n`, or its row count.
std::size_t rowOf(const IncomingReport& report, std::int64_t n) {
    const auto it = std::lower_bound(report.numbers.begin(), report.numbers.end(), n);
    return it != report.numbers.end() && *it == n ? static_cast<std::size_t>(it - report.numbers.begin())
                                                  : report.numbers.size();
}

/// True when the run's stored values agree with the report's where both hold one, at the report's first
/// sample (a restarted measurement differs there) and at the last sample both hold.
bool samplesAgree(RunTransaction& transaction, const StoredRun& run, std::size_t width,
                  const std::vector<std::size_t>& columns, const IncomingReport& report) {
    if (run.samples == 0 || report.numbers.empty()) return true;
    std::int64_t points[2] = {report.numbers.front(), 0};
    std::size_t count = 1;
    const auto beyond = std::upper_bound(report.numbers.begin(), report.numbers.end(), run.lastSample);
    if (beyond != report.numbers.begin() && *std::prev(beyond) != points[0]) points[count++] = *std::prev(beyond);
    const SampleRows stored = transaction.storedRows(run.id, std::span(points, count), width);
    for (std::size_t r = 0; r < stored.numbers.size(); ++r) {
        const std::size_t row = rowOf(report, stored.numbers[r]);
        if (row == report.numbers.size()) continue;
        for (std::size_t j = 0; j < columns.size(); ++j) {
            const double kept = stored.row(r)[columns[j]], sent = report.value(row, j);
            if (!std::isnan(kept) && !std::isnan(sent) && kept != sent) return false;
        }
    }
    return true;
}

/// The run a report belongs to, with its series (the report's new ones appended) and the report's
/// columns' places among them.
struct Match {
    StoredRun run;
    Labels labels{};
    std::vector<StoredSeries> series{};
    std::size_t known = 0;  ///< series the database holds already
    std::vector<std::size_t> columns{};
};

std::optional<Match> findRun(RunTransaction& transaction, std::string_view device, const IncomingReport& report) {
    StoredRun cursor;
    for (;;) {
        const std::vector<StoredRun> batch = transaction.candidateRuns(device, report.names, cursor, kCandidateBatch);
        for (const StoredRun& run : batch) {
            Match match{.run = run};
            if (!report.labels.empty()) {
                match.labels = transaction.labels(run.id);
                if (!labelsCompatible(match.labels, report.labels)) continue;
            }
            match.series = transaction.series(run.id);
            match.known = match.series.size();
            auto columns = mapColumns(match.series, report);
            if (!columns || !samplesAgree(transaction, run, match.series.size(), *columns, report)) continue;
            match.columns = std::move(*columns);
            return match;
        }
        if (batch.size() < static_cast<std::size_t>(kCandidateBatch)) return std::nullopt;
        cursor = batch.back();
    }
}

/// Counts a value newly stored for sample `n` in its series.
void place(StoredSeries& series, std::int64_t n) {
    series.first = series.count == 0 ? n : std::min(series.first, n);
    series.last = series.count == 0 ? n : std::max(series.last, n);
    ++series.count;
}

}  // namespace

std::vector<std::string> orderedSeriesNames(const RunDetail& run) {
    std::vector<std::string> names;
    for (const std::string_view system : kSystemSeries)
        if (run.series.contains(system)) names.emplace_back(system);
    for (const auto& entry : run.series)
        if (std::find(kSystemSeries.begin(), kSystemSeries.end(), entry.first) == kSystemSeries.end())
            names.push_back(entry.first);
    return names;
}

bool namesCompatible(const RunNames& run, const RunNames& report) {
    return compatible(run.usecase, report.usecase) && compatible(run.srnumber, report.srnumber) &&
           compatible(run.pagename, report.pagename);
}

bool labelsCompatible(const Labels& run, const Labels& report) {
    for (const auto& [name, value] : report) {
        const auto it = run.find(name);
        if (it != run.end() && it->second != value) return false;
    }
    return true;
}

IngestResult ingestReport(RunTransaction& transaction, std::string_view device, const IncomingReport& report,
                          std::int64_t nowMs) {
    transaction.lockDevice(device);
    IngestResult result;
    std::optional<Match> found = findRun(transaction, device, report);
    if (!found) {
        found.emplace();
        // The report left just after its last sample, and sample 1 was taken a second per sample before that.
        const std::int64_t firstSampleMs = nowMs - (std::max<std::int64_t>(report.lastSample(), 1) - 1) * 1000;
        found->run.id = transaction.createRun(device, report.names, nowMs, firstSampleMs);
        found->run.names = report.names;
        found->columns = *mapColumns(found->series, report);  // a report holds at most kMaxSeries
        result.newRun = true;
    }
    Match& match = *found;
    StoredRun& run = match.run;
    std::vector<StoredSeries>& series = match.series;
    fillAbsent(run.names.usecase, report.names.usecase);
    fillAbsent(run.names.srnumber, report.names.srnumber);
    fillAbsent(run.names.pagename, report.names.pagename);

    // Rows beyond the run's last sample are new. Below it, only a row holding a value outside the span
    // its series already covers without gaps may bring something: those rows are read and merged.
    const double missing = std::numeric_limits<double>::quiet_NaN();
    const std::size_t width = series.size();
    const auto fresh = static_cast<std::size_t>(
        std::upper_bound(report.numbers.begin(), report.numbers.end(), run.lastSample) - report.numbers.begin());
    // A row of a dense series within its span is skipped by bisection, without reading the report's value
    // there: a running report repeats every sample its run holds.
    std::vector<bool> mayBring(fresh, false);
    const auto heldRows = report.numbers.begin() + static_cast<std::ptrdiff_t>(fresh);
    for (std::size_t j = 0; j < match.columns.size(); ++j) {
        const StoredSeries& s = series[match.columns[j]];
        const bool spanned = s.count > 0 && s.dense();
        const auto from = spanned ? std::lower_bound(report.numbers.begin(), heldRows, s.first) : heldRows;
        const auto to = spanned ? std::upper_bound(from, heldRows, s.last) : heldRows;
        const auto mark = [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i)
                if (report.has(i, j)) mayBring[i] = true;
        };
        mark(0, static_cast<std::size_t>(from - report.numbers.begin()));
        mark(static_cast<std::size_t>(to - report.numbers.begin()), fresh);
    }
    std::vector<std::int64_t> candidates;
    std::vector<std::size_t> candidateRows;
    for (std::size_t i = 0; i < fresh; ++i) {
        if (!mayBring[i]) continue;
        candidates.push_back(report.numbers[i]);
        candidateRows.push_back(i);
    }
    SampleRows inserts{.width = width}, updates{.width = width};
    const auto addRow = [&](SampleRows& rows, std::int64_t n) {
        rows.numbers.push_back(n);
        rows.values.resize(rows.values.size() + width, missing);
        return rows.values.data() + rows.values.size() - width;
    };
    if (!candidates.empty()) {
        const SampleRows stored = transaction.storedRows(run.id, candidates, width);
        std::size_t r = 0;
        for (const std::size_t i : candidateRows) {
            const std::int64_t n = report.numbers[i];
            while (r < stored.numbers.size() && stored.numbers[r] < n) ++r;
            const bool held = r < stored.numbers.size() && stored.numbers[r] == n;
            double* values = addRow(held ? updates : inserts, n);
            if (held) std::copy_n(stored.row(r).data(), width, values);
            bool changed = false;
            for (std::size_t j = 0; j < match.columns.size(); ++j) {
                const std::size_t k = match.columns[j];
                if (std::isnan(values[k]) && report.has(i, j)) {
                    values[k] = report.value(i, j);
                    place(series[k], n);
                    changed = true;
                }
            }
            if (held && !changed) {
                updates.numbers.pop_back();
                updates.values.resize(updates.values.size() - width);
            }
        }
    }
    for (std::size_t i = fresh; i < report.numbers.size(); ++i) {
        double* values = addRow(inserts, report.numbers[i]);
        for (std::size_t j = 0; j < match.columns.size(); ++j) {
            const double value = report.value(i, j);
            if (std::isnan(value)) continue;
            values[match.columns[j]] = value;
            place(series[match.columns[j]], report.numbers[i]);
        }
    }
    if (!inserts.numbers.empty()) transaction.insertRows(run.id, inserts);
    if (!updates.numbers.empty()) transaction.updateRows(run.id, updates);
    if (!inserts.numbers.empty() || !updates.numbers.empty() || match.known < series.size())
        transaction.saveSeries(run.id, series, match.known);

    Labels added;
    for (const auto& [name, value] : report.labels)
        if (!match.labels.contains(name)) added.emplace(name, value);
    if (!added.empty()) transaction.addLabels(run.id, added);
    if (!report.markers.empty()) transaction.saveMarkers(run.id, report.markers);

    result.storedSamples = static_cast<std::int64_t>(inserts.numbers.size());
    run.samples += result.storedSamples;
    run.lastSample = std::max(run.lastSample, report.lastSample());
    const double duration = report.figure("totalduration");
    const bool latest = report.lastSample() > run.summarySamples ||
                        (report.lastSample() == run.summarySamples && duration > run.summaryDuration);
    if (latest) {
        run.summarySamples = report.lastSample();
        run.summaryDuration = duration;
    }
    transaction.updateRun(run, latest ? &report.figures : nullptr, nowMs);
    result.runId = run.id;
    return result;
}

}  // namespace perfagent
