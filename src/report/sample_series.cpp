#include "report/sample_series.hpp"

#include "platform/text.hpp"

#include <charconv>

namespace perfagent {

void SampleSeries::set(std::int64_t n, double value) {
    if (n < 1) return;  // sample numbers start at 1; nothing else has a key
    const auto index = static_cast<std::size_t>(n - 1);
    if (index >= entries_.size()) entries_.resize(index + 1);
    Entry& e = entries_[index];
    if (!e.present) ++count_;
    e.present = true;
    e.value = value;
    // A replaced value leaves its old text behind in the pool; replacements are rare and the pool is
    // emptied with the series at the next start.
    const std::size_t before = texts_.size();
    texts_ += '"';
    appendSampleKey(texts_, n);
    texts_ += "\": ";
    appendDoubleText(texts_, value);
    e.textOffset = static_cast<std::uint32_t>(before);
    e.textLength = static_cast<std::uint8_t>(texts_.size() - before);
}

std::optional<double> SampleSeries::get(std::int64_t n) const {
    if (n < 1 || static_cast<std::size_t>(n) > entries_.size()) return std::nullopt;
    const Entry& e = entries_[static_cast<std::size_t>(n - 1)];
    if (!e.present) return std::nullopt;
    return e.value;
}

void SampleSeries::clear() {
    entries_.clear();
    texts_.clear();
    count_ = 0;
}

void appendSampleKey(std::string& out, std::int64_t n) {
    char buffer[24];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, n);
    out.append(buffer, result.ptr);
    out += 's';
}

std::string sampleKey(std::int64_t n) {
    std::string out;
    appendSampleKey(out, n);
    return out;
}

void appendMapText(std::string& out, const SampleSeries& series) {
    if (series.empty()) {
        out += "[:]";
        return;
    }
    out += '[';
    bool first = true;
    series.forEach([&](std::int64_t, double, std::string_view entry) {
        if (!first) out += ", ";
        first = false;
        out += entry;
    });
    out += ']';
}

std::string mapText(const SampleSeries& series) {
    std::string out;
    appendMapText(out, series);
    return out;
}

std::string optionalMapText(const SampleSeries& series) {
    std::string out;
    appendOptionalMapText(out, series);
    return out;
}

void appendOptionalMapText(std::string& out, const SampleSeries& series) {
    out += "Optional(";
    appendMapText(out, series);
    out += ')';
}

}  // namespace perfagent
