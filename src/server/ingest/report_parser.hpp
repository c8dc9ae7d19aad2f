#pragma once

#include "base/result.hpp"
#include "storage/run_store.hpp"

#include <string>
#include <string_view>

namespace perfagent {

/// Highest sample number a report may carry: a body within the upload limit cannot hold more samples
/// (four series entries of some twenty bytes each), and the read API lays series out densely.
inline constexpr std::int64_t kMaxSampleNumber = 1 << 20;

/// Parses and checks one measurement report body: a JSON object (UTF-8, nested at most 32 deep) with
/// the four series as objects of sample keys ("1s", "2s", …) to finite numbers, the nine summary
/// numbers, and the names as strings where present (an empty name counts as absent), and "markers" as an
/// object of sample keys to texts when present. Other members are ignored. A Failure says why a body is
/// refused. The report keeps the body: its series values are converted only when read.
Result<IncomingReport> parseReport(std::string body);

/// Parses the device-token upload's body, `{"DeviceToken": "…"}`: the token text, or a Failure saying why not.
Result<std::string> parseDeviceToken(std::string_view body);

}  // namespace perfagent
