#include "report/sample_series.hpp"

#include "report/text.hpp"

#include <charconv>
#include <cmath>

namespace perfagent {

void SampleSeries::set(std::int64_t n, double value) {
    if (n < 1) return;  // sample numbers start at 1; nothing else has a key
    const auto index = static_cast<std::size_t>(n - 1);
    if (index >= values_.size()) {
        values_.resize(index + 1);
        present_.resize(index + 1);
    }
    if (present_[index]) {
        if (!std::isfinite(values_[index])) --nonFinite_;
    } else {
        present_[index] = true;
        ++count_;
    }
    values_[index] = value;
    if (!std::isfinite(value)) ++nonFinite_;

    if (n > last_) {
        appendText(n, value);
    } else if (n == last_) {
        console_.resize(lastConsole_);
        json_.resize(lastJson_);
        appendText(n, value);
    } else {
        rebuildTexts();
    }
}

void SampleSeries::appendText(std::int64_t n, double value) {
    const bool first = console_.empty();
    lastConsole_ = console_.size();
    lastJson_ = json_.size();
    // The separator before an entry belongs to it, so that replacing the newest entry cuts it too.
    console_ += first ? "\"" : ", \"";
    json_ += first ? "    \"" : ",\n    \"";
    const std::size_t keyStart = console_.size() - 1;
    appendSampleKey(console_, n);
    console_ += "\": ";
    appendDoubleText(console_, value);
    json_.append(console_, keyStart + 1, std::string::npos);
    last_ = n;
}

void SampleSeries::rebuildTexts() {
    console_.clear();
    json_.clear();
    last_ = 0;
    for (std::size_t i = 0; i < values_.size(); ++i)
        if (present_[i]) appendText(static_cast<std::int64_t>(i + 1), values_[i]);
}

std::optional<double> SampleSeries::get(std::int64_t n) const {
    if (n < 1 || static_cast<std::size_t>(n) > values_.size()) return std::nullopt;
    const auto index = static_cast<std::size_t>(n - 1);
    if (!present_[index]) return std::nullopt;
    return values_[index];
}

void SampleSeries::clear() { *this = SampleSeries(); }

void appendSampleKey(std::string& out, std::int64_t n) {
    char buffer[24];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, n);
    out.append(buffer, result.ptr);
    out += 's';
}

void appendMapText(std::string& out, const SampleSeries& series) {
    if (series.empty()) {
        out += "[:]";
        return;
    }
    out += '[';
    out += series.consoleEntries();
    out += ']';
}

void appendOptionalMapText(std::string& out, const SampleSeries& series) {
    out += "Optional(";
    appendMapText(out, series);
    out += ')';
}

}  // namespace perfagent
