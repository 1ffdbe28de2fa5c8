#include <dlfcn.h>
#include <pthread.h>
#include <sched.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/prctl.h>

#include <atomic>
#include <functional>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/child.h"
#include "support/probes.h"
#include "support/sanitizers.h"
#include "vorna/thread.h"

// The POSIX joins of this process: the wrapper below replaces pthread_join for the whole process, the
// library included. The sanitizers wrap it themselves, so their builds go without and count none.
static std::atomic<int> gPosixJoins{0};

#if !defined(VORNA_TEST_UNDER_ASAN) && !defined(VORNA_TEST_UNDER_TSAN)
extern "C" int pthread_join(pthread_t thread, void** result) {
    using Join = int (*)(pthread_t, void**);
    static const Join real = reinterpret_cast<Join>(dlsym(RTLD_NEXT, "pthread_join"));
    ++gPosixJoins;
    return real(thread, result);
}
#endif

namespace {

using namespace testing_support;

// A scenario that does not reach its next step within this time is broken; the check that follows fails.
const int kStepTimeoutMs = 20000;

// Lets its waiter through once opened; the wait gives up after kStepTimeoutMs.
using Gate = std::atomic<bool>;
bool waitOpen(const Gate& gate) {
    return waitUntil([&] { return gate.load(); }, kStepTimeoutMs);
}

// A thread whose loop and start check the test supplies.
class ScriptedThread : public VORNA::Thread {
  public:
    using Loop = std::function<bool(ScriptedThread&)>;

    explicit ScriptedThread(
        Loop loop, std::function<bool()> ready = [] { return true; })
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
    bool readyToRun() override { return mReady(); }

  private:
    Loop mLoop;
    std::function<bool()> mReady;
};

// Run scenarios print their results between the library's log lines, so that one comparison checks both.
std::string threadLine(const char* function, const char* level, const std::string& message) {
    return std::string("[   vorna  ][ src/Thread ") + function + " #] " + level + ": " + message;
}

// The line run() logs; the POSIX priority is computed from the 0..50 scale.
std::string runLine(const std::string& name, int policy = SCHED_OTHER, int priority = 50) {
    return threadLine("run", "INF",
                      "thread(" + name + ") sched=" + std::to_string(policy) +
                          " pri=" + std::to_string(sched_get_priority_max(policy) - (50 - priority)) + "\n");
}

const std::string kNotRunning = threadLine("requestExit", "WRN", "is not runing\n");
const std::string kJoinNotRun = threadLine("join", "WRN", "thread is not run\n");

// Waits until `tid` sleeps in the kernel, which in these scenarios means it is waiting inside the library.
void waitUntilBlocked(pid_t tid) {
    EXPECT_TRUE(waitUntil([&] { return threadIsBlocked(tid); }, kStepTimeoutMs)) << tid << " never blocked";
}

// Runs `body` on a thread of its own once the calling thread blocks (in the call that follows).
std::thread onceBlocked(const std::function<void()>& body) {
    const pid_t waiter = currentTid();
    return std::thread([waiter, body] {
        waitUntilBlocked(waiter);
        body();
    });
}

TEST(ThreadRun, EachRunLogsItsSchedulingAndNamesItsThreadAndALoopReturningFalseEndsIt) {
    // A priority of -1 or above 50 becomes 50. A kernel name keeps 15 characters: the last ones of a dotted
    // name without '@', else the first.
    const struct {
        const char* name;
        const char* kernelName;
        int priority;
        int schedType;
        int policy;
    } cases[] = {
        {"notifier listener", "notifier listen", -1, -10, SCHED_OTHER},
        {"com.example.app.receiver", "le.app.receiver", 51, -10, SCHED_OTHER},
        {"com.example@app.receiver", "com.example@app", -2, -10, SCHED_OTHER},
        {"worker.stage.1", "worker.stage.1", 0, -1, SCHED_FIFO},
        {"worker.stage.12", "worker.stage.12", 10, 0, SCHED_RR},
        {"worker.stage.123", "orker.stage.123", 50, 1, SCHED_FIFO},
        {"worker-stage-123", "worker-stage-12", 50, 7, SCHED_OTHER},
        {"", "", 50, -10, SCHED_OTHER},
        {nullptr, "creator-thread", 50, -10, SCHED_OTHER},  // keeps the inherited name
    };
    const ChildResult child = runInChild([&] {
        prctl(PR_SET_NAME, "creator-thread", 0, 0, 0);
        gPosixJoins = 0;
        // One object: a run after its thread ended starts a new one under the new name.
        std::string seen;
        std::unique_ptr<ScriptedThread> thread(new ScriptedThread([&](ScriptedThread&) {
            seen = kernelThreadName(currentTid());
            return false;
        }));
        for (const auto& c : cases) {
            seen = "(loop never ran)";
            printf("run=%d\n", thread->run(c.name, c.priority, c.schedType));
            printf("join=%d\n", thread->join());
            printf("isRunning=%d exitPending=%d loopCalls=%d kernel name=%s join=%d setPriority=%d\n",
                   thread->isRunning(), thread->exitPending(), thread->loopCalls.load(), seen.c_str(),
                   thread->join(), thread->setPriority());
        }
        // Joining again and destroying the object must not join a reclaimed thread, whose identity the
        // next thread may have.
        thread.reset();
        printf("POSIX joins=%d\n", gPosixJoins.load());
    });
    std::string expected;
    int calls = 0;
    for (const auto& c : cases) {
        const bool outOfRange = c.priority == -1 || c.priority > 50;
        if (outOfRange)
            expected += threadLine(
                "run", "WRN",
                std::string(c.name) + "'s priority(" + std::to_string(c.priority) + ") out of range(50)\n");
        expected += runLine(c.name ? c.name : "Unkown", c.policy, outOfRange ? 50 : c.priority) +
                    "run=0\njoin=0\nisRunning=0 exitPending=1 loopCalls=" + std::to_string(++calls) +
                    " kernel name=" + c.kernelName + " join=0 setPriority=0\n";
    }
    expected += "POSIX joins=" + std::to_string(kSanitized ? 0 : calls) + "\n";
    EXPECT_EQ(expected, maskLineNumbers(child.out));
}

TEST(ThreadRun, CallsThatCannotDoTheirWorkLogWhyAndLeaveTheThreadIdle) {
    const ChildResult child = runInChild([] {
        {
            ScriptedThread never([](ScriptedThread&) { return false; });
            printf("requestExit=%d\n", never.requestExit());
            printf("requestExitAndWait=%d\n", never.requestExitAndWait());
            printf("isRunning=%d exitPending=%d\n", never.isRunning(), never.exitPending());
            printf("join=%d\n", never.join());
        }
        // A default stack larger than the address space makes every thread creation fail.
        pthread_attr_t saved, huge;
        pthread_getattr_default_np(&saved);
        pthread_attr_init(&huge);
        pthread_attr_setstacksize(&huge, SIZE_MAX & ~static_cast<size_t>(0xfffff));
        if (pthread_setattr_default_np(&huge) != 0)
            printf("cannot set the default stack size\n");
        ScriptedThread thread([](ScriptedThread&) { return false; });
        printf("run=%d\n", thread.run("huge", 50, -10));
        printf("isRunning=%d exitPending=%d\n", thread.isRunning(), thread.exitPending());
        printf("requestExitAndWait=%d\n", thread.requestExitAndWait());
        printf("requestExit=%d\n", thread.requestExit());
        printf("join=%d\n", thread.join());
        pthread_setattr_default_np(&saved);
        printf("run=%d\n", thread.run("normal", 50, -10));
        printf("join=%d\n", thread.join());
        // Calls from the thread itself that would wait for its own end.
        int results[4] = {1000, 1000, 1000, 1000};
        ScriptedThread self([&](ScriptedThread& itself) {
            results[0] = itself.join();
            results[1] = itself.requestExitAndWait();
            results[2] = itself.requestExit();
            // The exit is requested now: run must refuse rather than wait for its own end.
            results[3] = itself.run("again", 50, -10);
            return true;
        });
        const int run = self.run("self", 50, -10);
        const int join = self.join();
        printf("run=%d join=%d self=%d %d %d %d loopCalls=%d\n", run, join, results[0], results[1],
               results[2], results[3], self.loopCalls.load());
        printf("object=%p\n", static_cast<void*>(static_cast<VORNA::Thread*>(&self)));
    });
    std::smatch object;
    ASSERT_TRUE(std::regex_search(child.out, object, std::regex("object=(\\S+)\n"))) << child.out;
    const std::string self = "Thread (this=" + object[1].str() + "): don't call ";
    const std::string deadlock = " from this Thread object's thread. It's a guaranteed deadlock!\n";
    EXPECT_EQ(kNotRunning + "requestExit=0\nrequestExitAndWait=0\nisRunning=0 exitPending=1\n" + kJoinNotRun +
                  "join=0\n" + kJoinNotRun + runLine("huge") +
                  threadLine("run", "ERR", "create thread failed.\n") +
                  "run=-1\nisRunning=0 exitPending=1\nrequestExitAndWait=-1\n" + kNotRunning +
                  "requestExit=-1\n" + kJoinNotRun + "join=-1\n" + runLine("normal") + "run=0\njoin=0\n" +
                  runLine("self") + threadLine("join", "ERR", self + "join()" + deadlock) +
                  threadLine("requestExitAndWait", "ERR", self + "waitForExit()" + deadlock) +
                  threadLine("run", "ERR", "again already runing\n") +
                  "run=0 join=0 self=-3 -1 0 -1 loopCalls=1\nobject=" + object[1].str() + "\n",
              maskLineNumbers(child.out));
}

TEST(ThreadRun, RunWhileRunningIsRefusedAndTheEndOfTheLoopAfterAnExitRequestWakesEveryWaiter) {
    const ChildResult child = runInChild([] {
        Gate gate{false};
        std::atomic<bool> loopReturned{false};
        // The first call holds until the gate opens and goes on; a later run's thread ends after one call.
        ScriptedThread thread([&](ScriptedThread& self) {
            const bool first = self.loopCalls == 1;
            if (first)
                loopReturned = waitOpen(gate);
            return first;
        });
        printf("run=%d\n", thread.run("first", 50, -10));
        printf("run=%d\n", thread.run("second", 50, -10));
        waitUntil([&] { return thread.loopCalls == 1; }, kStepTimeoutMs);
        printf("requestExit=%d\n", thread.requestExit());
        printf("requestExit=%d\n", thread.requestExit());
        printf("isRunning=%d exitPending=%d\n", thread.isRunning(), thread.exitPending());
        // Two wait by join and one by a run, which must not start its thread while the earlier one is in
        // its loop; the loop returns once all three are blocked.
        std::atomic<pid_t> tids[3] = {};
        int results[3] = {1000, 1000, 1000};
        bool loopHadReturned[3] = {};
        std::vector<std::thread> waiters;
        for (int i = 0; i < 3; ++i)
            waiters.emplace_back([&, i] {
                tids[i] = currentTid();
                results[i] = i == 0 ? thread.run("third", 50, -10) : thread.join();
                loopHadReturned[i] = loopReturned;
            });
        for (std::atomic<pid_t>& tid : tids) {
            waitUntil([&] { return tid != 0; }, kStepTimeoutMs);
            waitUntilBlocked(tid);
        }
        gate = true;
        for (std::thread& waiter : waiters)
            waiter.join();
        printf("join=%d\n", thread.join());
        printf("results=%d %d %d loop had returned=%d %d %d loopCalls=%d\n", results[0], results[1],
               results[2], loopHadReturned[0], loopHadReturned[1], loopHadReturned[2],
               thread.loopCalls.load());
    });
    EXPECT_EQ(runLine("first") + "run=0\n" + threadLine("run", "ERR", "second already runing\n") +
                  "run=-1\nrequestExit=0\n" + kNotRunning + "requestExit=0\nisRunning=0 exitPending=1\n" +
                  runLine("third") + "join=0\nresults=0 0 0 loop had returned=1 1 1 loopCalls=2\n",
              maskLineNumbers(child.out));
}

TEST(ThreadStart, ReadyToRunIsAskedUntilItAgreesOrAnExitIsRequestedAndJoinWaitsWithoutRequestingOne) {
    // readyToRun holds its first call until the gate opens, and agrees at its `agreesAt`th (0: never).
    const struct {
        bool exitWhileAsked;
        int agreesAt;
        int loopCalls;
    } cases[] = {{false, 4, 5}, {true, 1, 0}, {true, 0, 0}};
    for (const auto& c : cases) {
        Gate gate{false};
        std::atomic<int> readyCalls{0};
        std::atomic<bool> sawExitPending{false};
        ScriptedThread thread(
            [&](ScriptedThread& self) {
                sawExitPending = sawExitPending || self.exitPending();
                return self.loopCalls < 5;
            },
            [&] { return (++readyCalls > 1 || waitOpen(gate)) && readyCalls == c.agreesAt; });
        ASSERT_EQ(0, thread.run("ready", 50, -10));
        ASSERT_TRUE(!c.exitWhileAsked || waitUntil([&] { return readyCalls > 0; }, kStepTimeoutMs))
            << "readyToRun never called";
        std::thread opener = onceBlocked([&] { gate = true; });
        EXPECT_EQ(0, c.exitWhileAsked ? thread.requestExitAndWait() : thread.join());
        opener.join();
        EXPECT_FALSE(thread.isRunning()) << "the wait returned before the thread ended";
        EXPECT_EQ(c.loopCalls, thread.loopCalls) << c.exitWhileAsked << c.agreesAt;
        EXPECT_EQ(c.exitWhileAsked ? 1 : 4, readyCalls) << c.exitWhileAsked << c.agreesAt;
        EXPECT_FALSE(sawExitPending) << "join requested an exit";
    }
}

}  // namespace
