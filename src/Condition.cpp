#define LOG_MODULE "src/Condition"

#include <errno.h>
#include <stdlib.h>

#include "internal/deadline.h"
#include "internal/log.h"
#include "vorna/sync.h"

#if defined(__arm__)
static_assert(sizeof(pthread_cond_t) == 48, "the POSIX condition variable of the armhf target is 48 bytes");
#endif

namespace VORNA {

Condition::Condition() : mCond(static_cast<pthread_cond_t*>(calloc(1, sizeof(pthread_cond_t)))) {
    VORNA_ASSERT(NULL != mCond);
    // Timed waits count on the monotonic clock: a device without a battery-backed clock steps its wall
    // clock by years at the first time sync, which must not stretch a 100 ms timeout.
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(mCond, &attributes);
    pthread_condattr_destroy(&attributes);
}

Condition::~Condition() {
    pthread_cond_destroy(mCond);
    free(mCond);
}

int Condition::wait(Mutex& mutex) {
    return -pthread_cond_wait(mCond, mutex.mMutex);
}

int Condition::wait(Mutex* mutex) {
    return wait(*mutex);
}

int Condition::wait(Mutex& mutex, long timeoutMs) {
    timespec deadline;
    if (!vorna::deadlineAfter(timeoutMs, CLOCK_MONOTONIC, &deadline)) {
        ERR("get time failed(%d)\n", errno);
        return -1;
    }
    return -pthread_cond_timedwait(mCond, mutex.mMutex, &deadline);
}

int Condition::wait(Mutex* mutex, long timeoutMs) {
    return wait(*mutex, timeoutMs);
}

int Condition::signal() {
    return pthread_cond_signal(mCond);
}

int Condition::broadcast() {
    return pthread_cond_broadcast(mCond);
}

}  // namespace VORNA
