#pragma once

// The emulator's environment variables. Only the emulator reads them; the library reads none.
//
//   VORNA_DEVSIM_POOL       file that holds the emulated physical memory (created when missing)
//   VORNA_DEVSIM_POOL_SIZE  its size when it is created: bytes, or a number with a K, M or G suffix
//   VORNA_DEVSIM_TRACE      file to which one line per device operation is appended
//   VORNA_DEVSIM_FAIL       comma-separated failures to inject: a device path makes that device
//                           missing; alloc, noncache-alloc, map, free, clean or invalidate makes that
//                           request fail with EIO
//
// The pool is chosen at the first device open of a process. The trace and the failures are read at every
// operation, so a test may change them as it goes.

#include <stddef.h>
#include <stdint.h>

namespace devsim {

// Writes the pool file's path into `buffer`.
void poolPath(char* buffer, size_t size);
// The size a new pool gets, page-rounded and bounded.
uint32_t poolSize();
// True when `item` is one of the failures to inject.
bool injected(const char* item);
// Appends one formatted line to the trace file, if there is one.
void trace(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace devsim
