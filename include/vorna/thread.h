#pragma once

#include "vorna/export.h"

struct ThreadPrivate;

namespace VORNA {
class Thread;
}
namespace vorna {
// The library's own receive threads may end without anybody to join them (src/internal/thread_detach.h).
void detachSelf(VORNA::Thread& thread);
}

namespace VORNA {

// Base class of a named thread that calls threadLoop() until it returns false or an exit is requested.
// Construct, run(), then from another thread requestExitAndWait() (or requestExit() and later join()),
// then destroy. The destructor only joins: end a running thread before destroying its object.
class VORNA_API Thread {
  public:
    explicit Thread(void* userData);
    // Joins the thread (logs "thread is not run" for an object that never ran) and releases everything.
    virtual ~Thread();
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // Asks the thread to end after its current threadLoop() call; does not wait. Logs a warning when the
    // thread is not running. Returns the result of the last run().
    virtual int requestExit();

    // Starts the thread under `name` (copied; null for none), which also becomes its kernel name.
    // `schedType` -1 and 1 choose SCHED_FIFO, 0 SCHED_RR, anything else SCHED_OTHER; `priority` counts
    // down from 50, the policy's highest (above 50 and -1 are replaced by 50). The scheduling choice only
    // takes effect where the thread does not inherit its creator's. Returns 0 when the thread was
    // created; -1 when it is already running or its creation failed (the object then stays idle).
    // A thread whose exit was requested is waited for and reclaimed before the new one starts; called
    // from that thread itself, run() refuses with -1.
    virtual int run(const char* name, int priority, int schedType);

  protected:
    // One pass of the work, on the new thread. Return true to be called again, false to end the thread.
    virtual bool threadLoop() = 0;
    // Called on the new thread before the first threadLoop(), again and again while it returns false
    // (until an exit is requested). The base returns true.
    virtual bool readyToRun();

  public:
    // Asks the thread to end and waits until it has left its loop. Returns the result of the last run(),
    // or -1 (with an error line) when called from the thread itself. Any number of threads may wait.
    int requestExitAndWait();
    // Waits until the thread has ended by itself (it requests no exit) and reclaims it. Returns the result
    // of the last run(), or -3 (with an error line) when called from the thread itself. A thread is
    // reclaimed once: later joins return at once.
    int join();
    // True unless the thread is running with no exit requested. A threadLoop() that loops internally
    // polls it.
    bool exitPending();
    // True only while the thread runs and no exit was requested.
    bool isRunning() const;
    // Has no effect; returns 0. The new thread calls it once before anything else.
    int setPriority();

    // Start routine given to the POSIX thread creation; the argument is the Thread object.
    static void* _threadLoop(void* self);

  private:
    friend struct vorna::AbiCheck;
    friend void vorna::detachSelf(Thread& thread);
    ThreadPrivate* mPrivateData;
};

}  // namespace VORNA
