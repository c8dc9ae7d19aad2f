#include "platform/clock.hpp"

#include <chrono>
#include <cmath>

namespace perfagent {

double SystemClock::nowSeconds() const {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

double roundHalfAwayFromZero(double value) { return std::round(value); }

}  // namespace perfagent
