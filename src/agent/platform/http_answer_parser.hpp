#pragma once

#include <boost/beast/http/basic_parser.hpp>

#include <cstddef>
#include <cstdint>

namespace perfagent {

/// @brief Reads an HTTP/1.1 answer for what the upload client uses of it: the status, whether the
/// connection stays open, and where the message ends. Header fields and body are passed over, not kept.
class AnswerParser final : public boost::beast::http::basic_parser<false> {
public:
    int status() const { return status_; }

private:
    using ErrorCode = boost::beast::error_code;
    using Text = boost::beast::string_view;

    void on_request_impl(boost::beast::http::verb, Text, Text, int, ErrorCode&) override {}
    void on_response_impl(int code, Text, int, ErrorCode&) override { status_ = code; }
    void on_field_impl(boost::beast::http::field, Text, Text, ErrorCode&) override {}
    void on_header_impl(ErrorCode&) override {}
    void on_body_init_impl(const boost::optional<std::uint64_t>&, ErrorCode&) override {}
    std::size_t on_body_impl(Text body, ErrorCode&) override { return body.size(); }
    void on_chunk_header_impl(std::uint64_t, Text, ErrorCode&) override {}
    std::size_t on_chunk_body_impl(std::uint64_t, Text body, ErrorCode&) override { return body.size(); }
    void on_finish_impl(ErrorCode&) override {}

    int status_ = 0;
};

}  // namespace perfagent
