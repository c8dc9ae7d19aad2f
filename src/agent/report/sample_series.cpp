#include "report/sample_series.hpp"

#include "platform/console.hpp"
#include "base/text.hpp"

#include <charconv>
#include <cmath>
#include <type_traits>

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
    const bool first = json_.empty();
    if (console_.size() >= kBlockBytes) {
        // The tail is full and no longer holds the newest entry's text once this one is appended.
        sealedSize_ += console_.size();
        sealed_.push_back(std::make_shared<const std::string>(std::move(console_)));
        console_ = std::string();
        console_.reserve(kBlockBytes + 64);
    }
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
    sealed_.clear();
    sealedSize_ = 0;
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

void SampleSeries::appendConsoleEntries(std::string& out) const {
    for (const auto& block : sealed_) out += *block;
    out += console_;
}

void SampleSeries::appendConsoleEntries(LinePieces& out) const {
    for (const auto& block : sealed_) out.hold(block);
    out.text() += console_;
}

namespace {

template <typename Out>
std::string& textOf(Out& out) {
    if constexpr (std::is_same_v<Out, std::string>) return out;
    else return out.text();
}

template <typename Out>
void appendMap(Out& out, const SampleSeries& series, bool optional) {
    if (optional) textOf(out) += "Optional(";
    if (series.empty()) {
        textOf(out) += "[:]";
    } else {
        textOf(out) += '[';
        series.appendConsoleEntries(out);
        textOf(out) += ']';
    }
    if (optional) textOf(out) += ')';
}

}  // namespace

void appendMapText(std::string& out, const SampleSeries& series) { appendMap(out, series, false); }
void appendMapText(LinePieces& out, const SampleSeries& series) { appendMap(out, series, false); }
void appendOptionalMapText(std::string& out, const SampleSeries& series) { appendMap(out, series, true); }
void appendOptionalMapText(LinePieces& out, const SampleSeries& series) { appendMap(out, series, true); }

}  // namespace perfagent
