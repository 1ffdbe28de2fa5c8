#pragma once

// What the fuzz targets share besides the raw peer and clang's reader of the input: quiet logging and
// checks that stop the fuzzer.

#include <stdint.h>
#include <stdio.h>

#include <fuzzer/FuzzedDataProvider.h>

#include "support/raw_peer.h"

namespace fuzz {

// The library logs every step to standard output; libFuzzer reports on standard error, which stays.
// freopen() keeps descriptor 1, which the library writes to.
inline void silenceStdout() {
    fflush(stdout);
    if (freopen("/dev/null", "w", stdout) == NULL)
        perror("/dev/null");
}

// Stops the fuzzer with a crash report when an expectation about the library fails.
#define FUZZ_CHECK(condition)                                                             \
    do {                                                                                  \
        if (!(condition)) {                                                               \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            __builtin_trap();                                                             \
        }                                                                                 \
    } while (0)

}  // namespace fuzz
