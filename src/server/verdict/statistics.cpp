#include "verdict/statistics.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

namespace perfagent {
namespace {

/// z such that P(|Z| > z) = 0.01 for a standard normal Z.
constexpr double kZ99 = 2.5758293035489004;

double median(const std::vector<double>& sorted) {
    const std::size_t n = sorted.size();
    return n % 2 == 1 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
}

/// The differences y[j] − x[i] of two ascending samples, as an implicit matrix: each row i ascends with j,
/// each column descends with i. Selects its k-th smallest element (from 0) without listing the m·n
/// elements: a random pivot among the remaining candidates splits every row with one monotone sweep, and
/// the rows' candidate ranges shrink to the side that holds rank k (expected O(log(m·n)) sweeps of O(m+n)).
class SortedDifferences {
public:
    SortedDifferences(const std::vector<double>& x, const std::vector<double>& y) : x_(x), y_(y) {}

    double select(std::int64_t k) {
        const std::size_t m = x_.size(), n = y_.size();
        std::vector<std::int64_t> lo(m, 0), hi(m, static_cast<std::int64_t>(n)), less(m), notGreater(m);
        std::int64_t below = 0;  // candidates excluded as smaller than rank k
        for (;;) {
            std::int64_t remaining = 0;
            for (std::size_t i = 0; i < m; ++i) remaining += hi[i] - lo[i];
            if (remaining <= static_cast<std::int64_t>(m + n)) return selectAmongFew(lo, hi, k - below);
            const double pivot = randomCandidate(lo, hi, remaining);
            // Row i's elements < pivot are its first less[i]; ≤ pivot its first notGreater[i]. Both
            // boundaries only move right as x grows, so one sweep finds them all.
            std::int64_t jLess = 0, jNotGreater = 0, countLess = 0, countNotGreater = 0;
            for (std::size_t row = 0; row < m; ++row) {
                while (jLess < static_cast<std::int64_t>(n) && y_[jLess] - x_[row] < pivot) ++jLess;
                while (jNotGreater < static_cast<std::int64_t>(n) && y_[jNotGreater] - x_[row] <= pivot) ++jNotGreater;
                less[row] = jLess, notGreater[row] = jNotGreater;
                countLess += jLess, countNotGreater += jNotGreater;
            }
            if (k < countLess) {
                hi = less;
            } else if (k >= countNotGreater) {
                lo = notGreater;
                below = countNotGreater;
            } else {
                return pivot;
            }
        }
    }

private:
    double at(std::size_t row, std::int64_t column) const { return y_[column] - x_[row]; }

    double randomCandidate(const std::vector<std::int64_t>& lo, const std::vector<std::int64_t>& hi,
                           std::int64_t remaining) {
        std::int64_t pick = std::uniform_int_distribution<std::int64_t>(0, remaining - 1)(random_);
        for (std::size_t row = 0;; ++row) {
            if (pick < hi[row] - lo[row]) return at(row, lo[row] + pick);
            pick -= hi[row] - lo[row];
        }
    }

    double selectAmongFew(const std::vector<std::int64_t>& lo, const std::vector<std::int64_t>& hi, std::int64_t k) const {
        std::vector<double> few;
        for (std::size_t row = 0; row < lo.size(); ++row)
            for (std::int64_t column = lo[row]; column < hi[row]; ++column) few.push_back(at(row, column));
        std::nth_element(few.begin(), few.begin() + k, few.end());
        return few[static_cast<std::size_t>(k)];
    }

    const std::vector<double>& x_;
    const std::vector<double>& y_;
    std::mt19937_64 random_{0x5eed};  // fixed: the same samples always take the same path
};

}  // namespace

SampleComparison compareSamples(std::span<const double> baseline, std::span<const double> run) {
    std::vector<double> x(baseline.begin(), baseline.end()), y(run.begin(), run.end());
    std::sort(x.begin(), x.end());
    std::sort(y.begin(), y.end());
    const auto m = static_cast<std::int64_t>(x.size()), n = static_cast<std::int64_t>(y.size());
    const double N = static_cast<double>(m + n), mn = static_cast<double>(m) * static_cast<double>(n);

    // The run's rank sum over the merged samples, tied values sharing their mean rank; and Σ(t³ − t) over
    // the groups of ties for the variance's correction.
    double runRanks = 0, ties = 0;
    for (std::int64_t i = 0, j = 0; i < m || j < n;) {
        const double value = j == n || (i < m && x[i] < y[j]) ? x[i] : y[j];
        std::int64_t inX = 0, inY = 0;
        while (i < m && x[i] == value) ++i, ++inX;
        while (j < n && y[j] == value) ++j, ++inY;
        const double t = static_cast<double>(inX + inY), firstRank = static_cast<double>(i + j) - t + 1;
        runRanks += static_cast<double>(inY) * (firstRank + (t - 1) / 2);
        ties += t * t * t - t;
    }
    const double u = runRanks - static_cast<double>(n) * static_cast<double>(n + 1) / 2;
    const double variance = mn / 12 * ((N + 1) - ties / (N * (N - 1)));
    const double sigma = variance > 0 ? std::sqrt(variance) : 0;

    SampleComparison result;
    result.baselineMedian = median(x);
    result.runMedian = median(y);
    if (sigma > 0) {
        const double z = (std::abs(u - mn / 2) - 0.5) / sigma;
        result.p = std::min(1.0, std::erfc(z / std::sqrt(2.0)));
    }
    SortedDifferences differences(x, y);
    const std::int64_t total = m * n;
    result.shift = total % 2 == 1 ? differences.select(total / 2)
                                  : (differences.select(total / 2 - 1) + differences.select(total / 2)) / 2;
    const auto critical = static_cast<std::int64_t>(std::floor(mn / 2 - kZ99 * sigma));
    if (critical >= 1) {
        result.low = differences.select(critical - 1);
        result.high = differences.select(total - critical);
    }
    return result;
}

}  // namespace perfagent
