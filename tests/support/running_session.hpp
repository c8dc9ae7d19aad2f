#pragma once

#include "platform/beast_url_session.hpp"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include <chrono>
#include <thread>

namespace perfagent::testing {

/// A BeastUrlSession on a context that a thread of its own runs, as the agent's main thread runs its
/// loop. shutdown() first stops that thread, as the agent's loop has returned before its last uploads.
class RunningSession {
public:
    explicit RunningSession(BeastUrlSession::Diagnostics diagnostics = {}, BeastUrlSessionOptions options = {})
        : session(context_, std::move(diagnostics), options), runner_([this] { context_.run(); }) {}
    ~RunningSession() { shutdown(std::chrono::milliseconds(0)); }
    RunningSession(const RunningSession&) = delete;
    RunningSession& operator=(const RunningSession&) = delete;

    void shutdown(std::chrono::milliseconds grace) {
        work_.reset();
        context_.stop();
        if (runner_.joinable()) runner_.join();
        session.shutdown(grace);
    }

private:
    boost::asio::io_context context_;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work_{context_.get_executor()};

public:
    BeastUrlSession session;

private:
    std::thread runner_;
};

}  // namespace perfagent::testing
