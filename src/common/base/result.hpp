#pragma once

#include <boost/assert/source_location.hpp>
#include <boost/system/result.hpp>

#include <stdexcept>
#include <string>
#include <system_error>
#include <utility>

namespace perfagent {

/// @brief Why an operation failed: one line for the user or the log, and the system's error where one
/// caused it, for callers that tell "not there" from other failures. Made by failure() or systemFailure(),
/// never from a bare text, so that a Result of a text cannot take its error for its value.
struct Failure {
    Failure() = default;
    Failure(std::string text, std::error_code error) : message(std::move(text)), code(error) {}
    std::string message;
    std::error_code code;
};

/// The one way a fallible operation answers where the reason matters: its value, or the Failure.
/// Where "absent" is the only failure the answer is a std::optional; with no value, a Result<void>.
template <typename T>
using Result = boost::system::result<T, Failure>;

inline Failure failure(std::string message) { return {std::move(message), {}}; }

/// The Failure of a system call that set `error` (an errno value).
inline Failure systemFailure(std::string message, int error) {
    return {std::move(message), std::error_code(error, std::generic_category())};
}

/// What Result::value() throws on a Failure.
[[noreturn]] inline void throw_exception_from_error(const Failure& failure, const boost::source_location&) {
    throw std::runtime_error(failure.message);
}

}  // namespace perfagent
