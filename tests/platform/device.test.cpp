#include "platform/device.hpp"

#include "support/temp_directory.hpp"

#include <gtest/gtest.h>

#include <sys/utsname.h>

namespace perfagent {
namespace {

using testing::TempDirectory;

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
