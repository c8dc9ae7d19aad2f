#pragma once

#include "platform/application.hpp"
#include "platform/clock.hpp"
#include "platform/console.hpp"
#include "platform/run_loop.hpp"

namespace perfagent {

/// @brief The host services the measurement logic reaches, given to each object when it is built.
struct Platform {
    Clock& clock;
    Console& console;
    RunLoop& runLoop;
    ApplicationState& application;
};

}  // namespace perfagent
