#pragma once

#include <pthread.h>
#include <semaphore.h>

#include "vorna/export.h"

namespace VORNA {

// A normal (non-recursive) mutex private to the process. Any thread may lock, unlock and try it at once;
// construction and destruction happen while no other thread uses the object.
class VORNA_API Mutex {
  public:
    Mutex();
    // The name is neither stored nor used.
    explicit Mutex(const char* name);
    ~Mutex();
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    // Blocks until the mutex is held. Returns 0, or the negated error number.
    int lock();
    // Releases the mutex. Returns 0, or the positive error number of the POSIX unlock.
    int unlock();
    // Takes the mutex when it is free and returns 0; otherwise returns at once with -16 (also when the
    // calling thread is the holder) or another negated error number.
    int tryLock();

  private:
    friend class Condition;
    friend struct vorna::AbiCheck;
    pthread_mutex_t* mMutex;
};

// A condition variable used with a Mutex. The caller holds the mutex when it waits; the mutex is held
// again when a wait returns, whatever the result (but for -1 of a timed wait, which never released it).
// Waits may wake spuriously: wait in a loop on your own predicate.
class VORNA_API Condition {
  public:
    Condition();
    ~Condition();
    Condition(const Condition&) = delete;
    Condition& operator=(const Condition&) = delete;

    // Waits until woken. Returns 0, or the negated error number.
    int wait(Mutex& mutex);
    // As wait(Mutex&), for a mutex given by address.
    int wait(Mutex* mutex);
    // Waits until woken or until timeoutMs milliseconds have passed. Returns 0 when woken, -110 when the
    // deadline passed, -1 when the clock cannot be read, or another negated error number. A negative
    // timeout acts as 0. The timeout runs on the monotonic clock: setting the wall clock does not
    // stretch or shorten it.
    int wait(Mutex& mutex, long timeoutMs);
    // As wait(Mutex&, long), for a mutex given by address.
    int wait(Mutex* mutex, long timeoutMs);
    // Wakes at most one waiter; a signal with no waiter is lost. Returns the POSIX result (0).
    int signal();
    // Wakes every waiter. Returns the POSIX result (0).
    int broadcast();

  private:
    friend struct vorna::AbiCheck;
    pthread_cond_t* mCond;
};

// A counting semaphore private to the process, starting at 0.
class VORNA_API Semaphore {
  public:
    Semaphore();
    ~Semaphore();
    Semaphore(const Semaphore&) = delete;
    Semaphore& operator=(const Semaphore&) = delete;

    // Blocks until the count is positive and takes one. Returns 0, or 1 when the wait failed (for example
    // when a signal handler interrupted it).
    int wait();
    // As wait(), but gives up timeoutMs milliseconds after the call: 0 when a count was taken, -110 when
    // the deadline passed, -1 when the clock cannot be read, -4 when a signal handler interrupted it.
    // A negative timeout acts as 0. The timeout runs on the monotonic clock, as for Condition.
    int wait(long timeoutMs);
    // Wakes one waiter, or lets the next wait() pass at once. Unlike post(), repeated calls before a
    // wait() leave the count at 1: it is an event flag, not a counter. Call it from one thread at a time.
    void signal();
    // Adds one to the count.
    void post();

  private:
    friend struct vorna::AbiCheck;
    sem_t* mSem;
};

}  // namespace VORNA
