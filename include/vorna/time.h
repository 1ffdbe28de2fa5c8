#pragma once

#include <stdint.h>

#include "vorna/export.h"

namespace VORNA {

// Pauses the calling thread. Zero and negative durations return at once; a sleep cut short by a signal
// is not resumed.
class VORNA_API Sleep {
  public:
    // Sleeps `seconds` whole seconds with sleep().
    static void sleepSecond(int seconds);
    // Sleeps `us` microseconds with usleep().
    static void sleepUs(int us);
    // Whole seconds with sleep(), then the rest with usleep(): 2500 ms is 2 s and then 500 000 us.
    static void sleep(int ms);
};

}  // namespace VORNA

// The wall clock (it jumps when the system time is set). A failing clock read ends the process.
class VORNA_API SystemTime {
  public:
    // A point in time as get() gives it.
    struct timespec_s {
        int64_t sec;   // seconds since the Unix epoch
        int64_t usec;  // microseconds within that second, 0 to 999 999
    };

    // The low 32 bits of the time in milliseconds since the epoch (wraps every 49.7 days).
    static uint32_t getMs();
    // The time in microseconds since the epoch.
    static int64_t getUs();
    // Stores the time in `*t`, to the microsecond.
    static void get(timespec_s* t);
};
