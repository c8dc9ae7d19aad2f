#include "shell/push_endpoint.hpp"

#include "http/http_server.hpp"
#include "platform/main_thread_handoff.hpp"
#include "shell/remote_command.hpp"

#include <boost/json/basic_parser_impl.hpp>
#include <boost/json/value_stack.hpp>

#include <cctype>
#include <charconv>

namespace perfagent {

namespace {

/// Builds the document as boost::json::parse does, reading doubles from their own text.
struct ExactHandler {
    static constexpr std::size_t max_object_size = boost::json::object::max_size();
    static constexpr std::size_t max_array_size = boost::json::array::max_size();
    static constexpr std::size_t max_key_size = boost::json::string::max_size();
    static constexpr std::size_t max_string_size = boost::json::string::max_size();

    boost::json::value_stack stack;
    std::string number;  // the parts of a number split across buffers

    using ec_t = boost::system::error_code;
    using sv = boost::json::string_view;
    bool on_document_begin(ec_t&) { return true; }
    bool on_document_end(ec_t&) { return true; }
    bool on_object_begin(ec_t&) { return true; }
    bool on_object_end(std::size_t n, ec_t&) { return stack.push_object(n), true; }
    bool on_array_begin(ec_t&) { return true; }
    bool on_array_end(std::size_t n, ec_t&) { return stack.push_array(n), true; }
    bool on_key_part(sv s, std::size_t, ec_t&) { return stack.push_chars(s), true; }
    bool on_key(sv s, std::size_t, ec_t&) { return stack.push_key(s), true; }
    bool on_string_part(sv s, std::size_t, ec_t&) { return stack.push_chars(s), true; }
    bool on_string(sv s, std::size_t, ec_t&) { return stack.push_string(s), true; }
    bool on_number_part(sv s, ec_t&) { return number.append(s.data(), s.size()), true; }
    bool on_int64(std::int64_t i, sv, ec_t&) { return number.clear(), stack.push_int64(i), true; }
    bool on_uint64(std::uint64_t u, sv, ec_t&) { return number.clear(), stack.push_uint64(u), true; }
    bool on_double(double d, sv s, ec_t&) {
        number.append(s.data(), s.size());
        double exact = 0;
        const auto result = std::from_chars(number.data(), number.data() + number.size(), exact);
        // Out of the normal range (subnormal, zero or infinite) keeps the parser's value.
        stack.push_double(result.ec == std::errc() ? exact : d);
        number.clear();
        return true;
    }
    bool on_bool(bool b, ec_t&) { return stack.push_bool(b), true; }
    bool on_null(ec_t&) { return stack.push_null(), true; }
    bool on_comment_part(sv, ec_t&) { return true; }
    bool on_comment(sv, ec_t&) { return true; }
};

std::string_view trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

/// Compares over the whole length of `expected` whatever is presented, so the time taken says nothing
/// about how many leading characters of a guess were right.
bool constantTimeEquals(std::string_view presented, std::string_view expected) {
    std::size_t difference = presented.size() ^ expected.size();
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const unsigned char p = i < presented.size() ? static_cast<unsigned char>(presented[i]) : 0;
        difference |= static_cast<std::size_t>(p ^ static_cast<unsigned char>(expected[i]));
    }
    return difference == 0;
}

bool startsWithCaseless(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(text[i])) != std::tolower(static_cast<unsigned char>(prefix[i])))
            return false;
    return true;
}

}  // namespace

boost::json::value parseJsonExactly(std::string_view text, boost::system::error_code& ec) {
    boost::json::basic_parser<ExactHandler> parser(boost::json::parse_options{});
    parser.handler().stack.reset();
    const std::size_t used = parser.write_some(false, text.data(), text.size(), ec);
    if (!ec && used < text.size()) ec = boost::json::error::extra_data;
    if (ec) return nullptr;
    return parser.handler().stack.release();
}

PushBodyCheck parsePushBody(std::string_view body) {
    PushBodyCheck check;
    if (body.size() > kPushBodyLimit) {
        check.status = 413;
        check.reason = "body too large";
        return check;
    }
    boost::system::error_code ec;
    boost::json::value value = parseJsonExactly(body, ec);
    if (ec) {
        check.status = 400;
        check.reason = "invalid JSON";
        return check;
    }
    if (!value.is_object()) {
        check.status = 400;
        check.reason = "not a JSON object";
        return check;
    }
    check.userInfo = std::move(value.get_object());
    return check;
}

HttpRoute pushRoute(std::string deviceToken, MainThreadHandoff& handoff,
                    std::function<std::string(const PushCommand&)> deliver, TargetResolver& targets) {
    HttpRoute route{.method = "POST", .path = "/remote-notification", .bodyLimit = kPushBodyLimit,
                    .ownHostOnly = true, .name = "push"};
    route.admit = [token = std::move(deviceToken)](const HttpServerRequest& request) -> std::optional<HttpRefusal> {
        const std::string_view authorization = trim(request.header("Authorization").value_or(""));
        constexpr std::string_view scheme = "Bearer ";
        if (token.empty()) return HttpRefusal{401, std::string(kDamagedTokenStore)};
        if (!startsWithCaseless(authorization, scheme)) return HttpRefusal{401, "missing token"};
        if (!constantTimeEquals(trim(authorization.substr(scheme.size())), token)) return HttpRefusal{401, "wrong token"};
        return std::nullopt;
    };
    route.handle = [&handoff, deliver = std::move(deliver), &targets](HttpServerRequest&& request,
                                                                      HttpResponder responder) {
        PushBodyCheck check = parsePushBody(request.body);
        if (!check.userInfo) return responder.refuse({check.status, std::string(check.reason)});
        // A start whose target cannot be measured is refused here, with the reason; one that can is
        // measured as resolved here, so the answer and the act agree.
        auto command = readPush(*check.userInfo, targets);
        if (!command) {
            const bool notPermitted = command.error().code == std::errc::permission_denied;
            return responder.refuse({notPermitted ? 403u : 422u, std::move(command.error().message)});
        }
        if (command->action == CommandAction::Mark) {
            // Which measurements a mark lands on is known on the main thread only: the answer waits for it.
            const bool queued = handoff.post([deliver, responder, command = std::move(*command)] {
                responder.answer({.status = 202, .body = deliver(command), .contentType = "application/json"});
            });
            if (!queued) responder.refuse({503, "agent busy"});
            return;
        }
        std::string decision = pushDecision(*command);
        if (!handoff.post([deliver, command = std::move(*command)] { deliver(command); }))
            return responder.refuse({503, "agent busy"});
        responder.answer({.status = 202, .body = std::move(decision), .contentType = "application/json"});
    };
    return route;
}

}  // namespace perfagent
