#pragma once

#include "base/result.hpp"

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace perfagent {

/// The longest label a marker may have, in bytes.
inline constexpr std::size_t kMaxMarkerLabelBytes = 128;
/// The most markers one measurement keeps; later ones are refused.
inline constexpr std::size_t kMaxMarkers = 1000;
/// Joins the labels of several markers on one sample.
inline constexpr std::string_view kMarkerJoin = " \u00B7 ";

/// Whether `label` can label a marker; fails saying why not (empty, longer than kMaxMarkerLabelBytes, not
/// UTF-8, or holding a control character).
Result<void> checkMarkerLabel(std::string_view label);

/// @brief A measurement's markers: labelled sample numbers, what a tester was doing when. Several markers
/// on one sample share its entry, their labels joined with kMarkerJoin in the order they came.
class Markers {
public:
    /// Marks sample `n` with `label` (checked by checkMarkerLabel); fails when the measurement has
    /// kMaxMarkers already.
    Result<void> add(std::int64_t n, std::string_view label);
    bool empty() const { return bySample_.empty(); }
    /// Markers added, counting each of those sharing a sample.
    std::size_t count() const { return count_; }
    void clear();
    /// Sample number → its labels, joined.
    const std::map<std::int64_t, std::string>& bySample() const { return bySample_; }

private:
    std::map<std::int64_t, std::string> bySample_;
    std::size_t count_ = 0;
};

}  // namespace perfagent
