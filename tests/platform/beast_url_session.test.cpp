#include "platform/beast_url_session.hpp"
#include "support/http_recorder.hpp"

#include <gtest/gtest.h>

#include <latch>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace perfagent {
namespace {

using namespace std::chrono_literals;
using perfagent::testing::HttpRecorder;
using Clock = std::chrono::steady_clock;

/// Generous bound for things that should take milliseconds; only a hang exceeds it.
constexpr auto kLiveness = 10s;

template <class Predicate>
bool eventually(Predicate predicate) {
    const auto until = Clock::now() + kLiveness;
    while (!predicate()) {
        if (Clock::now() > until) return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

class DiagnosticLines {
public:
    std::function<void(std::string_view)> sink() {
        return [this](std::string_view line) {
            std::lock_guard lock(mutex_);
            lines_.emplace_back(line);
        };
    }
    std::vector<std::string> lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

HttpRequest requestTo(unsigned short port, std::optional<std::string> body = std::nullopt, std::uint64_t key = 0) {
    HttpRequest request;
    request.coalesceKey = key;
    request.host = "127.0.0.1";
    request.port = port;
    request.method = "POST";
    request.target = "/upload";
    request.body = std::move(body);
    return request;
}

TEST(BeastUrlSession, StartNeverWaitsForTheNetworkAndAFailureRunIsToldOnce) {
    const auto port = HttpRecorder::unusedPort();
    DiagnosticLines diagnostics;
    // The first diagnostic holds the network thread until the test has started every request: a start()
    // that waited for the network thread would never return.
    std::latch release(1);
    BeastUrlSession session([&, sink = diagnostics.sink()](std::string_view line) {
        release.wait();
        sink(line);
    });

    const auto t0 = Clock::now();
    for (int i = 0; i < 50; ++i) session.start(requestTo(port, "report " + std::to_string(i)));
    EXPECT_LT(Clock::now() - t0, 1s);
    release.count_down();

    ASSERT_TRUE(eventually([&] { return session.inFlight() == 0; }));
    EXPECT_EQ(session.stats().failed, 50u);
    EXPECT_EQ(session.lastSucceeded(), false);
    const auto authority = "127.0.0.1:" + std::to_string(port);
    ASSERT_EQ(diagnostics.lines().size(), 1u);
    EXPECT_EQ(diagnostics.lines()[0], "perfagent: collection server " + authority + " unreachable: Connection refused");

    {
        HttpRecorder recorder(HttpRecorder::Mode::Answer, port);
        session.start(requestTo(port, "after"));
        ASSERT_TRUE(recorder.waitFor(1, kLiveness));
        EXPECT_EQ(recorder.requests().at(0).body, "after");
        ASSERT_TRUE(eventually([&] { return session.inFlight() == 0; }));
    }
    ASSERT_EQ(diagnostics.lines().size(), 2u);
    EXPECT_EQ(diagnostics.lines()[1], "perfagent: collection server " + authority + " answering again");

    // The server goes away again: a new run of failures, told once more.
    for (int i = 0; i < 3; ++i) session.start(requestTo(port));
    ASSERT_TRUE(eventually([&] { return session.inFlight() == 0; }));
    EXPECT_EQ(diagnostics.lines().size(), 3u);
}

TEST(BeastUrlSession, WaitingRequestsAreBoundedAgainstAServerThatNeverAnswers) {
    HttpRecorder recorder(HttpRecorder::Mode::Silent);
    DiagnosticLines diagnostics;
    BeastUrlSession session(diagnostics.sink(), {.deadline = 200ms, .maxWaiting = 4});

    for (int i = 0; i < 20; ++i) session.start(requestTo(recorder.port()));
    ASSERT_TRUE(eventually([&] { return session.inFlight() == 0; }));

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
    DiagnosticLines diagnostics;
    BeastUrlSession session(diagnostics.sink());

    session.start(requestTo(recorder.port(), "token"));
    ASSERT_TRUE(recorder.waitFor(1, kLiveness));  // held 300 ms: the rest wait
    for (int n = 1; n <= 3; ++n) session.start(requestTo(recorder.port(), "running " + std::to_string(n), 7));
    session.start(requestTo(recorder.port(), "other measurement", 8));
    session.start(requestTo(recorder.port(), "final"));
    ASSERT_TRUE(eventually([&] { return session.inFlight() == 0; }));

    std::vector<std::string> bodies;
    for (const auto& request : recorder.requests()) bodies.push_back(request.body);
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

TEST(BeastUrlSession, AConnectionTheServerClosedIsReopenedWithoutLosingTheRequest) {
    const auto port = HttpRecorder::unusedPort();
    DiagnosticLines diagnostics;
    BeastUrlSession session(diagnostics.sink());
    {
        HttpRecorder first(HttpRecorder::Mode::Answer, port);
        session.start(requestTo(port, "one"));
        session.start(requestTo(port, "two"));
        ASSERT_TRUE(eventually([&] { return session.inFlight() == 0; }));
        EXPECT_EQ(first.connectionsAccepted(), 1u);
    }  // closes the kept connection
    HttpRecorder second(HttpRecorder::Mode::Answer, port);
    session.start(requestTo(port, "three"));
    ASSERT_TRUE(second.waitFor(1, kLiveness));
    ASSERT_TRUE(eventually([&] { return session.inFlight() == 0; }));
    EXPECT_EQ(second.requests().at(0).body, "three");
    EXPECT_EQ(session.stats().answered, 3u);
    EXPECT_EQ(session.stats().failed, 0u);
    EXPECT_TRUE(diagnostics.lines().empty());
}

/// Requests that time out during an outage do not report a failure after the server has answered a
/// newer one.
TEST(BeastUrlSession, RecoveryIsToldLastOnceTheNewestRequestIsAnswered) {
    HttpRecorder recorder(HttpRecorder::Mode::Silent);
    DiagnosticLines diagnostics;
    BeastUrlSession session(diagnostics.sink(), {.deadline = 300ms});

    EXPECT_EQ(session.lastSucceeded(), std::nullopt);
    const auto t0 = Clock::now();
    for (int i = 0; i < 3; ++i) session.start(requestTo(recorder.port()));
    ASSERT_TRUE(recorder.waitFor(1, kLiveness));
    std::this_thread::sleep_for(50ms);  // the recorder records a request before it picks its answer
    recorder.setMode(HttpRecorder::Mode::Answer);
    session.start(requestTo(recorder.port(), "after recovery"));
    ASSERT_TRUE(eventually([&] { return session.inFlight() == 0; }));

    EXPECT_GE(Clock::now() - t0, 300ms);  // the first request held until its deadline
    const auto lines = diagnostics.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("did not answer within 300 ms"), std::string::npos);
    EXPECT_NE(lines[1].find("answering again"), std::string::npos);
    EXPECT_EQ(session.lastSucceeded(), true);
}

class BadAnswer : public ::testing::TestWithParam<HttpRecorder::Mode> {};

TEST_P(BadAnswer, EndsTheExchangeAndLeavesTheNextRequestUntouched) {
    HttpRecorder recorder(GetParam());
    DiagnosticLines diagnostics;
    BeastUrlSession session(diagnostics.sink());

    session.start(requestTo(recorder.port(), "first"));
    ASSERT_TRUE(eventually([&] { return session.inFlight() == 0; }));

    recorder.setMode(HttpRecorder::Mode::Answer);
    session.start(requestTo(recorder.port(), "second"));
    ASSERT_TRUE(recorder.waitFor(2, kLiveness));
    ASSERT_TRUE(eventually([&] { return session.inFlight() == 0; }));
    EXPECT_EQ(recorder.requests().at(1).body, "second");

    const auto stats = session.stats();
    if (GetParam() == HttpRecorder::Mode::Garbage) {
        // Not an answer: told as a failure, then the recovery.
        EXPECT_EQ(stats.failed, 1u);
        EXPECT_EQ(stats.answered, 1u);
        ASSERT_EQ(diagnostics.lines().size(), 2u);
        EXPECT_NE(diagnostics.lines()[0].find("malformed response"), std::string::npos);
    } else {
        // An answer whose body is too long to read is still an answer.
        EXPECT_EQ(stats.failed, 0u);
        EXPECT_EQ(stats.answered, 2u);
        EXPECT_TRUE(diagnostics.lines().empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, BadAnswer, ::testing::Values(HttpRecorder::Mode::Garbage, HttpRecorder::Mode::HugeBody),
                         [](const auto& info) {
                             return info.param == HttpRecorder::Mode::Garbage ? "Garbage" : "HugeBody";
                         });

TEST(BeastUrlSessionShutdown, GraceLetsARequestInFlightFinish) {
    HttpRecorder recorder;
    recorder.setResponseDelay(300ms);
    BeastUrlSession session({});

    session.start(requestTo(recorder.port()));
    ASSERT_TRUE(recorder.waitFor(1, kLiveness));
    session.shutdown(kLiveness);
    EXPECT_EQ(session.inFlight(), 0u);
    EXPECT_EQ(session.stats().answered, 1u);

    session.start(requestTo(recorder.port()));  // ignored once shut down
    EXPECT_EQ(session.inFlight(), 0u);
    session.shutdown(0ms);  // a second call is harmless
}

TEST(BeastUrlSessionShutdown, CancelsWhatOutlastsTheGraceWithoutReportingAFailure) {
    HttpRecorder recorder(HttpRecorder::Mode::Silent);
    DiagnosticLines diagnostics;
    BeastUrlSession session(diagnostics.sink());  // 60 s deadline

    session.start(requestTo(recorder.port()));
    ASSERT_TRUE(recorder.waitFor(1, kLiveness));
    const auto t0 = Clock::now();
    session.shutdown(100ms);
    EXPECT_LT(Clock::now() - t0, kLiveness);
    EXPECT_EQ(session.inFlight(), 0u);
    EXPECT_TRUE(recorder.waitForConnectionsClosed(kLiveness));
    EXPECT_EQ(session.stats().failed, 0u);
    EXPECT_TRUE(diagnostics.lines().empty());
}

}  // namespace
}  // namespace perfagent
