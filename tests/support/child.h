#pragma once

#include <functional>
#include <string>

namespace testing_support {

struct ChildResult {
    // The exit status when the child exited, or 128 + the signal number when a signal ended it.
    int status;
    std::string out;  // everything the child wrote on standard output
    std::string err;  // everything the child wrote on standard error
};

// Runs `body` in a forked child with standard output and standard error captured, then exits the child
// with status 0 (after flushing stdio) unless `body` ended it otherwise. Fails the test if the child
// does not end within `timeoutMs`.
ChildResult runInChild(const std::function<void()>& body, int timeoutMs = 20000);

// Polls `condition` until it holds or `timeoutMs` passes; returns its last value.
bool waitUntil(const std::function<bool()>& condition, int timeoutMs = 5000);

// Milliseconds of the monotonic clock, for deadlines.
long long nowMs();

// Waits until `deadlineMs` (of nowMs()) for data on `fd` and appends one read of it to `text`.
// Returns false, having read nothing, when the deadline passes first or the stream has ended.
bool readSomeBefore(int fd, std::string* text, long long deadlineMs);

// An abstract socket name no other test process uses at the same time.
std::string uniqueName(const char* tag);

// The whole content of a file; empty when it cannot be read.
std::string readFile(const std::string& path);

// How many descriptors the process has open (entries of /proc/self/fd).
int openDescriptorCount();

#if defined(__SANITIZE_ADDRESS__)
#define VORNA_TEST_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VORNA_TEST_UNDER_ASAN 1
#endif
#endif

// LeakSanitizer's check at exit() can hang in a forked child of a threaded process: another thread may
// have held the sanitizer's allocator lock at the moment of fork, and no thread releases it there. Tests
// whose forked child must leave through exit() skip under ASan; the other builds run them.
#ifdef VORNA_TEST_UNDER_ASAN
const bool kExitInForkedChildMayHang = true;
#else
const bool kExitInForkedChildMayHang = false;
#endif

}  // namespace testing_support
