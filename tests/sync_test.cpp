// The timed waits must count on the monotonic clock: this program replaces clock_gettime for the whole
// process, the library included, so that the wall clock can be stepped without touching the machine's.

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
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

using namespace testing_support;

const int kBusy = -16;
const int kTimedOut = -110;
// Long enough never to pass in a test that expects a wake-up.
const long kLongTimeoutMs = 20000;
const long kOneYear = 365L * 24 * 3600;

int tryLockFromAnotherThread(VORNA::Mutex& mutex) {
    int result = 1;
    std::thread([&] {
        if ((result = mutex.tryLock()) == 0)
            mutex.unlock();
    }).join();
    return result;
}

TEST(Mutex, LockAndTryLockKeepOthersOutWhileHeldAndANamedMutexOutlivesItsName) {
    char* name = strdup("named mutex");
    VORNA::Mutex named(name);
    free(name);
    VORNA::Mutex unnamed;
    for (VORNA::Mutex* mutex : {&unnamed, &named}) {
        EXPECT_EQ(0, mutex->tryLock());
        EXPECT_EQ(kBusy, tryLockFromAnotherThread(*mutex));
        EXPECT_EQ(0, mutex->unlock());
        EXPECT_EQ(0, tryLockFromAnotherThread(*mutex));
        EXPECT_EQ(0, mutex->lock());
        EXPECT_EQ(kBusy, tryLockFromAnotherThread(*mutex));
        EXPECT_EQ(0, mutex->unlock());
        long counter = 0;  // deliberately not atomic: only the mutex protects it
        const auto count = [&] {
            for (int i = 0; i < 5000; ++i) {
                mutex->lock();
                const long seen = counter;
                counter = seen + 1;
                mutex->unlock();
            }
        };
        std::thread others[] = {std::thread(count), std::thread(count), std::thread(count)};
        count();
        for (std::thread& other : others)
            other.join();
        EXPECT_EQ(4 * 5000, counter);
    }
}

// A condition wait that nothing ends early; 1 when it returned without the mutex.
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
    const std::pair<const char*, std::function<int(long)>> waits[] = {
        {"condition by reference", [](long ms) { return conditionWait(false, ms); }},
        {"condition by pointer", [](long ms) { return conditionWait(true, ms); }},
        {"semaphore", [](long ms) { return VORNA::Semaphore().wait(ms); }},
    };
    // Timeouts in ms and steps of the wall clock in s. A timeout with a remainder of half a second or more
    // starts aligned so that its deadline's nanoseconds pass a whole second: left uncarried, the wait fails.
    const std::pair<long, long> cases[] = {{0, 0},          {-1, 0},         {-999, 0}, {-1000, 0},
                                           {-1500, 0},      {INT32_MIN, 0},  {250, 0},  {1500, 0},
                                           {100, kOneYear}, {300, -kOneYear}};
    // Each wait runs in a child of its own, so that one that the wall clock stretches ends with the child.
    for (const auto& wait : waits) {
        for (const auto& c : cases) {
            const long timeoutMs = c.first;
            const long shiftSeconds = c.second;
            const ChildResult child = runInChild(
                [&] {
                    if (timeoutMs % 1000 >= 500 && !waitUntil(alignedForCarry))
                        _exit(3);
                    gWallClockShiftSeconds = shiftSeconds;
                    const long long start = nowMs();
                    const int result = wait.second(timeoutMs);
                    fprintf(stderr, "%d %lld\n", result, nowMs() - start);
                },
                10000);
            int result = 0;
            long long elapsed = -1;
            sscanf(child.err.c_str(), "%d %lld", &result, &elapsed);
            const long long minMs = std::max(timeoutMs, 0L);
            EXPECT_TRUE(result == kTimedOut && elapsed >= minMs && elapsed <= minMs + 5000)
                << wait.first << ", " << timeoutMs << " ms, wall clock moved " << shiftSeconds
                << " s: " << child.err;
        }
    }
}

TEST(Condition, SignalWakesOneWaiterAndBroadcastTheRestEachReturningZeroWithTheMutexHeld) {
    const std::function<int(VORNA::Condition&, VORNA::Mutex&)> forms[] = {
        [](VORNA::Condition& c, VORNA::Mutex& m) { return c.wait(m); },
        [](VORNA::Condition& c, VORNA::Mutex& m) { return c.wait(&m); },
        [](VORNA::Condition& c, VORNA::Mutex& m) { return c.wait(m, kLongTimeoutMs); },
        [](VORNA::Condition& c, VORNA::Mutex& m) { return c.wait(&m, kLongTimeoutMs); },
    };
    VORNA::Mutex mutex;
    VORNA::Condition condition;
    // Guarded by the mutex, which a waiter holds from counting itself until its wait releases it. A
    // ticket lets one waiter through, so that a spurious wake-up waits again.
    int waiting = 0;
    int tickets = 0;
    int results[4] = {};
    int tryLocksWhileWoken[4] = {};
    std::atomic<int> woken{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 4; ++i) {
        waiters.emplace_back([&, i] {
            mutex.lock();
            ++waiting;
            do
                results[i] = forms[i](condition, mutex);
            while (tickets == 0 && results[i] == 0);
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
    EXPECT_TRUE(waitUntil([&] {
        mutex.lock();
        const bool all = waiting == 4;
        mutex.unlock();
        return all;
    }));
    handOut(1, &VORNA::Condition::signal);
    EXPECT_TRUE(waitUntil([&] { return woken == 1; }, 10000)) << "signal woke no waiter";
    handOut(3, &VORNA::Condition::broadcast);
    EXPECT_TRUE(waitUntil([&] { return woken == 4; }, 10000)) << "only " << woken << " woke up";
    while (woken < 4)
        handOut(1, &VORNA::Condition::broadcast);
    for (int i = 0; i < 4; ++i) {
        waiters[i].join();
        EXPECT_EQ(0, results[i]) << "form " << i;
        EXPECT_EQ(kBusy, tryLocksWhileWoken[i]) << "form " << i << ": wait returned without the mutex";
    }
}

// Signals `semaphore` once a waiter blocks in an untimed wait on it: the waiter's result, or 1 when the
// signal did not wake it.
int signalBlockedWaiter(VORNA::Semaphore& semaphore) {
    std::atomic<pid_t> tid{0};
    std::atomic<int> result{1};
    std::thread waiter([&] {
        tid = currentTid();
        result = semaphore.wait();
    });
    waitUntil([&] { return tid != 0 && threadIsBlocked(tid); });
    semaphore.signal();
    const bool woke = waitUntil([&] { return result != 1; }, 10000);
    if (!woke)
        semaphore.post();
    waiter.join();
    return woke ? result.load() : 1;
}

TEST(Semaphore, CountAfterPostsSignalsAndWaits) {
    // 'p' post, 's' signal, 'b' a signal to a blocked waiter, 'w' a long timed wait and 'n' a negative one;
    // each wait is expected to pass. The count is then read by how many wait(0) pass.
    const struct {
        const char* steps;
        int count;
    } cases[] = {{"ss", 1}, {"pp", 2}, {"ps", 1}, {"ppw", 1}, {"pn", 0}, {"b", 0}};
    for (const auto& c : cases) {
        VORNA::Semaphore semaphore;
        for (const char* step = c.steps; *step != '\0'; ++step) {
            if (*step == 'p')
                semaphore.post();
            else if (*step == 's')
                semaphore.signal();
            else
                EXPECT_EQ(0, *step == 'b' ? signalBlockedWaiter(semaphore)
                                          : semaphore.wait(*step == 'w' ? kLongTimeoutMs : -5L))
                    << c.steps;
        }
        int count = 0;
        while (count <= 10 && semaphore.wait(0L) == 0)
            ++count;
        EXPECT_EQ(c.count, count) << c.steps;
    }
}

void ignoreSignal(int) {}

TEST(Semaphore, FailedWaitsLogTheirErrnoAndReturnItThoughTheLineCannotBeWritten) {
    const ChildResult child = runInChild([] {
        VORNA::Semaphore semaphore;
        printf("zero=%d\n", semaphore.wait(0L));
        printf("negative=%d\n", semaphore.wait(-5L));
        // A handler without SA_RESTART, every 10 ms, interrupts the waits between.
        struct sigaction action = {};
        action.sa_handler = ignoreSignal;
        sigaction(SIGALRM, &action, nullptr);
        itimerval every10Ms = {{0, 10000}, {0, 10000}};
        setitimer(ITIMER_REAL, &every10Ms, nullptr);
        printf("untimed=%d\n", semaphore.wait());
        printf("timed=%d\n", semaphore.wait(kLongTimeoutMs));
        every10Ms = {};
        setitimer(ITIMER_REAL, &every10Ms, nullptr);
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
