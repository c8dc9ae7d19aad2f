#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace perfagent {

/// @brief Where a listener binds: a numeric IPv4 or IPv6 address and a port.
struct ListenAddress {
    std::string address;
    unsigned short port = 0;
    bool operator==(const ListenAddress&) const = default;
};

/// "ADDR:PORT" or "[v6]:PORT" with a numeric address and a port 1-65535; nothing otherwise.
std::optional<ListenAddress> parseListenAddress(std::string_view text);

}  // namespace perfagent
