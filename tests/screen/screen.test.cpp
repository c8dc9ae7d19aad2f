#include "screen/screen_endpoint.hpp"
#include "screen/view_controller.hpp"
#include "screen/window.hpp"

#include "platform/asio_run_loop.hpp"
#include "http/http_server.hpp"
#include "platform/main_thread_handoff.hpp"
#include "support/fake_shell.hpp"
#include "support/raw_http_client.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

namespace perfagent {
namespace {

using testing::rawRequest;
using testing::RawHttpClient;

const std::string kPage = "<!doctype html><title>screen</title>";

/// Records the screen's calls; every one arrives on the main thread, so no lock is needed.
struct RecordingScreen final : ScreenHost {
    ScreenFields screenFields() override { return {}; }
    Result<void> screenStart(std::string useCaseName, std::string srNumber,
                             const Result<std::optional<ResolvedTarget>>& target, std::string build) override {
        if (!target) return target.error();
        starts.emplace_back(useCaseName,
                            srNumber + (*target ? std::to_string((*target)->process.identity.pid) : "") + build);
        return {};
    }
    void screenStop() override {}
    std::string screenMark(std::string label) override { return marks.emplace_back(std::move(label)); }
    std::string screenState(std::int64_t since) override { return R"({"since":)" + std::to_string(since) + "}"; }

    std::vector<std::pair<std::string, std::string>> starts;
    std::vector<std::string> marks;
};

TEST(ScreenEndpoint, PageStateProcessesAndSameOriginJsonActionsOnly) {
    AsioRunLoop loop;
    std::thread mainThread([&] { loop.run(); });
    RecordingScreen screen;
    MainThreadHandoff handoff(loop, 16);
    testing::FixedProcesses processes;
    processes.running = {{{7, 1}, "zsh", "-zsh", "ann", 4096}, {{9, 2}, "bash", "/bin/bash -l", "root", 8192}};
    Diagnostics diagnostics([](std::string_view) {});
    testing::FakeShell shell;
    TargetResolver targets(&processes, shell.proc, std::nullopt);
    HttpServer server({boost::asio::ip::make_address("127.0.0.1"), 0}, screenRoutes({{"/", "text/html; charset=utf-8", kPage}}, handoff, screen, processes, targets), diagnostics);
    ASSERT_TRUE(server.start());
    const auto port = server.port();
    const std::string own = std::to_string(port), foreignHost = "Host: evil.example:" + own + "\r\n";
    const auto post = [&](std::string_view target, std::string_view body, std::string headers = {}) {
        return rawRequest(port, "POST", target, "Content-Type: application/json\r\n" + headers, body);
    };
    const struct {
        std::string raw;
        unsigned status;
        std::string body = {};  // compared when given
    } cases[] = {
        {rawRequest(port, "GET", "/"), 200, kPage},
        {rawRequest(port, "GET", "/screen/state?since=17"), 200, R"({"since":17})"},
        {rawRequest(port, "GET", "/screen/processes"), 200,
         R"([{"pid":9,"name":"bash","command":"/bin/bash -l","user":"root","rss":8192},)"
         R"({"pid":7,"name":"zsh","command":"-zsh","user":"ann","rss":4096}])"},
        {rawRequest(port, "GET", "/screen/processes"), 200},  // listed once: the same list for a second
        {post("/screen/actions/start", R"({"target":"sshd"})"), 409, "target sshd: no such process\n"},
        {post("/screen/actions/start", R"({"useCaseName":"login","srNumber":"42","target":"zsh","build":"v2","x":1})", "Origin: http://127.0.0.1:" + own + "\r\n"), 202},
        {post("/screen/actions/start", R"({"build":")" + std::string(129, 'b') + "\"}"), 400},
        {rawRequest(port, "POST", "/screen/actions/start", "Content-Type: Application/JSON; charset=utf-8\r\n", "{}"), 202},
        {post("/screen/actions/stop", "{}", "Origin: http://127.0.0.1:" + std::to_string(port + 1) + "\r\n"), 403},
        // A name rebound to this machine: Host and Origin agree, but a name is not taken as ours.
        {post("/screen/actions/stop", "{}", foreignHost + "Origin: http://evil.example:" + own + "\r\n"), 403},
        {rawRequest(port, "GET", "/", foreignHost), 403}, {rawRequest(port, "GET", "/screen/state?since=2x"), 400},
        // Numbers past what a sample count can be are refused, not counted up to.
        {rawRequest(port, "GET", "/screen/state?since=9223372036854775807"), 400, "since is out of range (0 to 9007199254740992)\n"},
        {rawRequest(port, "GET", "/screen/state?since=-1"), 400}, {rawRequest(port, "GET", "/screen/state?since=99999999999999999999"), 400},
        {rawRequest(port, "GET", "/screen/state?since=9007199254740992"), 200},
        {rawRequest(port, "POST", "/screen/actions/start", "Content-Type: text/plain\r\n", "{}"), 415},
        {rawRequest(port, "POST", "/screen/actions/start", "Content-Type: application/jsonp\r\n", "{}"), 415},
        {rawRequest(port, "POST", "/screen/actions/stop", "", ""), 415},
        {post("/screen/actions/start", R"({"useCaseName":5})"), 400}, {post("/screen/actions/stop", "stop"), 400},
        {post("/screen/actions/mark", R"({"label":"login tapped"})"), 202, "login tapped"},
        {post("/screen/actions/mark", R"({"label":")" + std::string(129, 'm') + "\"}"), 400, "the label is longer than 128 bytes\n"},
        {post("/screen/actions/mark", R"({"label":7})"), 400},
    };
    for (const auto& c : cases) {
        RawHttpClient::Response response;
        EXPECT_EQ(RawHttpClient(port).exchange(c.raw, &response), c.status) << c.raw;
        if (!c.body.empty()) { EXPECT_EQ(response.body(), c.body) << c.raw; }
        if (c.body == kPage) { EXPECT_NE(response["Content-Security-Policy"].find("default-src 'none'"), std::string::npos); }
    }
    server.stop();
    loop.async([&] { loop.stop(); });  // after what the actions queued
    mainThread.join();
    EXPECT_EQ(screen.starts, (std::vector<std::pair<std::string, std::string>>{{"login", "427v2"}, {"", ""}}));
    EXPECT_EQ(screen.marks, std::vector<std::string>{"login tapped"});
    EXPECT_EQ(processes.listings, 3);  // the page's list once, each start's target once
}

/// The screen on display: a window with its two fields and the root screen, on the fake platform.
TEST(Screen, StartPlaysTheKeepAliveAndTheFlushSaysSoTwoSecondsLaterSendingNothing) {
    testing::FakeShell shell{PERFAGENT_SOURCE_DIR "/resources"};
    const auto window = Window::loadMainInterface(shell.platform, shell.probes, shell.server, shell.keepAlive());
    ViewController& screen = *window->rootViewController;
    window->useCaseNameField.text = "typed before load";
    window->makeKeyAndVisible();
    EXPECT_EQ(window->useCaseNameField.text, "");  // cleared when the view loaded
    window->useCaseNameField.text = "search";
    window->srNumberField.text = "7";
    screen.startPerformanceWithSender();
    screen.metricsCollector->stop();  // keep the collector's own reports out of the way
    EXPECT_TRUE(screen.backgroundTask->player()->isPlaying());  // Start plays the keep-alive, Stop leaves it
    shell.urlSession.take();
    shell.console.take();
    screen.stopBackgroundMeasurement();
    EXPECT_TRUE(shell.urlSession.take().empty());
    EXPECT_TRUE(screen.backgroundTask->player()->isPlaying());
    shell.loop.advance(1.9);
    EXPECT_TRUE(shell.console.take().empty());
    shell.loop.advance(0.2);
    EXPECT_THAT(shell.console.take(), ::testing::ElementsAre("after 2seconds"));
}

}  // namespace
}  // namespace perfagent
