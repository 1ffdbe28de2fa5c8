// The foundation's wrappers and log output, each measured beside the raw POSIX or stdio call it wraps.

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <semaphore.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <ext/stdio_filebuf.h>

#include <algorithm>
#include <atomic>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "vorna/log.h"
#include "vorna/sync.h"
#include "vorna/thread.h"

namespace {

// The figures come from a shared machine: the fastest repetition, beside the median, shows the cost with
// the least disturbance.
double fastest(const std::vector<double>& values) {
    return *std::min_element(values.begin(), values.end());
}

void withFastest(benchmark::internal::Benchmark* benchmark) {
    benchmark->ComputeStatistics("min", fastest);
}

// ---- Mutex: one uncontended lock and unlock ----

void BM_Mutex_Posix(benchmark::State& state) {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    for (auto _ : state) {
        pthread_mutex_lock(&mutex);
        pthread_mutex_unlock(&mutex);
    }
    pthread_mutex_destroy(&mutex);
}
BENCHMARK(BM_Mutex_Posix)->Apply(withFastest);

void BM_Mutex_Vorna(benchmark::State& state) {
    VORNA::Mutex mutex;
    for (auto _ : state) {
        mutex.lock();
        mutex.unlock();
    }
}
BENCHMARK(BM_Mutex_Vorna)->Apply(withFastest);

// ---- Ping-pong between two threads ----

// Both threads of a ping-pong share one CPU while it lasts: whether the scheduler happens to put them on
// one CPU or two changes a round trip several times over, which would swamp the wrappers' cost.
class SharedCpu {
  public:
    SharedCpu() {
        pthread_getaffinity_np(pthread_self(), sizeof(mSaved), &mSaved);
        CPU_ZERO(&mShared);
        CPU_SET(sched_getcpu(), &mShared);
        join();
    }
    ~SharedCpu() { pthread_setaffinity_np(pthread_self(), sizeof(mSaved), &mSaved); }
    SharedCpu(const SharedCpu&) = delete;
    SharedCpu& operator=(const SharedCpu&) = delete;

    // Moves the calling thread to the shared CPU.
    void join() { pthread_setaffinity_np(pthread_self(), sizeof(mShared), &mShared); }

  private:
    cpu_set_t mSaved;
    cpu_set_t mShared;
};

// ---- Semaphore: one round trip between two threads ----

class PosixSemaphore {
  public:
    PosixSemaphore() { sem_init(&mSem, 0, 0); }
    ~PosixSemaphore() { sem_destroy(&mSem); }
    void post() { sem_post(&mSem); }
    void wait() { sem_wait(&mSem); }

  private:
    sem_t mSem;
};

// The library's semaphore, given its turn by `Give`: post() counts, signal() is the event-flag form the
// messaging client uses for its hand-over.
template <void (VORNA::Semaphore::*Give)()>
class VornaSemaphoreBy {
  public:
    void post() { (mSem.*Give)(); }
    void wait() { mSem.wait(); }

  private:
    VORNA::Semaphore mSem;
};

using VornaSemaphore = VornaSemaphoreBy<&VORNA::Semaphore::post>;
using VornaSignalledSemaphore = VornaSemaphoreBy<&VORNA::Semaphore::signal>;

template <class Semaphore>
void BM_SemaphorePingPong(benchmark::State& state) {
    Semaphore ping;
    Semaphore pong;
    std::atomic<bool> stop{false};
    SharedCpu cpu;
    std::thread partner([&] {
        cpu.join();
        for (;;) {
            ping.wait();
            if (stop)
                return;
            pong.post();
        }
    });
    for (auto _ : state) {
        ping.post();
        pong.wait();
    }
    stop = true;
    ping.post();
    partner.join();
}
BENCHMARK_TEMPLATE(BM_SemaphorePingPong, PosixSemaphore)
    ->Name("BM_SemaphorePingPong_Posix")
    ->UseRealTime()
    ->Apply(withFastest);
BENCHMARK_TEMPLATE(BM_SemaphorePingPong, VornaSemaphore)
    ->Name("BM_SemaphorePingPong_Vorna")
    ->UseRealTime()
    ->Apply(withFastest);
BENCHMARK_TEMPLATE(BM_SemaphorePingPong, VornaSignalledSemaphore)
    ->Name("BM_SemaphorePingPong_VornaSignal")
    ->UseRealTime()
    ->Apply(withFastest);

// ---- Condition: one round trip between two threads, each waiting for its turn ----

class PosixCondition {
  public:
    PosixCondition() {
        pthread_mutex_init(&mMutex, nullptr);
        pthread_cond_init(&mCond, nullptr);
    }
    ~PosixCondition() {
        pthread_cond_destroy(&mCond);
        pthread_mutex_destroy(&mMutex);
    }
    void lock() { pthread_mutex_lock(&mMutex); }
    void unlock() { pthread_mutex_unlock(&mMutex); }
    void wait() { pthread_cond_wait(&mCond, &mMutex); }
    void signal() { pthread_cond_signal(&mCond); }

  private:
    pthread_mutex_t mMutex;
    pthread_cond_t mCond;
};

class VornaCondition {
  public:
    void lock() { mMutex.lock(); }
    void unlock() { mMutex.unlock(); }
    void wait() { mCond.wait(mMutex); }
    void signal() { mCond.signal(); }

  private:
    VORNA::Mutex mMutex;
    VORNA::Condition mCond;
};

template <class Condition>
void BM_ConditionPingPong(benchmark::State& state) {
    Condition condition;
    int turn = 0;  // 0: the benchmark thread's, 1: the partner's, 2: stop
    SharedCpu cpu;
    std::thread partner([&] {
        cpu.join();
        condition.lock();
        for (;;) {
            while (turn == 0)
                condition.wait();
            if (turn == 2)
                break;
            turn = 0;
            condition.signal();
        }
        condition.unlock();
    });
    for (auto _ : state) {
        condition.lock();
        turn = 1;
        condition.signal();
        while (turn == 1)
            condition.wait();
        condition.unlock();
    }
    condition.lock();
    turn = 2;
    condition.signal();
    condition.unlock();
    partner.join();
}
BENCHMARK_TEMPLATE(BM_ConditionPingPong, PosixCondition)
    ->Name("BM_ConditionPingPong_Posix")
    ->UseRealTime()
    ->Apply(withFastest);
BENCHMARK_TEMPLATE(BM_ConditionPingPong, VornaCondition)
    ->Name("BM_ConditionPingPong_Vorna")
    ->UseRealTime()
    ->Apply(withFastest);

// ---- Thread: start a thread whose work ends at once, and wait for its end ----

void* endAtOnce(void*) {
    return nullptr;
}

void BM_ThreadStartStop_Posix(benchmark::State& state) {
    for (auto _ : state) {
        pthread_t thread;
        pthread_create(&thread, nullptr, endAtOnce, nullptr);
        pthread_join(thread, nullptr);
    }
}
BENCHMARK(BM_ThreadStartStop_Posix)->UseRealTime()->Apply(withFastest);

class EndingThread : public VORNA::Thread {
  public:
    EndingThread() : Thread(nullptr) {}

  protected:
    bool threadLoop() override { return false; }
};

// Each run() reclaims the thread of the previous iteration; the destructor reclaims the last.
void BM_ThreadStartStop_Vorna(benchmark::State& state) {
    EndingThread thread;
    for (auto _ : state) {
        thread.run("bench", 50, -10);
        thread.requestExitAndWait();
    }
}
BENCHMARK(BM_ThreadStartStop_Vorna)->UseRealTime()->Apply(withFastest);

// ---- Log output: one line to the console (standard output is /dev/null), then to a file ----

const char kPrefix[] = "<1>[   vorna  ][%s %s %s %d] INF: ";
const char kLine[] = "<1>[   vorna  ][%s %s %s %d] INF: bench line %d\n";
const char kConsoleLine[] = "[   vorna  ][%s %s %s %d] INF: bench line %d\n";

void BM_LogConsole_Fprintf(benchmark::State& state) {
    int i = 0;
    for (auto _ : state)
        fprintf(stdout, kConsoleLine, "", "src/Bench", "logLine", 42, ++i);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LogConsole_Fprintf)->Apply(withFastest);

void BM_LogConsole_Vorna(benchmark::State& state) {
    int i = 0;
    for (auto _ : state)
        LogPrint(kPrefix, "", "src/Bench", "logLine", 42, "bench line %d\n", ++i);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LogConsole_Vorna)->Apply(withFastest);

// A line below the level threshold: the raw baseline is the test an application would write itself.
void BM_LogSuppressed_IfBaseline(benchmark::State& state) {
    volatile int threshold = 2;
    int i = 0;
    for (auto _ : state) {
        if (1 >= threshold)
            fprintf(stdout, kConsoleLine, "", "src/Bench", "logLine", 42, ++i);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_LogSuppressed_IfBaseline)->Apply(withFastest);

void BM_LogSuppressed_Vorna(benchmark::State& state) {
    LogSetLevel(2);
    int i = 0;
    for (auto _ : state)
        LogPrint(kPrefix, "", "src/Bench", "logLine", 42, "bench line %d\n", ++i);
    LogSetLevel(0);
}
BENCHMARK(BM_LogSuppressed_Vorna)->Apply(withFastest);

std::string scratchPath(const char* tag) {
    return "/tmp/vorna-bench-" + std::to_string(getpid()) + "-" + tag;
}

void BM_LogFile_Fprintf(benchmark::State& state) {
    const std::string path = scratchPath("fprintf.log");
    FILE* file = fopen(path.c_str(), "we");
    unlink(path.c_str());  // the space goes back when the benchmark ends
    int i = 0;
    for (auto _ : state)
        fprintf(file, kLine, "", "src/Bench", "logLine", 42, ++i);
    state.SetItemsProcessed(state.iterations());
    fclose(file);
}
BENCHMARK(BM_LogFile_Fprintf)->Apply(withFastest);

// Switches the process to file mode for good: it runs after the console figures.
void BM_LogFile_Vorna(benchmark::State& state) {
    static std::once_flag logFileOpened;
    std::call_once(logFileOpened, [] {
        const std::string path = scratchPath("vorna.log");
        LogInit(path.c_str());
        unlink(path.c_str());
    });
    int i = 0;
    for (auto _ : state)
        LogPrint(kPrefix, "", "src/Bench", "logLine", 42, "bench line %d\n", ++i);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LogFile_Vorna)->Apply(withFastest);

}  // namespace

int main(int argc, char** argv) {
    // LogPrint writes to standard output, which goes to /dev/null; the report goes where it went before.
    fflush(stdout);
    const int reportFd = dup(STDOUT_FILENO);
    const int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (reportFd < 0 || devNull < 0 || dup2(devNull, STDOUT_FILENO) < 0) {
        perror("redirecting standard output");
        return 1;
    }
    close(devNull);
    __gnu_cxx::stdio_filebuf<char> reportBuffer(reportFd, std::ios::out);
    std::streambuf* const consoleBuffer = std::cout.rdbuf(&reportBuffer);

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    std::cout.flush();
    std::cout.rdbuf(consoleBuffer);
    return 0;
}
