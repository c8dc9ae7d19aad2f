#include "platform/device.hpp"

#include "support/temp_directory.hpp"

#include <gtest/gtest.h>

#include <sys/utsname.h>

namespace perfagent {
namespace {

TEST(HostDevice, AFirmwareProductNameNamesTheModelElseTheMachineDoes) {
    utsname host{};
    ASSERT_EQ(uname(&host), 0);
    testing::TempDirectory dir;
    EXPECT_EQ(readHostDevice(dir / "no-product-name").model, host.machine);
    EXPECT_EQ(readHostDevice(dir.write("named", "  Board 9000 \n")).model, "Board 9000");
    EXPECT_EQ(readHostDevice(dir.write("blank", " \n")).model, host.machine);
}

}  // namespace
}  // namespace perfagent
