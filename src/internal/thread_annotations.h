#pragma once

// Locks that clang's -Wthread-safety checks: a field marked GUARDED_BY(lock) may only be touched with that
// lock held, and a function marked REQUIRES(lock) may only be called so. GCC ignores the attributes.

#include <condition_variable>
#include <mutex>

#include "internal/socket_io.h"

#if defined(__clang__)
#define VORNA_TSA(x) __attribute__((x))
#else
#define VORNA_TSA(x)
#endif

#define CAPABILITY(name) VORNA_TSA(capability(name))
#define SCOPED_CAPABILITY VORNA_TSA(scoped_lockable)
#define GUARDED_BY(lock) VORNA_TSA(guarded_by(lock))
#define PT_GUARDED_BY(lock) VORNA_TSA(pt_guarded_by(lock))
#define REQUIRES(...) VORNA_TSA(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) VORNA_TSA(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) VORNA_TSA(acquire_capability(__VA_ARGS__))
#define RELEASE(...) VORNA_TSA(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) VORNA_TSA(try_acquire_capability(__VA_ARGS__))
#define NO_THREAD_SAFETY_ANALYSIS VORNA_TSA(no_thread_safety_analysis)

namespace vorna {

// The library's internal mutex: std::mutex with the annotations that let the compiler check its use.
class CAPABILITY("mutex") Lock {
  public:
    Lock() = default;
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

    void lock() ACQUIRE() { mMutex.lock(); }
    void unlock() RELEASE() { mMutex.unlock(); }
    bool tryLock() TRY_ACQUIRE(true) { return mMutex.try_lock(); }

  private:
    friend class CondVar;
    std::mutex mMutex;
};

// Holds a Lock for one scope.
class SCOPED_CAPABILITY LockGuard {
  public:
    explicit LockGuard(Lock& lock) ACQUIRE(lock) : mLock(lock) { mLock.lock(); }
    ~LockGuard() RELEASE() { mLock.unlock(); }
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;

  private:
    Lock& mLock;
};

// A condition variable for a Lock. The caller holds the lock around every wait, as the annotations say.
class CondVar {
  public:
    // Waits until notified (or woken spuriously).
    void wait(Lock& lock) REQUIRES(lock) {
        std::unique_lock<std::mutex> native(lock.mMutex, std::adopt_lock);
        mCond.wait(native);
        native.release();
    }
    // As wait(), but returns false once `deadlineMs` (CLOCK_MONOTONIC milliseconds, kNoDeadline: never)
    // has passed.
    bool waitUntil(Lock& lock, long long deadlineMs) REQUIRES(lock) {
        if (deadlineMs == kNoDeadline) {
            wait(lock);
            return true;
        }
        std::unique_lock<std::mutex> native(lock.mMutex, std::adopt_lock);
        // libstdc++'s steady_clock is CLOCK_MONOTONIC, the clock of monotonicMs().
        const std::chrono::steady_clock::time_point until{std::chrono::milliseconds(deadlineMs)};
        const bool notified = mCond.wait_until(native, until) == std::cv_status::no_timeout;
        native.release();
        return notified;
    }
    void notifyOne() { mCond.notify_one(); }
    void notifyAll() { mCond.notify_all(); }

  private:
    std::condition_variable mCond;
};

}  // namespace vorna
