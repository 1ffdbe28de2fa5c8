#define LOG_MODULE "src/Semaphore"

#include <errno.h>
#include <stdlib.h>

#include "internal/deadline.h"
#include "internal/log.h"
#include "vorna/sync.h"

#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#include <sanitizer/tsan_interface.h>
#define VORNA_TSAN 1
#endif
#endif

#if defined(__arm__)
static_assert(sizeof(sem_t) == 16, "the POSIX semaphore of the armhf target is 16 bytes");
#endif

namespace VORNA {

Semaphore::Semaphore() : mSem(static_cast<sem_t*>(calloc(1, sizeof(sem_t)))) {
    VORNA_ASSERT(NULL != mSem);
    if (sem_init(mSem, 0, 0) != 0)
        ERR("init sem failed\n");
}

Semaphore::~Semaphore() {
    sem_destroy(mSem);
    free(mSem);
}

int Semaphore::wait() {
    return -sem_wait(mSem);
}

int Semaphore::wait(long timeoutMs) {
    timespec deadline;
    // The monotonic clock, so that a step of the wall clock cannot stretch the timeout.
    if (!vorna::deadlineAfter(timeoutMs, CLOCK_MONOTONIC, &deadline)) {
        ERR("get time failed(%d)\n", errno);
        return -1;
    }
    if (sem_clockwait(mSem, CLOCK_MONOTONIC, &deadline) == 0) {
#if defined(VORNA_TSAN)
        // ThreadSanitizer sees sem_post but not sem_clockwait: tell it that the count came from a post.
        __tsan_acquire(mSem);
#endif
        return 0;
    }
    const int error = errno;
    WRN("timeout errno=%d\n", error);
    return -error;
}

void Semaphore::signal() {
    int count = 0;
    if (sem_getvalue(mSem, &count) != 0 || count >= 1)
        return;
    post();
}

void Semaphore::post() {
    if (sem_post(mSem) != 0)
        ERR("sem_post failed errno=%d\n", errno);
}

}  // namespace VORNA
