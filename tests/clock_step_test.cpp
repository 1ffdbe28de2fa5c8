// The timed waits must not depend on the wall clock. This program replaces clock_gettime for the whole
// process, the library included, so that the wall clock can be stepped without touching the machine's.

#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include <gtest/gtest.h>

#include "support/child.h"
#include "vorna/sync.h"

namespace {

std::atomic<long> gWallClockShiftSeconds{0};
const long kOneYear = 365L * 24 * 3600;

long long monotonicMs() {
    timespec now;
    syscall(SYS_clock_gettime, CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

using TimedWait = int (*)(long timeoutMs);

// Runs `wait` in a child whose wall clock is shifted by `shift` seconds. Returns the child's exit status:
// 0 when the wait returned -110 after at least `minMs` and at most `maxMs` milliseconds.
int timedWaitInShiftedChild(long shift, long long minMs, long long maxMs, TimedWait wait, long timeoutMs) {
    const testing_support::ChildResult child = testing_support::runInChild(
        [=] {
            gWallClockShiftSeconds = shift;
            const long long start = monotonicMs();
            const int result = wait(timeoutMs);
            const long long elapsed = monotonicMs() - start;
            _exit(result == -110 && elapsed >= minMs && elapsed <= maxMs ? 0 : 1);
        },
        10000);
    return child.status;
}

int conditionWait(long timeoutMs) {
    VORNA::Mutex mutex;
    VORNA::Condition condition;
    mutex.lock();
    const int result = condition.wait(mutex, timeoutMs);
    mutex.unlock();
    return result;
}

int semaphoreWait(long timeoutMs) {
    VORNA::Semaphore semaphore;
    return semaphore.wait(timeoutMs);
}

void expectNotStretchedByAWallClockAhead(TimedWait wait) {
    EXPECT_EQ(0, timedWaitInShiftedChild(kOneYear, 0, 5000, wait, 100))
        << "a 100 ms wait did not end with -110 within 5 s while the wall clock was a year ahead";
}

void expectNotCutByAWallClockBehind(TimedWait wait) {
    EXPECT_EQ(0, timedWaitInShiftedChild(-kOneYear, 300, 10000, wait, 300))
        << "a 300 ms wait did not last its 300 ms while the wall clock was a year behind";
}

}  // namespace

extern "C" int clock_gettime(clockid_t clock, timespec* now) {
    const long result = syscall(SYS_clock_gettime, clock, now);
    if (result == 0 && clock == CLOCK_REALTIME)
        now->tv_sec += gWallClockShiftSeconds.load();
    return static_cast<int>(result);
}

TEST(ClockStep, ShiftedWallClockIsSeenByTheProcess) {
    gWallClockShiftSeconds = kOneYear;
    timespec shifted;
    clock_gettime(CLOCK_REALTIME, &shifted);
    gWallClockShiftSeconds = 0;
    EXPECT_GT(shifted.tv_sec, time(NULL) + kOneYear - 60);
}

TEST(ClockStep, ConditionTimeoutIsNotStretchedByAWallClockAhead) {
    expectNotStretchedByAWallClockAhead(conditionWait);
}

TEST(ClockStep, ConditionTimeoutIsNotCutByAWallClockBehind) {
    expectNotCutByAWallClockBehind(conditionWait);
}

TEST(ClockStep, SemaphoreTimeoutIsNotStretchedByAWallClockAhead) {
    expectNotStretchedByAWallClockAhead(semaphoreWait);
}

TEST(ClockStep, SemaphoreTimeoutIsNotCutByAWallClockBehind) {
    expectNotCutByAWallClockBehind(semaphoreWait);
}
