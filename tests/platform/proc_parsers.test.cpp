#include "platform/proc_parsers.hpp"
#include "platform/proc_fixtures.hpp"

#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace perfagent {
namespace {

using namespace testing;

constexpr std::string_view kStatm = "22652 3476 1709 1 0 4138 0\n";
constexpr std::string_view kSchedstat = "167185993 140559519 138\n";

constexpr std::string_view kBashStat =
    "2834 (bash) S 2833 2834 2834 0 -1 4194560 3023 38643 0 87 4 12 94 126 20 0 1 0 30811 5124096 982 "
    "18446744073709551615 94186723962880 94186724752285 140734841556368 0 0 0 65536 4 1132560123 1 0 0 17 1 0 "
    "0 0 0 0 94186724985584 94186725033828 94187134005248 140734841563962 140734841563977 140734841563977 "
    "140734841565162 0\n";

// A thread that named itself "w) (x y)" and then spun for a while.
constexpr std::string_view kOddNameStat =
    "6747 (w) (x y)) R 6704 6704 2834 0 -1 4194368 5 6629 0 0 251 19 16 17 20 0 2 0 54140 92798976 3450 "
    "18446744073709551615 94590119768064 94590119768405 140727262424896 0 0 0 0 16781312 2 0 0 0 -1 1 0 0 0 0 0 "
    "94590119779760 94590119780376 94590521212928 140727262427107 140727262427150 140727262427150 "
    "140727262429135 0\n";

// The fields themselves are read, exactly, by the kernel backend's tests on the same stored text.
TEST(ParseMeminfo, ZswapIsOptionalTheOthersAreNotAndGarbageFails) {
    std::string text(kMeminfo);
    text.erase(text.find("Zswap:"), text.find("Zswapped:") - text.find("Zswap:"));
    const auto m = parseMeminfo(text);
    ASSERT_TRUE(m);
    EXPECT_FALSE(m->zswap);
    EXPECT_EQ(m->memFree, 24489024u);

    std::string noKernelStack(kMeminfo);
    noKernelStack.erase(noKernelStack.find("KernelStack:"), noKernelStack.find("PageTables:") - noKernelStack.find("KernelStack:"));
    EXPECT_FALSE(parseMeminfo(noKernelStack));

    EXPECT_FALSE(parseMeminfo(""));
    EXPECT_FALSE(parseMeminfo("\n\n:::\n"));
    text = kMeminfo;
    const std::size_t at = text.find("24489024");
    EXPECT_FALSE(parseMeminfo(std::string(text).replace(at, 8, "2448x024")));
    EXPECT_FALSE(parseMeminfo(std::string(text).replace(at, 8, "99999999999999999999999")));
    EXPECT_FALSE(parseMeminfo(std::string(text).replace(at, 8, "-1")));
    EXPECT_FALSE(parseMeminfo(std::string(text).replace(text.find("2020 kB"), 7, "2020 MB")));
}

TEST(ParseStat, ReadsTheAggregateCpuLineAndRejectsShortOrBrokenOnes) {
    // Exactly eight columns are enough; the per-CPU lines are never taken for it.
    EXPECT_TRUE(parseStatCpu("cpu  1 2 3 4 5 6 7 8\n"));
    for (const char* broken : {"", "cpu0 5198 0 2684 45687 50 0 37 3 0 0\n", "cpu  11287 0 6001 89638 318 0 100\n",
                               "cpu  11287 0 6001 89638x 318 0 100 7 0 0\n", "cpu  11287 0 6001 -5 318 0 100 7 0 0\n"})
        EXPECT_FALSE(parseStatCpu(broken)) << broken;
}

TEST(ParseStatmAndSchedstat, ReadTheLeadingNumbers) {
    const auto s = parseStatm(kStatm);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->size, 22652u);
    EXPECT_EQ(s->resident, 3476u);
    EXPECT_FALSE(parseStatm("22652\n"));
    EXPECT_FALSE(parseStatm("22652 34x6 1709\n"));
    EXPECT_FALSE(parseStatm(" 22652 3476\n"));
    EXPECT_EQ(parseStatm("18446744073709551615 1\n")->size, 18446744073709551615u);  // the largest, exactly
    EXPECT_FALSE(parseStatm("18446744073709551616 1\n"));
    EXPECT_EQ(parseSchedstatRunTime(kSchedstat), 167185993u);
    EXPECT_FALSE(parseSchedstatRunTime("16718x993 1 1\n"));
    EXPECT_FALSE(parseSchedstatRunTime("\n"));
}

TEST(ParseSmapsRollupAndChildren, ReadPssAndPidLists) {
    EXPECT_EQ(parseSmapsRollupPssKb("55d0-7ffe ---p 00000000 00:00 0  [rollup]\nRss:  4 kB\nPss:  1234 kB\n"), 1234u);
    EXPECT_FALSE(parseSmapsRollupPssKb("Rss:  4 kB\nPss_Anon:  12 kB\n"));
    std::string pids;
    EXPECT_TRUE(forEachChildPid("12 3456 ", [&](std::uint32_t pid) { pids += std::to_string(pid) + ","; }));
    EXPECT_EQ(pids, "12,3456,");
    EXPECT_FALSE(forEachChildPid("12 x", [](std::uint32_t) {}));
    EXPECT_FALSE(forEachChildPid("99999999999", [](std::uint32_t) {}));
}

TEST(ParseTaskStat, ReadsTimesAfterTheName) {
    const auto bash = parseTaskStat(kBashStat);
    ASSERT_TRUE(bash);
    EXPECT_EQ(bash->utime, 4u);
    EXPECT_EQ(bash->stime, 12u);
    EXPECT_EQ(bash->startTime, 30811u);
    EXPECT_EQ(bash->comm, "bash");
    EXPECT_FALSE(hasExited(*bash));

    const auto odd = parseTaskStat(kOddNameStat);
    ASSERT_TRUE(odd);
    EXPECT_EQ(odd->utime, 251u);
    EXPECT_EQ(odd->stime, 19u);
    EXPECT_EQ(odd->startTime, 54140u);
    EXPECT_EQ(odd->comm, "w) (x y)");
    EXPECT_EQ(odd->state, 'R');
    EXPECT_TRUE(hasExited(*parseTaskStat(statLine(9, "z", 'Z', 1, 1, 1))));

    // A name may even hold a newline.
    std::string newline(kBashStat);
    newline.replace(newline.find("bash"), 4, "ba\nsh 1 2 3");
    const auto n = parseTaskStat(newline);
    ASSERT_TRUE(n);
    EXPECT_EQ(n->startTime, 30811u);
}

TEST(ParseTaskStat, RejectsBrokenLines) {
    EXPECT_FALSE(parseTaskStat(""));
    EXPECT_FALSE(parseTaskStat("2834 bash S 2833\n"));
    EXPECT_FALSE(parseTaskStat("(bash) S 2833 2834 2834 0 -1 4194560 3023 38643 0 87 4 12 94 126 20 0 1 0 30811\n"));
    EXPECT_FALSE(parseTaskStat("2834 (bash) S 2833 2834 2834 0 -1 4194560 3023 38643 0 87 4 12 94 126 20 0 1 0\n"));
    EXPECT_FALSE(parseTaskStat("2834 (bash) S 2833 2834 2834 0 -1 4194560 3023 38643 0 87 4x 12 94 126 20 0 1 0 3\n"));
    EXPECT_FALSE(parseTaskStat("2834 (bash) S 2833 2834 2834 0 -1 4194560 3023 38643 0 87  4 12 94 126 20 0 1 0 3\n"));
}

// A short read can cut a file anywhere. Every cut must either fail or give exactly what the whole
// text gives: a number cut in two must never be read as a smaller one.
template <typename Parse>
void expectEveryCutFailsOrAgrees(std::string_view text, Parse parse) {
    const auto whole = parse(text);
    ASSERT_TRUE(whole);
    for (std::size_t length = 0; length < text.size(); ++length) {
        const std::string cut(text.substr(0, length));  // own buffer, so ASan sees any overread
        const auto part = parse(cut);
        if (part) {
            EXPECT_TRUE(*part == *whole) << "cut after " << length << " characters";
        }
    }
}

TEST(ProcParsers, TruncatedTextFailsOrAgreesWithTheWhole) {
    expectEveryCutFailsOrAgrees(kStat, [](std::string_view s) {
        auto t = parseStatCpu(s);
        return t ? std::optional(std::array{t->user, t->nice, t->system, t->idle, t->iowait, t->irq, t->softirq, t->steal})
                 : std::nullopt;
    });
    expectEveryCutFailsOrAgrees(kMeminfo, [](std::string_view s) {
        auto m = parseMeminfo(s);
        return m ? std::optional(std::array{m->memFree, m->active, m->inactive, m->unevictable, m->sUnreclaim,
                                            m->kernelStack, m->pageTables, m->zswap.value_or(~0ull)})
                 : std::nullopt;
    });
    expectEveryCutFailsOrAgrees(kStatm, [](std::string_view s) {
        auto p = parseStatm(s);
        return p ? std::optional(std::array{p->size, p->resident}) : std::nullopt;
    });
    expectEveryCutFailsOrAgrees(kSchedstat, parseSchedstatRunTime);
    expectEveryCutFailsOrAgrees(kOddNameStat, [](std::string_view s) {
        auto t = parseTaskStat(s);
        return t ? std::optional(std::array{t->utime, t->stime, t->startTime}) : std::nullopt;
    });
}

}  // namespace
}  // namespace perfagent
