// The timed waits must count on the monotonic clock: this program replaces clock_gettime for the whole
// process, the library included, so that the wall clock can be stepped without touching the machine's.

#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/child.h"
#include "support/probes.h"
#include "vorna/sync.h"

namespace {

std::atomic<long> gWallClockShiftSeconds{0};

}  // namespace

extern "C" int clock_gettime(clockid_t clock, timespec* now) {
    const long result = syscall(SYS_clock_gettime, clock, now);
    if (result == 0 && clock == CLOCK_REALTIME)
        now->tv_sec += gWallClockShiftSeconds.load();
    return static_cast<int>(result);
}

namespace {

using testing_support::maskLineNumbers;
using testing_support::nowMs;
using testing_support::runInChild;
using testing_support::waitUntil;

const int kBusy = -16;
const int kTimedOut = -110;
// Long enough never to pass in a test that expects a wake-up.
const long kLongTimeoutMs = 20000;
const long kOneYear = 365L * 24 * 3600;

int tryLockFromAnotherThread(VORNA::Mutex& mutex) {
    int result = 1;
    std::thread([&] {
        result = mutex.tryLock();
        if (result == 0)
            mutex.unlock();
    }).join();
    return result;
}

// The semaphore's count as waits find it: how many wait(0) pass before one times out (-1 on another
// failure).
int countByWaiting(VORNA::Semaphore& semaphore) {
    int count = 0;
    for (int result; (result = semaphore.wait(0L)) != kTimedOut; ++count) {
        if (result != 0 || count == 10)
            return -1;
    }
    return count;
}

TEST(Mutex, LockAndTryLockKeepOthersOutWhileHeldAndANamedMutexOutlivesItsName) {
    char* name = strdup("named mutex");
    VORNA::Mutex named(name);
    free(name);
    VORNA::Mutex unnamed;
    for (VORNA::Mutex* mutex : {&unnamed, &named}) {
        EXPECT_EQ(0, mutex->tryLock());
        EXPECT_EQ(kBusy, tryLockFromAnotherThread(*mutex));
        EXPECT_EQ(kBusy, mutex->tryLock()) << "the holder";
        EXPECT_EQ(0, mutex->unlock());
        EXPECT_EQ(0, tryLockFromAnotherThread(*mutex));
        EXPECT_EQ(0, mutex->lock());
        EXPECT_EQ(kBusy, tryLockFromAnotherThread(*mutex));
        EXPECT_EQ(0, mutex->unlock());
        long counter = 0;  // deliberately not atomic: only the mutex protects it
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&] {
                for (int i = 0; i < 5000; ++i) {
                    mutex->lock();
                    const long seen = counter;
                    counter = seen + 1;
                    mutex->unlock();
                }
            });
        }
        for (std::thread& thread : threads)
            thread.join();
        EXPECT_EQ(4 * 5000, counter);
    }
}

// A timed wait that nothing ends early; a condition wait reports 1 when it returned without the mutex.
using TimedWait = std::function<int(long timeoutMs)>;

int conditionWait(bool byPointer, long timeoutMs) {
    VORNA::Mutex mutex;
    VORNA::Condition condition;
    // Signals without a waiter are lost.
    condition.signal();
    condition.broadcast();
    mutex.lock();
    int result = byPointer ? condition.wait(&mutex, timeoutMs) : condition.wait(mutex, timeoutMs);
    if (tryLockFromAnotherThread(mutex) != kBusy)
        result = 1;
    mutex.unlock();
    return result;
}

// Whether the nanosecond field of the monotonic clock lies in [0.5 s, 0.6 s), so that a timeout's 500 ms
// remainder carries into the next second even when the wait reads the clock 400 ms late.
bool alignedForCarry() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_nsec >= 500000000 && now.tv_nsec < 600000000;
}

TEST(TimedWait, TimesOutAfterItsTimeoutOnTheMonotonicClock) {
    const std::pair<const char*, TimedWait> waits[] = {
        {"condition by reference", [](long ms) { return conditionWait(false, ms); }},
        {"condition by pointer", [](long ms) { return conditionWait(true, ms); }},
        {"semaphore", [](long ms) { return VORNA::Semaphore().wait(ms); }},
    };
    const struct {
        long timeoutMs;
        long shiftSeconds;  // of the wall clock
        bool carry;         // aligned so that the deadline's nanoseconds carry into the next second
        long long minMs;
        long long maxMs;
    } cases[] = {
        {0, 0, false, 0, 5000},
        {-1, 0, false, 0, 5000},
        {-999, 0, false, 0, 5000},
        {-1000, 0, false, 0, 5000},
        {-1500, 0, false, 0, 5000},
        {INT32_MIN, 0, false, 0, 5000},
        {250, 0, false, 250, 10000},
        {1500, 0, true, 1500, 10000},  // a deadline of 1e9 ns or more would be rejected as -22
        {100, kOneYear, false, 100, 5000},
        {300, -kOneYear, false, 300, 10000},
    };
    // Each wait runs in a child of its own, so that one that the wall clock stretches ends with the child.
    for (const auto& wait : waits) {
        for (const auto& c : cases) {
            const testing_support::ChildResult child = runInChild(
                [&] {
                    if (c.carry && !waitUntil(alignedForCarry))
                        _exit(3);
                    gWallClockShiftSeconds = c.shiftSeconds;
                    const long long start = nowMs();
                    const int result = wait.second(c.timeoutMs);
                    fprintf(stderr, "%d %lld\n", result, nowMs() - start);
                },
                10000);
            int result = 0;
            long long elapsed = -1;
            sscanf(child.err.c_str(), "%d %lld", &result, &elapsed);
            EXPECT_TRUE(result == kTimedOut && elapsed >= c.minMs && elapsed <= c.maxMs)
                << wait.first << ", " << c.timeoutMs << " ms, wall clock moved " << c.shiftSeconds
                << " s: " << child.err;
        }
    }
}

TEST(Condition, SignalWakesOneWaiterAndBroadcastTheRestEachReturningZeroWithTheMutexHeld) {
    using WaitForm = std::function<int(VORNA::Condition&, VORNA::Mutex&)>;
    const WaitForm forms[] = {
        [](VORNA::Condition& c, VORNA::Mutex& m) { return c.wait(m); },
        [](VORNA::Condition& c, VORNA::Mutex& m) { return c.wait(&m); },
        [](VORNA::Condition& c, VORNA::Mutex& m) { return c.wait(m, kLongTimeoutMs); },
        [](VORNA::Condition& c, VORNA::Mutex& m) { return c.wait(&m, kLongTimeoutMs); },
    };
    const int kWaiters = 4;
    VORNA::Mutex mutex;
    VORNA::Condition condition;
    int waiting =
        0;  // guarded by the mutex, which a waiter holds from counting itself until wait releases it
    int tickets = 0;  // wake-ups handed out
    int results[kWaiters] = {1, 1, 1, 1};
    int tryLocksWhileWoken[kWaiters] = {1, 1, 1, 1};
    std::atomic<int> woken{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < kWaiters; ++i) {
        waiters.emplace_back([&, i] {
            mutex.lock();
            ++waiting;
            while (tickets == 0 && results[i] != kTimedOut)
                results[i] = forms[i](condition, mutex);
            --tickets;
            tryLocksWhileWoken[i] = mutex.tryLock();
            mutex.unlock();
            ++woken;
        });
    }
    const auto handOut = [&](int count, int (VORNA::Condition::*wake)()) {
        mutex.lock();
        tickets += count;
        EXPECT_EQ(0, (condition.*wake)());
        mutex.unlock();
    };
    const auto allWaiting = [&] {
        mutex.lock();
        const bool all = waiting == kWaiters;
        mutex.unlock();
        return all;
    };
    ASSERT_TRUE(waitUntil(allWaiting));
    handOut(1, &VORNA::Condition::signal);
    EXPECT_TRUE(waitUntil([&] { return woken == 1; }, 10000)) << "signal woke no waiter";
    handOut(kWaiters - 1, &VORNA::Condition::broadcast);
    EXPECT_TRUE(waitUntil([&] { return woken == kWaiters; }, 10000)) << "only " << woken << " woke up";
    while (woken < kWaiters)
        handOut(1, &VORNA::Condition::broadcast);
    for (std::thread& waiter : waiters)
        waiter.join();
    for (int i = 0; i < kWaiters; ++i) {
        EXPECT_EQ(0, results[i]) << "form " << i;
        EXPECT_EQ(kBusy, tryLocksWhileWoken[i]) << "form " << i << ": wait returned without the mutex";
    }
}

TEST(Semaphore, CountAfterPostsSignalsAndWaits) {
    // 'p' post, 's' signal, 'w' a long timed wait and 'n' a negative one, each expected to pass.
    const struct {
        const char* steps;
        int count;
    } cases[] = {{"ss", 1}, {"pp", 2}, {"ps", 1}, {"ppw", 1}, {"pn", 0}};
    for (const auto& c : cases) {
        VORNA::Semaphore semaphore;
        for (const char* step = c.steps; *step != '\0'; ++step) {
            if (*step == 'p')
                semaphore.post();
            else if (*step == 's')
                semaphore.signal();
            else
                EXPECT_EQ(0, semaphore.wait(*step == 'w' ? kLongTimeoutMs : -5L)) << c.steps;
        }
        EXPECT_EQ(c.count, countByWaiting(semaphore)) << c.steps;
    }
}

TEST(Semaphore, SignalWakesABlockedWaiterWithoutLeavingACount) {
    VORNA::Semaphore semaphore;
    std::atomic<pid_t> waiterTid{0};
    std::atomic<int> result{1};
    std::thread waiter([&] {
        waiterTid = testing_support::currentTid();
        result = semaphore.wait();
    });
    waitUntil([&] { return waiterTid != 0 && testing_support::threadIsBlocked(waiterTid); });
    semaphore.signal();
    const bool woke = waitUntil([&] { return result != 1; }, 10000);
    if (!woke)
        semaphore.post();
    waiter.join();
    EXPECT_TRUE(woke) << "signal did not wake the waiter";
    EXPECT_EQ(0, result);
    EXPECT_EQ(0, countByWaiting(semaphore)) << "the wake-up left a count behind";
}

void ignoreSignal(int) {}

// Interrupts `wait` on a thread of its own with SIGUSR1 (no SA_RESTART) until it returns; a signal that
// arrives before the thread blocks is simply handled, so the signal is repeated.
int interruptedResult(const std::function<int()>& wait) {
    struct sigaction action = {};
    action.sa_handler = ignoreSignal;
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

TEST(Semaphore, FailedWaitsLogTheirErrnoAndReturnItThoughTheLineCannotBeWritten) {
    const testing_support::ChildResult child = runInChild([] {
        VORNA::Semaphore semaphore;
        printf("zero=%d\n", semaphore.wait(0L));
        printf("negative=%d\n", semaphore.wait(-5L));
        printf("untimed=%d\n", interruptedResult([&] { return semaphore.wait(); }));
        printf("timed=%d\n", interruptedResult([&] { return semaphore.wait(kLongTimeoutMs); }));
        // A daemon whose standard output is closed: writing the log line fails with an errno of its own.
        fflush(stdout);
        setvbuf(stdout, nullptr, _IONBF, 0);
        close(STDOUT_FILENO);
        fprintf(stderr, "closed=%d\n", semaphore.wait(0L));
    });
    const std::string line = "[   vorna  ][ src/Semaphore wait #] WRN: timeout errno=";
    EXPECT_EQ(0, child.status) << child.err;
    EXPECT_EQ(line + "110\nzero=-110\n" + line + "110\nnegative=-110\nuntimed=1\n" + line + "4\ntimed=-4\n",
              maskLineNumbers(child.out));
    EXPECT_EQ("closed=-110\n", child.err);
}

}  // namespace
