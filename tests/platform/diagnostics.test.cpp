#include "platform/diagnostics.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace perfagent {
namespace {

using namespace std::chrono_literals;

TEST(Diagnostics, LinesCarryTheirUtcInstantAndFloodsAreCountedOncePerMinute) {
    std::vector<std::string> out;
    auto now = std::chrono::system_clock::time_point{} + 1'765'056'944'123ms;  // 2025-12-06T21:35:44.123Z
    {
        Diagnostics diagnostics([&](std::string_view line) { out.emplace_back(line); }, [&] { return now; });
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
        "2025-12-06T21:36:44.123Z perfagent: 1000 more refused pushes since 2025-12-06T21:35:44.123Z\n",
        "2025-12-06T21:36:44.123Z perfagent: push rejected late\n",
        // The count still pending is written when the sink goes away.
        "2025-12-06T21:36:49.123Z perfagent: 1 more refused pushes since 2025-12-06T21:36:44.123Z\n",
    };
    EXPECT_EQ(out, expected);
}

}  // namespace
}  // namespace perfagent
