#include <dlfcn.h>
#include <pthread.h>
#include <sched.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/prctl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/child.h"
#include "support/probes.h"
#include "vorna/thread.h"

namespace {

using testing_support::ChildResult;
using testing_support::currentTid;
using testing_support::kernelThreadName;
using testing_support::maskLineNumbers;
using testing_support::runInChild;
using testing_support::threadIsBlocked;
using testing_support::waitUntil;

// A scenario that does not reach its next step within this time is broken; the check that follows fails.
const int kStepTimeoutMs = 20000;

// Lets every waiter through once opened. Waits give up after kStepTimeoutMs, so that a broken scenario
// fails its checks instead of hanging.
class Gate {
  public:
    void open() {
        std::lock_guard<std::mutex> lock(mMutex);
        mOpen = true;
        mOpened.notify_all();
    }

    bool waitOpen() {
        std::unique_lock<std::mutex> lock(mMutex);
        return mOpened.wait_for(lock, std::chrono::milliseconds(kStepTimeoutMs), [&] { return mOpen; });
    }

  private:
    std::mutex mMutex;
    std::condition_variable mOpened;
    bool mOpen = false;
};

// A thread whose loop (and, if given, start check) the test supplies.
class ScriptedThread : public VORNA::Thread {
  public:
    using Loop = std::function<bool(ScriptedThread&)>;

    explicit ScriptedThread(Loop loop, std::function<bool()> ready = nullptr)
        : Thread(nullptr), mLoop(std::move(loop)), mReady(std::move(ready)) {}
    // The loop refers to members that are gone by the time the base destructor joins.
    ~ScriptedThread() override { requestExitAndWait(); }

    // Counted before the test's loop runs, so the loop sees 1 on its first call.
    std::atomic<int> loopCalls{0};

  protected:
    bool threadLoop() override {
        ++loopCalls;
        return mLoop(*this);
    }
    bool readyToRun() override { return mReady ? mReady() : Thread::readyToRun(); }

  private:
    Loop mLoop;
    std::function<bool()> mReady;
};

bool endAtOnce(ScriptedThread&) {
    return false;
}

// Run scenarios print their results between the library's log lines, so that one comparison checks both.
void report(const char* what, long value) {
    printf("%s=%ld\n", what, value);
}

std::string threadLine(const char* function, const char* level, const std::string& message) {
    return std::string("[   vorna  ][ src/Thread ") + function + " #] " + level + ": " + message;
}

// The POSIX priority that run() computes for a priority on the 0..50 scale.
int posixPriority(int policy, int priority) {
    return sched_get_priority_max(policy) - (50 - priority);
}

std::string runLine(const std::string& name, int policy, int priority) {
    return threadLine("run", "INF",
                      "thread(" + name + ") sched=" + std::to_string(policy) +
                          " pri=" + std::to_string(posixPriority(policy, priority)) + "\n");
}

// Waits until `tid` sleeps in the kernel, which in these scenarios means it is waiting inside the library.
void waitUntilBlocked(pid_t tid) {
    EXPECT_TRUE(waitUntil([&] { return threadIsBlocked(tid); }, kStepTimeoutMs))
        << "thread " << tid << " never blocked";
}

TEST(ThreadName, KernelNameFollowsTheFifteenCharacterRules) {
    struct Case {
        const char* name;
        const char* kernelName;
    };
    const Case cases[] = {
        {"notifier listener", "notifier listen"},         // no '.': the first 15
        {"com.example.app.receiver", "le.app.receiver"},  // 24 with '.': the last 15
        {"com.example@app.receiver", "com.example@app"},  // with '@': the first 15
        {"worker.stage.1", "worker.stage.1"},             // 14 with '.': whole
        {"worker.stage.12", "worker.stage.12"},           // 15 with '.': the last 15 are all of it
        {"worker.stage.123", "orker.stage.123"},          // 16 with '.': the last 15
        {"worker-stage-123", "worker-stage-12"},          // 16 without '.': the first 15
        {"listener", "listener"},
        {"", ""},
    };
    for (const Case& c : cases) {
        std::string seen = "(loop never ran)";
        ScriptedThread thread([&](ScriptedThread&) {
            seen = kernelThreadName(currentTid());
            return false;
        });

        ASSERT_EQ(0, thread.run(c.name, 50, -10)) << c.name;
        ASSERT_EQ(0, thread.join()) << c.name;
        EXPECT_EQ(c.kernelName, seen) << "name \"" << c.name << "\"";
    }
}

TEST(ThreadName, NullNameLogsUnkownAndKeepsTheInheritedKernelName) {
    const ChildResult child = runInChild([] {
        prctl(PR_SET_NAME, "creator-thread", 0, 0, 0);
        std::string seen;
        ScriptedThread thread([&](ScriptedThread&) {
            seen = kernelThreadName(currentTid());
            return false;
        });
        report("run", thread.run(nullptr, 50, -10));
        report("join", thread.join());
        printf("kernel name=%s\n", seen.c_str());
    });

    EXPECT_EQ(runLine("Unkown", SCHED_OTHER, 50) + "run=0\njoin=0\nkernel name=creator-thread\n",
              maskLineNumbers(child.out));
}

TEST(ThreadRun, RunLogsTheSchedulingChoiceAndALoopReturningFalseEndsTheThread) {
    const ChildResult child = runInChild([] {
        ScriptedThread thread(endAtOnce);
        report("run", thread.run("notifier listener", 50, -10));
        report("join", thread.join());
        report("isRunning", thread.isRunning());
        report("exitPending", thread.exitPending());
        report("loopCalls", thread.loopCalls);
        report("second join", thread.join());
        report("setPriority", thread.setPriority());
    });

    EXPECT_EQ(runLine("notifier listener", SCHED_OTHER, 50) +
                  "run=0\njoin=0\nisRunning=0\nexitPending=1\nloopCalls=1\nsecond join=0\nsetPriority=0\n",
              maskLineNumbers(child.out));
}

TEST(ThreadRun, PriorityAbove50OrMinusOneIsReplacedBy50) {
    struct Case {
        const char* name;
        int priority;
        int schedType;
        int policy;
        int usedPriority;
        bool warns;
    };
    const Case cases[] = {
        {"listener", -1, -10, SCHED_OTHER, 50, true}, {"p51", 51, -10, SCHED_OTHER, 50, true},
        {"p-2", -2, -10, SCHED_OTHER, -2, false},     {"fifo", 0, -1, SCHED_FIFO, 0, false},
        {"rr", 10, 0, SCHED_RR, 10, false},           {"fifo1", 50, 1, SCHED_FIFO, 50, false},
        {"other", 50, 7, SCHED_OTHER, 50, false},
    };
    const ChildResult child = runInChild([&] {
        for (const Case& c : cases) {
            ScriptedThread thread(endAtOnce);
            report("run", thread.run(c.name, c.priority, c.schedType));
            report("join", thread.join());
        }
    });

    std::string expected;
    for (const Case& c : cases) {
        if (c.warns) {
            expected += threadLine(
                "run", "WRN",
                std::string(c.name) + "'s priority(" + std::to_string(c.priority) + ") out of range(50)\n");
        }
        expected += runLine(c.name, c.policy, c.usedPriority) + "run=0\njoin=0\n";
    }
    EXPECT_EQ(expected, maskLineNumbers(child.out));
}

TEST(ThreadRun, NeverRunObjectWarnsAndReturnsAtOnce) {
    const ChildResult child = runInChild([] {
        ScriptedThread thread(endAtOnce);
        report("requestExit", thread.requestExit());
        report("requestExitAndWait", thread.requestExitAndWait());
        report("isRunning", thread.isRunning());
        report("exitPending", thread.exitPending());
        report("join", thread.join());
        printf("destroying\n");
    });

    EXPECT_EQ(threadLine("requestExit", "WRN", "is not runing\n") +
                  "requestExit=0\nrequestExitAndWait=0\nisRunning=0\nexitPending=1\n" +
                  threadLine("join", "WRN", "thread is not run\n") + "join=0\ndestroying\n" +
                  threadLine("join", "WRN", "thread is not run\n"),
              maskLineNumbers(child.out));
}

TEST(ThreadRun, RunOnARunningThreadIsRefused) {
    const ChildResult child = runInChild([] {
        Gate gate;
        ScriptedThread thread([&](ScriptedThread&) { return gate.waitOpen(); });
        report("run", thread.run("first", 50, -10));
        report("run", thread.run("second", 50, -10));
        waitUntil([&] { return thread.loopCalls == 1; }, kStepTimeoutMs);
        report("requestExit", thread.requestExit());
        gate.open();
        report("join", thread.join());
        report("loopCalls", thread.loopCalls);
    });

    EXPECT_EQ(runLine("first", SCHED_OTHER, 50) + "run=0\n" +
                  threadLine("run", "ERR", "second already runing\n") +
                  "run=-1\nrequestExit=0\njoin=0\nloopCalls=1\n",
              maskLineNumbers(child.out));
}

TEST(ThreadRun, SecondRequestExitWarnsAndWaitingAfterItStillWaitsForTheEnd) {
    const ChildResult child = runInChild([] {
        Gate gate;
        std::atomic<bool> loopReturned{false};
        ScriptedThread thread([&](ScriptedThread&) {
            gate.waitOpen();
            loopReturned = true;
            return true;
        });
        report("run", thread.run("twice", 50, -10));
        waitUntil([&] { return thread.loopCalls == 1; }, kStepTimeoutMs);
        report("requestExit", thread.requestExit());
        report("requestExit", thread.requestExit());
        report("isRunning", thread.isRunning());
        report("exitPending", thread.exitPending());

        const pid_t waiter = currentTid();
        std::thread opener([&] {
            waitUntilBlocked(waiter);
            gate.open();
        });
        report("requestExitAndWait", thread.requestExitAndWait());
        report("loop had returned", loopReturned);
        opener.join();
        report("loopCalls", thread.loopCalls);
    });

    EXPECT_EQ(runLine("twice", SCHED_OTHER, 50) + "run=0\nrequestExit=0\n" +
                  threadLine("requestExit", "WRN", "is not runing\n") +
                  "requestExit=0\nisRunning=0\nexitPending=1\nrequestExitAndWait=0\nloop had returned=1\n"
                  "loopCalls=1\n",
              maskLineNumbers(child.out));
}

TEST(ThreadRun, RequestExitAndWaitStopsAnEndlessLoopAfterItsCurrentCall) {
    ScriptedThread thread([](ScriptedThread&) { return true; });
    ASSERT_EQ(0, thread.run("endless", 50, -10));
    ASSERT_TRUE(waitUntil([&] { return thread.loopCalls > 0; }, kStepTimeoutMs)) << "the loop never ran";

    EXPECT_EQ(0, thread.requestExitAndWait());
    const int callsAtEnd = thread.loopCalls;

    EXPECT_FALSE(thread.isRunning());
    EXPECT_TRUE(thread.exitPending());
    EXPECT_EQ(0, thread.join());
    EXPECT_EQ(callsAtEnd, thread.loopCalls) << "the loop ran on after requestExitAndWait returned";
}

TEST(ThreadRun, JoinWaitsForTheLoopToEndWithoutRequestingAnExit) {
    const int kCalls = 5;
    Gate gate;
    std::atomic<bool> sawExitPending{false};
    ScriptedThread thread([&](ScriptedThread& self) {
        if (self.loopCalls == 1)
            gate.waitOpen();
        if (self.exitPending())
            sawExitPending = true;
        return self.loopCalls < kCalls;
    });
    ASSERT_EQ(0, thread.run("joined", 50, -10));

    const pid_t joiner = currentTid();
    std::thread opener([&] {
        waitUntilBlocked(joiner);
        gate.open();
    });
    EXPECT_EQ(0, thread.join());
    opener.join();

    EXPECT_EQ(kCalls, thread.loopCalls);
    EXPECT_FALSE(sawExitPending) << "join requested an exit";
}

TEST(ThreadRun, JoinAndRequestExitAndWaitFromTheThreadItselfAreRefused) {
    const ChildResult child = runInChild([] {
        int selfJoin = 1000;
        int selfWait = 1000;
        int selfRequest = 1000;
        int selfRun = 1000;
        ScriptedThread thread([&](ScriptedThread& self) {
            selfJoin = self.join();
            selfWait = self.requestExitAndWait();
            selfRequest = self.requestExit();
            // The exit is requested now: run must refuse rather than wait for its own end.
            selfRun = self.run("again", 50, -10);
            return true;
        });
        const int run = thread.run("self", 50, -10);
        const int join = thread.join();
        report("run", run);
        report("join", join);
        report("self join", selfJoin);
        report("self requestExitAndWait", selfWait);
        report("self requestExit", selfRequest);
        report("self run", selfRun);
        report("loopCalls", thread.loopCalls);
        printf("object=%p\n", static_cast<void*>(static_cast<VORNA::Thread*>(&thread)));
    });

    std::smatch object;
    ASSERT_TRUE(std::regex_search(child.out, object, std::regex("object=(\\S+)\n"))) << child.out;
    const std::string self = "Thread (this=" + object[1].str() + "): ";
    EXPECT_EQ(runLine("self", SCHED_OTHER, 50) +
                  threadLine("join", "ERR",
                             self + "don't call join() from this Thread object's thread. It's a guaranteed "
                                    "deadlock!\n") +
                  threadLine("requestExitAndWait", "ERR",
                             self + "don't call waitForExit() from this Thread object's thread. It's a "
                                    "guaranteed deadlock!\n") +
                  threadLine("run", "ERR", "again already runing\n") +
                  "run=0\njoin=0\nself join=-3\nself requestExitAndWait=-1\nself requestExit=0\nself run=-1\n"
                  "loopCalls=1\nobject=" +
                  object[1].str() + "\n",
              maskLineNumbers(child.out));
}

TEST(ThreadRun, RunAfterTheThreadEndedStartsANewOneUnderTheNewName) {
    std::vector<std::string> names;
    std::mutex namesMutex;
    ScriptedThread thread([&](ScriptedThread&) {
        std::lock_guard<std::mutex> lock(namesMutex);
        names.push_back(kernelThreadName(currentTid()));
        return false;
    });

    ASSERT_EQ(0, thread.run("first", 50, -10));
    ASSERT_TRUE(waitUntil([&] { return !thread.isRunning(); }, kStepTimeoutMs))
        << "the first thread never ended";
    ASSERT_EQ(0, thread.run("second", 50, -10));
    EXPECT_EQ(0, thread.join());

    EXPECT_EQ((std::vector<std::string>{"first", "second"}), names);
}

TEST(ThreadRun, RunWhileAnExitIsRequestedWaitsForTheEarlierThread) {
    Gate gate;
    std::atomic<int> inLoop{0};
    std::atomic<int> mostInLoop{0};
    ScriptedThread thread([&](ScriptedThread& self) {
        mostInLoop = std::max(mostInLoop.load(), ++inLoop);
        const bool first = self.loopCalls == 1;
        if (first)
            gate.waitOpen();
        --inLoop;
        return first;
    });
    ASSERT_EQ(0, thread.run("first", 50, -10));
    ASSERT_TRUE(waitUntil([&] { return thread.loopCalls == 1; }, kStepTimeoutMs)) << "the loop never ran";
    ASSERT_EQ(0, thread.requestExit());

    const int kNotReturned = 1000;
    std::atomic<int> secondRun{kNotReturned};
    std::atomic<pid_t> runner{0};
    std::thread starter([&] {
        runner = currentTid();
        secondRun = thread.run("second", 50, -10);
    });
    waitUntil([&] { return secondRun != kNotReturned || (runner != 0 && threadIsBlocked(runner)); },
              kStepTimeoutMs);
    EXPECT_EQ(kNotReturned, secondRun) << "run returned while the earlier thread was still in its loop";
    gate.open();
    starter.join();

    EXPECT_EQ(0, secondRun);
    EXPECT_EQ(0, thread.join());
    EXPECT_EQ(2, thread.loopCalls);
    EXPECT_EQ(1, mostInLoop) << "two threads ran the loop at once";
}

TEST(ThreadRun, TheEndOfTheThreadWakesEveryWaiter) {
    const ChildResult child = runInChild([] {
        Gate gate;
        ScriptedThread thread([&](ScriptedThread&) {
            gate.waitOpen();
            return false;
        });
        report("run", thread.run("awaited", 50, -10));
        waitUntil([&] { return thread.loopCalls == 1; }, kStepTimeoutMs);

        const int kWaiters = 3;
        std::atomic<pid_t> tids[kWaiters] = {};
        int results[kWaiters] = {1000, 1000, 1000};
        std::vector<std::thread> waiters;
        for (int i = 0; i < kWaiters; ++i) {
            waiters.emplace_back([&, i] {
                tids[i] = currentTid();
                results[i] = i == 0 ? thread.requestExitAndWait() : thread.join();
            });
        }
        for (std::atomic<pid_t>& tid : tids) {
            waitUntil([&] { return tid != 0; }, kStepTimeoutMs);
            waitUntilBlocked(tid);
        }
        gate.open();
        for (std::thread& waiter : waiters)
            waiter.join();
        report("requestExitAndWait", results[0]);
        report("join", results[1]);
        report("join", results[2]);
    });

    EXPECT_EQ(0, child.status) << child.err;
    EXPECT_EQ(runLine("awaited", SCHED_OTHER, 50) + "run=0\nrequestExitAndWait=0\njoin=0\njoin=0\n",
              maskLineNumbers(child.out));
}

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define VORNA_TEST_WRAPS_PTHREAD_JOIN 0
#endif
#endif
#if !defined(VORNA_TEST_WRAPS_PTHREAD_JOIN)
#define VORNA_TEST_WRAPS_PTHREAD_JOIN 1
#endif

// How often the library joins one watched POSIX thread. The wrapper below replaces pthread_join for the
// whole process, the library included; the sanitizers wrap it themselves, so their builds go without.
std::atomic<bool> gWatching{false};
pthread_t gWatched;
std::atomic<int> gWatchedJoins{0};

}  // namespace

#if VORNA_TEST_WRAPS_PTHREAD_JOIN
extern "C" int pthread_join(pthread_t thread, void** result) {
    using Join = int (*)(pthread_t, void**);
    static const Join real = reinterpret_cast<Join>(dlsym(RTLD_NEXT, "pthread_join"));
    if (gWatching && pthread_equal(thread, gWatched))
        ++gWatchedJoins;
    return real(thread, result);
}
#endif

namespace {

TEST(ThreadRun, ThePosixThreadIsJoinedOnceThoughJoinIsCalledAgainAndTheObjectDestroyed) {
    if (!VORNA_TEST_WRAPS_PTHREAD_JOIN)
        GTEST_SKIP() << "the sanitizers wrap pthread_join themselves";
    ScriptedThread* thread = new ScriptedThread([](ScriptedThread&) {
        gWatched = pthread_self();
        gWatching = true;
        return false;
    });
    ASSERT_EQ(0, thread->run("counted", 50, -10));
    EXPECT_EQ(0, thread->join());
    EXPECT_EQ(0, thread->join());
    delete thread;
    gWatching = false;

    EXPECT_EQ(1, gWatchedJoins.load());
}

void* waitAtGate(void* gate) {
    static_cast<Gate*>(gate)->waitOpen();
    return nullptr;
}

TEST(ThreadRun, JoinThenDestructionReclaimsThePosixThreadOnce) {
    const ChildResult child = runInChild([] {
        ScriptedThread* thread = new ScriptedThread(endAtOnce);
        report("run", thread->run("once", 50, -10));
        report("join", thread->join());
        report("join", thread->join());

        // A new thread is likely to get the reclaimed identity back: joining it by mistake would hang.
        Gate gate;
        pthread_t other;
        pthread_create(&other, nullptr, waitAtGate, &gate);
        delete thread;
        printf("destroyed\n");
        gate.open();
        pthread_join(other, nullptr);
    });

    EXPECT_EQ(0, child.status) << child.err;
    EXPECT_EQ(runLine("once", SCHED_OTHER, 50) + "run=0\njoin=0\njoin=0\ndestroyed\n",
              maskLineNumbers(child.out));
}

TEST(ThreadRun, FailedCreationLeavesTheThreadIdle) {
    const ChildResult child = runInChild([] {
        // A default stack larger than the address space makes every thread creation fail.
        pthread_attr_t saved;
        pthread_getattr_default_np(&saved);
        pthread_attr_t huge;
        pthread_attr_init(&huge);
        pthread_attr_setstacksize(&huge, SIZE_MAX & ~static_cast<size_t>(0xfffff));
        if (pthread_setattr_default_np(&huge) != 0)
            printf("cannot set the default stack size\n");

        ScriptedThread thread(endAtOnce);
        report("run", thread.run("huge", 50, -10));
        report("isRunning", thread.isRunning());
        report("exitPending", thread.exitPending());
        report("requestExitAndWait", thread.requestExitAndWait());
        report("requestExit", thread.requestExit());
        report("join", thread.join());

        pthread_setattr_default_np(&saved);
        report("run", thread.run("normal", 50, -10));
        report("join", thread.join());
        pthread_attr_destroy(&huge);
        pthread_attr_destroy(&saved);
    });

    EXPECT_EQ(runLine("huge", SCHED_OTHER, 50) + threadLine("run", "ERR", "create thread failed.\n") +
                  "run=-1\nisRunning=0\nexitPending=1\nrequestExitAndWait=-1\n" +
                  threadLine("requestExit", "WRN", "is not runing\n") + "requestExit=-1\n" +
                  threadLine("join", "WRN", "thread is not run\n") + "join=-1\n" +
                  runLine("normal", SCHED_OTHER, 50) + "run=0\njoin=0\n",
              maskLineNumbers(child.out));
}

TEST(ThreadStart, ReadyToRunIsCalledAgainUntilItAgrees) {
    std::atomic<int> readyCalls{0};
    ScriptedThread thread(endAtOnce, [&] { return ++readyCalls >= 4; });

    ASSERT_EQ(0, thread.run("ready", 50, -10));
    EXPECT_EQ(0, thread.join());

    EXPECT_EQ(4, readyCalls);
    EXPECT_EQ(1, thread.loopCalls);
}

TEST(ThreadStart, ReadyToRunThatNeverAgreesEndsOnAnExitRequest) {
    std::atomic<int> readyCalls{0};
    ScriptedThread thread(endAtOnce, [&] {
        ++readyCalls;
        return false;
    });

    ASSERT_EQ(0, thread.run("never ready", 50, -10));
    ASSERT_TRUE(waitUntil([&] { return readyCalls > 0; }, kStepTimeoutMs)) << "readyToRun was never called";
    EXPECT_EQ(0, thread.requestExitAndWait());

    EXPECT_EQ(0, thread.loopCalls);
    EXPECT_FALSE(thread.isRunning());
}

TEST(ThreadStart, ExitRequestedBeforeTheFirstLoopSkipsTheLoop) {
    Gate entered;
    Gate gate;
    ScriptedThread thread(endAtOnce, [&] {
        entered.open();
        gate.waitOpen();
        return true;
    });

    ASSERT_EQ(0, thread.run("skipped", 50, -10));
    ASSERT_TRUE(entered.waitOpen()) << "readyToRun was never called";
    EXPECT_EQ(0, thread.requestExit());
    gate.open();
    EXPECT_EQ(0, thread.join());

    EXPECT_EQ(0, thread.loopCalls);
}

}  // namespace
