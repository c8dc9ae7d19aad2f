#include "api/read_api.hpp"

#include "base/result.hpp"
#include "base/text.hpp"

#include <boost/json/serialize.hpp>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cmath>
#include <ctime>
#include <limits>
#include <utility>

namespace perfagent {

namespace {

std::optional<std::int64_t> positiveNumber(std::string_view text) {
    std::int64_t value = 0;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || result.ec != std::errc() || result.ptr != text.data() + text.size() || value < 1)
        return std::nullopt;
    return value;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

/// Percent-decodes a query component ('+' is a blank); nothing on a broken escape.
std::optional<std::string> decodeComponent(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '+') {
            out += ' ';
        } else if (text[i] != '%') {
            out += text[i];
        } else {
            if (i + 2 >= text.size()) return std::nullopt;
            const int high = hexDigit(text[i + 1]), low = hexDigit(text[i + 2]);
            if (high < 0 || low < 0) return std::nullopt;
            out += static_cast<char>(high * 16 + low);
            i += 2;
        }
    }
    return out;
}

/// Splits `a=1&b=2` into decoded pairs; a Failure on a broken pair or a repeated name.
Result<std::vector<std::pair<std::string, std::string>>> queryPairs(std::string_view query) {
    std::vector<std::pair<std::string, std::string>> pairs;
    while (!query.empty()) {
        const auto amp = query.find('&');
        const std::string_view pair = query.substr(0, amp);
        query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
        if (pair.empty()) continue;
        const auto equals = pair.find('=');
        auto name = decodeComponent(pair.substr(0, equals));
        auto value = decodeComponent(equals == std::string_view::npos ? std::string_view() : pair.substr(equals + 1));
        if (!name || !value) return failure("broken percent escape in the query");
        if (name->find('\0') != std::string::npos || value->find('\0') != std::string::npos)
            return failure("a NUL character in the query");
        for (const auto& seen : pairs)
            if (seen.first == *name) return failure("'" + *name + "' given twice");
        pairs.emplace_back(std::move(*name), std::move(*value));
    }
    return pairs;
}

void appendString(std::string& out, std::string_view text) {
    out += boost::json::serialize(boost::json::string_view(text.data(), text.size()));
}

void appendOptionalString(std::string& out, const std::optional<std::string>& text) {
    if (text)
        appendString(out, *text);
    else
        out += "null";
}

void appendNumber(std::string& out, double value) {
    if (std::isfinite(value))
        appendDoubleText(out, value);
    else
        out += "null";
}

void appendInteger(std::string& out, std::int64_t value) {
    char buffer[24];
    out.append(buffer, std::to_chars(buffer, buffer + sizeof buffer, value).ptr);
}

template <typename Map, typename Append>
void appendObject(std::string& out, const Map& map, Append appendValue) {
    out += '{';
    bool first = true;
    for (const auto& [key, value] : map) {
        if (!first) out += ',';
        first = false;
        appendString(out, key);
        out += ':';
        appendValue(out, value);
    }
    out += '}';
}

/// The run object's members without the closing brace.
void appendRunMembers(std::string& out, const RunInfo& run, std::int64_t nowMs) {
    out += "{\"id\":";
    appendInteger(out, run.id);
    out += ",\"device\":";
    appendString(out, run.device);
    // The token is the agent's push credential: readers see only enough of it to tell agents apart.
    out += ",\"deviceTokenFingerprint\":";
    appendOptionalString(out, run.deviceToken ? std::optional(run.deviceToken->substr(0, 8)) : std::nullopt);
    out += ",\"usecase\":";
    appendOptionalString(out, run.names.usecase);
    out += ",\"srnumber\":";
    appendOptionalString(out, run.names.srnumber);
    out += ",\"pagename\":";
    appendOptionalString(out, run.names.pagename);
    out += ",\"started\":\"" + isoUtc(run.startedMs) + "\",\"lastReport\":\"" + isoUtc(run.lastReportMs) + "\"";
    out += ",\"firstSample\":\"" + isoUtc(run.firstSampleMs) + "\"";
    out += ",\"samples\":";
    appendInteger(out, run.samples);
    out += isComplete(run, nowMs) ? ",\"complete\":true" : ",\"complete\":false";
    out += ",\"labels\":";
    appendObject(out, run.labels, appendString);
    out += ",\"figures\":";
    appendObject(out, run.figures, appendNumber);
}

void appendRunWithSeries(std::string& out, const RunDetail& run, std::int64_t nowMs) {
    appendRunMembers(out, run.info, nowMs);
    out += ",\"series\":{";
    bool first = true;
    for (const std::string& name : orderedSeriesNames(run)) {
        if (!first) out += ',';
        first = false;
        appendString(out, name);
        out += ":[";
        const std::vector<double>& values = run.series.find(name)->second;
        for (std::size_t n = 0; n < values.size(); ++n) {
            if (n > 0) out += ',';
            appendNumber(out, values[n]);
        }
        out += ']';
    }
    out += "},\"markers\":[";
    for (const auto& [n, label] : run.markers) {
        if (out.back() != '[') out += ',';
        out += "{\"sample\":";
        appendInteger(out, n);
        out += ",\"label\":";
        appendString(out, label);
        out += '}';
    }
    out += "]}";
}

/// `{"absolute": b − a, "relative": that in % of |a|}`, relative null when a is 0.
void appendDifference(std::string& out, double base, double value) {
    out += "{\"absolute\":";
    appendNumber(out, value - base);
    out += ",\"relative\":";
    appendNumber(out, base == 0 ? std::numeric_limits<double>::quiet_NaN() : (value - base) / std::fabs(base) * 100);
    out += '}';
}

/// Mean and maximum of the values a series holds; NaN when it holds none.
std::pair<double, double> meanAndMax(const std::vector<double>& values) {
    double sum = 0, max = -std::numeric_limits<double>::infinity();
    std::size_t count = 0;
    for (const double value : values) {
        if (std::isnan(value)) continue;
        sum += value, max = std::max(max, value), ++count;
    }
    if (count == 0) return {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::quiet_NaN()};
    return {sum / static_cast<double>(count), max};
}

void appendDifferences(std::string& out, const RunDetail& base, const RunDetail& run) {
    out += "{\"id\":";
    appendInteger(out, run.info.id);
    out += ",\"figures\":{";
    bool first = true;
    for (const auto& [name, value] : run.info.figures) {
        const auto held = base.info.figures.find(name);
        if (held == base.info.figures.end() || name == "totalduration") continue;  // averages and maxima only
        if (!std::exchange(first, false)) out += ',';
        appendString(out, name);
        out += ':';
        appendDifference(out, held->second, value);
    }
    out += "},\"series\":{";
    first = true;
    for (const std::string& name : orderedSeriesNames(run)) {
        const auto held = base.series.find(name);
        if (held == base.series.end()) continue;
        const auto [baseMean, baseMax] = meanAndMax(held->second);
        const auto [mean, max] = meanAndMax(run.series.find(name)->second);
        if (!std::exchange(first, false)) out += ',';
        appendString(out, name);
        out += ":{\"mean\":";
        appendDifference(out, baseMean, mean);
        out += ",\"max\":";
        appendDifference(out, baseMax, max);
        out += '}';
    }
    out += "}}";
}

}  // namespace

Result<std::vector<std::pair<std::string, std::string>>> parseQueryPairs(std::string_view query) {
    return queryPairs(query);
}

Result<RunFilter> parseRunsQuery(std::string_view query) {
    auto pairs = queryPairs(query);
    if (!pairs) return pairs.error();
    RunFilter filter;
    filter.limit = kDefaultRunsPerPage;
    for (auto& [name, value] : *pairs) {
        if (name == "usecase") {
            filter.usecase = std::move(value);
        } else if (name == "srnumber") {
            filter.srnumber = std::move(value);
        } else if (name == "device") {
            filter.device = std::move(value);
        } else if (name == "since") {
            filter.sinceMs = parseIsoUtc(value);
            if (!filter.sinceMs) return failure("since: '" + value + "' is not an ISO 8601 UTC time");
        } else if (name == "build") {
            filter.build = std::move(value);
        } else if (name == "until") {
            filter.untilMs = parseIsoUtc(value);
            if (!filter.untilMs) return failure("until: '" + value + "' is not an ISO 8601 UTC time");
        } else if (name == "limit") {
            const auto limit = positiveNumber(value);
            if (!limit || *limit > kMaxRunsPerPage)
                return failure("limit: '" + value + "' is not a number from 1 to 1000");
            filter.limit = *limit;
        } else if (name == "after") {
            filter.afterId = positiveNumber(value);
            if (!filter.afterId) return failure("after: '" + value + "' is not a run id");
        } else {
            return failure("unknown query parameter '" + name + "'");
        }
    }
    return filter;
}

Result<std::vector<std::int64_t>> parseCompareQuery(std::string_view query) {
    const auto parsed = queryPairs(query);
    if (!parsed) return parsed.error();
    const auto& pairs = *parsed;
    if (pairs.size() != 1 || pairs[0].first != "runs") return failure("the query must be runs=ID,ID[,ID[,ID]]");
    std::vector<std::int64_t> ids;
    std::string_view list = pairs[0].second;
    for (;;) {
        const auto comma = list.find(',');
        const auto id = positiveNumber(list.substr(0, comma));
        if (!id) return failure("runs: '" + pairs[0].second + "' is not a list of run ids");
        for (const auto seen : ids)
            if (seen == *id) return failure("runs: run " + std::to_string(*id) + " is named twice");
        ids.push_back(*id);
        if (comma == std::string_view::npos) break;
        list = list.substr(comma + 1);
    }
    if (ids.size() < 2 || ids.size() > 4) return failure("runs: compare 2 to 4 runs");
    return ids;
}

std::optional<std::int64_t> parseRunId(std::string_view text) { return positiveNumber(text); }

std::string isoUtc(std::int64_t ms) {
    const std::int64_t seconds = ms >= 0 ? ms / 1000 : (ms - 999) / 1000;
    const auto millis = static_cast<int>(ms - seconds * 1000);
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buffer[40];
    const std::size_t length = std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%S", &tm);
    char tail[8];
    std::snprintf(tail, sizeof tail, ".%03dZ", millis);
    return std::string(buffer, length) + tail;
}

std::optional<std::int64_t> parseIsoUtc(std::string_view text) {
    const auto digits = [&](std::size_t at, std::size_t count, int& out) {
        if (at + count > text.size()) return false;
        const auto result = std::from_chars(text.data() + at, text.data() + at + count, out);
        return result.ec == std::errc() && result.ptr == text.data() + at + count;
    };
    std::tm tm{};
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millis = 0;
    if (!digits(0, 4, year) || text.size() < 10 || text[4] != '-' || !digits(5, 2, month) || text[7] != '-' ||
        !digits(8, 2, day))
        return std::nullopt;
    if (text.size() > 10) {
        if (text.size() < 20 || text[10] != 'T' || !digits(11, 2, hour) || text[13] != ':' || !digits(14, 2, minute) ||
            text[16] != ':' || !digits(17, 2, second) || text.back() != 'Z')
            return std::nullopt;
        const std::string_view fraction = text.substr(19, text.size() - 20);
        if (!fraction.empty()) {
            if (fraction.size() < 2 || fraction.size() > 10 || fraction[0] != '.') return std::nullopt;
            int value = 0;
            const std::string_view first = fraction.substr(1, std::min<std::size_t>(3, fraction.size() - 1));
            const auto result = std::from_chars(first.data(), first.data() + first.size(), value);
            if (result.ec != std::errc() || result.ptr != first.data() + first.size()) return std::nullopt;
            millis = value * (first.size() == 1 ? 100 : first.size() == 2 ? 10 : 1);
        }
    }
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) return std::nullopt;
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    return static_cast<std::int64_t>(timegm(&tm)) * 1000 + millis;
}

std::string runsJson(const std::vector<RunInfo>& runs, std::int64_t nowMs) {
    std::string out = "[";
    for (const RunInfo& run : runs) {
        if (out.size() > 1) out += ',';
        appendRunMembers(out, run, nowMs);
        out += '}';
    }
    return out + ']';
}

std::string runJson(const RunDetail& run, std::int64_t nowMs) {
    std::string out;
    out.reserve(1024 + run.series.size() * static_cast<std::size_t>(run.info.lastSample) * 20);
    appendRunWithSeries(out, run, nowMs);
    return out;
}

std::string compareJson(const std::vector<RunDetail>& runs, std::int64_t nowMs) {
    std::string out = "{\"runs\":[";
    for (std::size_t i = 0; i < runs.size(); ++i) {
        if (i > 0) out += ',';
        appendRunWithSeries(out, runs[i], nowMs);
    }
    out += "],\"differences\":[";
    for (std::size_t i = 1; i < runs.size(); ++i) {
        if (i > 1) out += ',';
        appendDifferences(out, runs[0], runs[i]);
    }
    return out + "]}";
}

}  // namespace perfagent
