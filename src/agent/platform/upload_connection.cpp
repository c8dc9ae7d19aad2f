#include "platform/upload_connection.hpp"

#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace perfagent {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

namespace {

/// The error of a call that failed with `errno`, would_block for a descriptor that is not ready.
boost::system::error_code lastError() {
    if (errno == EAGAIN || errno == EWOULDBLOCK) return asio::error::would_block;
    return {errno, boost::system::system_category()};
}

}  // namespace

void UploadConnection::connected() {
    boost::system::error_code ignored;
    protocol_ = socket_.local_endpoint(ignored).protocol();
    socket_.set_option(tcp::no_delay(true), ignored);
    socket_.non_blocking(true, ignored);
}

bool UploadConnection::stillOpen() {
    char byte;
    const ssize_t n = ::recv(isParked() ? parked_ : socket_.native_handle(), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    return n < 0 && lastError() == asio::error::would_block;
}

std::size_t UploadConnection::writeNow(const Parts& parts, boost::system::error_code& ec) {
    if (!isParked()) return socket_.write_some(parts, ec);
    iovec vectors[] = {{const_cast<void*>(parts[0].data()), parts[0].size()},
                       {const_cast<void*>(parts[1].data()), parts[1].size()}};
    msghdr message{};
    message.msg_iov = vectors;
    message.msg_iovlen = 2;
    const ssize_t n = ::sendmsg(parked_, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) return static_cast<std::size_t>(n);
    ec = lastError();
    return 0;
}

std::size_t UploadConnection::readNow(asio::mutable_buffer into, boost::system::error_code& ec) {
    for (;;) {
        const ssize_t n = ::recv(parked_, into.data(), into.size(), MSG_DONTWAIT);
        if (n > 0) return static_cast<std::size_t>(n);
        if (n == 0) ec = asio::error::eof;
        else if (errno == EINTR) continue;
        else ec = lastError();
        return 0;
    }
}

bool UploadConnection::park() {
    if (isParked()) return true;
    boost::system::error_code ec;
    const int fd = socket_.release(ec);
    if (ec) return false;
    parked_ = fd;
    return true;
}

bool UploadConnection::unpark(boost::system::error_code& ec) {
    if (!isParked()) return true;
    const int fd = std::exchange(parked_, -1);
    socket_.assign(protocol_, fd, ec);
    if (ec) {
        ::close(fd);
        return false;
    }
    socket_.non_blocking(true, ec);
    if (ec) close();
    return !ec;
}

void UploadConnection::close() {
    if (isParked()) ::close(std::exchange(parked_, -1));
    boost::system::error_code ignored;
    if (socket_.is_open()) {
        socket_.shutdown(tcp::socket::shutdown_both, ignored);
        socket_.close(ignored);
    }
}

}  // namespace perfagent
