#pragma once

#include <stdint.h>
#include <time.h>

namespace vorna {

// Absolute deadline `timeoutMs` milliseconds after now on `clock`, for the timed POSIX waits. A negative
// timeout acts as 0, so such a wait gives up at once instead of receiving an invalid deadline. Returns
// false, with errno set, when the clock cannot be read.
inline bool deadlineAfter(long timeoutMs, clockid_t clock, timespec* deadline) {
    const int64_t kNsPerSecond = 1000000000;
    if (timeoutMs < 0)
        timeoutMs = 0;
    if (timeoutMs > INT32_MAX)
        timeoutMs = INT32_MAX;
    const int64_t timeoutNs = static_cast<int64_t>(timeoutMs) * 1000000;

    *deadline = timespec{};
    if (clock_gettime(clock, deadline) != 0)
        return false;
    deadline->tv_sec += static_cast<time_t>(timeoutNs / kNsPerSecond);
    const int64_t ns = deadline->tv_nsec + timeoutNs % kNsPerSecond;
    if (ns > kNsPerSecond - 1) {
        deadline->tv_sec += 1;
        deadline->tv_nsec = static_cast<long>(ns - kNsPerSecond);
    } else {
        deadline->tv_nsec = static_cast<long>(ns);
    }
    return true;
}

}  // namespace vorna
