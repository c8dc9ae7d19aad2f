#pragma once

#include "platform/notification_center.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>

#include <functional>
#include <map>
#include <thread>

namespace perfagent {

/// @brief Turns process signals into calls on one signal-handling thread of its own.
///
/// Each watched signal's handler runs on that thread, once per delivery (deliveries that arrive while
/// the handler runs may be merged, as the kernel merges pending signals). The signals' default actions
/// are replaced while the watcher lives and restored when it is destroyed.
class SignalWatcher {
public:
    using Handlers = std::map<int, std::function<void()>>;

    /// Starts watching every signal in `handlers`. A signal that cannot be watched (SIGKILL, a bad
    /// number) is left alone and reported by watching().
    explicit SignalWatcher(Handlers handlers);
    /// Stops watching and waits for a handler under way to finish; call it from another thread than
    /// the watcher's.
    ~SignalWatcher();
    SignalWatcher(const SignalWatcher&) = delete;
    SignalWatcher& operator=(const SignalWatcher&) = delete;

    bool watching(int signal) const;

private:
    void wait();

    Handlers handlers_;
    std::map<int, bool> watching_;
    boost::asio::io_context context_;
    boost::asio::signal_set signals_;
    std::thread thread_;
};

/// Handlers that post audio-session interruptions to `center`: SIGUSR1 one that began (type 1),
/// SIGUSR2 one that ended (type 0). `center` must outlive the watcher they are given to.
SignalWatcher::Handlers audioInterruptionSignals(NotificationCenter& center);

}  // namespace perfagent
