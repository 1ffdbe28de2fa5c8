// Threads: a worker that takes jobs from a queue on a named thread of its own until it is asked to stop.
#include <inttypes.h>
#include <stdio.h>

#include <deque>

#include <vorna/vorna.h>

namespace {

const int kDoneWaitMs = 5000;  // how long the owner waits for one job to be done

// Each job is a pause of some milliseconds, standing in for real work.
class Worker : public VORNA::Thread {
  public:
    Worker() : Thread(NULL) {}

    void add(int job) {
        mLock.lock();
        mQueue.push_back(job);
        mLock.unlock();
        mQueued.post();
    }

    // Waits until one more job is done; false when none was done in time.
    bool waitForJobDone() { return mDone.wait(kDoneWaitMs) == 0; }

    // Ends the thread. The exit request is seen only when threadLoop() returns, so a worker that waits
    // for a job is woken first.
    void stop() {
        requestExit();
        mQueued.post();
        requestExitAndWait();  // ends the thread after its current threadLoop() call
    }

  protected:
    bool threadLoop() override { return doOneJob(); }  // true: call again; false: end

  private:
    bool doOneJob() {
        if (mQueued.wait() != 0)
            return true;  // a signal handler interrupted the wait: wait again
        if (exitPending())
            return false;  // woken by stop()
        mLock.lock();
        const int job = mQueue.front();
        mQueue.pop_front();
        mLock.unlock();

        VORNA::Sleep::sleep(job);  // milliseconds
        printf("worker: job of %d ms done\n", job);
        mDone.post();
        return true;
    }

    VORNA::Mutex mLock;  // guards mQueue
    std::deque<int> mQueue;
    VORNA::Semaphore mQueued;  // one count per queued job, and one from stop()
    VORNA::Semaphore mDone;    // one count per finished job
};

}  // namespace

int main() {
    int64_t us = SystemTime::getUs();  // wall clock, microseconds since the epoch
    printf("started at %" PRId64 " us since the epoch\n", us);

    Worker worker;
    if (worker.run("app.worker", 50, -10) != 0) {  // name (also the kernel name), priority, scheduling type
        fprintf(stderr, "cannot start the worker\n");
        return 1;
    }
    const int jobs[] = {20, 10, 5};
    bool allDone = true;
    for (int job : jobs) {
        worker.add(job);
        allDone = worker.waitForJobDone() && allDone;
    }
    worker.stop();
    printf("worker stopped, %s\n", allDone ? "every job done" : "some jobs not done in time");
    return allDone ? 0 : 1;
}
