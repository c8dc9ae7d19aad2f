#include "platform/device_token.hpp"

#include "support/temp_directory.hpp"

#include <boost/json/parse.hpp>

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace perfagent {
namespace {

using testing::readFile;
using testing::TempDirectory;

TEST(TokenText, TwoLowerCaseDigitsPerByte) {
    const std::vector<std::uint8_t> bytes{0x00, 0x0A, 0xFF};
    EXPECT_EQ(tokenText(bytes), "000aff");
    EXPECT_EQ(tokenText({}), "");
}

TEST(DeviceTokenDocument, PrettyObjectWithOneEscapedMember) {
    EXPECT_EQ(deviceTokenDocument("000aff"), "{\n  \"DeviceToken\" : \"000aff\"\n}");

    for (const std::string& text : {std::string(), std::string("q\"b\\s\nc\x01/")}) {
        const auto parsed = boost::json::parse(deviceTokenDocument(text));
        ASSERT_TRUE(parsed.is_object());
        EXPECT_EQ(parsed.as_object().size(), 1u);
        EXPECT_EQ(parsed.as_object().at("DeviceToken").as_string(), text);
    }
}

mode_t modeOf(const std::filesystem::path& path) {
    struct stat status {};
    ::stat(path.c_str(), &status);
    return status.st_mode & 07777;
}

TEST(DeviceTokenStore, MakesAPrivateTokenOnceAndReusesIt) {
    TempDirectory dir;
    const auto home = dir / "home";

    const auto first = loadOrCreateDeviceToken(home);
    ASSERT_TRUE(first) << *first.error;
    EXPECT_EQ(first.token.size(), kDeviceTokenBytes);
    const auto file = deviceTokenPath(home);
    EXPECT_EQ(file, home / "Library" / "device-token");
    EXPECT_EQ(modeOf(file), 0600u);
    EXPECT_EQ(modeOf(file.parent_path()), 0700u);
    EXPECT_EQ(readFile(file), tokenText(first.token) + "\n");
    // Nothing of the temporary file is left beside it.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(file.parent_path()), {}), 1);

    const auto again = loadOrCreateDeviceToken(home);
    ASSERT_TRUE(again) << *again.error;
    EXPECT_EQ(again.token, first.token);

    TempDirectory other;
    EXPECT_NE(loadOrCreateDeviceToken(other.path()).token, first.token);
}

TEST(DeviceTokenStore, DamagedFileIsAnErrorAndIsKept) {
    TempDirectory home;
    std::filesystem::create_directories(home / "Library");
    const std::string damaged[] = {
        "",
        "00ff\n",
        std::string(63, 'a') + "g\n",
        std::string(64, 'a') + "\n\n",
        std::string(4096, 'a'),
    };
    for (const auto& content : damaged) {
        const auto file = home.write("Library/device-token", content);
        const auto result = loadOrCreateDeviceToken(home.path());
        EXPECT_FALSE(result) << content.size();
        ASSERT_TRUE(result.error.has_value());
        EXPECT_NE(result.error->find(file.string()), std::string::npos) << *result.error;
        EXPECT_EQ(readFile(file), content);
    }
}

}  // namespace
}  // namespace perfagent
