#include "http/listen_address.hpp"

#include <netdb.h>
#include <sys/socket.h>

#include <charconv>
#include <memory>

namespace perfagent {

namespace {

/// Without a zone ("%eth0"): a '%' would need escaping in a URL.
bool isIpv6Literal(std::string_view text) {
    if (text.find('%') != std::string_view::npos) return false;
    boost::system::error_code ec;
    return boost::asio::ip::make_address_v6(std::string(text), ec), !ec;
}

/// Only what a DNS name or IPv4 address uses: anything else (blanks, '/', '@', '%', '?', '#'...) would
/// change or break the meaning of a URL built around it.
bool isNameOrIpv4(std::string_view host) {
    if (host.empty()) return false;
    for (char c : host) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                        c == '.' || c == '_' || c == '~';
        if (!ok) return false;
    }
    return true;
}

std::optional<unsigned short> parsePort(std::string_view text) {
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string_view::npos)
        return std::nullopt;
    unsigned value = 0;
    std::from_chars(text.data(), text.data() + text.size(), value);
    if (value == 0 || value > 65535) return std::nullopt;
    return static_cast<unsigned short>(value);
}

}  // namespace

bool isValidHost(std::string_view host) {
    return host.find(':') != std::string_view::npos ? isIpv6Literal(host) : isNameOrIpv4(host);
}

std::optional<HostPort> parseHostPort(std::string_view text, std::optional<unsigned short> defaultPort) {
    std::string_view host, rest;
    if (text.starts_with('[')) {
        const auto close = text.find(']');
        if (close == std::string_view::npos) return std::nullopt;
        host = text.substr(1, close - 1);
        rest = text.substr(close + 1);
        if (!isIpv6Literal(host)) return std::nullopt;
    } else if (const auto colon = text.find(':'); colon != std::string_view::npos &&
                                                  text.find(':', colon + 1) != std::string_view::npos) {
        // Two or more colons: only a bare IPv6 address, without a port, reads unambiguously.
        if (!defaultPort || !isIpv6Literal(text)) return std::nullopt;
        return HostPort{std::string(text), *defaultPort};
    } else {
        host = text.substr(0, colon);
        if (colon != std::string_view::npos) rest = text.substr(colon);
        if (!isNameOrIpv4(host)) return std::nullopt;
    }
    if (rest.empty()) {
        if (!defaultPort) return std::nullopt;
        return HostPort{std::string(host), *defaultPort};
    }
    const auto port = rest.front() == ':' ? parsePort(rest.substr(1)) : std::nullopt;
    if (!port) return std::nullopt;
    return HostPort{std::string(host), *port};
}

Result<boost::asio::ip::address> resolveHost(const std::string& host) {
    boost::system::error_code ec;
    const auto literal = boost::asio::ip::make_address(host, ec);
    if (!ec) return literal;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &found); rc != 0)
        return failure(host + ": " + ::gai_strerror(rc));
    const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> results(found, &::freeaddrinfo);
    std::optional<boost::asio::ip::address> chosen;
    for (const addrinfo* at = found; at; at = at->ai_next) {
        if (at->ai_family == AF_INET) {
            const auto* v4 = reinterpret_cast<const sockaddr_in*>(at->ai_addr);
            return boost::asio::ip::address_v4(ntohl(v4->sin_addr.s_addr));
        }
        if (at->ai_family == AF_INET6 && !chosen) {
            const auto* v6 = reinterpret_cast<const sockaddr_in6*>(at->ai_addr);
            boost::asio::ip::address_v6::bytes_type bytes;
            std::copy(std::begin(v6->sin6_addr.s6_addr), std::end(v6->sin6_addr.s6_addr), bytes.begin());
            chosen = boost::asio::ip::address_v6(bytes, v6->sin6_scope_id);
        }
    }
    if (!chosen) return failure(host + ": no IPv4 or IPv6 address");
    return *chosen;
}

std::string authorityText(std::string_view host, unsigned short port) {
    const bool v6 = host.find(':') != std::string_view::npos;
    return (v6 ? "[" + std::string(host) + "]" : std::string(host)) + ":" + std::to_string(port);
}

std::string authorityText(const boost::asio::ip::address& address, unsigned short port) {
    return authorityText(address.to_string(), port);
}

}  // namespace perfagent
