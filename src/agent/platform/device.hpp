#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace perfagent {

/// @brief The device readout's figures.
struct DeviceInfo {
    /// The device class's version number (an integer, not the system version).
    std::int64_t classVersion = 0;
    /// -1.0 and 0: battery monitoring is never enabled.
    float batteryLevel = -1.0f;
    std::string systemName;
    std::string systemVersion;
    std::int64_t batteryState = 0;
    std::string name;
    std::string model;
    /// 0: unknown.
    std::int64_t orientation = 0;
};

inline constexpr const char* kDmiProductNamePath = "/sys/class/dmi/id/product_name";

/// This host: system name and version from uname (sysname, release), name = host name, model = the
/// trimmed firmware product name at `productNamePath` when it is readable and not blank, else uname's
/// machine; class version 0, battery -1.0 and state 0, orientation 0.
DeviceInfo readHostDevice(const std::filesystem::path& productNamePath = kDmiProductNamePath);

}  // namespace perfagent
