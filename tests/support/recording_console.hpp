#pragma once

#include "platform/console.hpp"

#include <utility>

namespace perfagent::testing {

/// @brief Keeps every console line for the test to read.
class RecordingConsole final : public Console {
public:
    void println(std::string_view line) override { std::lock_guard lock(mutex_); lines_.emplace_back(line); }
    std::vector<std::string> lines() const { std::lock_guard lock(mutex_); return lines_; }
    std::vector<std::string> take() { std::lock_guard lock(mutex_); return std::exchange(lines_, {}); }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

}  // namespace perfagent::testing
