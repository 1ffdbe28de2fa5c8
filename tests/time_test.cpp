#include <limits.h>
#include <stdint.h>
#include <sys/time.h>
#include <time.h>

#include <gtest/gtest.h>

#include "support/child.h"
#include "vorna/time.h"

namespace {

using testing_support::ChildResult;
using testing_support::runInChild;

int64_t wallClockUs() {
    timeval now = {};
    gettimeofday(&now, nullptr);
    return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_usec;
}

TEST(SystemTime, GetMsIsTheLowBitsOfTheWallClockInMilliseconds) {
    const int64_t beforeMs = wallClockUs() / 1000;
    const uint32_t ms = SystemTime::getMs();
    const int64_t afterMs = wallClockUs() / 1000;

    // The milliseconds since the epoch no longer fit in 32 bits: only their low bits can be compared.
    ASSERT_GT(afterMs, static_cast<int64_t>(UINT32_MAX));
    EXPECT_LE(static_cast<uint32_t>(ms - static_cast<uint32_t>(beforeMs)),
              static_cast<uint32_t>(afterMs - beforeMs))
        << "getMs " << ms << " lies outside the low bits of [" << beforeMs << ", " << afterMs << "]";
}

TEST(SystemTime, GetUsLiesBetweenTwoWallClockReadings) {
    const int64_t before = wallClockUs();
    const int64_t us = SystemTime::getUs();
    const int64_t after = wallClockUs();

    EXPECT_LE(before, us);
    EXPECT_LE(us, after);
}

TEST(SystemTime, GetFillsSecondsAndMicrosecondsWithinTheSecond) {
    SystemTime::timespec_s time = {-1, -1};
    const int64_t before = wallClockUs();
    SystemTime::get(&time);
    const int64_t after = wallClockUs();

    EXPECT_GE(time.usec, 0);
    EXPECT_LE(time.usec, 999999);
    EXPECT_LE(before, time.sec * 1000000 + time.usec);
    EXPECT_LE(time.sec * 1000000 + time.usec, after);
}

TEST(Sleep, ZeroAndNegativeDurationsReturnAtOnce) {
    // A negative duration handed on to sleep() or usleep() would become a wait of years: the child would
    // not end within its deadline.
    const ChildResult child = runInChild(
        [] {
            for (int duration : {0, -1, -5, -999, -1000, -1500, INT_MIN}) {
                VORNA::Sleep::sleep(duration);
                VORNA::Sleep::sleepSecond(duration);
                VORNA::Sleep::sleepUs(duration);
            }
        },
        10000);

    EXPECT_EQ(0, child.status);
}

TEST(Sleep, MillisecondSleepsLastAtLeastTheirDuration) {
    for (int ms : {30, 1050}) {
        const long long start = testing_support::nowMs();
        VORNA::Sleep::sleep(ms);
        EXPECT_GE(testing_support::nowMs() - start, ms) << ms << " ms";
    }
}

TEST(Sleep, SecondAndMicrosecondSleepsLastAtLeastTheirDuration) {
    long long start = testing_support::nowMs();
    VORNA::Sleep::sleepSecond(1);
    EXPECT_GE(testing_support::nowMs() - start, 1000);

    start = testing_support::nowMs();
    VORNA::Sleep::sleepUs(20000);
    EXPECT_GE(testing_support::nowMs() - start, 20);
}

}  // namespace
