#include "platform/clock.hpp"

#include <chrono>

namespace perfagent {

double SystemClock::nowSeconds() const {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

}  // namespace perfagent
