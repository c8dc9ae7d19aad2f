#include "platform/console.hpp"
#include "platform/diagnostics.hpp"
#include "support/temp_directory.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <thread>

namespace perfagent {
namespace {

// Copied lines and lines holding shared blocks come out in the order printed, each whole, over a pipe
// (polled, PIPE_BUF-sized writes) and into a regular file (one gathered write).
TEST(StreamConsole, WritesCopiedAndHeldLinesInOrder) {
    const auto block = std::make_shared<const std::string>(std::string(70000, 'x'));
    std::string expected;
    const auto print = [&](Console& console) {
        for (int i = 0; i < 50; ++i) {
            console.println("line " + std::to_string(i));
            LinePieces held("held ");
            held.hold(block);
            held.text() += std::to_string(i);
            console.printPieces(std::move(held));
        }
    };
    for (int i = 0; i < 50; ++i) expected += "line " + std::to_string(i) + "\nheld " + *block + std::to_string(i) + "\n";

    Diagnostics diagnostics;
    const auto printTo = [&](int fd) {
        { StreamConsole console(fd, diagnostics); print(console); }
        ::close(fd);
    };
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    std::string fromPipe;
    std::thread reader([&] {
        char buffer[65536];
        for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) fromPipe.append(buffer, static_cast<std::size_t>(n));
    });
    printTo(fds[1]);
    reader.join();
    ::close(fds[0]);
    EXPECT_TRUE(fromPipe == expected) << fromPipe.size() << " bytes of " << expected.size();

    const testing::TempDirectory dir;
    printTo(::open((dir / "out").c_str(), O_WRONLY | O_CREAT, 0600));
    const std::string fromFile = testing::readFile(dir / "out");
    EXPECT_TRUE(fromFile == expected) << fromFile.size() << " bytes of " << expected.size();
}

}  // namespace
}  // namespace perfagent
