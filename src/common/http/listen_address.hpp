#pragma once

#include "base/result.hpp"

#include <boost/asio/ip/address.hpp>

#include <optional>
#include <string>
#include <string_view>

namespace perfagent {

/// @brief A host (a DNS name, an IPv4 address or an IPv6 address without brackets) and a port.
struct HostPort {
    std::string host;
    unsigned short port = 0;
    bool operator==(const HostPort&) const = default;
};

/// Where a listener binds; a name in it is resolved when the program starts (resolveHost).
using ListenAddress = HostPort;

/// The one parser of both programs' HOST:PORT options: "HOST:PORT" or "[v6]:PORT", and with a
/// `defaultPort` also "HOST", "[v6]" and a bare IPv6 address. HOST is made only of the characters a DNS
/// name or IPv4 address uses (so it can stand in a URL authority); the port is 1-65535 in decimal digits.
std::optional<HostPort> parseHostPort(std::string_view text, std::optional<unsigned short> defaultPort = std::nullopt);

/// Whether `host` can stand as the host of a URL authority: a DNS name or IPv4 address (characters
/// only), or an IPv6 address.
bool isValidHost(std::string_view host);

/// "host:port", an IPv6 literal (a host with a colon) in brackets: the one way authorities are written.
std::string authorityText(std::string_view host, unsigned short port);
std::string authorityText(const boost::asio::ip::address& address, unsigned short port);

/// parseHostPort with the port required.
inline std::optional<ListenAddress> parseListenAddress(std::string_view text) { return parseHostPort(text); }

/// The address `host` stands for: an address literal as it is; a name through the resolver (getaddrinfo,
/// blocking), IPv4 first so that `localhost` is 127.0.0.1. The Failure holds the resolver's text when the
/// name does not resolve.
Result<boost::asio::ip::address> resolveHost(const std::string& host);

}  // namespace perfagent
