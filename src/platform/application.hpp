#pragma once

#include <limits>

namespace perfagent {

/// @brief Application-wide state the platform reports.
class ApplicationState {
public:
    virtual ~ApplicationState() = default;
    /// Seconds of background execution the platform still grants the process.
    virtual double backgroundTimeRemaining() const = 0;
};

/// @brief A Linux process is never suspended for being in the background: the answer is "no limit",
/// the largest finite double.
class HostApplicationState final : public ApplicationState {
public:
    double backgroundTimeRemaining() const override { return std::numeric_limits<double>::max(); }
};

}  // namespace perfagent
