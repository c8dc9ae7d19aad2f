#pragma once

#include "collector/target.hpp"
#include "http/http_server.hpp"

#include <boost/json/object.hpp>
#include <boost/json/value.hpp>
#include <boost/system/error_code.hpp>

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace perfagent {

class MainThreadHandoff;
struct PushCommand;

/// Largest push body accepted, in bytes.
inline constexpr std::size_t kPushBodyLimit = 4096;

/// Parses JSON like boost::json::parse, but every number with a fraction or exponent is the double
/// nearest to its text (the default parser can be one unit in the last place off: 99.99999999999999
/// came out as 100).
boost::json::value parseJsonExactly(std::string_view text, boost::system::error_code& ec);

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

/// The 401 reason for every push when the device token could not be loaded or made.
inline constexpr std::string_view kDamagedTokenStore =
    "the token store is damaged: delete Library/device-token under the agent's home and restart the agent, "
    "which makes a new token";

/// The push endpoint, `POST /remote-notification`: a body from a client that presents
/// `Authorization: Bearer <deviceToken>` (an empty token, one that could not be loaded, refuses every push
/// with kDamagedTokenStore) and passes parsePushBody is read once (readPush, resolving a start's target
/// with `targets`, which from then on the network thread alone may use), answered 202 with pushDecision's
/// JSON and the command handed to `deliver` on the main thread. A mark is answered once `deliver` has
/// run, with the JSON it returns (which measurements the mark applied to); for other commands what it
/// returns is not used. Refused: 401, 400 and 413; a start whose target names no running process 422, one
/// this user may not read 403, each with the reason, nothing delivered; 503 when the main thread has too
/// much waiting already.
HttpRoute pushRoute(std::string deviceToken, MainThreadHandoff& handoff,
                    std::function<std::string(const PushCommand&)> deliver, TargetResolver& targets);

}  // namespace perfagent
