#include "platform/console.hpp"
#include "os/diagnostics.hpp"
#include "support/temp_directory.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

namespace perfagent {
namespace {

using namespace std::chrono_literals;

// Copied and held lines come out in order, each whole, over a pipe (PIPE_BUF writes) and into a file (one writev).
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
    std::thread reader([&] { fromPipe = testing::readFile("/dev/fd/" + std::to_string(fds[0])); });
    printTo(fds[1]);
    reader.join();
    ::close(fds[0]);
    EXPECT_TRUE(fromPipe == expected) << fromPipe.size() << " bytes of " << expected.size();

    const testing::TempDirectory dir;
    printTo(::open((dir / "out").c_str(), O_WRONLY | O_CREAT, 0600));
    const std::string fromFile = testing::readFile(dir / "out");
    EXPECT_TRUE(fromFile == expected) << fromFile.size() << " bytes of " << expected.size();
}

// A reader that stalls: what waits is bounded (a line longer than the bound is taken when nothing waits),
// the rest is dropped and counted, and what was taken comes out whole once the reader reads.
TEST(StreamConsole, LinesWaitingForAStalledReaderAreBoundedAndTheDroppedOnesCounted) {
    std::vector<std::string> said;
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const std::string mib(StreamConsole::kBufferBytes / 4 - 1, 'm');
    std::string out;
    {
        Diagnostics diagnostics([&](std::string_view line) { said.emplace_back(line); });
        std::thread reader;
        {
            StreamConsole console(fds[1], diagnostics);
            console.println(std::string(StreamConsole::kBufferBytes + 1, 'L'));  // the writer stalls on it
            std::this_thread::sleep_for(300ms);
            for (int i = 0; i < 6; ++i) console.println(mib);
            reader = std::thread([&] { out = testing::readFile("/dev/fd/" + std::to_string(fds[0])); });
        }
        ::close(fds[1]);
        reader.join();
    }
    EXPECT_EQ(out.size(), StreamConsole::kBufferBytes + 2 + 4 * (mib.size() + 1));
    ::close(fds[0]);
    ASSERT_EQ(said.size(), 2u);
    EXPECT_NE(said[0].find("dropping them"), std::string::npos);
    EXPECT_NE(said[1].find("1 more console lines dropped"), std::string::npos);
}

TEST(Diagnostics, LinesCarryTheirUtcInstantAndFloodsAreCountedOncePerMinute) {
    std::vector<std::string> out;
    auto now = std::chrono::system_clock::time_point{} + 1'765'056'944'123ms;  // 2025-12-06T21:35:44.123Z
    {
        // The counts carry the program's name, as every line does.
        Diagnostics diagnostics([&](std::string_view line) { out.emplace_back(line); }, [&] { return now; },
                                "perfagent-server");
        diagnostics.line("perfagent: listening");
        for (int i = 0; i < 1000; ++i) diagnostics.repeated("refused pushes", "perfagent: push rejected");
        diagnostics.repeated("other", "perfagent: other");
        now += 59s;
        diagnostics.repeated("refused pushes", "perfagent: push rejected");
        now += 1s;
        diagnostics.repeated("refused pushes", "perfagent: push rejected late");
        now += 5s;
        diagnostics.repeated("refused pushes", "perfagent: push rejected");
    }
    const std::vector<std::string> expected{
        "2025-12-06T21:35:44.123Z perfagent: listening\n",
        "2025-12-06T21:35:44.123Z perfagent: push rejected\n",
        "2025-12-06T21:35:44.123Z perfagent: other\n",
        "2025-12-06T21:36:44.123Z perfagent-server: 1000 more refused pushes since 2025-12-06T21:35:44.123Z\n",
        "2025-12-06T21:36:44.123Z perfagent: push rejected late\n",
        // The count still pending is written when the sink goes away.
        "2025-12-06T21:36:49.123Z perfagent-server: 1 more refused pushes since 2025-12-06T21:36:44.123Z\n",
    };
    EXPECT_EQ(out, expected);
}

}  // namespace
}  // namespace perfagent
