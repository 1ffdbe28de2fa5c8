#define LOG_MODULE "src/SystemTime"

#include <sys/time.h>

#include "internal/log.h"
#include "vorna/time.h"

namespace {

// The wall clock; a clock that cannot be read leaves no sensible time to return. The BUG line names the
// public function that asked.
timeval readWallClock(const char* caller) {
    timeval now = {};
    if (gettimeofday(&now, NULL) != 0) {
        LogPrint(VORNA_PREFIX_BUG, "", LOG_MODULE, caller, __LINE__, "false\n");
        exit(-1);
    }
    return now;
}

}  // namespace

uint32_t SystemTime::getMs() {
    const timeval now = readWallClock(__func__);
    return static_cast<uint32_t>(now.tv_sec) * 1000u + static_cast<uint32_t>(now.tv_usec / 1000);
}

int64_t SystemTime::getUs() {
    const timeval now = readWallClock(__func__);
    return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_usec;
}

void SystemTime::get(timespec_s* t) {
    const timeval now = readWallClock(__func__);
    t->sec = now.tv_sec;
    t->usec = now.tv_usec;
}
