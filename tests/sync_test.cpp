#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "support/child.h"
#include "support/probes.h"
#include "vorna/sync.h"

namespace {

using testing_support::ChildResult;
using testing_support::maskLineNumbers;
using testing_support::nowMs;
using testing_support::runInChild;
using testing_support::waitUntil;

const int kBusy = -16;
const int kTimedOut = -110;
const int kInterrupted = -4;
// Long enough never to pass in a test that expects a wake-up.
const long kLongTimeoutMs = 20000;

// Waits until the nanosecond field of the clock that the timed waits count on (the monotonic one) lies in
// [from, to), so that a timeout's remainder is known to carry into the next second. With a window from
// 0.5 s to 0.6 s, a 500 ms remainder still carries when the wait reads the clock up to 400 ms late.
void waitForNanoseconds(long from, long to) {
    ASSERT_TRUE(waitUntil(
        [&] {
            timespec now;
            clock_gettime(CLOCK_MONOTONIC, &now);
            return now.tv_nsec >= from && now.tv_nsec < to;
        },
        5000));
}

int tryLockFromAnotherThread(VORNA::Mutex& mutex) {
    int result = 1;
    std::thread([&] {
        result = mutex.tryLock();
        if (result == 0)
            mutex.unlock();
    }).join();
    return result;
}

// The semaphore's count as waits find it: how many wait(0) pass before one times out. -1 when a wait
// fails otherwise; stops at 10, which no test here reaches.
int countByWaiting(VORNA::Semaphore& semaphore) {
    for (int count = 0; count < 10; ++count) {
        const int result = semaphore.wait(0L);
        if (result == kTimedOut)
            return count;
        if (result != 0)
            return -1;
    }
    return 10;
}

// Runs `body` on a thread of its own and tells whether it finished within `timeoutMs`; the thread is
// joined either way, so a body that never returns hangs the test instead of leaving a dangling thread.
bool finishesWithin(int timeoutMs, const std::function<void()>& body, const std::function<void()>& unblock) {
    std::atomic<bool> done{false};
    std::thread worker([&] {
        body();
        done = true;
    });
    const bool finished = waitUntil([&] { return done.load(); }, timeoutMs);
    if (!finished)
        unblock();
    worker.join();
    return finished;
}

TEST(Mutex, TryLockTakesAFreeMutexAndOthersThenGetBusy) {
    VORNA::Mutex mutex;

    EXPECT_EQ(0, mutex.tryLock());
    EXPECT_EQ(kBusy, tryLockFromAnotherThread(mutex));
    EXPECT_EQ(0, mutex.unlock());
    EXPECT_EQ(0, tryLockFromAnotherThread(mutex));
}

TEST(Mutex, TryLockByTheHolderAlsoGetsBusy) {
    VORNA::Mutex mutex;

    ASSERT_EQ(0, mutex.lock());
    EXPECT_EQ(kBusy, mutex.tryLock());
    EXPECT_EQ(0, mutex.unlock());
    EXPECT_EQ(0, mutex.tryLock());
    EXPECT_EQ(0, mutex.unlock());
}

TEST(Mutex, NamedMutexWorksAfterItsNameIsFreed) {
    char* name = strdup("named mutex");
    VORNA::Mutex mutex(name);
    free(name);

    EXPECT_EQ(0, mutex.lock());
    EXPECT_EQ(kBusy, tryLockFromAnotherThread(mutex));
    EXPECT_EQ(0, mutex.unlock());
    EXPECT_EQ(0, tryLockFromAnotherThread(mutex));
}

TEST(Mutex, LockKeepsOtherThreadsOutOfTheCriticalSection) {
    const int kThreads = 4;
    const int kRounds = 5000;
    VORNA::Mutex mutex;
    long counter = 0;  // deliberately not atomic: only the mutex protects it

    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i) {
                mutex.lock();
                const long seen = counter;
                counter = seen + 1;
                mutex.unlock();
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();

    EXPECT_EQ(kThreads * kRounds, counter);
}

TEST(Condition, ZeroTimeoutReturnsTimeoutAtOnceWithTheMutexHeld) {
    VORNA::Mutex mutex;
    VORNA::Condition condition;
    mutex.lock();

    EXPECT_EQ(kTimedOut, condition.wait(mutex, 0L));
    EXPECT_EQ(kTimedOut, condition.wait(&mutex, 0L));
    EXPECT_EQ(kBusy, tryLockFromAnotherThread(mutex));
    mutex.unlock();
}

TEST(Condition, NegativeTimeoutsActAsZero) {
    VORNA::Mutex mutex;
    VORNA::Condition condition;
    mutex.lock();

    for (long timeoutMs : {-1L, -999L, -1000L, -1500L, static_cast<long>(INT32_MIN)}) {
        EXPECT_EQ(kTimedOut, condition.wait(mutex, timeoutMs)) << timeoutMs << " ms by reference";
        EXPECT_EQ(kTimedOut, condition.wait(&mutex, timeoutMs)) << timeoutMs << " ms by pointer";
    }
    EXPECT_EQ(kBusy, tryLockFromAnotherThread(mutex));
    mutex.unlock();
}

TEST(Condition, TimedWaitLastsAtLeastItsTimeout) {
    VORNA::Mutex mutex;
    VORNA::Condition condition;
    mutex.lock();

    const long long start = nowMs();
    EXPECT_EQ(kTimedOut, condition.wait(mutex, 250L));
    EXPECT_GE(nowMs() - start, 250);
    mutex.unlock();
}

TEST(Condition, TimedWaitCarriesNanosecondsIntoTheNextSecond) {
    VORNA::Mutex mutex;
    VORNA::Condition condition;
    mutex.lock();

    waitForNanoseconds(500000000, 600000000);
    const long long start = nowMs();
    EXPECT_EQ(kTimedOut, condition.wait(&mutex, 1500L)) << "a deadline of 1e9 ns or more is rejected as -22";
    EXPECT_GE(nowMs() - start, 1500);
    mutex.unlock();
}

// One waiter in a predicate loop; `waiting` tells the signaller that it is inside wait (it holds the
// mutex from setting the flag until wait releases it).
struct SignalledWaiter {
    using WaitForm = std::function<int(VORNA::Condition&, VORNA::Mutex&)>;

    VORNA::Mutex mutex;
    VORNA::Condition condition;
    bool waiting = false;
    bool signalled = false;
    int result = 1;
    int tryLockWhileWoken = 1;

    void wait(const WaitForm& form) {
        mutex.lock();
        waiting = true;
        while (!signalled && result != kTimedOut)
            result = form(condition, mutex);
        tryLockWhileWoken = mutex.tryLock();
        mutex.unlock();
    }

    bool isWaiting() {
        mutex.lock();
        const bool inside = waiting;
        mutex.unlock();
        return inside;
    }

    int signal() {
        mutex.lock();
        signalled = true;
        const int result = condition.signal();
        mutex.unlock();
        return result;
    }
};

TEST(Condition, SignalledWaitReturnsZeroWithTheMutexHeld) {
    const std::pair<const char*, SignalledWaiter::WaitForm> forms[] = {
        {"by reference", [](VORNA::Condition& c, VORNA::Mutex& m) { return c.wait(m); }},
        {"by pointer", [](VORNA::Condition& c, VORNA::Mutex& m) { return c.wait(&m); }},
        {"timed by reference",
         [](VORNA::Condition& c, VORNA::Mutex& m) { return c.wait(m, kLongTimeoutMs); }},
        {"timed by pointer", [](VORNA::Condition& c, VORNA::Mutex& m) { return c.wait(&m, kLongTimeoutMs); }},
    };
    for (const auto& form : forms) {
        SignalledWaiter waiter;
        std::thread thread([&] { waiter.wait(form.second); });
        ASSERT_TRUE(waitUntil([&] { return waiter.isWaiting(); }, 10000)) << "the waiter did not start";

        EXPECT_EQ(0, waiter.signal());
        thread.join();

        EXPECT_EQ(0, waiter.result) << form.first;
        EXPECT_EQ(kBusy, waiter.tryLockWhileWoken) << form.first << ": wait returned without the mutex";
    }
}

TEST(Condition, SignalWithoutWaiterIsLost) {
    VORNA::Mutex mutex;
    VORNA::Condition condition;

    EXPECT_EQ(0, condition.signal());
    EXPECT_EQ(0, condition.broadcast());
    mutex.lock();
    EXPECT_EQ(kTimedOut, condition.wait(mutex, 50L));
    mutex.unlock();
}

TEST(Condition, BroadcastWakesEveryWaiter) {
    const int kWaiters = 3;
    VORNA::Mutex mutex;
    VORNA::Condition condition;
    int waiting = 0;
    bool go = false;
    std::atomic<int> woken{0};

    std::vector<std::thread> waiters;
    for (int i = 0; i < kWaiters; ++i) {
        waiters.emplace_back([&, i] {
            mutex.lock();
            ++waiting;
            while (!go) {
                if (i % 2 == 0)
                    condition.wait(mutex);
                else
                    condition.wait(&mutex, kLongTimeoutMs);
            }
            mutex.unlock();
            ++woken;
        });
    }
    ASSERT_TRUE(waitUntil(
        [&] {
            mutex.lock();
            const bool allWaiting = waiting == kWaiters;
            mutex.unlock();
            return allWaiting;
        },
        10000));

    mutex.lock();
    go = true;
    EXPECT_EQ(0, condition.broadcast());
    mutex.unlock();

    EXPECT_TRUE(waitUntil([&] { return woken == kWaiters; }, 10000))
        << "only " << woken << " of " << kWaiters << " waiters woke up";
    while (woken < kWaiters)
        condition.signal();
    for (std::thread& waiter : waiters)
        waiter.join();
}

TEST(Semaphore, SignalTwiceLeavesACountOfOne) {
    VORNA::Semaphore semaphore;

    semaphore.signal();
    semaphore.signal();

    EXPECT_EQ(1, countByWaiting(semaphore));
}

TEST(Semaphore, PostTwiceLeavesACountOfTwo) {
    VORNA::Semaphore semaphore;

    semaphore.post();
    semaphore.post();

    EXPECT_EQ(2, countByWaiting(semaphore));
}

TEST(Semaphore, SignalAfterPostsAddsNothing) {
    VORNA::Semaphore semaphore;

    semaphore.post();
    semaphore.signal();

    EXPECT_EQ(1, countByWaiting(semaphore));
}

TEST(Semaphore, SignalWakesABlockedWaiter) {
    VORNA::Semaphore semaphore;
    std::atomic<pid_t> waiterTid{0};
    int result = 1;

    const bool woke = finishesWithin(
        10000,
        [&] {
            std::thread waiter([&] {
                waiterTid = testing_support::currentTid();
                result = semaphore.wait();
            });
            waitUntil([&] { return waiterTid != 0 && testing_support::threadIsBlocked(waiterTid); }, 5000);
            semaphore.signal();
            waiter.join();
        },
        [&] { semaphore.post(); });

    EXPECT_TRUE(woke) << "signal did not wake the waiter";
    EXPECT_EQ(0, result);
    EXPECT_EQ(kTimedOut, semaphore.wait(0L)) << "the wake-up left a count behind";
}

TEST(Semaphore, TimedWaitOnAPositiveCountTakesOneAtOnce) {
    VORNA::Semaphore semaphore;
    semaphore.post();

    EXPECT_EQ(0, semaphore.wait(kLongTimeoutMs));
    EXPECT_EQ(kTimedOut, semaphore.wait(0L));
}

TEST(Semaphore, NegativeTimeoutsActAsZero) {
    VORNA::Semaphore semaphore;

    for (long timeoutMs : {-1L, -999L, -1000L, -1500L, static_cast<long>(INT32_MIN)}) {
        EXPECT_EQ(kTimedOut, semaphore.wait(timeoutMs)) << timeoutMs << " ms on a count of 0";
        semaphore.post();
        EXPECT_EQ(0, semaphore.wait(timeoutMs)) << timeoutMs << " ms on a count of 1";
    }
}

TEST(Semaphore, TimedWaitLastsAtLeastItsTimeout) {
    VORNA::Semaphore semaphore;

    const long long start = nowMs();
    EXPECT_EQ(kTimedOut, semaphore.wait(250L));
    EXPECT_GE(nowMs() - start, 250);
}

TEST(Semaphore, TimedWaitCarriesNanosecondsIntoTheNextSecond) {
    VORNA::Semaphore semaphore;

    waitForNanoseconds(500000000, 600000000);
    const long long start = nowMs();
    EXPECT_EQ(kTimedOut, semaphore.wait(1500L)) << "a deadline of 1e9 ns or more is rejected as -22";
    EXPECT_GE(nowMs() - start, 1500);
}

TEST(Semaphore, TimeoutsLogTheErrno) {
    const ChildResult child = runInChild([] {
        VORNA::Semaphore semaphore;
        printf("zero=%d\n", semaphore.wait(0L));
        printf("negative=%d\n", semaphore.wait(-5L));
    });

    EXPECT_EQ(
        "[   vorna  ][ src/Semaphore wait #] WRN: timeout errno=110\n"
        "zero=-110\n"
        "[   vorna  ][ src/Semaphore wait #] WRN: timeout errno=110\n"
        "negative=-110\n",
        maskLineNumbers(child.out));
}

TEST(Semaphore, TimeoutIsReportedEvenWhenItsLogLineCannotBeWritten) {
    const ChildResult child = runInChild([] {
        // A daemon whose standard output is closed: writing the log line fails with an errno of its own.
        setvbuf(stdout, nullptr, _IONBF, 0);
        close(STDOUT_FILENO);
        VORNA::Semaphore semaphore;
        fprintf(stderr, "%d\n", semaphore.wait(0L));
    });

    EXPECT_EQ(std::to_string(kTimedOut) + "\n", child.err);
}

void ignoreSignal(int) {}

// Interrupts `wait` on a thread of its own with SIGUSR1 until it returns; a signal that arrives before the
// thread blocks is simply handled, so the signal is repeated.
int interruptedResult(const std::function<int()>& wait) {
    struct sigaction action = {};
    action.sa_handler = ignoreSignal;  // no SA_RESTART
    sigaction(SIGUSR1, &action, nullptr);
    std::atomic<bool> done{false};
    int result = 1000;
    std::thread waiter([&] {
        result = wait();
        done = true;
    });
    const pthread_t handle = waiter.native_handle();
    waitUntil([&] { return done || pthread_kill(handle, SIGUSR1) != 0; }, 10000);
    waiter.join();
    return result;
}

TEST(Semaphore, WaitsInterruptedByASignalReturnTheirFailureCodes) {
    const ChildResult child = runInChild([] {
        VORNA::Semaphore semaphore;
        const int untimed = interruptedResult([&] { return semaphore.wait(); });
        printf("untimed=%d\n", untimed);
        const int timed = interruptedResult([&] { return semaphore.wait(kLongTimeoutMs); });
        printf("timed=%d\n", timed);
    });

    EXPECT_EQ(0, child.status) << child.err;
    EXPECT_EQ(
        "untimed=1\n"
        "[   vorna  ][ src/Semaphore wait #] WRN: timeout errno=4\n"
        "timed=" +
            std::to_string(kInterrupted) + "\n",
        maskLineNumbers(child.out));
}

}  // namespace
