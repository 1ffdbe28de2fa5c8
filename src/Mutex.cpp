#define LOG_MODULE "src/Mutex"

#include <stdlib.h>

#include "internal/log.h"
#include "vorna/sync.h"

#if defined(__arm__)
static_assert(sizeof(pthread_mutex_t) == 24, "the POSIX mutex of the armhf target is 24 bytes");
#endif

namespace VORNA {

Mutex::Mutex() : mMutex(static_cast<pthread_mutex_t*>(calloc(1, sizeof(pthread_mutex_t)))) {
    VORNA_ASSERT(NULL != mMutex);
    pthread_mutex_init(mMutex, NULL);
}

Mutex::Mutex(const char* /*name*/) : Mutex() {}

Mutex::~Mutex() {
    pthread_mutex_destroy(mMutex);
    free(mMutex);
}

int Mutex::lock() {
    return -pthread_mutex_lock(mMutex);
}

int Mutex::unlock() {
    return pthread_mutex_unlock(mMutex);
}

int Mutex::tryLock() {
    return -pthread_mutex_trylock(mMutex);
}

}  // namespace VORNA
