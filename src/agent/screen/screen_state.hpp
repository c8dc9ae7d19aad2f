#pragma once

#include "collector/metrics_collector.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace perfagent {

/// @brief One measurement the operator page may show: the collector holding its samples, its names,
/// what started it ("push", "page" or "overall") and whether it is running.
struct ScreenMeasurement {
    const MetricsCollector* samples = nullptr;
    std::optional<std::string> useCaseName;
    std::optional<std::string> srNumber;
    std::optional<std::string> pageName;
    const char* origin = "";
    bool running = false;
};

/// The page's live view as JSON: `{"running", "measurement", "readout", "series", "seriesInfo"}`. The measurement is
/// the first running one of `candidates`, else the latest started that has samples; the readout the one
/// read last by any of them (memory in MB, a figure not read is null; the app figures are the agent's own
/// when no target is measured); the measurement names its `target` (`{"name", "pid"}`, or null); the
/// series carry the measurement's samples numbered above `since` as arrays from sample "from", a missing
/// sample null, the target's "AppCPU" and "AppMemory" too when it has one; "seriesInfo" describes each
/// series carried (`{"key", "label", "unit", "group", "readout"}`, the readout's name or null). The readout
/// and the series are those the measurement's groups declare. A `since` above kLargestSince is taken as
/// kLargestSince, one below 0 as 0.
std::string screenStateJson(std::span<const ScreenMeasurement> candidates, std::int64_t since);

/// The largest `since` the live view takes: the largest whole number a page's script counts exactly (2^53).
inline constexpr std::int64_t kLargestSince = std::int64_t(1) << 53;

}  // namespace perfagent
