#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace perfagent {

/// @brief A per-sample series: sample number n (key "<n>s") to a 64-bit float.
///
/// Samples are numbered 1, 2, … from the last start, so the series is a dense vector indexed by sample
/// number; an entry under an existing number is replaced. The console text of each value is made once,
/// when the value is stored: every report re-sends the whole series each second, and formatting the same
/// doubles again and again would dominate the cost of a long measurement.
class SampleSeries {
public:
    /// Stores `value` under sample number `n` (n >= 1), replacing what was there.
    void set(std::int64_t n, double value);
    std::optional<double> get(std::int64_t n) const;
    /// Number of entries present.
    std::size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }
    void clear();

    /// Calls f(n, value, entry) for each entry in sample-number order; `entry` is its text, the quoted
    /// key, a colon, a blank and the value's double text: `"12s": 3.5`. That is the entry's form in the
    /// console map text and in the JSON body alike.
    template <typename F>
    void forEach(F&& f) const {
        const std::string_view texts(texts_);
        for (std::size_t i = 0; i < entries_.size(); ++i) {
            const Entry& e = entries_[i];
            if (e.present) f(static_cast<std::int64_t>(i + 1), e.value, texts.substr(e.textOffset, e.textLength));
        }
    }

private:
    struct Entry {
        double value = 0;
        std::uint32_t textOffset = 0;
        std::uint16_t textLength = 0;
        bool present = false;
    };
    std::vector<Entry> entries_;
    std::string texts_;
    std::size_t count_ = 0;
};

/// "12s" for 12.
std::string sampleKey(std::int64_t n);
/// Appends the key of sample n ("12s") to `out`.
void appendSampleKey(std::string& out, std::int64_t n);

/// The series in map text: `["1s": 12.5, "2s": 3.0]`, or `[:]` when empty.
void appendMapText(std::string& out, const SampleSeries& series);
std::string mapText(const SampleSeries& series);
/// The map text wrapped as an optional value: `Optional(["1s": 12.5])`.
std::string optionalMapText(const SampleSeries& series);
void appendOptionalMapText(std::string& out, const SampleSeries& series);

}  // namespace perfagent
