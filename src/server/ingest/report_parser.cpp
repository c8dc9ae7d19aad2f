#include "ingest/report_parser.hpp"

#include "base/result.hpp"
#include "ingest/plain_report_scan.hpp"

#include <boost/json/basic_parser_impl.hpp>
#include <boost/json/parse.hpp>
#include <boost/json/value.hpp>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <utility>

namespace perfagent {

namespace {

constexpr std::string_view kNameKeys[] = {"UsecaseName", "srNumber", "pagename"};
/// Members every report carries, with the type they must have.
constexpr std::string_view kRequiredFigures[] = {"averagecpu",    "averagememoryfree",   "averagememorycompressed",
                                                 "averagememoryused", "maxmemoryfree", "maxmemorycompressed",
                                                 "maxmemoryused", "maxcpu",            "totalduration"};
/// A numeric member kept as a label, not as a figure: it names the target rather than measuring it.
constexpr std::string_view kNumericLabel = "targetpid";
/// The member holding the markers: sample keys to texts.
constexpr std::string_view kMarkersKey = "markers";
constexpr std::size_t kMaxTokenSize = 1024;

/// A series as read: sample numbers (at most kMaxSampleNumber), each with the offset of its value's text
/// in the body (below IncomingReport::kNoText).
using SeriesEntries = std::vector<std::pair<std::uint32_t, std::uint32_t>>;

/// "12s" → 12; 0 when the key is not a sample key within range.
std::int64_t sampleNumber(std::string_view key) {
    if (key.size() < 2 || key.back() != 's' || key.front() < '1' || key.front() > '9') return 0;
    std::int64_t n = 0;
    const auto result = std::from_chars(key.data(), key.data() + key.size() - 1, n);
    if (result.ec != std::errc() || result.ptr != key.data() + key.size() - 1 || n > kMaxSampleNumber) return 0;
    return n;
}

bool validName(std::string_view name) {
    return !name.empty() && name.size() <= kMaxNameBytes && std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
    });
}

template <typename Keys>
bool contains(const Keys& keys, std::string_view key) {
    return std::find(std::begin(keys), std::end(keys), key) != std::end(keys);
}

/// Builds the report while the body is read (by PlainReportScan, else Boost.JSON), without a document
/// tree: a one-hour report holds some twenty thousand numbers, and every report is read once. A top-level
/// member is a name, a series (an object), a figure (a number) or a label (a text), by the type of its
/// value; arrays, booleans and nulls are ignored. Series values are kept as the places of their texts.
class ReportHandler {
public:
    static constexpr std::size_t max_array_size = static_cast<std::size_t>(-1);
    static constexpr std::size_t max_object_size = static_cast<std::size_t>(-1);
    static constexpr std::size_t max_string_size = static_cast<std::size_t>(-1);
    static constexpr std::size_t max_key_size = static_cast<std::size_t>(-1);

    ReportHandler(std::string_view body, IncomingReport& report, std::vector<SeriesEntries>& series, std::string& error)
        : body_(body), report_(report), series_(series), error_(error) {}

    bool on_document_begin(boost::system::error_code&) { return true; }
    bool on_document_end(boost::system::error_code&) { return true; }
    bool on_object_begin(boost::system::error_code&) {
        if (depth_ == 1 && key_ == kMarkersKey) {
            if (std::exchange(markersSeen_, true)) return twice();
            inMarkers_ = true;
        } else if (depth_ == 2 && inMarkers_) {
            return fail("a marker is not a text");
        } else if (depth_ == 1 && !inIgnored_) {
            if (isName() || contains(kRequiredFigures, key_) || key_ == kNumericLabel) return wrongType();
            if (!validName(key_)) return badName("series");
            if (std::find(report_.series.begin(), report_.series.end(), key_) != report_.series.end()) return twice();
            if (report_.series.size() == kMaxSeries)
                return fail("the report has more than " + std::to_string(kMaxSeries) + " series");
            report_.series.push_back(key_);
            current_ = &series_.emplace_back();
            // The series of a report hold as many samples as each other, as a rule.
            if (series_.size() > 1) current_->reserve(series_[series_.size() - 2].size());
        } else if (depth_ == 2 && current_) {
            return fail("a series value is not a number");
        }
        ++depth_;
        return true;
    }
    bool on_object_end(std::size_t, boost::system::error_code&) { return leave(); }
    bool on_array_begin(boost::system::error_code&) {
        if (depth_ == 0) return fail("the body is not a JSON object");
        if (depth_ == 1 && !inIgnored_) {
            if (isKnown()) return wrongType();
            inIgnored_ = true;
        }
        if (depth_ == 2 && (current_ || inMarkers_)) return fail(inMarkers_ ? "a marker is not a text" : "a series value is not a number");
        ++depth_;
        return true;
    }
    bool on_array_end(std::size_t, boost::system::error_code&) { return leave(); }
    bool on_key_part(boost::json::string_view s, std::size_t, boost::system::error_code&) {
        pending_.append(s.data(), s.size());
        return true;
    }
    bool on_key(boost::json::string_view s, std::size_t, boost::system::error_code&) {
        const std::string_view key = whole(s);
        bool ok = true;
        if (depth_ == 1) {
            key_ = key;
        } else if (depth_ == 2 && (current_ || inMarkers_)) {
            sample_ = sampleNumber(key);
            const std::string member = inMarkers_ ? std::string(kMarkersKey) : report_.series.back();
            if (sample_ == 0) ok = fail("\"" + std::string(key) + "\" in \"" + member + "\" is not a sample key");
        }
        pending_.clear();
        return ok;
    }
    bool on_string_part(boost::json::string_view s, std::size_t, boost::system::error_code&) {
        pending_.append(s.data(), s.size());
        return true;
    }
    bool on_string(boost::json::string_view s, std::size_t, boost::system::error_code&) {
        const std::string_view text = whole(s);
        bool ok = true;
        if (depth_ == 0) {
            ok = fail("the body is not a JSON object");
        } else if (depth_ == 2 && current_) {
            ok = fail("a series value is not a number");
        } else if (depth_ == 2 && inMarkers_) {
            ok = marker(text);
        } else if (depth_ == 1) {
            ok = text.find('\0') != std::string_view::npos ? fail("\"" + key_ + "\" holds a NUL character") : topLevelText(text);
        }
        pending_.clear();
        return ok;
    }
    bool on_number_part(boost::json::string_view s, boost::system::error_code&) {
        pending_.append(s.data(), s.size());
        return true;
    }
    bool on_int64(std::int64_t i, boost::json::string_view s, boost::system::error_code&) {
        return number(static_cast<double>(i), whole(s));
    }
    bool on_uint64(std::uint64_t u, boost::json::string_view s, boost::system::error_code&) {
        return number(static_cast<double>(u), whole(s));
    }
    bool on_double(double parsed, boost::json::string_view s, boost::system::error_code&) {
        // Boost.JSON 1.81 rounds some numbers to a neighbouring double; the text, converted exactly, is
        // what the agent measured. A plain decimal of at most 15 digits is exact already: Boost divides
        // its digits (below 2^53, so a double holds them) by a power of ten up to 10^15 (also held
        // exactly), and one division of exact operands rounds correctly. One too small for a double
        // (1e-400) is 0.
        const std::string_view text = whole(s);
        if (text.size() <= 16 && text.find_first_of("eE") == std::string_view::npos) return number(parsed, text);
        double value = 0;
        auto result = std::from_chars(text.data(), text.data() + text.size(), value);
        if (result.ec == std::errc::result_out_of_range && std::abs(parsed) < 1) result.ec = {}, value = 0;
        if (result.ec != std::errc() || !std::isfinite(value)) return fail("a number is out of range");
        return number(value, text);
    }
    /// A number under sample key `n` (from PlainReportScan): a series value, refused among the markers.
    bool sample(std::int64_t n, std::size_t offset) {
        if (!current_) return fail("a marker is not a text");
        current_->emplace_back(static_cast<std::uint32_t>(n), static_cast<std::uint32_t>(offset));
        return true;
    }
    bool on_bool(bool, boost::system::error_code&) { return scalar(); }
    bool on_null(boost::system::error_code&) { return scalar(); }
    bool on_comment_part(boost::json::string_view, boost::system::error_code&) { return true; }
    bool on_comment(boost::json::string_view, boost::system::error_code&) { return true; }

    /// Members the report must carry that it did not.
    bool complete() {
        for (const std::string_view name : kSystemSeries)
            if (!contains(report_.series, name)) return fail("the report has no \"" + std::string(name) + "\" series");
        for (const std::string_view name : kRequiredFigures)
            if (!report_.figures.contains(name)) return fail("the report has no \"" + std::string(name) + "\"");
        return true;
    }

private:
    std::string_view whole(boost::json::string_view last) {
        if (pending_.empty()) return {last.data(), last.size()};
        pending_.append(last.data(), last.size());
        return pending_;
    }

    bool leave() {
        if (--depth_ == 1) current_ = nullptr, inIgnored_ = inMarkers_ = false;
        return true;
    }

    bool marker(std::string_view text) {
        markerBytes_ += text.size();
        if (text.find('\0') != std::string_view::npos) return fail("a marker holds a NUL character");
        if (report_.markers.size() == kMaxRunMarkers || markerBytes_ > kMaxMarkerTextBytes)
            return fail("the report has more than " + std::to_string(kMaxRunMarkers) + " markers or " +
                        std::to_string(kMaxMarkerTextBytes) + " bytes of them");
        return report_.markers.emplace(sample_, text).second || fail("a sample appears twice in \"markers\"");
    }

    bool isName() const { return contains(kNameKeys, key_); }
    bool isKnown() const {
        return isName() || key_ == kMarkersKey || contains(kSystemSeries, key_) || contains(kRequiredFigures, key_) || key_ == kNumericLabel;
    }

    bool topLevelText(std::string_view text) {
        if (const auto* name = std::find(std::begin(kNameKeys), std::end(kNameKeys), key_); name != std::end(kNameKeys)) {
            auto& slot = name == kNameKeys ? report_.names.usecase
                         : name == kNameKeys + 1 ? report_.names.srnumber : report_.names.pagename;
            if (namesSeen_ & (1u << (name - kNameKeys))) return twice();
            namesSeen_ |= 1u << (name - kNameKeys);
            if (!text.empty()) slot.emplace(text);
            return true;
        }
        if (contains(kSystemSeries, key_) || contains(kRequiredFigures, key_) || key_ == kMarkersKey) return wrongType();
        return label(text);
    }

    bool label(std::string_view text) {
        if (!validName(key_)) return badName("label");
        if (text.size() > kMaxLabelBytes)
            return fail("the label \"" + key_ + "\" is longer than " + std::to_string(kMaxLabelBytes) + " bytes");
        if (report_.labels.size() == kMaxLabels) return fail("the report has more than " + std::to_string(kMaxLabels) + " labels");
        return report_.labels.emplace(key_, text).second || twice();
    }

    /// A number and its whole text.
    bool number(double value, std::string_view text) {
        bool ok = true;
        if (depth_ == 0) {
            ok = fail("the body is not a JSON object");
        } else if (depth_ == 2 && current_) {
            // Boost.JSON is given the whole body at once, so a number's text is never split off it.
            const auto offset = text.data() - body_.data();
            if (offset < 0 || static_cast<std::size_t>(offset) >= body_.size()) return fail("a number could not be read");
            current_->emplace_back(static_cast<std::uint32_t>(sample_), static_cast<std::uint32_t>(offset));
        } else if (depth_ == 2 && inMarkers_) {
            ok = fail("a marker is not a text");
        } else if (depth_ == 1 && key_ == kNumericLabel) {
            ok = label(text);
        } else if (depth_ == 1) {
            if (isName() || contains(kSystemSeries, key_) || key_ == kMarkersKey) {
                ok = wrongType();
            } else if (!validName(key_)) {
                ok = badName("figure");
            } else if (report_.figures.size() == kMaxFigures) {
                ok = fail("the report has more than " + std::to_string(kMaxFigures) + " figures");
            } else {
                ok = report_.figures.emplace(key_, value).second || twice();
            }
        }
        pending_.clear();
        return ok;
    }

    bool scalar() {
        if (depth_ == 0) return fail("the body is not a JSON object");
        if (depth_ == 2 && current_) return fail("a series value is not a number");
        if (depth_ == 2 && inMarkers_) return fail("a marker is not a text");
        if (depth_ == 1 && isKnown()) return wrongType();
        return true;
    }

    bool wrongType() {
        const char* expected = isName() ? "a string" : contains(kSystemSeries, key_) || key_ == kMarkersKey ? "an object" : "a number";
        return fail("\"" + key_ + "\" is not " + expected);
    }
    bool twice() { return fail("\"" + key_ + "\" appears twice"); }
    bool badName(const char* kind) {
        return fail(std::string("the ") + kind + " name \"" + key_.substr(0, kMaxNameBytes) + "\" is not 1 to " +
                    std::to_string(kMaxNameBytes) + " letters, digits or _");
    }

    bool fail(std::string message) {
        error_ = std::move(message);
        return false;
    }

    std::string_view body_;
    IncomingReport& report_;
    std::vector<SeriesEntries>& series_;
    std::string& error_;
    std::string pending_;
    std::string key_;
    int depth_ = 0;
    bool inIgnored_ = false;           ///< inside a top-level array
    SeriesEntries* current_ = nullptr;  ///< the series being read, at depth 2
    std::int64_t sample_ = 0;
    unsigned namesSeen_ = 0;
    bool inMarkers_ = false;  ///< inside "markers"
    bool markersSeen_ = false;
    std::size_t markerBytes_ = 0;
};

/// Lays the series out as the report's table: one row per sample number, one column per series. Each
/// series is usually in order already and holds the same numbers as the others.
Result<void> tabulate(std::vector<SeriesEntries>& series, IncomingReport& report) {
    const auto byNumber = [](const auto& a, const auto& b) { return a.first < b.first; };
    bool aligned = true;
    for (std::size_t i = 0; i < series.size(); ++i) {
        auto& entries = series[i];
        const auto notBefore = [](const auto& a, const auto& b) { return a.first >= b.first; };
        if (std::adjacent_find(entries.begin(), entries.end(), notBefore) != entries.end()) {  // not strictly ascending
            std::sort(entries.begin(), entries.end(), byNumber);
            if (std::adjacent_find(entries.begin(), entries.end(), notBefore) != entries.end())
                return failure("a sample appears twice in \"" + report.series[i] + "\"");
        }
        aligned = aligned && entries.size() == series[0].size() &&
                  std::equal(entries.begin(), entries.end(), series[0].begin(),
                             [](const auto& a, const auto& b) { return a.first == b.first; });
    }
    std::vector<std::int64_t>& numbers = report.numbers;
    numbers.reserve(series[0].size());
    if (aligned) {
        for (const auto& entry : series[0]) numbers.push_back(entry.first);
    } else {
        for (const auto& entries : series)
            for (const auto& entry : entries) numbers.push_back(entry.first);
        std::sort(numbers.begin(), numbers.end());
        numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
    }
    const std::size_t width = series.size();
    report.texts.assign(numbers.size() * width, IncomingReport::kNoText);
    for (std::size_t column = 0; column < width; ++column) {
        std::uint32_t* cell = report.texts.data() + column;
        std::size_t row = 0;
        for (const auto& [n, text] : series[column]) {
            if (!aligned)
                while (numbers[row] != n) ++row;
            cell[row++ * width] = text;
        }
    }
    return {};
}

/// Puts the system series first, in their order, the others after them in arrival order.
void systemSeriesFirst(IncomingReport& report, std::vector<SeriesEntries>& series) {
    std::size_t next = 0;
    for (const std::string_view name : kSystemSeries) {
        const auto at = static_cast<std::size_t>(std::find(report.series.begin(), report.series.end(), name) - report.series.begin());
        std::rotate(report.series.begin() + next, report.series.begin() + at, report.series.begin() + at + 1);
        std::rotate(series.begin() + next, series.begin() + at, series.begin() + at + 1);
        ++next;
    }
}

}  // namespace

Result<IncomingReport> parseReport(std::string body) {
    if (body.size() >= IncomingReport::kNoText) return failure("the body is too large");
    IncomingReport report;
    std::string error;
    std::vector<SeriesEntries> series;  // each series as it arrives, laid out by sample number at the end
    series.reserve(kMaxSeries);         // the handler keeps a pointer to the one being read

    ReportHandler plain(body, report, series, error);
    const PlainScan scan = PlainReportScan(body, plain, kMaxSampleNumber).run();
    if (scan == PlainScan::Refused) return failure(std::move(error));
    if (scan == PlainScan::NotPlain) {
        // Read again from the start by Boost.JSON, which says what is wrong with a body that is not JSON.
        report = {}, series.clear(), error.clear();
        boost::json::basic_parser<ReportHandler> parser(boost::json::parse_options{}, body, report, series, error);
        boost::system::error_code ec;
        const std::size_t used = parser.write_some(false, body.data(), body.size(), ec);
        if (!error.empty()) return failure(std::move(error));
        if (ec || !parser.done()) return failure("the body is not JSON: " + ec.message());
        if (used != body.size()) return failure("the body is not JSON: bytes after the object");
        if (!parser.handler().complete()) return failure(std::move(error));
    } else if (!plain.complete()) {
        return failure(std::move(error));
    }
    systemSeriesFirst(report, series);
    if (auto laid = tabulate(series, report); !laid) return laid.error();
    report.body = std::move(body);
    return report;
}

Result<std::string> parseDeviceToken(std::string_view body) {
    boost::system::error_code ec;
    const boost::json::value document = boost::json::parse(body, ec);
    if (ec) return failure("the body is not JSON: " + ec.message());
    const auto* object = document.if_object();
    const auto* value = object ? object->if_contains("DeviceToken") : nullptr;
    if (!value || !value->is_string() || value->get_string().empty() || value->get_string().size() > kMaxTokenSize ||
        std::string_view(value->get_string()).find('\0') != std::string_view::npos)
        return failure("the body is not {\"DeviceToken\": text} with a token of 1 to 1024 bytes and no NUL");
    return std::string(value->get_string());
}

}  // namespace perfagent
