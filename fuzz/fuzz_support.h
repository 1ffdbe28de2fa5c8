#pragma once

// What the fuzz targets share besides the raw peer: quiet logging, a reader of the input, a descriptor
// count, and checks that stop the fuzzer.

#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <string>

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

// Reads an input front to back; a read that runs past the end takes what is left.
class Cursor {
  public:
    Cursor(const uint8_t* data, size_t size) : mData(data), mSize(size), mAt(0) {}

    bool ended() const { return mAt >= mSize; }
    void skip(size_t length) { mAt += std::min(length, mSize - mAt); }
    // The next `length` bytes; false when fewer were left.
    bool take(size_t length, std::string* out) {
        const size_t available = std::min(length, mSize - mAt);
        out->assign(reinterpret_cast<const char*>(mData + mAt), available);
        mAt += available;
        return available == length;
    }
    // The next bytes as a T, zero-filled past the end.
    template <typename T>
    T take() {
        T value;
        memset(&value, 0, sizeof(value));
        const size_t length = std::min(sizeof(value), mSize - mAt);
        memcpy(&value, mData + mAt, length);
        mAt += length;
        return value;
    }
    // A whole T, or false (taking nothing) when fewer bytes are left.
    template <typename T>
    bool takeWhole(T* out) {
        if (mSize - mAt < sizeof(T))
            return false;
        *out = take<T>();
        return true;
    }

  private:
    const uint8_t* mData;
    size_t mSize;
    size_t mAt;
};

// How many descriptors the process holds, to catch one that an input leaves open. A leaked descriptor
// takes the lowest free number, so the few hundred lowest show it.
inline size_t openDescriptorCount() {
    return raw_peer::openDescriptors(256).size();
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
