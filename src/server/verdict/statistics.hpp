#pragma once

#include <optional>
#include <span>

namespace perfagent {

/// @brief How one sample of values differs from another, distribution-free.
///
/// `shift` is the Hodges–Lehmann estimate of the run's values minus the baseline's: the median of all
/// m·n differences run[j] − baseline[i]. Its 99 % confidence interval [low, high] is the pair of order
/// statistics of those differences whose ranks come from the Mann–Whitney critical value
/// C = ⌊m·n/2 − z₀.₀₀₅·σ⌋ (σ the tie-corrected standard deviation of U, the normal approximation for
/// every size): low is the C-th smallest difference, high the C-th largest. When C < 1 (a handful of
/// samples) no interval at that confidence exists and both bounds are absent.
///
/// `p` is the two-sided Mann–Whitney U test's p-value, normal approximation with tie correction and
/// continuity correction. When every value of both samples is equal (σ = 0) the samples cannot differ:
/// p = 1.
struct SampleComparison {
    double baselineMedian = 0;
    double runMedian = 0;
    double shift = 0;
    std::optional<double> low;
    std::optional<double> high;
    double p = 1;
};

/// Compares two non-empty samples without NaN. O((m+n)·log(m+n)) expected: the differences are never
/// listed, their order statistics are selected from the implicit sorted matrix.
SampleComparison compareSamples(std::span<const double> baseline, std::span<const double> run);

}  // namespace perfagent
