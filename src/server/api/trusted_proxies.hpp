#pragma once

#include "http/http_server.hpp"

#include <boost/asio/ip/address.hpp>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace perfagent {

/// @brief An address block: `base` with its first `bits` bits significant (32 or 128 for one address).
struct AddressRange {
    boost::asio::ip::address base;
    unsigned bits = 0;
    /// Whether `address` lies in the block; an IPv4-mapped IPv6 address counts as its IPv4 address.
    bool contains(const boost::asio::ip::address& address) const;
    bool operator==(const AddressRange&) const = default;
};

/// `ADDR` or `ADDR/BITS`: an IPv4 address with 0-32 bits or an IPv6 address (no brackets) with 0-128;
/// nothing for anything else.
std::optional<AddressRange> parseAddressRange(std::string_view text);

/// @brief The reverse proxies whose word the server takes for who sent a request.
///
/// A request from one of them names its client in `X-Forwarded-For` (checked first: the header proxies
/// append to) or `Forwarded` (its `for=` parameters). The hops are walked from the right, the proxy's own
/// peer first: the first address that is not a trusted proxy is the client. A hop that is not an address
/// ("unknown", an obfuscated name, garbage) ends the walk at the address just right of it. A request from
/// anyone else is its peer, whatever it says.
class TrustedProxies {
public:
    TrustedProxies() = default;
    explicit TrustedProxies(std::vector<AddressRange> ranges) : ranges_(std::move(ranges)) {}

    bool trusts(const boost::asio::ip::address& address) const;
    /// The address of the request's client as text ("192.0.2.7", "2001:db8::17").
    std::string clientOf(const HttpServerRequest& request) const;

private:
    std::vector<AddressRange> ranges_;
};

}  // namespace perfagent
