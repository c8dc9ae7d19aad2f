#include "platform/files.hpp"
#include "shell/log_files.hpp"

#include "support/temp_directory.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>

namespace perfagent {
namespace {

using testing::readFile;
using testing::TempDirectory;

TEST(LogFileName, IsTheUtcInstantToTheSecond) {
    EXPECT_EQ(logFileName(0.0), "1970-01-01 00:00:00 +0000.log");
    // Fractions are cut, never rounded up into the next second.
    EXPECT_EQ(logFileName(1700000000.999), "2023-11-14 22:13:20 +0000.log");
    EXPECT_EQ(logFileName(-0.5), "1969-12-31 23:59:59 +0000.log");
}

TEST(DefaultHome, PrefersAnAbsoluteXdgDataHome) {
    const std::filesystem::path underHome("/home/ann/.local/share/perfagent");
    EXPECT_EQ(defaultHome("/data", "/home/ann"), std::filesystem::path("/data/perfagent"));
    EXPECT_EQ(defaultHome("relative/data", "/home/ann"), underHome);
    EXPECT_EQ(defaultHome(nullptr, "/home/ann"), underHome);
    EXPECT_TRUE(defaultHome(nullptr, nullptr).is_absolute());
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

/// Puts standard error back where it was when the test ends, whatever happened.
class StderrGuard {
public:
    StderrGuard() : saved_(::dup(STDERR_FILENO)) {}
    ~StderrGuard() {
        std::fflush(stderr);
        ::dup2(saved_, STDERR_FILENO);
        ::close(saved_);
    }

private:
    int saved_;
};

TEST(RedirectStderr, AppendsToTheFileAcrossRedirections) {
    TempDirectory dir;
    const auto log = dir.write("2024-02-03 03:05:06 +0000.log", "earlier\n");
    StderrGuard guard;

    ASSERT_TRUE(redirectStderr(log));
    std::fputs("first\n", stderr);
    ASSERT_TRUE(redirectStderr(log));  // a second launch within the same second
    std::fputs("second\n", stderr);
    std::fflush(stderr);

    EXPECT_EQ(readFile(log), "earlier\nfirst\nsecond\n");
}

}  // namespace
}  // namespace perfagent
