#include "platform/signals.hpp"

#include <csignal>

namespace perfagent {

SignalWatcher::SignalWatcher(Handlers handlers) : handlers_(std::move(handlers)), signals_(context_) {
    for (const auto& [signal, handler] : handlers_) {
        boost::system::error_code error;
        signals_.add(signal, error);
        watching_[signal] = !error;
    }
    // A signal that arrives before the thread waits is queued by the signal set, not lost.
    wait();
    thread_ = std::thread([this] { context_.run(); });
}

SignalWatcher::~SignalWatcher() {
    context_.stop();
    if (thread_.joinable()) thread_.join();
}

bool SignalWatcher::watching(int signal) const {
    const auto found = watching_.find(signal);
    return found != watching_.end() && found->second;
}

void SignalWatcher::wait() {
    signals_.async_wait([this](const boost::system::error_code& error, int signal) {
        if (error) return;
        const auto found = handlers_.find(signal);
        if (found != handlers_.end() && found->second) found->second();
        wait();
    });
}

SignalWatcher::Handlers audioInterruptionSignals(NotificationCenter& center) {
    return {
        {SIGUSR1, [&center] { center.post(audioSessionInterruption(kAudioSessionInterruptionTypeBegan)); }},
        {SIGUSR2, [&center] { center.post(audioSessionInterruption(kAudioSessionInterruptionTypeEnded)); }},
    };
}

}  // namespace perfagent
