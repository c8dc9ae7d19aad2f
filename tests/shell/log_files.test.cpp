#include "shell/log_files.hpp"

#include "support/temp_directory.hpp"

#include <gtest/gtest.h>

namespace perfagent {
namespace {

using testing::TempDirectory;

TEST(LogFileName, IsTheUtcInstantToTheSecond) {
    EXPECT_EQ(logFileName(0.0), "1970-01-01 00:00:00 +0000.log");
    // Fractions are cut, never rounded up into the next second.
    EXPECT_EQ(logFileName(1700000000.999), "2023-11-14 22:13:20 +0000.log");
    EXPECT_EQ(logFileName(-0.5), "1969-12-31 23:59:59 +0000.log");
}

TEST(DocumentsDirectory, IsCreatedUnderHomeOrAbsent) {
    TempDirectory dir;
    const auto documents = documentsDirectory(dir / "a" / "b");
    ASSERT_TRUE(documents.has_value());
    EXPECT_EQ(*documents, dir / "a" / "b" / "Documents");
    EXPECT_TRUE(std::filesystem::is_directory(*documents));
    EXPECT_EQ(documentsDirectory(dir / "a" / "b"), documents);  // already there

    const auto file = dir.write("plain-file", "x");
    EXPECT_FALSE(documentsDirectory(file).has_value());
}

}  // namespace
}  // namespace perfagent
