#pragma once

// The level macros of the library's own log lines. A source file defines LOG_MODULE, its path as the log
// lines show it ("src/Mutex"), before including this header.

#include <stddef.h>
#include <stdlib.h>

#include "vorna/log.h"

// For the crash handler: writes what stdout's stdio buffer and the log file's buffer still hold, and
// copies the log file's lines the echo has not shown yet to standard output. Async-signal-safe: write,
// pread and plain loads only, no lock.
void logFlushAfterCrash();

namespace vorna {

// Writes all of `data` with write(), resumed after EINTR. Returns false when a write fails. Async-signal-
// safe.
bool writeAll(int fd, const char* data, size_t length);

}  // namespace vorna

#define VORNA_PREFIX_INF "<1>[   vorna  ][%s %s %s %d] INF: "
#define VORNA_PREFIX_WRN "<2>[   vorna  ][%s %s %s %d] WRN: "
#define VORNA_PREFIX_ERR "<3>[   vorna  ][%s %s %s %d] ERR: "
#define VORNA_PREFIX_BUG "<4>[   vorna  ][%s %s %s %d] BUG: "
#define VORNA_PREFIX_SHM_ERR "<3>[xxxxxxxxxx][%s %s %s %d] ERR: "
#define VORNA_PREFIX_SHM_WRN "<2>[xxxxxxxxxx][%s %s %s %d] WRN: "

#define VORNA_LOG(prefix, ...) LogPrint(prefix, "", LOG_MODULE, __func__, __LINE__, __VA_ARGS__)
// For a helper step whose lines belong to the operation it serves: `function` names that operation.
#define VORNA_LOG_AS(prefix, function, ...) LogPrint(prefix, "", LOG_MODULE, function, __LINE__, __VA_ARGS__)
#define INF(...) VORNA_LOG(VORNA_PREFIX_INF, __VA_ARGS__)
#define WRN(...) VORNA_LOG(VORNA_PREFIX_WRN, __VA_ARGS__)
#define ERR(...) VORNA_LOG(VORNA_PREFIX_ERR, __VA_ARGS__)
#define BUG(...) VORNA_LOG(VORNA_PREFIX_BUG, __VA_ARGS__)

// A violated internal assertion (almost always a failed allocation of an object's own state) is fatal:
// the BUG line names the condition, and the process exits with status -1.
#define VORNA_ASSERT(condition)      \
    do {                             \
        if (!(condition)) {          \
            BUG("%s\n", #condition); \
            exit(-1);                \
        }                            \
    } while (0)
