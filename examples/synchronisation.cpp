// Synchronisation: one thread waits, with a timeout, until another has done its part; and a semaphore
// used as an event flag and as a counter.
#include <stdio.h>

#include <vorna/vorna.h>

namespace {

const int kTimedOut = -110;  // what a timed wait returns when its deadline passes

// Sets `done` under the mutex and wakes the waiter, on a thread of its own.
class Finisher : public VORNA::Thread {
  public:
    Finisher(VORNA::Mutex& mutex, VORNA::Condition& ready, bool& done)
        : Thread(NULL), mMutex(mutex), mReady(ready), mDone(done) {}

  protected:
    bool threadLoop() override {
        mMutex.lock();
        mDone = true;
        mMutex.unlock();
        mReady.signal();
        return false;  // one pass is all there is to do
    }

  private:
    VORNA::Mutex& mMutex;
    VORNA::Condition& mReady;
    bool& mDone;
};

bool waitForOtherThread() {
    VORNA::Mutex mutex;
    VORNA::Condition ready;
    bool done = false;  // guarded by mutex

    Finisher finisher(mutex, ready, done);
    if (finisher.run("app.finisher", 50, -10) != 0)
        return false;

    mutex.lock();
    while (!done) {
        if (ready.wait(mutex, 500) == -110)
            break;  // gave up after 500 ms
    }
    const bool finished = done;
    mutex.unlock();

    finisher.requestExitAndWait();
    printf("the other thread %s\n", finished ? "is done" : "did not finish in time");
    return finished;
}

bool countEvents() {
    VORNA::Semaphore event;
    event.signal();  // an event flag: repeated signals leave the count at 1
    event.signal();
    const bool flag = event.wait(100) == 0 && event.wait(100) == kTimedOut;  // 0, or -110 after 100 ms

    event.post();  // a counter: adds one every time
    event.post();
    const bool counter = event.wait(100) == 0 && event.wait(100) == 0 && event.wait(0) == kTimedOut;

    printf("signal() %s an event flag, post() %s a counter\n", flag ? "is" : "is not",
           counter ? "is" : "is not");
    return flag && counter;
}

}  // namespace

int main() {
    const bool waited = waitForOtherThread();
    const bool counted = countEvents();
    return waited && counted ? 0 : 1;
}
