#include "storage/run_derivation.hpp"

#include <algorithm>
#include <iterator>
#include <cmath>

namespace perfagent {

namespace {

bool compatible(const std::optional<std::string>& run, const std::optional<std::string>& report) {
    return !run || !report || *run == *report;
}

bool sameValues(const Sample& a, const Sample& b) {
    for (std::size_t i = 0; i < a.values.size(); ++i) {
        const double x = a.values[i], y = b.values[i];
        if (x != y && !(std::isnan(x) && std::isnan(y))) return false;
    }
    return true;
}

const Sample* findSample(const std::vector<Sample>& samples, std::int64_t n) {
    const auto it = std::lower_bound(samples.begin(), samples.end(), n,
                                     [](const Sample& s, std::int64_t number) { return s.n < number; });
    return it != samples.end() && it->n == n ? &*it : nullptr;
}

void fillAbsent(std::optional<std::string>& run, const std::optional<std::string>& report) {
    if (!run) run = report;
}

}  // namespace

bool namesCompatible(const RunNames& run, const RunNames& report) {
    return compatible(run.usecase, report.usecase) && compatible(run.srnumber, report.srnumber) &&
           compatible(run.pagename, report.pagename);
}

bool samplesAgree(RunTransaction& transaction, const StoredRun& run, const IncomingReport& report) {
    if (run.samples == 0 || report.samples.empty()) return true;
    std::int64_t points[2] = {report.samples.front().n, 0};
    std::size_t count = 1;
    // The report's last sample that the run may hold.
    const auto beyond = std::upper_bound(report.samples.begin(), report.samples.end(), run.lastSample,
                                         [](std::int64_t number, const Sample& s) { return number < s.n; });
    if (beyond != report.samples.begin() && std::prev(beyond)->n != points[0]) points[count++] = std::prev(beyond)->n;
    for (const Sample& stored : transaction.storedSamples(run.id, std::span(points, count))) {
        const Sample* sent = findSample(report.samples, stored.n);
        if (sent && !sameValues(*sent, stored)) return false;
    }
    return true;
}

IngestResult ingestReport(RunTransaction& transaction, std::string_view device, const IncomingReport& report,
                          std::int64_t nowMs) {
    transaction.lockDevice(device);
    IngestResult result;
    std::optional<StoredRun> chosen;
    for (StoredRun& run : transaction.recentRuns(device, kCandidateRuns)) {
        if (namesCompatible(run.names, report.names) && samplesAgree(transaction, run, report)) {
            chosen = std::move(run);
            break;
        }
    }
    if (!chosen) {
        chosen.emplace();
        chosen->id = transaction.createRun(device, report.names, nowMs);
        chosen->names = report.names;
        result.newRun = true;
    }
    StoredRun& run = *chosen;
    fillAbsent(run.names.usecase, report.names.usecase);
    fillAbsent(run.names.srnumber, report.names.srnumber);
    fillAbsent(run.names.pagename, report.names.pagename);

    // Without gaps below its last sample the run can only lack the report's newer samples; with gaps,
    // every sample is offered and the database keeps those it lacks.
    std::span<const Sample> offered(report.samples);
    if (run.samples == run.lastSample) {
        const auto newer = std::upper_bound(report.samples.begin(), report.samples.end(), run.lastSample,
                                            [](std::int64_t number, const Sample& s) { return number < s.n; });
        offered = offered.subspan(static_cast<std::size_t>(newer - report.samples.begin()));
    }
    if (!offered.empty()) result.storedSamples = transaction.insertSamples(run.id, offered);
    run.samples += result.storedSamples;
    run.lastSample = std::max(run.lastSample, report.lastSample());

    const bool latest = report.lastSample() > run.summarySamples ||
                        (report.lastSample() == run.summarySamples &&
                         report.summary.totalduration > run.summaryDuration);
    if (latest) {
        run.summarySamples = report.lastSample();
        run.summaryDuration = report.summary.totalduration;
    }
    transaction.updateRun(run, latest ? &report.summary : nullptr, nowMs);
    result.runId = run.id;
    return result;
}

}  // namespace perfagent
