#pragma once

namespace perfagent {

/// @brief The current instant as seconds since 1970-01-01 UTC.
class Clock {
public:
    virtual ~Clock() = default;
    virtual double nowSeconds() const = 0;
};

/// @brief The wall clock of the host.
class SystemClock final : public Clock {
public:
    double nowSeconds() const override;
};

/// Milliseconds since 1970 as the agent stores instants: seconds × 1000.0, not rounded.
inline double nowMilliseconds(const Clock& clock) { return clock.nowSeconds() * 1000.0; }

}  // namespace perfagent
