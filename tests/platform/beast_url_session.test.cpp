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

/// The body of the recorder's next request.
std::string nextBody(HttpRecorder& recorder) {
    const auto request = recorder.next();
    return request ? request->body : "(no request)";
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

    // Up again; then it closes the kept connection, and the next request opens another without a failure.
    for (const char* body : {"after", "reopened"}) {
        HttpRecorder recorder(port);
        session.start(requestTo(port, body));
        EXPECT_EQ(nextBody(recorder), body);
        recorder.answer();
        ASSERT_TRUE(settled(session));
    }
    EXPECT_EQ(session.stats().failed, 50u);
    EXPECT_EQ(diagnostics.lines(), (std::vector<std::string>{server + " unreachable: Connection refused",
                                                             server + " answering again"}));
    // The server goes away again: a new run of failures, told once more.
    for (int i = 0; i < 3; ++i) session.start(requestTo(port));
    ASSERT_TRUE(settled(session));
    EXPECT_EQ(diagnostics.lines().size(), 3u);
}

TEST(BeastUrlSession, WaitingRequestsAreBoundedAgainstAServerThatNeverAnswers) {
    HttpRecorder recorder;  // never serves: connections and requests wait in the kernel
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
    RecordingConsole diagnostics;
    BeastUrlSession session(into(diagnostics));

    session.start(requestTo(recorder.port(), "token"));
    std::vector<std::string> bodies{nextBody(recorder)};  // not answered yet: the rest wait
    for (int n = 1; n <= 3; ++n) session.start(requestTo(recorder.port(), "running " + std::to_string(n), 7));
    session.start(requestTo(recorder.port(), "other measurement", 8));
    session.start(requestTo(recorder.port(), "final"));
    for (int i = 0; i < 3; ++i) {
        recorder.answer();
        bodies.push_back(nextBody(recorder));
    }
    recorder.answer();
    ASSERT_TRUE(settled(session));

    EXPECT_EQ(bodies, (std::vector<std::string>{"token", "running 3", "other measurement", "final"}));
    // The largest sent body's buffer comes back emptied for the next body, once.
    const std::string spare = session.spareBody();
    EXPECT_TRUE(spare.empty());
    EXPECT_GE(spare.capacity(), std::string_view("other measurement").size());
    EXPECT_EQ(session.spareBody().capacity(), std::string().capacity());
    EXPECT_EQ(recorder.connectionsAccepted(), 1u);
    EXPECT_EQ(session.stats().coalesced, 2u);
    EXPECT_TRUE(diagnostics.lines().empty());
}

/// Requests that time out during an outage do not report a failure after the server has answered a
/// newer one.
TEST(BeastUrlSession, RecoveryIsToldLastOnceTheNewestRequestIsAnswered) {
    HttpRecorder recorder;
    RecordingConsole diagnostics;
    BeastUrlSession session(into(diagnostics), {.deadline = 300ms});

    EXPECT_EQ(session.lastSucceeded(), std::nullopt);
    const auto t0 = Clock::now();
    for (int i = 0; i < 3; ++i) session.start(requestTo(recorder.port()));
    session.start(requestTo(recorder.port(), "after recovery"));
    ASSERT_TRUE(recorder.next());  // never answered: it runs into its deadline
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(recorder.next());
        recorder.answer();
    }
    ASSERT_TRUE(settled(session));

    EXPECT_GE(Clock::now() - t0, 300ms);
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
        HttpRecorder recorder;
        RecordingConsole diagnostics;
        BeastUrlSession session(into(diagnostics));
        session.start(requestTo(recorder.port(), "first"));
        session.start(requestTo(recorder.port(), "second"));
        ASSERT_TRUE(recorder.next());
        if (garbage) {
            recorder.send("\x16\x03\x01 this is not HTTP\r\n\r\n");
            recorder.hangUp();
        } else {
            recorder.answer(std::string(8 << 20, 'x'));
        }
        EXPECT_EQ(nextBody(recorder), "second");
        recorder.answer();
        ASSERT_TRUE(settled(session));

        EXPECT_EQ(session.stats().failed, garbage ? 1u : 0u);
        EXPECT_EQ(session.stats().answered, garbage ? 1u : 2u);
        EXPECT_EQ(diagnostics.lines().size(), garbage ? 2u : 0u);  // the failure, then the recovery
        if (garbage) {
            EXPECT_NE(diagnostics.lines()[0].find("malformed response"), std::string::npos);
        }
    }
}

TEST(BeastUrlSession, ShutdownLetsARequestFinishWithinTheGraceAndCancelsTheRestQuietly) {
    HttpRecorder slow, silent;
    RecordingConsole diagnostics;
    BeastUrlSession graced({}), cut(into(diagnostics));  // 60 s deadline

    graced.start(requestTo(slow.port()));
    cut.start(requestTo(silent.port()));
    ASSERT_TRUE(slow.next());
    ASSERT_TRUE(silent.next());
    std::thread answerLater([&] {
        std::this_thread::sleep_for(100ms);
        slow.answer();
    });
    graced.shutdown(kLiveness);
    answerLater.join();
    EXPECT_EQ(graced.inFlight(), 0u);
    EXPECT_EQ(graced.stats().answered, 1u);
    graced.start(requestTo(slow.port()));  // ignored once shut down
    EXPECT_EQ(graced.inFlight(), 0u);
    graced.shutdown(0ms);  // a second call is harmless

    const auto t0 = Clock::now();
    cut.shutdown(100ms);
    EXPECT_LT(Clock::now() - t0, kLiveness);
    EXPECT_EQ(cut.inFlight(), 0u);
    EXPECT_TRUE(silent.closedByClient());
    EXPECT_EQ(cut.stats().failed, 0u);
    EXPECT_TRUE(diagnostics.lines().empty());
}

}  // namespace
}  // namespace perfagent
