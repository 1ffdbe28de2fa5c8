#pragma once

#include "vorna/sync.h"

namespace vorna {

// Holds a VORNA::Mutex for the lifetime of the object, so that no early return leaves it locked.
class ScopedLock {
  public:
    explicit ScopedLock(VORNA::Mutex& mutex) : mMutex(mutex) { mMutex.lock(); }
    ~ScopedLock() { mMutex.unlock(); }
    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;

  private:
    VORNA::Mutex& mMutex;
};

}  // namespace vorna
