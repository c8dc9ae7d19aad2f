#pragma once

#include <boost/json/object.hpp>

#include <cstddef>
#include <optional>
#include <string_view>

namespace perfagent {

/// Largest push body accepted, in bytes.
inline constexpr std::size_t kPushBodyLimit = 4096;

/// @brief What a push body amounts to: the user info to deliver, or the HTTP status and reason it is
/// refused with.
struct PushBodyCheck {
    std::optional<boost::json::object> userInfo;  ///< present when the body is accepted
    unsigned status = 0;                          ///< 413 or 400 when refused, 0 when accepted
    std::string_view reason;                      ///< why it was refused (static text)
};

/// Accepts a body of at most kPushBodyLimit bytes that parses as JSON to an object. Refuses a larger
/// body with 413 "body too large", text that is not JSON with 400 "invalid JSON" and any other JSON
/// value with 400 "not a JSON object". Touches nothing but its argument.
PushBodyCheck parsePushBody(std::string_view body);

}  // namespace perfagent
