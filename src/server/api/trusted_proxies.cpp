#include "api/trusted_proxies.hpp"

#include <boost/beast/core/string.hpp>

#include <algorithm>
#include <charconv>

namespace perfagent {

namespace ip = boost::asio::ip;

namespace {

/// Hops walked at most: a longer chain than any real proxy path ends at the 64th.
constexpr std::size_t kMaxHops = 64;
/// Longer than "[ffff:…:255.255.255.255]:65535" in quotes: not an address.
constexpr std::size_t kMaxHopText = 64;

ip::address unmapped(const ip::address& address) {
    if (address.is_v6() && address.to_v6().is_v4_mapped()) return ip::make_address_v4(ip::v4_mapped, address.to_v6());
    return address;
}

std::string_view trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

std::optional<unsigned> decimal(std::string_view text, unsigned max) {
    unsigned value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || text.size() > 5 || ec != std::errc() || end != text.data() + text.size() || value > max)
        return std::nullopt;
    return value;
}

std::optional<ip::address> addressOf(std::string_view text, bool v6) {
    boost::system::error_code ec;
    const auto address = ip::make_address(std::string(text), ec);
    if (ec || address.is_v6() != v6 || (v6 && address.to_v6().scope_id() != 0)) return std::nullopt;
    return unmapped(address);
}

/// One hop as proxies write it: `192.0.2.7`, `192.0.2.7:4711`, `2001:db8::17`, `[2001:db8::17]`,
/// `[2001:db8::17]:4711`, any of them in double quotes (Forwarded's form).
std::optional<ip::address> parseHop(std::string_view text) {
    text = trimmed(text);
    if (text.size() > kMaxHopText) return std::nullopt;
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"') text = text.substr(1, text.size() - 2);
    if (text.starts_with('[')) {
        const auto close = text.find(']');
        if (close == std::string_view::npos) return std::nullopt;
        const std::string_view port = text.substr(close + 1);
        if (!port.empty() && (!port.starts_with(':') || !decimal(port.substr(1), 65535))) return std::nullopt;
        return addressOf(text.substr(1, close - 1), true);
    }
    const auto colons = std::count(text.begin(), text.end(), ':');
    if (colons > 1) return addressOf(text, true);
    if (colons == 1) {
        const auto colon = text.find(':');
        if (!decimal(text.substr(colon + 1), 65535)) return std::nullopt;
        text = text.substr(0, colon);
    }
    return addressOf(text, false);
}

/// Splits at `separator`, outside double-quoted strings when `quoting` (Forwarded's syntax has them).
std::vector<std::string_view> split(std::string_view text, char separator, bool quoting) {
    std::vector<std::string_view> parts;
    bool quoted = false;
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (quoting && text[i] == '"') quoted = !quoted;
        if (text[i] == separator && !quoted) {
            parts.push_back(text.substr(start, i - start));
            start = i + 1;
        }
    }
    parts.push_back(text.substr(start));
    return parts;
}

/// Every header of that name, in order, joined as one list; nothing when there is none.
std::optional<std::string> joinedHeader(const HttpServerRequest& request, std::string_view name) {
    std::optional<std::string> list;
    for (const auto& [key, value] : request.headers) {
        if (!boost::beast::iequals(key, name)) continue;
        list = list ? *list + "," + value : value;
    }
    return list;
}

/// The hops a request names, left (the original client) to right (the proxy nearest to us); a hop that
/// is not an address is nothing.
std::vector<std::optional<ip::address>> namedHops(const HttpServerRequest& request) {
    std::vector<std::optional<ip::address>> hops;
    if (const auto forwardedFor = joinedHeader(request, "X-Forwarded-For")) {
        for (const std::string_view hop : split(*forwardedFor, ',', false)) hops.push_back(parseHop(hop));
        return hops;
    }
    const auto forwarded = joinedHeader(request, "Forwarded");
    if (!forwarded) return hops;
    for (const std::string_view element : split(*forwarded, ',', true)) {
        std::optional<ip::address> hop;
        for (const std::string_view pair : split(element, ';', true)) {
            const std::string_view item = trimmed(pair);
            if (item.size() > 4 && boost::beast::iequals(item.substr(0, 4), "for=")) hop = parseHop(item.substr(4));
        }
        hops.push_back(hop);
    }
    return hops;
}

}  // namespace

bool AddressRange::contains(const ip::address& address) const {
    const ip::address candidate = unmapped(address);
    if (candidate.is_v4() != base.is_v4()) return false;
    const auto bytesOf = [](const ip::address& a) {
        std::array<unsigned char, 16> bytes{};
        if (a.is_v4()) {
            const auto v4 = a.to_v4().to_bytes();
            std::copy(v4.begin(), v4.end(), bytes.begin());
        } else {
            bytes = a.to_v6().to_bytes();
        }
        return bytes;
    };
    const auto ours = bytesOf(base), theirs = bytesOf(candidate);
    for (unsigned bit = 0; bit < bits; ++bit) {
        const unsigned mask = 0x80u >> (bit % 8);
        if ((ours[bit / 8] & mask) != (theirs[bit / 8] & mask)) return false;
    }
    return true;
}

std::optional<AddressRange> parseAddressRange(std::string_view text) {
    const auto slash = text.find('/');
    const std::string_view host = text.substr(0, slash);
    const bool v6 = host.find(':') != std::string_view::npos;
    const auto address = addressOf(host, v6);
    if (!address || address->is_v6() != v6) return std::nullopt;  // a mapped IPv4 is written as IPv4
    const unsigned width = v6 ? 128 : 32;
    if (slash == std::string_view::npos) return AddressRange{*address, width};
    const auto bits = decimal(text.substr(slash + 1), width);
    if (!bits) return std::nullopt;
    return AddressRange{*address, *bits};
}

bool TrustedProxies::trusts(const ip::address& address) const {
    return std::any_of(ranges_.begin(), ranges_.end(), [&](const AddressRange& range) { return range.contains(address); });
}

std::string TrustedProxies::clientOf(const HttpServerRequest& request) const {
    const ip::address peer = request.peer.address();
    if (!trusts(peer)) return peer.to_string();
    const auto hops = namedHops(request);
    ip::address client = unmapped(peer);
    for (std::size_t walked = 0; walked < hops.size() && walked < kMaxHops; ++walked) {
        const auto& hop = hops[hops.size() - 1 - walked];
        if (!hop) break;
        client = *hop;
        if (!trusts(client)) break;
    }
    return client.to_string();
}

}  // namespace perfagent
