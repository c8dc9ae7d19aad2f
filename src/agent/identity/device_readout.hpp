#pragma once

#include "platform/device.hpp"

#include <string>
#include <vector>

namespace perfagent {

/// The eight readout lines, each label immediately followed by its value.
std::vector<std::string> deviceReadoutLines(const DeviceInfo& device);

}  // namespace perfagent
