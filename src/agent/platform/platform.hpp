#pragma once

#include "platform/clock.hpp"
#include "platform/console.hpp"
#include "platform/run_loop.hpp"

#include <functional>
#include <string_view>

namespace perfagent {

class ProcessList;

/// @brief The host services the measurement logic reaches, given to each object when it is built.
struct Platform {
    Clock& clock;
    Console& console;
    RunLoop& runLoop;
    /// The host's processes, for finding a measurement's target; none: targets are not offered.
    ProcessList* processes = nullptr;
    /// Our own diagnostics (stderr, the log); none: dropped.
    std::function<void(std::string_view)> diagnostics{};
};

}  // namespace perfagent
