#include "platform/proc_parsers.hpp"

#include <charconv>
#include <limits>

namespace perfagent {

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

/// Takes an unsigned decimal off the front of `s`. Fails on no digits or on overflow.
std::optional<std::uint64_t> takeUnsigned(std::string_view& s) {
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t value = 0;
    std::size_t i = 0;
    for (; i < s.size() && isDigit(s[i]); ++i) {
        const auto digit = static_cast<std::uint64_t>(s[i] - '0');
        if (value > (kMax - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    if (i == 0) return std::nullopt;
    s.remove_prefix(i);
    return value;
}

/// The whole of `s` as an unsigned decimal, nothing else.
std::optional<std::uint64_t> wholeUnsigned(std::string_view s) {
    auto value = takeUnsigned(s);
    if (!value || !s.empty()) return std::nullopt;
    return value;
}

void skipBlanks(std::string_view& s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
}

/// Takes the next newline-terminated line off the front of `text`, without its newline. An
/// unterminated remainder is not a line.
std::optional<std::string_view> takeLine(std::string_view& text) {
    const std::size_t newline = text.find('\n');
    if (newline == std::string_view::npos) return std::nullopt;
    const std::string_view line = text.substr(0, newline);
    text.remove_prefix(newline + 1);
    return line;
}

/// True when `s` is empty or continues with a blank: the number just taken was a whole column.
bool atColumnEnd(std::string_view s) { return s.empty() || s.front() == ' ' || s.front() == '\t'; }

}  // namespace

std::optional<MeminfoKb> parseMeminfo(std::string_view text) {
    MeminfoKb out;
    struct Field {
        std::string_view key;
        std::uint64_t* value;
    };
    const Field required[] = {
        {"MemFree", &out.memFree},         {"Active", &out.active},
        {"Inactive", &out.inactive},       {"Unevictable", &out.unevictable},
        {"SUnreclaim", &out.sUnreclaim},   {"KernelStack", &out.kernelStack},
        {"PageTables", &out.pageTables},
    };
    constexpr unsigned kAllRequired = (1u << std::size(required)) - 1;
    unsigned seen = 0;

    while (auto line = takeLine(text)) {
        const std::size_t colon = line->find(':');
        if (colon == std::string_view::npos) continue;
        const std::string_view key = line->substr(0, colon);
        int index = -1;
        for (std::size_t i = 0; i < std::size(required); ++i) {
            if (required[i].key == key) index = static_cast<int>(i);
        }
        if (index < 0 && key != "Zswap") continue;

        std::string_view rest = line->substr(colon + 1);
        skipBlanks(rest);
        const auto value = takeUnsigned(rest);
        if (!value || rest != " kB") return std::nullopt;
        if (index < 0) {
            out.zswap = *value;
        } else {
            *required[static_cast<std::size_t>(index)].value = *value;
            seen |= 1u << index;
        }
        if (seen == kAllRequired && out.zswap) break;  // the rest of the file holds nothing read
    }
    if (seen != kAllRequired) return std::nullopt;
    return out;
}

std::optional<CpuTicks> parseStatCpu(std::string_view text) {
    while (auto line = takeLine(text)) {
        if (!line->starts_with("cpu ")) continue;
        std::string_view rest = line->substr(4);
        std::uint64_t columns[8];
        for (std::uint64_t& column : columns) {
            skipBlanks(rest);
            const auto value = takeUnsigned(rest);
            if (!value || !atColumnEnd(rest)) return std::nullopt;
            column = *value;
        }
        return CpuTicks{columns[0], columns[1], columns[2], columns[3],
                        columns[4], columns[5], columns[6], columns[7]};
    }
    return std::nullopt;
}

std::optional<StatmPages> parseStatm(std::string_view text) {
    auto line = takeLine(text);
    if (!line) return std::nullopt;
    const auto size = takeUnsigned(*line);
    if (!size || !line->starts_with(' ')) return std::nullopt;
    line->remove_prefix(1);
    const auto resident = takeUnsigned(*line);
    if (!resident || !atColumnEnd(*line)) return std::nullopt;
    return StatmPages{*size, *resident};
}

std::optional<TaskStat> parseTaskStat(std::string_view text) {
    // "<pid> (<comm>) <state> <ppid> ... \n": comm is whatever the task named itself, so the columns
    // start after the last ')'.
    std::string_view head = text;
    if (!takeUnsigned(head) || !head.starts_with(" (")) return std::nullopt;
    const std::size_t close = text.rfind(')');
    if (close == std::string_view::npos || close < text.size() - head.size() + 1) return std::nullopt;
    std::string_view rest = text.substr(close + 1);
    auto line = takeLine(rest);
    if (!line || !line->starts_with(' ')) return std::nullopt;
    line->remove_prefix(1);

    TaskStat out;
    const std::size_t open = text.size() - head.size() + 2;
    out.comm = text.substr(open, close - open);
    int field = static_cast<int>(StatField::kState);
    while (field <= static_cast<int>(StatField::kStartTime)) {
        const std::size_t end = std::min(line->find(' '), line->size());
        const std::string_view column = line->substr(0, end);
        if (column.empty()) return std::nullopt;
        std::uint64_t* target = nullptr;
        switch (static_cast<StatField>(field)) {
        case StatField::kState: out.state = column.size() == 1 ? column[0] : 0; break;
        case StatField::kUtime: target = &out.utime; break;
        case StatField::kStime: target = &out.stime; break;
        case StatField::kNumThreads: target = &out.threads; break;
        case StatField::kStartTime: target = &out.startTime; break;
        default: break;
        }
        if (target) {
            const auto value = wholeUnsigned(column);
            if (!value) return std::nullopt;
            *target = *value;
        }
        line->remove_prefix(end == line->size() ? end : end + 1);
        ++field;
    }
    return out;
}

}  // namespace perfagent

namespace perfagent {

namespace {

/// "<Key>:<blanks><n> kB" lines of `text` into `values`, one per key; false unless every key was found.
template <std::size_t N>
bool readKbLines(std::string_view text, const std::string_view (&keys)[N], std::uint64_t (&values)[N]) {
    unsigned seen = 0;
    while (auto line = takeLine(text)) {
        const std::size_t colon = line->find(':');
        if (colon == std::string_view::npos) continue;
        for (std::size_t i = 0; i < N; ++i) {
            if (keys[i] != line->substr(0, colon)) continue;
            std::string_view rest = line->substr(colon + 1);
            skipBlanks(rest);
            const auto value = takeUnsigned(rest);
            if (!value || rest != " kB") return false;
            values[i] = *value;
            seen |= 1u << i;
        }
        if (seen == (1u << N) - 1) return true;
    }
    return false;
}

/// Takes the next blank-separated column of `line` as an unsigned decimal.
std::optional<std::uint64_t> takeColumn(std::string_view& line) {
    skipBlanks(line);
    auto value = takeUnsigned(line);
    if (!value || !atColumnEnd(line)) return std::nullopt;
    return value;
}

}  // namespace

std::optional<MemoryAvailableKb> parseMemoryAvailable(std::string_view text) {
    static constexpr std::string_view keys[] = {"MemAvailable", "SwapTotal", "SwapFree"};
    std::uint64_t values[3] = {};
    if (!readKbLines(text, keys, values)) return std::nullopt;
    return MemoryAvailableKb{values[0], values[1], values[2]};
}

std::optional<LoadAverage> parseLoadavg(std::string_view text) {
    auto line = takeLine(text);
    if (!line) return std::nullopt;
    LoadAverage out;
    const auto [end, ec] = std::from_chars(line->data(), line->data() + line->size(), out.oneMinute);
    if (ec != std::errc() || out.oneMinute < 0) return std::nullopt;
    line->remove_prefix(static_cast<std::size_t>(end - line->data()));
    for (int skipped = 0; skipped < 2; ++skipped) {  // the 5- and 15-minute averages
        skipBlanks(*line);
        const std::size_t blank = line->find(' ');
        if (blank == 0 || blank == std::string_view::npos) return std::nullopt;
        line->remove_prefix(blank);
    }
    skipBlanks(*line);
    const auto running = takeUnsigned(*line);
    if (!running || !line->starts_with('/')) return std::nullopt;
    out.running = *running;
    return out;
}

std::optional<DeviceLine> parseNetDevLine(std::string_view line) {
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) return std::nullopt;
    DeviceLine out;
    out.name = line.substr(0, colon);
    while (!out.name.empty() && out.name.front() == ' ') out.name.remove_prefix(1);
    if (out.name.empty()) return std::nullopt;
    std::string_view rest = line.substr(colon + 1);
    std::uint64_t columns[9];  // received: bytes and 7 more; sent: bytes
    for (std::uint64_t& column : columns) {
        const auto value = takeColumn(rest);
        if (!value) return std::nullopt;
        column = *value;
    }
    out.first = columns[0];
    out.second = columns[8];
    return out;
}

std::optional<DeviceLine> parseBlockStat(std::string_view text) {
    const auto line = takeLine(text);
    if (!line) return std::nullopt;
    std::string_view rest = *line;
    std::uint64_t columns[7];  // reads, merged, sectors read, ms, writes, merged, sectors written
    for (std::uint64_t& column : columns) {
        const auto value = takeColumn(rest);
        if (!value) return std::nullopt;
        column = *value;
    }
    return DeviceLine{{}, columns[2], columns[6]};
}

std::optional<ProcessIo> parseProcessIo(std::string_view text) {
    std::optional<std::uint64_t> read;
    std::optional<std::uint64_t> written;
    while (auto line = takeLine(text)) {
        const bool isRead = line->starts_with("rchar:");
        if (!isRead && !line->starts_with("wchar:")) continue;
        line->remove_prefix(6);
        auto& value = isRead ? read : written;
        value = takeColumn(*line);
        if (!value) return std::nullopt;
        if (read && written) return ProcessIo{*read, *written};
    }
    return std::nullopt;
}

std::optional<std::int64_t> parseSysfsInteger(std::string_view text) {
    const bool negative = text.starts_with('-');
    if (negative) text.remove_prefix(1);
    const auto value = takeUnsigned(text);
    if (!value || (!atColumnEnd(text) && !text.starts_with('\n'))) return std::nullopt;
    if (*value > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return std::nullopt;
    const auto magnitude = static_cast<std::int64_t>(*value);
    return negative ? -magnitude : magnitude;
}

}  // namespace perfagent
