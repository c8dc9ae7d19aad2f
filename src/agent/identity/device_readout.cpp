#include "identity/device_readout.hpp"

#include "base/text.hpp"

namespace perfagent {

std::vector<std::string> deviceReadoutLines(const DeviceInfo& device) {
    return {
        "UIDevice Version :" + std::to_string(device.classVersion),
        "UIDevice batteryLevel :" + floatText(device.batteryLevel),
        "UIDevice systemName :" + device.systemName,
        "UIDevice systemVersion :" + device.systemVersion,
        "UIDevice batteryState :" + std::to_string(device.batteryState),
        "UIDevice name :" + device.name,
        "UIDevice model :" + device.model,
        "UIDevice orientation :" + std::to_string(device.orientation),
    };
}

}  // namespace perfagent
