// The timed waits must count on the monotonic clock: this program replaces clock_gettime for the whole
// process, the library included, so that the wall clock can be stepped without touching the machine's.

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/child.h"
#include "support/probes.h"
#include "vorna/sync.h"

static std::atomic<long> gWallClockShiftSeconds{0};

extern "C" int clock_gettime(clockid_t clock, timespec* now) {
    const long result = syscall(SYS_clock_gettime, clock, now);
    if (result == 0 && clock == CLOCK_REALTIME)
        now->tv_sec += gWallClockShiftSeconds.load();
    return static_cast<int>(result);
}

namespace {

using namespace testing_support;

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
        for (int (VORNA::Mutex::*take)() : {&VORNA::Mutex::tryLock, &VORNA::Mutex::lock}) {
            EXPECT_EQ(0, (mutex->*take)());
            EXPECT_EQ(-EBUSY, tryLockFromAnotherThread(*mutex));
            EXPECT_EQ(0, mutex->unlock());
            EXPECT_EQ(0, tryLockFromAnotherThread(*mutex));
        }
        long counter = 0;  // deliberately not atomic: only the mutex protects it
        const auto count = [&] {
            for (int i = 0; i < 5000; ++i) {
                mutex->lock();
                counter = counter + 1;
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

// A wait that nothing ends early, in one of its forms: a condition's by reference (0) or by pointer (1),
// which must return with the mutex held (else 1), or a semaphore's (2).
int unendedWait(int form, long timeoutMs) {
    if (form == 2)
        return VORNA::Semaphore().wait(timeoutMs);
    VORNA::Mutex mutex;
    VORNA::Condition condition;
    // Signals without a waiter are lost.
    condition.signal();
    condition.broadcast();
    mutex.lock();
    int result = form == 1 ? condition.wait(&mutex, timeoutMs) : condition.wait(mutex, timeoutMs);
    if (tryLockFromAnotherThread(mutex) != -EBUSY)
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
    // A timeout with a remainder of half a second or more starts aligned so that its deadline's nanoseconds
    // pass a whole second: left uncarried, the wait fails.
    const struct {
        long timeoutMs;
        long wallClockShiftSeconds;
    } cases[] = {{0, 0},         {-1, 0},  {-999, 0}, {-1000, 0},      {-1500, 0},
                 {INT32_MIN, 0}, {250, 0}, {1500, 0}, {100, kOneYear}, {300, -kOneYear}};
    // Each wait runs in a child of its own, so that one that the wall clock stretches ends with the child.
    for (int form = 0; form < 3; ++form) {
        for (const auto& c : cases) {
            const ChildResult child = runInChild(
                [&] {
                    if (c.timeoutMs % 1000 >= 500 && !waitUntil(alignedForCarry))
                        _exit(3);
                    gWallClockShiftSeconds = c.wallClockShiftSeconds;
                    const long long start = nowMs(), minMs = std::max(c.timeoutMs, 0L);
                    const int result = unendedWait(form, c.timeoutMs);
                    const long long elapsed = nowMs() - start;
                    fprintf(stderr, "%d after %lld ms\n", result, elapsed);
                    _exit(result == -ETIMEDOUT && elapsed >= minMs && elapsed <= minMs + 5000 ? 0 : 1);
                },
                10000);
            EXPECT_EQ(0, child.status) << "form " << form << ", " << c.timeoutMs << " ms, wall clock moved "
                                       << c.wallClockShiftSeconds << " s: " << child.err;
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
    std::atomic<int> woken{0};
    std::vector<std::thread> waiters;
    for (const auto& form : forms)
        waiters.emplace_back([&] {
            mutex.lock();
            ++waiting;
            int result;
            do
                result = form(condition, mutex);
            while (tickets == 0 && result == 0);
            --tickets;
            EXPECT_EQ(0, result);
            EXPECT_EQ(-EBUSY, tryLockFromAnotherThread(mutex)) << "the wait returned without the mutex";
            mutex.unlock();
            ++woken;
        });
    // Hands out `count` tickets by `wake`; whether all four were waiting then. Without a ticket, a wake-up
    // is a spurious one.
    const auto handOut = [&](int count, int (VORNA::Condition::*wake)()) {
        mutex.lock();
        tickets += count;
        const bool allWaiting = waiting == 4;
        EXPECT_EQ(0, (condition.*wake)());
        mutex.unlock();
        return allWaiting;
    };
    EXPECT_TRUE(waitUntil([&] { return handOut(0, &VORNA::Condition::signal); }));
    handOut(1, &VORNA::Condition::signal);
    EXPECT_TRUE(waitUntil([&] { return woken == 1; }, 10000)) << "signal woke no waiter";
    handOut(3, &VORNA::Condition::broadcast);
    EXPECT_TRUE(waitUntil([&] { return woken == 4; }, 10000)) << "only " << woken << " woke up";
    while (woken < 4)
        handOut(1, &VORNA::Condition::broadcast);
    for (std::thread& waiter : waiters)
        waiter.join();
}

// Signals `semaphore` once a waiter blocks in an untimed wait on it, then posts, which wakes the waiter if
// the signal did not (the count then tells): the waiter's result.
int signalBlockedWaiterThenPost(VORNA::Semaphore& semaphore) {
    std::atomic<pid_t> tid{0};
    int result = 1;
    std::thread waiter([&] {
        tid = currentTid();
        result = semaphore.wait();
    });
    waitUntil([&] { return tid != 0 && threadIsBlocked(tid); });
    semaphore.signal();
    semaphore.post();
    waiter.join();
    return result;
}

TEST(Semaphore, CountAfterPostsSignalsAndWaits) {
    // 'p' post, 's' signal, 'b' a signal to a blocked waiter then a post, 'w' a long timed wait and 'n' a
    // negative one; each wait is expected to pass. The count is then read by how many wait(0) pass.
    const std::pair<const char*, int> cases[] = {{"ss", 1},  {"pp", 2}, {"ps", 1},
                                                 {"ppw", 1}, {"pn", 0}, {"b", 1}};
    for (const auto& c : cases) {
        VORNA::Semaphore semaphore;
        for (const char* step = c.first; *step != '\0'; ++step) {
            if (*step == 'p')
                semaphore.post();
            else if (*step == 's')
                semaphore.signal();
            else
                EXPECT_EQ(0, *step == 'b' ? signalBlockedWaiterThenPost(semaphore)
                                          : semaphore.wait(*step == 'w' ? kLongTimeoutMs : -5L))
                    << c.first;
        }
        int count = 0;
        while (count <= 10 && semaphore.wait(0L) == 0)
            ++count;
        EXPECT_EQ(c.second, count) << c.first;
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
