#pragma once

// PostgreSQL array literals as the PostgreSQL run store sends them (its libpqxx binds no arrays) and the
// sample rows it reads back.

#include "storage/run_derivation.hpp"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

namespace perfagent::postgres {

/// `{a,b,…}`, each item written by `append(out, item)`.
template <typename Range, typename Append>
std::string arrayLiteral(const Range& items, Append append) {
    std::string out = "{";
    for (const auto& item : items) {
        if (out.size() > 1) out += ',';
        append(out, item);
    }
    return out + '}';
}

std::string numbersLiteral(std::span<const std::int64_t> numbers);
/// A text item, quoted.
void appendQuoted(std::string& out, std::string_view text);
/// The keys (or the values) of a map of texts as a text[] literal; of a map of numbers, its keys.
template <typename Map>
std::string textsLiteral(const Map& map, bool keys) {
    return arrayLiteral(map, [keys](std::string& out, const auto& entry) {
        if constexpr (std::is_same_v<typename Map::mapped_type, std::string>)
            appendQuoted(out, keys ? entry.first : entry.second);
        else
            (void)keys, appendQuoted(out, entry.first);
    });
}
/// A number item; NULL for NaN.
void appendValue(std::string& out, double value);
/// Each row of `rows` as a float8[] literal, all in one text[] literal (unnest cannot take a 2-D array
/// apart by rows).
std::string rowsLiteral(const SampleRows& rows);
/// A float8[] as the server writes it (`{1.5,NULL,2e+16}`) into `width` values, NaN-padded.
void parseRow(std::string_view text, std::size_t width, double* out);

}  // namespace perfagent::postgres
