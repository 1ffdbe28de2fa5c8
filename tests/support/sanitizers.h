#pragma once

// What the tests must allow for in the build they run in: the sanitizers and the emulator slow the code
// down, and a forked child of a threaded process cannot always leave through exit() under ASan.

#if defined(__SANITIZE_ADDRESS__)
#define VORNA_TEST_UNDER_ASAN 1
#elif defined(__SANITIZE_THREAD__)
#define VORNA_TEST_UNDER_TSAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VORNA_TEST_UNDER_ASAN 1
#elif __has_feature(thread_sanitizer)
#define VORNA_TEST_UNDER_TSAN 1
#endif
#endif

namespace testing_support {

#if defined(VORNA_TEST_UNDER_ASAN) || defined(VORNA_TEST_UNDER_TSAN)
const bool kSanitized = true;
#else
const bool kSanitized = false;
#endif

// How many times longer than on a plain host build a step may take: qemu-arm and TSan run the code 10 to
// 30 times slower, which the margins of the bounds absorb only partly.
#if defined(__arm__) || defined(VORNA_TEST_UNDER_TSAN)
const int kSlack = 4;
#else
const int kSlack = 1;
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
