#define LOG_MODULE "src/Thread"

#include <pthread.h>
#include <sched.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>

#include "internal/log.h"
#include "internal/scoped_lock.h"
#include "internal/thread_detach.h"
#include "vorna/sync.h"
#include "vorna/thread.h"

namespace {

enum ThreadState : int32_t {
    THREAD_IDLE = 0,
    THREAD_EXIT_REQUESTED = 1,
    THREAD_EXITED = 2,
    THREAD_RUNNING = 3,
};

// The top of the caller's priority range; it stands for the highest priority of the chosen policy.
const int kTopPriority = 50;
// Kernel thread names keep 15 characters.
const size_t kKernelNameLength = 15;

}  // namespace

struct ThreadPrivate {
    pthread_t mThread;
    VORNA::Mutex* mStateLock;
    VORNA::Condition* mExitCond;
    int32_t mState;
    int32_t mStatus;
    int32_t mPolicy;
    int32_t mPriority;
    void* mUserData;
    char* mThreadName;
    // A POSIX thread was created and not yet reclaimed by pthread_join: it is joined exactly once.
    bool mJoinable;
};

namespace {

const char* nameOrNull(const char* name) {
    return name != NULL ? name : "(null)";
}

int policyFor(int schedType) {
    switch (schedType) {
        case -1:
        case 1:
            return SCHED_FIFO;
        case 0:
            return SCHED_RR;
        default:
            return SCHED_OTHER;
    }
}

// Only a thread that has not been reclaimed can be the caller: a reclaimed identity may be reused.
bool calledFromOwnThread(const ThreadPrivate* priv) {
    return priv->mJoinable && pthread_equal(priv->mThread, pthread_self());
}

bool exitRequested(ThreadPrivate* priv) {
    vorna::ScopedLock lock(*priv->mStateLock);
    return priv->mState == THREAD_EXIT_REQUESTED;
}

// Long dotted names (a library or package name) keep their distinctive end, unless they hold an '@'.
void setKernelName(const char* name) {
    const size_t length = strlen(name);
    const bool keepEnd =
        length >= kKernelNameLength && strchr(name, '.') != NULL && strchr(name, '@') == NULL;
    prctl(PR_SET_NAME, keepEnd ? name + length - kKernelNameLength : name, 0, 0, 0);
}

// Called with mStateLock held.
void reclaimThread(ThreadPrivate* priv) {
    while (priv->mState == THREAD_RUNNING || priv->mState == THREAD_EXIT_REQUESTED) {
        priv->mExitCond->wait(priv->mStateLock);
    }
    if (priv->mJoinable) {
        pthread_join(priv->mThread, NULL);
        priv->mJoinable = false;
    }
}

}  // namespace

namespace VORNA {

Thread::Thread(void* userData) : mPrivateData(NULL) {
    ThreadPrivate* priv = static_cast<ThreadPrivate*>(calloc(1, sizeof(ThreadPrivate)));
    VORNA_ASSERT(NULL != priv);
    priv->mUserData = userData;
    priv->mState = THREAD_IDLE;
    priv->mStatus = 0;
    priv->mThreadName = NULL;
    priv->mStateLock = new Mutex();
    priv->mExitCond = new Condition();
    mPrivateData = priv;
    priv->mPolicy = SCHED_FIFO;
    priv->mPriority = 99;
}

Thread::~Thread() {
    join();
    free(mPrivateData->mThreadName);
    mPrivateData->mThreadName = NULL;
    delete mPrivateData->mStateLock;
    delete mPrivateData->mExitCond;
    free(mPrivateData);
}

int Thread::run(const char* name, int priority, int schedType) {
    ThreadPrivate* priv = mPrivateData;
    vorna::ScopedLock lock(*priv->mStateLock);
    // The thread itself cannot wait for its own end, so it is refused like a running one.
    if (priv->mState == THREAD_RUNNING || calledFromOwnThread(priv)) {
        ERR("%s already runing\n", nameOrNull(name));
        return -1;
    }
    // Never two threads in one object's loop: an earlier thread is waited for and reclaimed first.
    reclaimThread(priv);

    const int policy = policyFor(schedType);
    if (priority > kTopPriority || priority == -1) {
        WRN("%s's priority(%d) out of range(%d)\n", nameOrNull(name), priority, kTopPriority);
        priority = kTopPriority;
    }
    priv->mStatus = 0;
    priv->mState = THREAD_RUNNING;
    free(priv->mThreadName);
    priv->mThreadName = NULL;
    if (name != NULL) {
        priv->mThreadName = strdup(name);
        VORNA_ASSERT(NULL != priv->mThreadName);
    }
    priv->mPolicy = policy;
    priv->mPriority = priority;

    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    sched_param param = {};
    param.sched_priority = sched_get_priority_max(policy) - (kTopPriority - priority);
    INF("thread(%s) sched=%d pri=%d\n", name != NULL ? name : "Unkown", policy, param.sched_priority);
    pthread_attr_setschedpolicy(&attributes, policy);
    pthread_attr_setschedparam(&attributes, &param);
    if (pthread_create(&priv->mThread, &attributes, _threadLoop, this) != 0) {
        ERR("create thread failed.\n");
        priv->mStatus = -1;
        priv->mState = THREAD_IDLE;
    } else {
        priv->mJoinable = true;
    }
    pthread_attr_destroy(&attributes);
    return priv->mStatus;
}

bool Thread::readyToRun() {
    vorna::ScopedLock lock(*mPrivateData->mStateLock);
    return mPrivateData->mStatus == 0;
}

int Thread::requestExit() {
    vorna::ScopedLock lock(*mPrivateData->mStateLock);
    if (mPrivateData->mState == THREAD_RUNNING) {
        mPrivateData->mState = THREAD_EXIT_REQUESTED;
    } else {
        WRN("is not runing\n");
    }
    return mPrivateData->mStatus;
}

int Thread::requestExitAndWait() {
    ThreadPrivate* priv = mPrivateData;
    vorna::ScopedLock lock(*priv->mStateLock);
    if (calledFromOwnThread(priv)) {
        ERR("Thread (this=%p): don't call waitForExit() from this Thread object's thread. It's a guaranteed "
            "deadlock!\n",
            static_cast<void*>(this));
        return -1;
    }
    if (priv->mState == THREAD_RUNNING)
        priv->mState = THREAD_EXIT_REQUESTED;
    while (priv->mState == THREAD_EXIT_REQUESTED)
        priv->mExitCond->wait(priv->mStateLock);
    return priv->mStatus;
}

int Thread::join() {
    ThreadPrivate* priv = mPrivateData;
    vorna::ScopedLock lock(*priv->mStateLock);
    if (calledFromOwnThread(priv)) {
        ERR("Thread (this=%p): don't call join() from this Thread object's thread. It's a guaranteed "
            "deadlock!\n",
            static_cast<void*>(this));
        return -3;
    }
    if (priv->mState == THREAD_IDLE) {
        WRN("thread is not run\n");
    } else {
        reclaimThread(priv);
    }
    return priv->mStatus;
}

bool Thread::exitPending() {
    vorna::ScopedLock lock(*mPrivateData->mStateLock);
    return mPrivateData->mState != THREAD_RUNNING;
}

bool Thread::isRunning() const {
    vorna::ScopedLock lock(*mPrivateData->mStateLock);
    return mPrivateData->mState == THREAD_RUNNING;
}

int Thread::setPriority() {
    return 0;
}

void* Thread::_threadLoop(void* self) {
    Thread* const thread = static_cast<Thread*>(self);
    ThreadPrivate* const priv = thread->mPrivateData;
    {
        // run() holds the lock until pthread_create has stored the identity.
        vorna::ScopedLock lock(*priv->mStateLock);
        if (!pthread_equal(priv->mThread, pthread_self())) {
            BUG("pthread_equal(PV(self->mPrivateData)->mThread, pthread_self())\n");
            exit(-1);
        }
    }
    thread->setPriority();
    if (priv->mThreadName != NULL)
        setKernelName(priv->mThreadName);

    bool ready = thread->readyToRun();
    while (!ready && !exitRequested(priv))
        ready = thread->readyToRun();
    bool keepGoing = ready && !thread->exitPending();
    while (keepGoing)
        keepGoing = thread->threadLoop() && !exitRequested(priv);

    priv->mStateLock->lock();
    priv->mState = THREAD_EXITED;
    // Every waiter: several threads may wait for one thread's end.
    priv->mExitCond->broadcast();
    priv->mStateLock->unlock();
    pthread_exit(NULL);
}

}  // namespace VORNA

namespace vorna {

void detachSelf(VORNA::Thread& thread) {
    ThreadPrivate* priv = thread.mPrivateData;
    vorna::ScopedLock lock(*priv->mStateLock);
    if (calledFromOwnThread(priv)) {
        pthread_detach(priv->mThread);
        priv->mJoinable = false;
    }
}

}  // namespace vorna
