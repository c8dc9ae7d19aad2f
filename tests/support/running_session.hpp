#pragma once

#include "platform/beast_url_session.hpp"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include <chrono>
#include <thread>

namespace perfagent::testing {

/// A BeastUrlSession on a context that a thread of its own runs, as the agent's main thread runs its loop.
/// shutdown() first stops that thread, as the agent's loop has returned before its last uploads.
struct RunningSession {
    explicit RunningSession(BeastUrlSession::Diagnostics diagnostics = {}, BeastUrlSessionOptions options = {})
        : session(context, std::move(diagnostics), options), runner([this] { context.run(); }) {}
    ~RunningSession() { shutdown(std::chrono::milliseconds(0)); }

    void shutdown(std::chrono::milliseconds grace) {
        work.reset();
        context.stop();
        if (runner.joinable()) runner.join();
        session.shutdown(grace);
    }

    boost::asio::io_context context;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work{context.get_executor()};
    BeastUrlSession session;
    std::thread runner;
};

}  // namespace perfagent::testing
