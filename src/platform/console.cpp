#include "platform/console.hpp"

namespace perfagent {

void StreamConsole::println(std::string_view line) {
    std::lock_guard lock(mutex_);
    std::fwrite(line.data(), 1, line.size(), stream_);
    std::fputc('\n', stream_);
    std::fflush(stream_);
}

}  // namespace perfagent
