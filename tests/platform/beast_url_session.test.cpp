#include "platform/beast_url_session.hpp"
#include "platform/asio_run_loop.hpp"
#include "support/http_recorder.hpp"
#include "support/recording_console.hpp"
#include "support/running_session.hpp"

#include <boost/asio/post.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <future>
#include <latch>
#include <string>
#include <thread>
#include <vector>

namespace perfagent {
namespace {

using namespace std::chrono_literals;
using perfagent::testing::HttpRecorder;
using perfagent::testing::RecordingConsole;
using perfagent::testing::RunningSession;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using Clock = std::chrono::steady_clock;

constexpr auto kLiveness = 10s;  // only a hang exceeds it

/// True once nothing is in flight any more; false when that took longer than the bound.
bool settled(const BeastUrlSession& session) {
    for (const auto until = Clock::now() + kLiveness; session.inFlight() != 0 && Clock::now() < until;)
        std::this_thread::sleep_for(2ms);
    return session.inFlight() == 0;
}
std::string nextBody(HttpRecorder& recorder) { const auto r = recorder.next(); return r ? r->body : "(none)"; }
HttpRequest requestTo(unsigned short port, std::optional<std::string> body = std::nullopt, std::uint64_t key = 0) {
    return {.host = "127.0.0.1", .port = port, .method = "POST", .target = "/upload", .headers = {},
            .body = std::move(body), .coalesceKey = key};
}

/// A recorder and a session on its own thread whose diagnostics are kept (opened by the test, closed first).
struct BeastUrlSessionTest : ::testing::Test {
    BeastUrlSession& open(BeastUrlSessionOptions options = {}) {
        return running.emplace([this](std::string_view line) { diagnostics.println(line); }, options).session;
    }
    HttpRecorder recorder;
    RecordingConsole diagnostics;
    std::optional<RunningSession> running;
};

TEST(BeastUrlSession, StartNeverWaitsAndFailureRunsAndRecoveriesAreToldOnce) {
    const auto port = HttpRecorder().port();  // nothing listens on it once the recorder is gone
    const auto server = "perfagent: collection server 127.0.0.1:" + std::to_string(port);
    RecordingConsole diagnostics;
    // The first diagnostic holds the session's thread until all are started: a start() that waited for it would hang.
    std::latch release(1);
    RunningSession running([&](std::string_view line) { release.wait(); diagnostics.println(line); });
    auto& session = running.session;
    const auto t0 = Clock::now();
    for (int i = 0; i < 50; ++i) session.start(requestTo(port, "report " + std::to_string(i)));
    EXPECT_LT(Clock::now() - t0, 1s);
    release.count_down();
    ASSERT_TRUE(settled(session));
    EXPECT_EQ(std::pair(session.stats().failed, session.lastSucceeded()), std::pair(50ul, std::optional(false)));
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

TEST_F(BeastUrlSessionTest, WaitingRequestsAreBoundedAgainstAServerThatNeverAnswers) {
    auto& session = open({.deadline = 200ms, .maxWaiting = 4});  // the recorder never serves: requests wait
    for (int i = 0; i < 20; ++i) session.start(requestTo(recorder.port()));
    ASSERT_TRUE(settled(session));
    // One exchanging and four waiting fail, the rest are dropped; the first failure and the first drop are told.
    EXPECT_EQ(std::tuple(session.stats().failed, session.stats().dropped, diagnostics.lines().size()),
              std::tuple(5u, 15u, 2u));
}

/// One at a time over one kept connection, nothing overtaking; a waiting running report gives way to a newer one.
TEST_F(BeastUrlSessionTest, OneConnectionInOrderAndWaitingReportsCoalesce) {
    auto& session = open();
    session.start(requestTo(recorder.port(), "token"));
    std::vector<std::string> bodies{nextBody(recorder)};  // not answered yet: the rest wait
    for (int n = 1; n <= 3; ++n) session.start(requestTo(recorder.port(), "running " + std::to_string(n), 7));
    session.start(requestTo(recorder.port(), "other measurement", 8));
    const std::string final = "final" + std::string(4 << 20, '.');  // more than the socket takes at once
    session.start(requestTo(recorder.port(), final));
    for (int i = 0; i < 3; ++i) recorder.answer(), bodies.push_back(nextBody(recorder));
    recorder.answer();
    ASSERT_TRUE(settled(session));
    EXPECT_TRUE(bodies.back() == final);
    bodies.pop_back();
    EXPECT_EQ(bodies, (std::vector<std::string>{"token", "running 3", "other measurement"}));
    EXPECT_GE(session.spareBody().capacity(), std::string_view("other measurement").size());  // reused
    EXPECT_EQ(std::tuple(recorder.connectionsAccepted(), session.stats().coalesced, diagnostics.lines().size()),
              std::tuple(1u, 2u, 0u));
}

/// A running report's answer is left unread until the next request comes (awaited then if it has not come), or
/// shutdown or the deadline timer reads it; a connection the server closed meanwhile is reopened without a failure.
TEST_F(BeastUrlSessionTest, AnAnswerThatMayWaitIsReadByTheNextRequestShutdownOrTheDeadline) {
    const auto runningReport = [](unsigned short port, const char* body) {
        auto request = requestTo(port, body, 7);
        request.answerCanWait = true;
        return request;
    };
    auto& session = open();
    const std::string first(100, '1');
    session.start(runningReport(recorder.port(), first.c_str()));
    EXPECT_EQ(nextBody(recorder), first);
    recorder.answer();
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(std::pair(session.inFlight(), session.stats().answered), std::pair(1ul, 0ul));  // left unread
    // Asked on the loop's thread for a spare body, it reads the answer and gives back that body's buffer.
    std::promise<std::size_t> spare;
    boost::asio::post(running->context, [&] { spare.set_value(session.spareBody().capacity()); });
    EXPECT_GE(spare.get_future().get(), first.size());
    EXPECT_EQ(session.stats().answered, 1u);
    session.start(runningReport(recorder.port(), "running 2"));
    EXPECT_EQ(nextBody(recorder), "running 2");
    session.start(requestTo(recorder.port(), "final"));  // running 2 not answered yet: awaited
    std::this_thread::sleep_for(50ms);
    recorder.answer();
    EXPECT_EQ(nextBody(recorder), "final");
    recorder.answer();
    recorder.hangUp();
    session.start(runningReport(recorder.port(), "running 3"));  // sent again on a new connection
    EXPECT_EQ(nextBody(recorder), "running 3");
    recorder.answer();
    running->shutdown(kLiveness);
    EXPECT_EQ(std::tuple(session.stats().answered, session.stats().connections, diagnostics.lines().size()),
              std::tuple(4u, 2u, 0u));

    auto& shortDeadline = open({.deadline = 200ms});
    shortDeadline.start(runningReport(recorder.port(), "last"));
    EXPECT_EQ(nextBody(recorder), "last");
    recorder.answer();
    ASSERT_TRUE(settled(shortDeadline));
    EXPECT_EQ(std::pair(shortDeadline.lastSucceeded(), diagnostics.lines().size()), std::pair(std::optional(true), 0ul));
}

/// Requests that time out during an outage do not report a failure after the server answered a newer one.
TEST_F(BeastUrlSessionTest, RecoveryIsToldLastOnceTheNewestRequestIsAnswered) {
    auto& session = open({.deadline = 300ms});
    for (int i = 0; i < 4; ++i) session.start(requestTo(recorder.port()));
    ASSERT_TRUE(recorder.next());  // never answered: it runs into its deadline
    for (int i = 0; i < 3; ++i) { ASSERT_TRUE(recorder.next()); recorder.answer(); }
    ASSERT_TRUE(settled(session));
    EXPECT_THAT(diagnostics.lines(), ElementsAre(HasSubstr("did not answer within 300 ms"), HasSubstr("answering again")));
    EXPECT_EQ(session.lastSucceeded(), true);
}

TEST_F(BeastUrlSessionTest, ABadAnswerEndsTheExchangeAndLeavesTheNextRequestUntouched) {
    // Bytes that are not HTTP are a failure (told, then the recovery); a body too long to read is still an answer.
    for (const bool garbage : {true, false}) {
        auto& session = open();
        diagnostics.take();
        session.start(requestTo(recorder.port(), "first"));
        session.start(requestTo(recorder.port(), "second"));
        ASSERT_TRUE(recorder.next());
        if (garbage) recorder.send("\x16\x03\x01 this is not HTTP\r\n\r\n"), recorder.hangUp();
        else recorder.answer(std::string(8 << 20, 'x'));
        EXPECT_EQ(nextBody(recorder), "second") << garbage;
        recorder.answer();
        ASSERT_TRUE(settled(session));
        EXPECT_EQ(session.stats().answered, garbage ? 1u : 2u);
        if (garbage) EXPECT_THAT(diagnostics.lines(), ElementsAre(HasSubstr("malformed response"), HasSubstr("again")));
        else EXPECT_TRUE(diagnostics.lines().empty());
    }
}

/// The connection is kept only as the answer allows; a request that a fresh connection lost unanswered is a
/// failure and is not sent again (only a kept connection the server may have closed meanwhile is retried).
TEST_F(BeastUrlSessionTest, AConnectionIsKeptOnlyAsTheAnswerSaysAndAFreshOneIsNotRetried) {
    auto& session = open({.deadline = 500ms});
    session.start(requestTo(recorder.port(), "closing"));
    ASSERT_TRUE(recorder.next());
    recorder.send("HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");  // the socket stays open here
    ASSERT_TRUE(settled(session));
    session.start(requestTo(recorder.port(), "lost"));
    EXPECT_EQ(nextBody(recorder), "lost");
    EXPECT_EQ(recorder.connectionsAccepted(), 2u);  // a new connection
    recorder.hangUp();  // unanswered on a connection opened for it
    ASSERT_TRUE(settled(session));
    EXPECT_EQ(std::pair(session.stats().failed, session.stats().answered), std::pair(1ul, 1ul));
    session.start(requestTo(recorder.port(), "next"));
    EXPECT_EQ(nextBody(recorder), "next");
    recorder.answer();
    EXPECT_EQ(recorder.connectionsAccepted(), 3u);  // "lost" was not sent again on a connection of its own
    ASSERT_TRUE(settled(session));
}

TEST_F(BeastUrlSessionTest, ShutdownCancelsWhatIsLeftQuietlyAndTakesNoMoreRequests) {
    auto& session = open();  // 60 s deadline
    session.start(requestTo(recorder.port()));
    ASSERT_TRUE(recorder.next());
    running->shutdown(100ms);
    session.start(requestTo(recorder.port()));  // ignored once shut down
    EXPECT_TRUE(recorder.closedByClient());
    EXPECT_EQ(std::tuple(session.inFlight(), session.stats().failed, diagnostics.lines().size()), std::tuple(0u, 0u, 0u));
}

/// As in the agent: the main loop stops, and its shutdown still sends the report queued last, while no block
/// queued or timed after the stop runs any more.
TEST(BeastUrlSession, OnTheMainLoopShutdownSendsTheLastReportAndRunsNoBlockAfterStop) {
    HttpRecorder recorder;
    AsioRunLoop loop;
    BeastUrlSession session(loop.context(), {});
    int blocks = 0;
    std::shared_ptr<Timer> timer;
    loop.async([&] {
        session.start(requestTo(recorder.port(), "final"));
        timer = loop.scheduleRepeating(0.001, [&] { ++blocks; });
        loop.async([&] { ++blocks; });
        loop.stop();
    });
    loop.run();
    std::thread answerLater([&] { EXPECT_EQ(nextBody(recorder), "final"); std::this_thread::sleep_for(20ms); recorder.answer(); });
    session.shutdown(kLiveness);
    answerLater.join();
    EXPECT_EQ(std::pair(session.stats().answered, blocks), std::pair(1ul, 0));
}

}  // namespace
}  // namespace perfagent
