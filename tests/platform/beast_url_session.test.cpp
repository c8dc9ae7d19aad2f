#include "platform/beast_url_session.hpp"
#include "support/http_recorder.hpp"
#include "support/recording_console.hpp"

#include <gtest/gtest.h>

#include <latch>
#include <string>
#include <thread>
#include <vector>

namespace perfagent {
namespace {

using namespace std::chrono_literals;
using perfagent::testing::HttpRecorder;
using perfagent::testing::RecordingConsole;
using Clock = std::chrono::steady_clock;

/// Generous bound for things that should take milliseconds; only a hang exceeds it.
constexpr auto kLiveness = 10s;

/// True once nothing is in flight any more; false when that took longer than the bound.
bool settled(const BeastUrlSession& session) {
    for (const auto until = Clock::now() + kLiveness; session.inFlight() != 0; std::this_thread::sleep_for(2ms))
        if (Clock::now() > until) return false;
    return true;
}

/// Writes a session's diagnostic lines, from its network thread, to `lines`.
std::function<void(std::string_view)> into(RecordingConsole& lines) {
    return [&lines](std::string_view line) { lines.println(line); };
}

HttpRequest requestTo(unsigned short port, std::optional<std::string> body = std::nullopt, std::uint64_t key = 0) {
    return {.host = "127.0.0.1", .port = port, .method = "POST", .target = "/upload", .headers = {},
            .body = std::move(body), .coalesceKey = key};
}

TEST(BeastUrlSession, StartNeverWaitsAndFailureRunsAndRecoveriesAreToldOnce) {
    const auto port = HttpRecorder::unusedPort();
    const auto server = "perfagent: collection server 127.0.0.1:" + std::to_string(port);
    RecordingConsole diagnostics;
    // The first diagnostic holds the network thread until the test has started every request: a start()
    // that waited for the network thread would never return.
    std::latch release(1);
    BeastUrlSession session([&](std::string_view line) {
        release.wait();
        diagnostics.println(line);
    });

    const auto t0 = Clock::now();
    for (int i = 0; i < 50; ++i) session.start(requestTo(port, "report " + std::to_string(i)));
    EXPECT_LT(Clock::now() - t0, 1s);
    release.count_down();
    ASSERT_TRUE(settled(session));
    EXPECT_EQ(session.stats().failed, 50u);
    EXPECT_EQ(session.lastSucceeded(), false);
    EXPECT_EQ(diagnostics.lines(), std::vector<std::string>{server + " unreachable: Connection refused"});

    {
        HttpRecorder recorder(HttpRecorder::Mode::Answer, port);
        session.start(requestTo(port, "after"));
        ASSERT_TRUE(settled(session));
        EXPECT_EQ(recorder.requests().at(0).body, "after");
    }  // closes the kept connection: the next request opens another without a failure
    ASSERT_EQ(diagnostics.lines().size(), 2u);
    EXPECT_EQ(diagnostics.lines()[1], server + " answering again");
    {
        HttpRecorder second(HttpRecorder::Mode::Answer, port);
        session.start(requestTo(port, "reopened"));
        ASSERT_TRUE(settled(session));
        EXPECT_EQ(second.requests().at(0).body, "reopened");
        EXPECT_EQ(session.stats().failed, 50u);
    }
    // The server goes away again: a new run of failures, told once more.
    for (int i = 0; i < 3; ++i) session.start(requestTo(port));
    ASSERT_TRUE(settled(session));
    EXPECT_EQ(diagnostics.lines().size(), 3u);
}

TEST(BeastUrlSession, WaitingRequestsAreBoundedAgainstAServerThatNeverAnswers) {
    HttpRecorder recorder(HttpRecorder::Mode::Silent);
    RecordingConsole diagnostics;
    BeastUrlSession session(into(diagnostics), {.deadline = 200ms, .maxWaiting = 4});

    for (int i = 0; i < 20; ++i) session.start(requestTo(recorder.port()));
    ASSERT_TRUE(settled(session));
    const auto stats = session.stats();
    EXPECT_EQ(stats.failed, 5u);  // one exchanging, four waiting
    EXPECT_EQ(stats.dropped, 15u);
    EXPECT_EQ(stats.answered, 0u);
    EXPECT_EQ(diagnostics.lines().size(), 2u);  // the first failure and the first drop
}

/// Requests go one at a time over one kept connection; a waiting running report gives way to a newer
/// one of the same measurement, and nothing overtakes.
TEST(BeastUrlSession, OneConnectionInOrderAndWaitingReportsCoalesce) {
    HttpRecorder recorder;
    recorder.setResponseDelay(300ms);
    RecordingConsole diagnostics;
    BeastUrlSession session(into(diagnostics));

    session.start(requestTo(recorder.port(), "token"));
    ASSERT_TRUE(recorder.waitFor(1, kLiveness));  // held 300 ms: the rest wait
    for (int n = 1; n <= 3; ++n) session.start(requestTo(recorder.port(), "running " + std::to_string(n), 7));
    session.start(requestTo(recorder.port(), "other measurement", 8));
    session.start(requestTo(recorder.port(), "final"));
    ASSERT_TRUE(settled(session));

    std::vector<std::string> bodies;
    for (const auto& request : recorder.requests()) bodies.push_back(request.body);
    EXPECT_EQ(bodies, (std::vector<std::string>{"token", "running 3", "other measurement", "final"}));
    EXPECT_EQ(recorder.connectionsAccepted(), 1u);
    EXPECT_EQ(session.stats().coalesced, 2u);
    EXPECT_TRUE(diagnostics.lines().empty());
}

/// Requests that time out during an outage do not report a failure after the server has answered a
/// newer one.
TEST(BeastUrlSession, RecoveryIsToldLastOnceTheNewestRequestIsAnswered) {
    HttpRecorder recorder(HttpRecorder::Mode::Silent);
    RecordingConsole diagnostics;
    BeastUrlSession session(into(diagnostics), {.deadline = 300ms});

    EXPECT_EQ(session.lastSucceeded(), std::nullopt);
    const auto t0 = Clock::now();
    for (int i = 0; i < 3; ++i) session.start(requestTo(recorder.port()));
    ASSERT_TRUE(recorder.waitFor(1, kLiveness));
    std::this_thread::sleep_for(50ms);  // the recorder records a request before it picks its answer
    recorder.setMode(HttpRecorder::Mode::Answer);
    session.start(requestTo(recorder.port(), "after recovery"));
    ASSERT_TRUE(settled(session));

    EXPECT_GE(Clock::now() - t0, 300ms);  // the first request held until its deadline
    const auto lines = diagnostics.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("did not answer within 300 ms"), std::string::npos);
    EXPECT_NE(lines[1].find("answering again"), std::string::npos);
    EXPECT_EQ(session.lastSucceeded(), true);
}

TEST(BeastUrlSession, ABadAnswerEndsTheExchangeAndLeavesTheNextRequestUntouched) {
    // Bytes that are not HTTP are a failure; an answer whose body is too long to read is still an answer.
    for (const bool garbage : {true, false}) {
        SCOPED_TRACE(garbage ? "garbage" : "huge body");
        HttpRecorder recorder(garbage ? HttpRecorder::Mode::Garbage : HttpRecorder::Mode::HugeBody);
        RecordingConsole diagnostics;
        BeastUrlSession session(into(diagnostics));
        session.start(requestTo(recorder.port(), "first"));
        ASSERT_TRUE(settled(session));
        recorder.setMode(HttpRecorder::Mode::Answer);
        session.start(requestTo(recorder.port(), "second"));
        ASSERT_TRUE(settled(session));

        EXPECT_EQ(recorder.requests().at(1).body, "second");
        EXPECT_EQ(session.stats().failed, garbage ? 1u : 0u);
        EXPECT_EQ(session.stats().answered, garbage ? 1u : 2u);
        EXPECT_EQ(diagnostics.lines().size(), garbage ? 2u : 0u);  // the failure, then the recovery
        if (garbage) {
            EXPECT_NE(diagnostics.lines()[0].find("malformed response"), std::string::npos);
        }
    }
}

TEST(BeastUrlSession, ShutdownLetsARequestFinishWithinTheGraceAndCancelsTheRestQuietly) {
    HttpRecorder slow, silent(HttpRecorder::Mode::Silent);
    slow.setResponseDelay(300ms);
    RecordingConsole diagnostics;
    BeastUrlSession graced({}), cut(into(diagnostics));  // 60 s deadline

    graced.start(requestTo(slow.port()));
    cut.start(requestTo(silent.port()));
    ASSERT_TRUE(slow.waitFor(1, kLiveness));
    ASSERT_TRUE(silent.waitFor(1, kLiveness));
    graced.shutdown(kLiveness);
    EXPECT_EQ(graced.inFlight(), 0u);
    EXPECT_EQ(graced.stats().answered, 1u);
    graced.start(requestTo(slow.port()));  // ignored once shut down
    EXPECT_EQ(graced.inFlight(), 0u);
    graced.shutdown(0ms);  // a second call is harmless

    const auto t0 = Clock::now();
    cut.shutdown(100ms);
    EXPECT_LT(Clock::now() - t0, kLiveness);
    EXPECT_EQ(cut.inFlight(), 0u);
    EXPECT_TRUE(silent.waitForConnectionsClosed(kLiveness));
    EXPECT_EQ(cut.stats().failed, 0u);
    EXPECT_TRUE(diagnostics.lines().empty());
}

}  // namespace
}  // namespace perfagent
