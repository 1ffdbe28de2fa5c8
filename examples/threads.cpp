// Threads: a worker that takes jobs from a queue on a named thread of its own until it is asked to stop.
#include <inttypes.h>
#include <stdio.h>

#include <deque>

#include <vorna/vorna.h>

namespace {

const int kTimedOut = -110;    // what a timed wait returns when its deadline passes
const int kJobWaitMs = 100;    // how long the worker waits for a job before it looks for an exit request
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

  protected:
    bool threadLoop() override { return doOneJob(); }  // true: call again; false: end

  private:
    bool doOneJob() {
        // A bounded wait, so that requestExitAndWait() is answered within kJobWaitMs when the queue
        // stays empty: the exit request is seen only between two threadLoop() calls.
        const int waited = mQueued.wait(kJobWaitMs);
        if (waited == kTimedOut)
            return true;
        if (waited != 0) {
            fprintf(stderr, "worker: waiting for a job failed (%d)\n", waited);
            return false;
        }
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
    VORNA::Semaphore mQueued;  // one count per queued job
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
    worker.requestExitAndWait();  // ends the thread after its current threadLoop() call
    printf("worker stopped, %s\n", allDone ? "every job done" : "some jobs not done in time");
    return allDone ? 0 : 1;
}
