#include "platform/push_body.hpp"

#include <boost/json/parse.hpp>
#include <boost/json/value.hpp>

namespace perfagent {

PushBodyCheck parsePushBody(std::string_view body) {
    PushBodyCheck check;
    if (body.size() > kPushBodyLimit) {
        check.status = 413;
        check.reason = "body too large";
        return check;
    }
    boost::system::error_code ec;
    boost::json::value value = boost::json::parse(body, ec);
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

}  // namespace perfagent
