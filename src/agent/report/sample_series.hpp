#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace perfagent {

class LinePieces;

/// @brief A per-sample series: sample number n (key "<n>s") to a 64-bit float.
///
/// Samples are numbered 1, 2, … from the last start, so the series is a dense vector indexed by sample
/// number; an entry under an existing number is replaced. Every report carries the whole series each
/// second, so the series keeps its entries' text in the two forms the reports use, appended as each
/// sample arrives: the console list (`"1s": 12.5, "2s": 3.0`) and the JSON body's member lines
/// (`    "1s": 12.5,\n    "2s": 3.0`). Replacing the newest entry rewrites only its text; replacing an
/// older one (which the samplers never do) rebuilds both texts. The console list is kept in sealed
/// blocks that never change once full, which console lines hold instead of copying, and an open tail.
class SampleSeries {
public:
    /// Stores `value` under sample number `n` (n >= 1), replacing what was there.
    void set(std::int64_t n, double value);
    std::optional<double> get(std::int64_t n) const;
    /// Number of entries present.
    std::size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }
    /// The newest entry's number, 0 when empty.
    std::int64_t last() const { return last_; }
    /// True when no value is NaN or infinite.
    bool allFinite() const { return nonFinite_ == 0; }
    void clear();

    /// The entries in sample-number order, joined by ", ": the inside of the console map text.
    void appendConsoleEntries(std::string& out) const;
    /// The same, holding the sealed blocks and copying only the tail.
    void appendConsoleEntries(LinePieces& out) const;
    std::size_t consoleSize() const { return sealedSize_ + console_.size(); }
    /// The entries as JSON object members, each indented by four blanks, joined by ",\n".
    std::string_view jsonEntries() const { return json_; }

private:
    void appendText(std::int64_t n, double value);
    void rebuildTexts();

    static constexpr std::size_t kBlockBytes = 8192;

    std::vector<double> values_;
    std::vector<bool> present_;
    std::vector<std::shared_ptr<const std::string>> sealed_;  // console list blocks, each full
    std::size_t sealedSize_ = 0;
    std::string console_;  // the console list's open tail, which holds the newest entry
    std::string json_;
    std::size_t lastConsole_ = 0;  // where the newest entry's text starts in console_ and json_
    std::size_t lastJson_ = 0;
    std::int64_t last_ = 0;        // the newest entry's number, 0 when empty
    std::size_t count_ = 0;
    std::size_t nonFinite_ = 0;
};

/// Appends the key of sample n ("12s") to `out`.
void appendSampleKey(std::string& out, std::int64_t n);

/// The series in map text: `["1s": 12.5, "2s": 3.0]`, or `[:]` when empty.
void appendMapText(std::string& out, const SampleSeries& series);
void appendMapText(LinePieces& out, const SampleSeries& series);
/// The map text wrapped as an optional value: `Optional(["1s": 12.5])`.
void appendOptionalMapText(std::string& out, const SampleSeries& series);
void appendOptionalMapText(LinePieces& out, const SampleSeries& series);

}  // namespace perfagent
