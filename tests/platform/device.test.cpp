#include "platform/device.hpp"

#include "support/temp_directory.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/utsname.h>

namespace perfagent {
namespace {

using ::testing::ElementsAre;
using testing::TempDirectory;

TEST(DeviceReadout, EightLabelledLinesWithoutABlankAfterTheColon) {
    DeviceInfo device;
    device.classVersion = 3;
    device.batteryLevel = 0.75f;
    device.systemName = "Linux";
    device.systemVersion = "6.1.0-13-amd64";
    device.batteryState = 2;
    device.name = "bench-host";
    device.model = "Board X";
    device.orientation = 1;

    EXPECT_THAT(deviceReadoutLines(device),
                ElementsAre("UIDevice Version :3", "UIDevice batteryLevel :0.75", "UIDevice systemName :Linux",
                            "UIDevice systemVersion :6.1.0-13-amd64", "UIDevice batteryState :2",
                            "UIDevice name :bench-host", "UIDevice model :Board X", "UIDevice orientation :1"));
}

TEST(HostDevice, ReadsUnameAndTheProductNameAndReportsNoBattery) {
    utsname host{};
    ASSERT_EQ(uname(&host), 0);
    TempDirectory dir;
    const auto device = readHostDevice(dir / "no-product-name");

    EXPECT_EQ(device.batteryLevel, -1.0f);
    EXPECT_EQ(device.batteryState, 0);
    EXPECT_EQ(device.systemName, host.sysname);
    EXPECT_EQ(device.systemVersion, host.release);
    EXPECT_EQ(device.name, host.nodename);
    EXPECT_EQ(device.model, host.machine);
    // A firmware product name, when there is one, names the model.
    EXPECT_EQ(readHostDevice(dir.write("named", "  Board 9000 \n")).model, "Board 9000");
    EXPECT_EQ(readHostDevice(dir.write("blank", " \n")).model, host.machine);
}

}  // namespace
}  // namespace perfagent
