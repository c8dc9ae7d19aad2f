#include "identity/device_token.hpp"

#include "support/temp_directory.hpp"

#include <boost/json/parse.hpp>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <functional>

namespace perfagent {
namespace {

TEST(DeviceTokenDocument, EscapesTheToken) {
    const std::string text("q\"b\\s\nc\x01/");
    EXPECT_EQ(boost::json::parse(deviceTokenDocument(text)), boost::json::value({{"DeviceToken", text}}));
}

TEST(DeviceTokenStore, MakesAPrivateTokenOnceAndReusesIt) {
    testing::TempDirectory dir;
    const auto home = dir / "home";
    const auto first = loadOrCreateDeviceToken(home);
    ASSERT_TRUE(first) << first.error().message;
    const auto file = deviceTokenPath(home);
    const auto modeOf = [](const auto& p) { return static_cast<unsigned>(std::filesystem::status(p).permissions()); };
    EXPECT_EQ(std::tuple(modeOf(file), modeOf(file.parent_path()), modeOf(home)), std::tuple(0600u, 0700u, 0700u));
    EXPECT_FALSE(first->warning);
    // Nothing of the temporary file is left beside it.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(file.parent_path()), {}), 1);

    EXPECT_NE(loadOrCreateDeviceToken(dir / "other")->bytes, first->bytes);
}

/// Anything but a regular file holding one token is an error naming the file; a damaged file is kept.
TEST(DeviceTokenStore, OnlyARegularFileWithOneTokenIsReadAndOneOthersCanReadIsWarnedAbout) {
    testing::TempDirectory home;
    const auto valid = home.write("valid", std::string(32, 'A') + std::string(32, 'F') + "\n");  // upper case reads too
    const auto file = deviceTokenPath(home.path());
    std::vector<std::function<void()>> makers = {
        [&] { ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0); },  // opening it for reading used to wait for a writer
        [&] { std::filesystem::create_symlink(valid, file); }, [&] { std::filesystem::create_directory(file); },
    };
    for (const auto& damaged : {std::string(), std::string("00ff\n"), std::string(63, 'a') + "g\n",
                                std::string(64, 'a') + "\n\n", std::string(4096, 'a')})
        makers.push_back([&, damaged] { home.write("Library/device-token", damaged); });
    std::filesystem::create_directories(file.parent_path());
    for (const auto& make : makers) {
        std::filesystem::remove_all(file);
        make();
        const bool regular = std::filesystem::is_regular_file(std::filesystem::symlink_status(file));
        const std::string content = regular ? testing::readFile(file) : "";
        const auto result = loadOrCreateDeviceToken(home.path());
        ASSERT_FALSE(result);
        EXPECT_NE(result.error().message.find(file.string()), std::string::npos) << result.error().message;
        if (regular) { EXPECT_EQ(testing::readFile(file), content); }
    }

    std::filesystem::remove_all(file);
    std::filesystem::copy_file(valid, file);
    ::chmod(file.parent_path().c_str(), 0700);
    ::chmod(file.c_str(), 0644);
    const auto readable = loadOrCreateDeviceToken(home.path());
    ASSERT_TRUE(readable);
    std::vector<std::uint8_t> expected(kDeviceTokenBytes, 0xFF);
    std::fill_n(expected.begin(), 16, 0xAA);
    EXPECT_EQ(readable->bytes, expected);
    ASSERT_TRUE(readable->warning);
    EXPECT_NE(readable->warning->find("0644"), std::string::npos) << *readable->warning;
}

}  // namespace
}  // namespace perfagent
