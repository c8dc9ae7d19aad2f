#include "platform/proc_parsers.hpp"
#include "platform/proc_fixtures.hpp"

#include <gtest/gtest.h>

#include <array>
#include <functional>
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

/// The stored text with its first `from` replaced by `to`.
std::string with(std::string_view text, std::string_view from, std::string_view to) {
    return std::string(text).replace(text.find(from), from.size(), to);
}

// A thread that named itself "w) (x y)" and then spun for a while.
const std::string kOddNameStat = with(with(kBashStat, "(bash) S", "(w) (x y)) R"), " 4 12 94 126 ", " 251 19 16 17 ");

// The fields of the stored meminfo and stat are read, exactly, by the kernel backend's tests.
TEST(ProcParsers, ReadTheirNumbersOptionalFieldsAndOddNames) {
    const auto noZswap = parseMeminfo(with(kMeminfo, "Zswap:               752 kB\n", ""));
    ASSERT_TRUE(noZswap);
    EXPECT_FALSE(noZswap->zswap);
    EXPECT_EQ(noZswap->memFree, 24489024u);
    EXPECT_TRUE(parseStatCpu("cpu  1 2 3 4 5 6 7 8\n"));  // exactly eight columns are enough
    EXPECT_EQ(parseStatm(kStatm).value_or(StatmPages{}).resident, 3476u);
    EXPECT_EQ(parseStatm("18446744073709551615 1\n")->size, 18446744073709551615u);  // the largest, exactly
    EXPECT_EQ(parseSchedstatRunTime(kSchedstat), 167185993u);
    EXPECT_EQ(parseSmapsRollupPssKb("55d0-7ffe ---p 00000000 00:00 0  [rollup]\nRss:  4 kB\nPss:  1234 kB\n"), 1234u);
    std::string pids;
    EXPECT_TRUE(forEachChildPid("12 3456 ", [&](std::uint32_t pid) { pids += std::to_string(pid) + ","; }));
    EXPECT_EQ(pids, "12,3456,");

    const struct { std::string text; std::uint64_t utime, stime, startTime; std::string_view comm; char state; } stats[] = {
        {std::string(kBashStat), 4, 12, 30811, "bash", 'S'},
        {kOddNameStat, 251, 19, 30811, "w) (x y)", 'R'},
        {with(kBashStat, "bash", "ba\nsh 1 2 3"), 4, 12, 30811, "ba\nsh 1 2 3", 'S'},  // even a newline
    };
    for (const auto& s : stats) {
        const auto t = parseTaskStat(s.text);
        ASSERT_TRUE(t) << s.comm;
        EXPECT_EQ(std::tuple(t->utime, t->stime, t->startTime, t->comm, t->state),
                  std::tuple(s.utime, s.stime, s.startTime, s.comm, s.state));
        EXPECT_FALSE(hasExited(*t));
    }
    EXPECT_TRUE(hasExited(*parseTaskStat(statLine(9, "z", 'Z', 1, 1, 1))));
}

TEST(ProcParsers, RejectBrokenText) {
    const auto bash = [](std::string_view tail) {
        return "2834 (bash) S 2833 2834 2834 0 -1 4194560 3023 38643 0 87" + std::string(tail);
    };
    const std::pair<std::function<bool(std::string_view)>, std::vector<std::string>> cases[] = {
        {[](std::string_view s) { return parseMeminfo(s).has_value(); },
         {with(kMeminfo, "KernelStack:        2020 kB\n", ""), "", "\n\n:::\n", with(kMeminfo, "24489024", "2448x024"),
          with(kMeminfo, "24489024", "99999999999999999999999"), with(kMeminfo, "24489024", "-1"),
          with(kMeminfo, "2020 kB", "2020 MB")}},
        // A per-CPU line is never taken for the total.
        {[](std::string_view s) { return parseStatCpu(s).has_value(); },
         {"", "cpu0 5198 0 2684 45687 50 0 37 3 0 0\n", "cpu  11287 0 6001 89638 318 0 100\n",
          "cpu  11287 0 6001 89638x 318 0 100 7 0 0\n", "cpu  11287 0 6001 -5 318 0 100 7 0 0\n"}},
        {[](std::string_view s) { return parseStatm(s).has_value(); },
         {"22652\n", "22652 34x6 1709\n", " 22652 3476\n", "18446744073709551616 1\n"}},
        {[](std::string_view s) { return parseSchedstatRunTime(s).has_value(); }, {"16718x993 1 1\n", "\n"}},
        {[](std::string_view s) { return parseSmapsRollupPssKb(s).has_value(); }, {"Rss:  4 kB\nPss_Anon:  12 kB\n"}},
        {[](std::string_view s) { return forEachChildPid(s, [](std::uint32_t) {}); }, {"12 x", "99999999999"}},
        {[](std::string_view s) { return parseTaskStat(s).has_value(); },
         {"", "2834 bash S 2833\n", bash(" 4 12 94 126 20 0 1 0 30811\n").substr(5), bash(" 4 12 94 126 20 0 1 0\n"),
          bash(" 4x 12 94 126 20 0 1 0 3\n"), bash("  4 12 94 126 20 0 1 0 3\n")}},
    };
    for (const auto& [parses, texts] : cases)
        for (const auto& text : texts) EXPECT_FALSE(parses(text)) << text.substr(0, 60);
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
        EXPECT_TRUE(!part || *part == *whole) << "cut after " << length << " characters";
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
