#include "shell/log_files.hpp"

#include <gtest/gtest.h>

namespace perfagent {
namespace {

TEST(LogFileName, IsTheUtcInstantToTheSecond) {
    EXPECT_EQ(logFileName(0.0), "1970-01-01 00:00:00 +0000.log");
    // Fractions are cut, never rounded up into the next second.
    EXPECT_EQ(logFileName(1700000000.999), "2023-11-14 22:13:20 +0000.log");
    EXPECT_EQ(logFileName(-0.5), "1969-12-31 23:59:59 +0000.log");
}

}  // namespace
}  // namespace perfagent
