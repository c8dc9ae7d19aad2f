#include "os/files.hpp"

#include "support/temp_directory.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>

namespace perfagent {
namespace {

TEST(DefaultHome, PrefersAnAbsoluteXdgDataHome) {
    const std::filesystem::path underHome("/home/ann/.local/share/perfagent");
    EXPECT_EQ(defaultHome("/data", "/home/ann"), std::filesystem::path("/data/perfagent"));
    EXPECT_EQ(defaultHome("relative/data", "/home/ann"), underHome);
    EXPECT_EQ(defaultHome(nullptr, "/home/ann"), underHome);
    EXPECT_TRUE(defaultHome(nullptr, nullptr).is_absolute());
}

/// Puts standard error back where it was when the test ends, whatever happened.
struct StderrGuard {
    ~StderrGuard() { std::fflush(stderr), ::dup2(saved, STDERR_FILENO), ::close(saved); }
    int saved = ::dup(STDERR_FILENO);
};

TEST(RedirectStderr, AppendsToTheFileAcrossRedirections) {
    testing::TempDirectory dir;
    const auto log = dir.write("2024-02-03 03:05:06 +0000.log", "earlier\n");
    StderrGuard guard;

    ASSERT_TRUE(redirectStderr(log));
    std::fputs("first\n", stderr);
    ASSERT_TRUE(redirectStderr(log));  // a second launch within the same second
    std::fputs("second\n", stderr);
    std::fflush(stderr);
    EXPECT_EQ(testing::readFile(log), "earlier\nfirst\nsecond\n");
}

}  // namespace
}  // namespace perfagent
