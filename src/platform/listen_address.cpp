#include "platform/listen_address.hpp"

#include <boost/asio/ip/address.hpp>

#include <charconv>

namespace perfagent {

std::optional<ListenAddress> parseListenAddress(std::string_view text) {
    std::string_view address, port;
    if (text.starts_with('[')) {
        const auto close = text.find(']');
        if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != ':') return std::nullopt;
        address = text.substr(1, close - 1);
        port = text.substr(close + 2);
    } else {
        const auto colon = text.rfind(':');
        if (colon == std::string_view::npos) return std::nullopt;
        address = text.substr(0, colon);
        port = text.substr(colon + 1);
    }
    boost::system::error_code ec;
    boost::asio::ip::make_address(std::string(address), ec);
    unsigned number = 0;
    const auto result = std::from_chars(port.data(), port.data() + port.size(), number);
    if (ec || port.empty() || result.ec != std::errc() || result.ptr != port.data() + port.size() || number == 0 ||
        number > 65535)
        return std::nullopt;
    return ListenAddress{std::string(address), static_cast<unsigned short>(number)};
}

}  // namespace perfagent
