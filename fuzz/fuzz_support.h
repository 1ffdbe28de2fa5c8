#pragma once

// What the fuzz targets share besides the raw peer and clang's reader of the input: quiet logging and
// checks that stop the fuzzer.

#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <unistd.h>

#include <fuzzer/FuzzedDataProvider.h>

#include "support/raw_peer.h"

namespace fuzz {

// The library logs every step to standard output; libFuzzer reports on standard error, which stays.
inline void silenceStdout() {
    fflush(stdout);
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) {
        dup2(null, STDOUT_FILENO);
        close(null);
    }
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
