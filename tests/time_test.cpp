#include <limits.h>
#include <stdint.h>
#include <sys/time.h>

#include <functional>

#include <gtest/gtest.h>

#include "support/child.h"
#include "vorna/time.h"

namespace {

using namespace testing_support;

int64_t wallClockUs() {
    timeval now = {};
    gettimeofday(&now, nullptr);
    return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_usec;
}

TEST(SystemTime, EveryReadingLiesBetweenTwoWallClockReadings) {
    const int64_t before = wallClockUs();
    const uint32_t ms = SystemTime::getMs();
    const int64_t us = SystemTime::getUs();
    SystemTime::timespec_s time = {-1, -1};
    SystemTime::get(&time);
    const int64_t after = wallClockUs();

    // The milliseconds since the epoch no longer fit in 32 bits: only their low bits can be compared.
    ASSERT_GT(after / 1000, static_cast<int64_t>(UINT32_MAX));
    EXPECT_LE(static_cast<uint32_t>(ms - static_cast<uint32_t>(before / 1000)),
              static_cast<uint32_t>(after / 1000 - before / 1000))
        << "getMs " << ms << " outside the low bits of " << before / 1000 << ".." << after / 1000;
    EXPECT_TRUE(before <= us && us <= after) << us;
    EXPECT_TRUE(time.usec >= 0 && time.usec <= 999999) << time.usec;
    EXPECT_TRUE(before <= time.sec * 1000000 + time.usec && time.sec * 1000000 + time.usec <= after);
}

TEST(Sleep, LastsAtLeastItsDurationAndReturnsAtOnceForZeroOrLess) {
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
    const std::pair<long long, std::function<void()>> sleeps[] = {
        {30, [] { VORNA::Sleep::sleep(30); }},      {1050, [] { VORNA::Sleep::sleep(1050); }},
        {1000, [] { VORNA::Sleep::sleep(1000); }},  {1000, [] { VORNA::Sleep::sleepSecond(1); }},
        {20, [] { VORNA::Sleep::sleepUs(20000); }},
    };
    for (const auto& sleep : sleeps) {
        const long long start = nowMs();
        sleep.second();
        EXPECT_GE(nowMs() - start, sleep.first) << sleep.first << " ms";
    }
}

}  // namespace
