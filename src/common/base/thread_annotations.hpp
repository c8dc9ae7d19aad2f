#pragma once

// Clang's thread-safety analysis (-Wthread-safety): which mutex (or which thread) guards which member, and
// which functions must or must not hold it, written where the state is declared so that the compiler checks
// each access.
// The macros expand to nothing on other compilers. The standard library's mutex and locks carry no such
// attributes, so shared state is guarded by the Mutex and MutexLock below.

#include <chrono>
#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define THREAD_ANNOTATION(x) __attribute__((x))
#else
#define THREAD_ANNOTATION(x)
#endif

/// A type that is a capability (a mutex).
#define CAPABILITY(name) THREAD_ANNOTATION(capability(name))
/// A type whose constructor acquires a capability and whose destructor releases it.
#define SCOPED_CAPABILITY THREAD_ANNOTATION(scoped_lockable)
/// A member read or written only while the capability is held.
#define GUARDED_BY(x) THREAD_ANNOTATION(guarded_by(x))
/// A function called only while the caller holds the capabilities.
#define REQUIRES(...) THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
/// A function called only while the caller does not hold the capabilities (it takes them itself).
#define EXCLUDES(...) THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
/// A function that returns holding the capabilities.
#define ACQUIRE(...) THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
/// A function that returns no longer holding the capabilities.
#define RELEASE(...) THREAD_ANNOTATION(release_capability(__VA_ARGS__))
/// A function the analysis does not look into (it acts on a lock it cannot name).
#define NO_THREAD_SAFETY_ANALYSIS THREAD_ANNOTATION(no_thread_safety_analysis)
/// A function after whose call the caller is taken to hold the capability.
#define ASSERT_CAPABILITY(x) THREAD_ANNOTATION(assert_capability(x))

namespace perfagent {

/// @brief A std::mutex the analysis knows as a capability: members are declared GUARDED_BY(it), and a
/// MutexLock takes it.
class CAPABILITY("mutex") Mutex {
private:
    friend class MutexLock;
    std::mutex mutex_;
};

/// @brief The one thread that may touch some state, as a capability: the state is GUARDED_BY the role and
/// the functions that run on that thread REQUIRES it, so that code not known to run there cannot reach it.
/// A handler that the thread's event loop calls (and that loop runs on no other thread) begins with
/// `role.runningHere()`, which takes nothing: the lock is the thread itself.
class CAPABILITY("thread") ThreadRole {
public:
    void runningHere() const ASSERT_CAPABILITY(this) {}
};

/// @brief Holds a Mutex for its scope, like std::unique_lock: it may be let go of and taken again within
/// the scope, and a condition variable waits on it. A predicate reads guarded state, so it is declared
/// `[&]() REQUIRES(mutex_) { ... }`: the wait calls it only while holding the mutex.
class SCOPED_CAPABILITY MutexLock {
public:
    explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : lock_(mutex.mutex_) {}
    ~MutexLock() RELEASE() {}
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

    void lock() ACQUIRE() { lock_.lock(); }
    void unlock() RELEASE() { lock_.unlock(); }

    template <typename Predicate>
    void wait(std::condition_variable& condition, Predicate ready) {
        condition.wait(lock_, ready);
    }
    /// What `ready` says at the end: false when the instant came first.
    template <typename Clock, typename Duration, typename Predicate>
    bool waitUntil(std::condition_variable& condition, std::chrono::time_point<Clock, Duration> until, Predicate ready) {
        return condition.wait_until(lock_, until, ready);
    }
    /// What `ready` says at the end: false when the time ran out first.
    template <typename Rep, typename Period, typename Predicate>
    bool waitFor(std::condition_variable& condition, std::chrono::duration<Rep, Period> limit, Predicate ready) {
        return condition.wait_for(lock_, limit, ready);
    }

private:
    std::unique_lock<std::mutex> lock_;
};

/// @brief Lets go of a Mutex a MutexLock holds for its scope and takes it again at the scope's end, so that
/// a function that REQUIRES the mutex can run slow work without it and return holding it again.
class SCOPED_CAPABILITY MutexUnlock {
public:
    MutexUnlock(MutexLock& lock, [[maybe_unused]] Mutex& mutex) RELEASE(mutex) NO_THREAD_SAFETY_ANALYSIS : lock_(lock) { lock_.unlock(); }
    ~MutexUnlock() RELEASE() NO_THREAD_SAFETY_ANALYSIS { lock_.lock(); }
    MutexUnlock(const MutexUnlock&) = delete;
    MutexUnlock& operator=(const MutexUnlock&) = delete;

private:
    MutexLock& lock_;
};

}  // namespace perfagent
