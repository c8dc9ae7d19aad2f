#pragma once

// A fast reader for report bodies as the agent writes them. It feeds the same handler that Boost.JSON's
// basic_parser feeds, but hands each series value over as the place of its text in the body instead of a
// converted number: a running report repeats every sample its run already holds, and only the new ones
// are ever converted (by IncomingReport::value). It reads a plain subset of JSON only; for anything else
// it gives up, and the caller reads the body with Boost.JSON instead, which knows all of JSON and says
// what is wrong with a body that is not.

#include <boost/system/error_code.hpp>

#include <charconv>
#include <cstring>
#include <cstdint>
#include <limits>
#include <string_view>
#include <system_error>

namespace perfagent {

/// How a plain scan ended: the body read whole, refused by the handler, or not plain (read it otherwise).
enum class PlainScan { Read, Refused, NotPlain };

/// @brief Reads `body`, which must be followed by a NUL (as a std::string's text is), if it is one object whose keys and texts hold printable ASCII and valid UTF-8
/// without escapes, and whose members are texts, numbers or objects of numbers, separated by JSON's
/// whitespace. `Handler` takes Boost.JSON's events, and `sample(n, offset)` for a number under a sample
/// key ("12s", n at most `maxSample`) in an object, its text at `offset` in the body.
template <typename Handler>
class PlainReportScan {
public:
    PlainReportScan(std::string_view body, Handler& handler, std::int64_t maxSample)
        : begin_(body.data()), p_(begin_), end_(begin_ + body.size()), handler_(handler), maxSample_(maxSample) {}

    PlainScan run() {
        space();
        if (!take('{')) return PlainScan::NotPlain;
        if (!handler_.on_object_begin(ec_)) return PlainScan::Refused;
        space();
        if (!take('}')) {
            for (;;) {
                std::string_view key;
                if (!text(key)) return PlainScan::NotPlain;
                if (!handler_.on_key(key, key.size(), ec_)) return PlainScan::Refused;
                if (!colon() || p_ == end_) return PlainScan::NotPlain;
                const PlainScan member = *p_ == '"' ? textMember() : *p_ == '{' ? series() : figure();
                if (member != PlainScan::Read) return member;
                space();
                if (take(',')) {
                    space();
                    continue;
                }
                if (take('}')) break;
                return PlainScan::NotPlain;
            }
        }
        handler_.on_object_end(0, ec_);
        space();
        return p_ == end_ ? PlainScan::Read : PlainScan::NotPlain;
    }

private:
    static bool digit(char c) { return c >= '0' && c <= '9'; }
    /// Most bytes looked at are not whitespace: one comparison tells them.
    static bool isSpace(char c) { return c <= ' ' && (c == ' ' || c == '\n' || c == '\r' || c == '\t'); }

    [[gnu::always_inline]] static const char* digitsEnd(const char* q) {
        while (digit(*q)) ++q;
        return q;
    }

    // The NUL after the body matches none of the bytes looked for, so reading one byte ahead needs no
    // check of the end: it ends every loop below.
    [[gnu::always_inline]] static const char* spaceEnd(const char* q) {
        while (isSpace(*q)) ++q;
        return q;
    }
    void space() { p_ = spaceEnd(p_); }
    bool take(char c) {
        if (*p_ != c) return false;
        ++p_;
        return true;
    }
    bool colon() {
        space();
        if (!take(':')) return false;
        space();
        return true;
    }

    /// A quoted text without escapes or control characters, its bytes valid UTF-8.
    bool text(std::string_view& out) {
        if (!take('"')) return false;
        const char* start = p_;
        for (;;) {
            const auto c = static_cast<unsigned char>(*p_);
            if (c == '"') {
                out = {start, static_cast<std::size_t>(p_ - start)};
                ++p_;
                return true;
            }
            if (c < 0x20 || c == '\\') return false;
            if (c < 0x80) {
                ++p_;
            } else if (!utf8()) {
                return false;
            }
        }
    }

    /// One multi-byte UTF-8 character: no overlong form, no surrogate, nothing beyond U+10FFFF.
    bool utf8() {
        const auto byte = [&](std::ptrdiff_t i) { return static_cast<unsigned char>(p_[i]); };
        const auto lead = byte(0);
        const std::ptrdiff_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
        if (lead < 0xC2 || lead > 0xF4 || end_ - p_ < length) return false;
        for (std::ptrdiff_t i = 1; i < length; ++i)
            if ((byte(i) & 0xC0) != 0x80) return false;
        if ((lead == 0xE0 && byte(1) < 0xA0) || (lead == 0xED && byte(1) > 0x9F) || (lead == 0xF0 && byte(1) < 0x90) ||
            (lead == 0xF4 && byte(1) > 0x8F))
            return false;
        p_ += length;
        return true;
    }

    /// A JSON number's text; one written with an exponent, or very long, must also be within a double's range.
    bool number(std::string_view& out) {
        const char* q = numberEnd(p_);
        if (!q) return false;
        out = {p_, static_cast<std::size_t>(q - p_)};
        p_ = q;
        return true;
    }
    /// Where the number that starts at `start` ends; nullptr when none does.
    [[gnu::always_inline]] const char* numberEnd(const char* start) const {
        const char* q = start;
        if (*q == '-') ++q;
        if (*q == '0') {
            ++q;
        } else if (*q >= '1' && *q <= '9') {
            q = digitsEnd(q + 1);
        } else {
            return nullptr;
        }
        if (*q == '.') {
            if (!digit(*++q)) return nullptr;
            // A fraction is often long (a ratio's shortest digits): eight digits at a time while eight remain.
            // Each byte is a digit when its high nibble is 3, and still is after adding 6.
            constexpr std::uint64_t kNibbles = 0xF0F0F0F0F0F0F0F0, kThrees = 0x3333333333333333, kSixes = 0x0606060606060606;
            for (std::uint64_t word = 0; end_ - q >= 8; q += 8) {
                std::memcpy(&word, q, sizeof word);
                if (((word & kNibbles) | (((word + kSixes) & kNibbles) >> 4)) != kThrees) break;
            }
            q = digitsEnd(q);
        }
        bool exponent = false;
        if (*q == 'e' || *q == 'E') {
            exponent = true;
            if (*++q == '+' || *q == '-') ++q;
            if (!digit(*q)) return nullptr;
            while (digit(*++q)) {}
        }
        // Without an exponent, up to 300 digits stay below a double's largest value (about 1.8e308).
        if (exponent || q - start > 300) {
            double value = 0;
            if (std::from_chars(start, q, value).ec != std::errc()) return nullptr;  // Boost.JSON says what is wrong
        }
        return q;
    }

    PlainScan textMember() {
        std::string_view value;
        if (!text(value)) return PlainScan::NotPlain;
        return handler_.on_string(value, value.size(), ec_) ? PlainScan::Read : PlainScan::Refused;
    }

    /// A top-level number, converted as Boost.JSON would hand it over: as an integer when it is one.
    PlainScan figure() {
        std::string_view value;
        if (!number(value)) return PlainScan::NotPlain;
        const char* last = value.data() + value.size();
        bool ok = false;
        if (value.find_first_of(".eE") == std::string_view::npos) {
            std::int64_t i = 0;
            std::uint64_t u = 0;
            if (std::from_chars(value.data(), last, i).ec == std::errc()) {
                ok = handler_.on_int64(i, value, ec_);
                return ok ? PlainScan::Read : PlainScan::Refused;
            }
            if (std::from_chars(value.data(), last, u).ec == std::errc()) {
                ok = handler_.on_uint64(u, value, ec_);
                return ok ? PlainScan::Read : PlainScan::Refused;
            }
        }
        double d = 0;
        if (std::from_chars(value.data(), last, d).ec != std::errc()) return PlainScan::NotPlain;
        return handler_.on_double(d, value, ec_) ? PlainScan::Read : PlainScan::Refused;
    }

    /// An object under sample keys (a series; markers hold texts). A sample key is read here; any other key
    /// goes to the handler, which refuses it.
    /// The hot loop of a report: it keeps its place in a local.
    PlainScan series() {
        ++p_;
        if (!handler_.on_object_begin(ec_)) return PlainScan::Refused;
        const char* q = spaceEnd(p_);
        if (*q == '}') {
            p_ = q + 1;
            handler_.on_object_end(0, ec_);
            return PlainScan::Read;
        }
        for (;;) {
            std::int64_t n = 0;
            const char* keyAt = q;
            std::size_t keyLength = 0;  // of "12s"
            if (*q == '"' && q[1] >= '1' && q[1] <= '9') {
                const char* d = q + 1;
                std::uint64_t number = 0;  // at most 16 digits are counted: no overflow
                for (; digit(*d) && d - q <= 16; ++d) number = number * 10 + static_cast<unsigned>(*d - '0');
                if (d[0] == 's' && d[1] == '"' && number <= static_cast<std::uint64_t>(maxSample_)) {
                    n = static_cast<std::int64_t>(number);
                    keyLength = static_cast<std::size_t>(d - keyAt);
                    q = d + 2;
                }
            }
            if (n == 0) {
                p_ = keyAt;
                std::string_view other;
                if (!text(other)) return PlainScan::NotPlain;
                if (!handler_.on_key(other, other.size(), ec_)) return PlainScan::Refused;
                return PlainScan::NotPlain;  // a key the handler takes is not a sample key of a plain body
            }
            q = spaceEnd(q);
            if (*q != ':') return PlainScan::NotPlain;
            const char* value = spaceEnd(q + 1);
            if (*value == '"') {  // a text under a sample key (a marker): the handler takes both as they are
                p_ = value;
                std::string_view label;
                const std::string_view key(keyAt + 1, keyLength);
                if (!text(label)) return PlainScan::NotPlain;
                if (!handler_.on_key(key, key.size(), ec_) || !handler_.on_string(label, label.size(), ec_))
                    return PlainScan::Refused;
                q = p_;
            } else {
                q = numberEnd(value);
                if (!q) return PlainScan::NotPlain;
                if (!handler_.sample(n, static_cast<std::size_t>(value - begin_))) return PlainScan::Refused;
            }
            q = spaceEnd(q);
            if (*q == ',') {
                ++q;
                // The agent writes each sample on a line of its own, indented by four.
                if (q[0] == '\n' && q[1] == ' ' && q[2] == ' ' && q[3] == ' ' && q[4] == ' ') q += 5;
                q = spaceEnd(q);
                continue;
            }
            if (*q != '}') return PlainScan::NotPlain;
            p_ = q + 1;
            handler_.on_object_end(0, ec_);
            return PlainScan::Read;
        }
    }

    const char* begin_;
    const char* p_;
    const char* end_;
    Handler& handler_;
    const std::int64_t maxSample_;
    boost::system::error_code ec_;
};

}  // namespace perfagent
