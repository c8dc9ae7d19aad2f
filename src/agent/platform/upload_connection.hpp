#pragma once

#include <boost/asio/buffer.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/system/error_code.hpp>

#include <array>
#include <cstddef>

namespace perfagent {

/// @brief The upload client's one TCP connection. It is either in the reactor (its socket), for connecting
/// and for answers awaited, or parked out of it as a bare descriptor while an answer may wait, so that the
/// answer's arrival wakes nobody; parked, it is written and read only at once, never waited on.
class UploadConnection {
public:
    using Parts = std::array<boost::asio::const_buffer, 2>;

    explicit UploadConnection(boost::asio::io_context& context) : socket_(context) {}
    ~UploadConnection() { close(); }
    UploadConnection(const UploadConnection&) = delete;
    UploadConnection& operator=(const UploadConnection&) = delete;

    /// The socket, to connect and to wait on; in use only while not parked.
    boost::asio::ip::tcp::socket& socket() { return socket_; }
    bool isOpen() const { return parked_ >= 0 || socket_.is_open(); }
    bool isParked() const { return parked_ >= 0; }

    /// Once connected: no delay (each request goes whole in one write), writes tried at once.
    void connected();
    /// Whether the open connection is still open and quiet: a server may have closed it since its last answer.
    bool stillOpen();
    /// Writes what the connection takes at once; would_block when it takes nothing.
    std::size_t writeNow(const Parts& parts, boost::system::error_code& ec);
    /// Parked: reads what has come; 0 bytes with eof when the server closed, would_block when nothing came.
    std::size_t readNow(boost::asio::mutable_buffer into, boost::system::error_code& ec);
    /// Takes the connection out of the reactor; false (it stays in) when that fails.
    bool park();
    /// Puts a parked connection back in the reactor; false, with it closed, when that fails.
    bool unpark(boost::system::error_code& ec);
    void close();

private:
    boost::asio::ip::tcp::socket socket_;
    boost::asio::ip::tcp protocol_ = boost::asio::ip::tcp::v4();
    int parked_ = -1;  // the descriptor while parked
};

}  // namespace perfagent
