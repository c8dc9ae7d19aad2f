#pragma once


#include <functional>
#include <map>
#include <thread>

namespace perfagent {

/// Blocks the signals the agent handles (TERM, INT, HUP, CONT, USR1, USR2) in the calling thread. Called
/// first thing in main, before any thread exists, so that every thread inherits the mask and none can take
/// one of them: they stay pending for the SignalWatcher, which alone reads them.
void blockHandledSignals();
/// Both programs' first step, before any thread exists: blockHandledSignals, so that every thread inherits
/// the mask and only the signal watcher takes them, and SIGPIPE ignored: a reader that goes away must not
/// end the program; its writes see EPIPE instead.
void prepareProcessSignals();

/// @brief Takes the handled signals, which every thread blocks (blockHandledSignals), from a signalfd on
/// one thread of its own and calls their handlers there.
///
/// A signal sent before the watcher exists stays pending and is handled once it runs; deliveries that
/// arrive before one is taken may be merged, as the kernel merges pending signals.
class SignalWatcher {
public:
    using Handlers = std::map<int, std::function<void()>>;

    /// Starts watching every signal in `handlers`; each must be one blockHandledSignals() blocks. Throws
    /// std::system_error when the descriptors cannot be made.
    explicit SignalWatcher(Handlers handlers);
    /// Stops watching and waits for a handler under way to finish; call it from another thread than the
    /// watcher's. Signals arriving afterwards stay pending and do nothing.
    ~SignalWatcher();
    SignalWatcher(const SignalWatcher&) = delete;
    SignalWatcher& operator=(const SignalWatcher&) = delete;

private:
    void run();

    Handlers handlers_;
    int signals_ = -1;  // signalfd
    int stop_ = -1;     // eventfd
    std::thread thread_;
};

/// Whether this process group is the terminal's foreground group (after SIGCONT: put in front with fg, or
/// left behind with bg). Without a terminal nothing can be in front of the agent, so it counts as in front.
bool inForegroundProcessGroup();

}  // namespace perfagent
