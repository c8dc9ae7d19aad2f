#include "api/server_metrics.hpp"

#include "base/text.hpp"
#include "storage/run_store.hpp"

#include <algorithm>
#include <iterator>

namespace perfagent {

void ServerMetrics::reportRefused(unsigned status) {
    const auto known = std::find_if(kRefusalReasons.begin(), kRefusalReasons.end(),
                                    [status](const auto& reason) { return reason.first == status; });
    refused_[static_cast<std::size_t>(std::distance(kRefusalReasons.begin(), known))].fetch_add(1, std::memory_order_relaxed);
}

void ServerMetrics::reportStored(std::chrono::nanoseconds took) {
    const double seconds = std::chrono::duration<double>(took).count();
    const auto bucket = std::lower_bound(kStoreBuckets.begin(), kStoreBuckets.end(), seconds);
    storeBuckets_[static_cast<std::size_t>(std::distance(kStoreBuckets.begin(), bucket))].fetch_add(1, std::memory_order_relaxed);
    storeNanoseconds_.fetch_add(static_cast<std::uint64_t>(std::max<std::int64_t>(took.count(), 0)), std::memory_order_relaxed);
}

void ServerMetrics::runReported(std::int64_t runId, std::int64_t nowMs) {
    MutexLock lock(runsMutex_);
    std::int64_t& last = lastReportMs_[runId];
    last = std::max(last, nowMs);
    // Bounded by the runs reported in the last completion interval, at most doubled between forgets.
    if (lastReportMs_.size() > 2 * runsAtLastForget_ + 64) forgetQuietRuns(nowMs);
}

void ServerMetrics::forgetQuietRuns(std::int64_t nowMs) {
    std::erase_if(lastReportMs_, [nowMs](const auto& run) { return nowMs - run.second >= kRunCompleteAfterMs; });
    runsAtLastForget_ = lastReportMs_.size();
}

std::string ServerMetrics::render(std::size_t queueDepth, std::size_t queueLimit, std::int64_t nowMs) {
    std::size_t inProgress = 0;
    {
        MutexLock lock(runsMutex_);
        forgetQuietRuns(nowMs);
        inProgress = lastReportMs_.size();
    }
    const auto load = [](const std::atomic<std::uint64_t>& counter) { return std::to_string(counter.load(std::memory_order_relaxed)); };
    std::string out;
    const auto family = [&out](const char* name, const char* type, const char* help) {
        out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    };
    family("perfagent_reports_accepted_total", "counter", "Measurement reports accepted.");
    out += "perfagent_reports_accepted_total " + load(accepted_) + "\n";
    family("perfagent_reports_refused_total", "counter", "Measurement reports refused, by reason.");
    for (std::size_t i = 0; i < refused_.size(); ++i)
        out += std::string("perfagent_reports_refused_total{reason=\"") +
               (i < kRefusalReasons.size() ? kRefusalReasons[i].second : "other") + "\"} " + load(refused_[i]) + "\n";
    family("perfagent_store_queue_depth", "gauge", "Store jobs waiting or running.");
    out += "perfagent_store_queue_depth " + std::to_string(queueDepth) + "\n";
    family("perfagent_store_queue_limit", "gauge", "Store jobs that may wait before requests get 503.");
    out += "perfagent_store_queue_limit " + std::to_string(queueLimit) + "\n";
    family("perfagent_report_store_seconds", "histogram", "Time the store took over one report.");
    std::uint64_t cumulative = 0;
    for (std::size_t i = 0; i < storeBuckets_.size(); ++i) {
        cumulative += storeBuckets_[i].load(std::memory_order_relaxed);
        std::string bound = "+Inf";
        if (i < kStoreBuckets.size()) {
            bound.clear();
            appendDoubleText(bound, kStoreBuckets[i]);
        }
        out += "perfagent_report_store_seconds_bucket{le=\"" + bound + "\"} " + std::to_string(cumulative) + "\n";
    }
    std::string sum;
    appendDoubleText(sum, static_cast<double>(storeNanoseconds_.load(std::memory_order_relaxed)) / 1e9);
    out += "perfagent_report_store_seconds_sum " + sum + "\n";
    out += "perfagent_report_store_seconds_count " + std::to_string(cumulative) + "\n";
    family("perfagent_runs_in_progress", "gauge", "Runs this server stored a report of within the last 10 s.");
    out += "perfagent_runs_in_progress " + std::to_string(inProgress) + "\n";
    family("perfagent_database_errors_total", "counter", "Store operations that failed.");
    out += "perfagent_database_errors_total " + load(databaseErrors_) + "\n";
    return out;
}

}  // namespace perfagent
