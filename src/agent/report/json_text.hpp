#pragma once

#include <boost/json/fwd.hpp>

#include <string>

namespace perfagent {

/// Console text of a decoded JSON value: objects as `["key": value, …]` in document order (`[:]` when
/// empty), arrays as `[a, b]`, strings double-quoted with escapes, numbers in double text (integers as
/// digits), true/false, and nil for null.
std::string jsonText(const boost::json::value& value);
void appendJsonText(std::string& out, const boost::json::value& value);

}  // namespace perfagent
