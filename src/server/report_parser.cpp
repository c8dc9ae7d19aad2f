#include "server/report_parser.hpp"

#include "platform/result.hpp"

#include <boost/json/basic_parser_impl.hpp>
#include <boost/json/parse.hpp>
#include <boost/json/value.hpp>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

namespace perfagent {

namespace {

constexpr std::string_view kNameKeys[] = {"UsecaseName", "srNumber", "pagename"};
constexpr std::size_t kMaxTokenSize = 1024;

using SeriesEntries = std::vector<std::pair<std::int64_t, double>>;

/// "12s" → 12; 0 when the key is not a sample key within range.
std::int64_t sampleNumber(std::string_view key) {
    if (key.size() < 2 || key.back() != 's' || key.front() < '1' || key.front() > '9') return 0;
    std::int64_t n = 0;
    const auto result = std::from_chars(key.data(), key.data() + key.size() - 1, n);
    if (result.ec != std::errc() || result.ptr != key.data() + key.size() - 1 || n > kMaxSampleNumber) return 0;
    return n;
}

/// Builds the report while Boost.JSON reads the body, without a document tree: a one-hour report holds
/// some fourteen thousand numbers, and every report is read once.
class ReportHandler {
public:
    static constexpr std::size_t max_array_size = static_cast<std::size_t>(-1);
    static constexpr std::size_t max_object_size = static_cast<std::size_t>(-1);
    static constexpr std::size_t max_string_size = static_cast<std::size_t>(-1);
    static constexpr std::size_t max_key_size = static_cast<std::size_t>(-1);

    ReportHandler(IncomingReport& report, std::array<SeriesEntries, 4>& series, std::string& error)
        : report_(report), series_(series), error_(error) {}

    bool on_document_begin(boost::system::error_code&) { return true; }
    bool on_document_end(boost::system::error_code&) { return true; }
    bool on_object_begin(boost::system::error_code&) {
        if (depth_ == 0) {
            ++depth_;
            return true;
        }
        if (depth_ == 1 && member_ == Member::Series) {
            ++depth_;
            return true;
        }
        if (depth_ == 1 && member_ != Member::Other) return wrongType();
        if (depth_ == 2 && member_ == Member::Series) return fail("a series value is not a number");
        ++depth_;
        return true;
    }
    bool on_object_end(std::size_t, boost::system::error_code&) {
        --depth_;
        return true;
    }
    bool on_array_begin(boost::system::error_code&) {
        if (depth_ == 0) return fail("the body is not a JSON object");
        if (depth_ == 1 && member_ != Member::Other) return wrongType();
        if (depth_ == 2 && member_ == Member::Series) return fail("a series value is not a number");
        ++depth_;
        return true;
    }
    bool on_array_end(std::size_t, boost::system::error_code&) {
        --depth_;
        return true;
    }
    bool on_key_part(boost::json::string_view s, std::size_t, boost::system::error_code&) {
        pending_.append(s.data(), s.size());
        return true;
    }
    bool on_key(boost::json::string_view s, std::size_t, boost::system::error_code&) {
        const std::string_view key = whole(s);
        bool ok = true;
        if (depth_ == 1) {
            ok = topLevelKey(key);
        } else if (depth_ == 2 && member_ == Member::Series) {
            sample_ = sampleNumber(key);
            if (sample_ == 0) ok = fail("\"" + std::string(key) + "\" in \"" + kSeriesNames[index_] + "\" is not a sample key");
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
        } else if (depth_ == 1 && member_ == Member::Name) {
            auto& name = index_ == 0 ? report_.names.usecase : index_ == 1 ? report_.names.srnumber : report_.names.pagename;
            if (!text.empty()) name.emplace(text);
        } else if ((depth_ == 1 && member_ != Member::Other) || (depth_ == 2 && member_ == Member::Series)) {
            ok = wrongType();
        }
        pending_.clear();
        return ok;
    }
    bool on_number_part(boost::json::string_view s, boost::system::error_code&) {
        pending_.append(s.data(), s.size());
        return true;
    }
    bool on_int64(std::int64_t i, boost::json::string_view, boost::system::error_code&) {
        pending_.clear();
        return number(static_cast<double>(i));
    }
    bool on_uint64(std::uint64_t u, boost::json::string_view, boost::system::error_code&) {
        pending_.clear();
        return number(static_cast<double>(u));
    }
    bool on_double(double rough, boost::json::string_view s, boost::system::error_code&) {
        // Boost.JSON 1.81 rounds some numbers to a neighbouring double; the text, converted exactly, is
        // what the agent measured. One too small for a double (1e-400) is 0.
        const std::string_view text = whole(s);
        double value = 0;
        auto result = std::from_chars(text.data(), text.data() + text.size(), value);
        pending_.clear();
        if (result.ec == std::errc::result_out_of_range && std::abs(rough) < 1) result.ec = {}, value = 0;
        if (result.ec != std::errc() || !std::isfinite(value)) return fail("a number is out of range");
        return number(value);
    }
    bool on_bool(bool, boost::system::error_code&) { return scalar(); }
    bool on_null(boost::system::error_code&) { return scalar(); }
    bool on_comment_part(boost::json::string_view, boost::system::error_code&) { return true; }
    bool on_comment(boost::json::string_view, boost::system::error_code&) { return true; }

    /// Members the report must carry that it did not.
    bool complete() {
        for (std::size_t i = 0; i < kSeriesNames.size(); ++i)
            if (!(seen_ & (1u << (3 + i)))) return fail(std::string("the report has no \"") + kSeriesNames[i] + "\" series");
        for (std::size_t i = 0; i < kSummaryFields.size(); ++i)
            if (!(seen_ & (1u << (7 + i)))) return fail(std::string("the report has no \"") + kSummaryFields[i].first + "\"");
        return true;
    }

private:
    enum class Member { Name, Series, Summary, Other };

    std::string_view whole(boost::json::string_view last) {
        if (pending_.empty()) return {last.data(), last.size()};
        pending_.append(last.data(), last.size());
        return pending_;
    }

    bool topLevelKey(std::string_view key) {
        member_ = Member::Other;
        unsigned bit = 0;
        for (std::size_t i = 0; i < 3 && bit == 0; ++i)
            if (key == kNameKeys[i]) member_ = Member::Name, index_ = i, bit = 1u << i;
        for (std::size_t i = 0; i < kSeriesNames.size() && bit == 0; ++i)
            if (key == kSeriesNames[i]) member_ = Member::Series, index_ = i, bit = 1u << (3 + i);
        for (std::size_t i = 0; i < kSummaryFields.size() && bit == 0; ++i)
            if (key == kSummaryFields[i].first) member_ = Member::Summary, index_ = i, bit = 1u << (7 + i);
        if (bit == 0) return true;
        if (seen_ & bit) return fail("\"" + std::string(key) + "\" appears twice");
        seen_ |= bit;
        key_ = key;
        return true;
    }

    bool number(double value) {
        if (depth_ == 0) return fail("the body is not a JSON object");
        if (depth_ == 1 && member_ == Member::Summary) {
            report_.summary.*kSummaryFields[index_].second = value;
        } else if (depth_ == 2 && member_ == Member::Series) {
            series_[index_].emplace_back(sample_, value);
        } else if (depth_ == 1 && member_ != Member::Other) {
            return wrongType();
        }
        return true;
    }

    bool scalar() {
        if (depth_ == 0) return fail("the body is not a JSON object");
        if ((depth_ == 1 && member_ != Member::Other) || (depth_ == 2 && member_ == Member::Series)) return wrongType();
        return true;
    }

    bool wrongType() {
        const char* expected = member_ == Member::Name ? "a string" : member_ == Member::Series ? "an object" : "a number";
        if (depth_ == 2) return fail("a series value is not a number");
        return fail("\"" + key_ + "\" is not " + expected);
    }

    bool fail(std::string message) {
        error_ = std::move(message);
        return false;
    }

    IncomingReport& report_;
    std::array<SeriesEntries, 4>& series_;
    std::string& error_;
    std::string pending_;
    std::string key_;
    int depth_ = 0;
    Member member_ = Member::Other;
    std::size_t index_ = 0;
    std::int64_t sample_ = 0;
    unsigned seen_ = 0;
};

/// Joins the four series into samples ordered by number. Each series is usually in order already and
/// holds the same numbers as the others. `samples` is filled in place, so that its storage is reused.
Result<void> mergeSeries(std::array<SeriesEntries, 4>& series, std::vector<Sample>& samples) {
    for (std::size_t i = 0; i < series.size(); ++i) {
        auto& entries = series[i];
        const auto byNumber = [](const auto& a, const auto& b) { return a.first < b.first; };
        if (!std::is_sorted(entries.begin(), entries.end(), byNumber)) std::sort(entries.begin(), entries.end(), byNumber);
        if (std::adjacent_find(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
                return a.first == b.first;
            }) != entries.end())
            return failure(std::string("a sample appears twice in \"") + kSeriesNames[i] + "\"");
    }
    const double missing = std::numeric_limits<double>::quiet_NaN();
    samples.clear();
    std::array<std::size_t, 4> next{};
    for (;;) {
        std::int64_t n = std::numeric_limits<std::int64_t>::max();
        for (std::size_t i = 0; i < series.size(); ++i)
            if (next[i] < series[i].size()) n = std::min(n, series[i][next[i]].first);
        if (n == std::numeric_limits<std::int64_t>::max()) return {};
        Sample& sample = samples.emplace_back(Sample{n, {missing, missing, missing, missing}});
        for (std::size_t i = 0; i < series.size(); ++i)
            if (next[i] < series[i].size() && series[i][next[i]].first == n) sample.values[i] = series[i][next[i]++].second;
    }
}

}  // namespace

Result<IncomingReport> parseReport(std::string_view body) {
    IncomingReport report;
    std::string error;
    std::array<SeriesEntries, 4> series;  // each series as it arrives, merged by sample number at the end

    boost::json::basic_parser<ReportHandler> parser(boost::json::parse_options{}, report, series, error);
    boost::system::error_code ec;
    const std::size_t used = parser.write_some(false, body.data(), body.size(), ec);
    if (!error.empty()) return failure(std::move(error));
    if (ec || !parser.done()) return failure("the body is not JSON: " + ec.message());
    if (used != body.size()) return failure("the body is not JSON: bytes after the object");
    if (!parser.handler().complete()) return failure(std::move(error));
    if (auto merged = mergeSeries(series, report.samples); !merged) return merged.error();
    return report;
}

Result<std::string> parseDeviceToken(std::string_view body) {
    boost::system::error_code ec;
    const boost::json::value document = boost::json::parse(body, ec);
    if (ec) return failure("the body is not JSON: " + ec.message());
    const auto* object = document.if_object();
    const auto* value = object ? object->if_contains("DeviceToken") : nullptr;
    if (!value || !value->is_string() || value->get_string().empty() || value->get_string().size() > kMaxTokenSize)
        return failure("the body is not {\"DeviceToken\": text} with a token of 1 to 1024 bytes");
    return std::string(value->get_string());
}

}  // namespace perfagent
