#pragma once

#include "base/thread_annotations.hpp"

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>

namespace perfagent {

/// @brief The server's counters for `GET /metrics`, in the Prometheus text format. Every method may be
/// called from any thread.
class ServerMetrics {
public:
    /// The report refusals counted, by the answer's status.
    static constexpr std::array<std::pair<unsigned, const char*>, 5> kRefusalReasons{
        {{400, "invalid"}, {403, "forbidden"}, {413, "too_large"}, {415, "unsupported_media_type"}, {503, "queue_full"}}};
    /// Upper bounds of the store-time histogram's buckets, in seconds.
    static constexpr std::array<double, 12> kStoreBuckets{0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025,
                                                          0.05,   0.1,   0.25,   0.5,   1,    2.5};

    void reportAccepted() { accepted_.fetch_add(1, std::memory_order_relaxed); }
    /// A report answered `status` (any status but those above counts as "other").
    void reportRefused(unsigned status);
    /// How long the store took over one report.
    void reportStored(std::chrono::nanoseconds took);
    /// A report of run `runId` stored at `nowMs`: the run is in progress until it goes without one for as
    /// long as a run takes to complete.
    void runReported(std::int64_t runId, std::int64_t nowMs) EXCLUDES(runsMutex_);
    void databaseError() { databaseErrors_.fetch_add(1, std::memory_order_relaxed); }

    /// The whole scrape.
    std::string render(std::size_t queueDepth, std::size_t queueLimit, std::int64_t nowMs) EXCLUDES(runsMutex_);

private:
    /// Forgets runs that have gone quiet.
    void forgetQuietRuns(std::int64_t nowMs) REQUIRES(runsMutex_);

    std::atomic<std::uint64_t> accepted_{0};
    std::array<std::atomic<std::uint64_t>, kRefusalReasons.size() + 1> refused_{};  ///< the last: "other"
    std::array<std::atomic<std::uint64_t>, kStoreBuckets.size() + 1> storeBuckets_{};  ///< the last: +Inf
    std::atomic<std::uint64_t> storeNanoseconds_{0};
    std::atomic<std::uint64_t> databaseErrors_{0};
    Mutex runsMutex_;
    std::unordered_map<std::int64_t, std::int64_t> lastReportMs_ GUARDED_BY(runsMutex_);  ///< by run id
    std::size_t runsAtLastForget_ GUARDED_BY(runsMutex_) = 0;
};

}  // namespace perfagent
