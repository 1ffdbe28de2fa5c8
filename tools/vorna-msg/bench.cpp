// vorna-msg bench: round trips through the library beside a raw-socket baseline with the same framing.

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "args.h"
#include "commands.h"
#include "output.h"
#include "raw_baseline.h"
#include "signals.h"
#include "vorna/vorna.h"

namespace {

const char kHelp[] =
    "usage: vorna-msg bench [--clients N] [--size BYTES] [--seconds S] [--json] [--quiet]\n"
    "\n"
    "Starts its own server under a private name and measures request/response round trips: their\n"
    "latency (p50, p99) and the throughput of all clients together, for the library's clients in direct\n"
    "mode and in notifier mode, beside a raw-socket baseline with the same framing (the client writes the\n"
    "request; a blocking server thread reads it and writes a 32-byte header and the body). Prints a table\n"
    "with the ratios to the baseline; on a terminal a progress line shows while it runs.\n"
    "\n"
    "options:\n"
    "  --clients N     clients sending at once, each on its own thread (1 to 64, default 1)\n"
    "  --size BYTES    request and response size (1 to 1024, default 64)\n"
    "  --seconds S     measuring time per mode (1 to 60, default 2)\n"
    "  --json          one JSON object per mode with every figure of the table\n"
    "  --quiet         accepted for symmetry: the library's own log lines are always discarded here\n"
    "\n"
    "Exit status: 0, 1 when a round trip failed, 2 for bad arguments, 130 after Ctrl-C and 143 after\n"
    "SIGTERM (the clients disconnect and the servers stop first).\n";

constexpr int kWarmUpTrips = 50;
constexpr int kConnectWaitMs = 5000;
constexpr int kProgressEveryMs = 100;

using Clock = std::chrono::steady_clock;

struct BenchOptions {
    int clients = 1;
    int size = 64;
    int seconds = 2;
    bool json = false;
};

bool parseBench(Arguments& args, BenchOptions* options) {
    options->clients = static_cast<int>(args.number("--clients", 1, 1, 64));
    options->size = static_cast<int>(args.number("--size", 64, 1, static_cast<long long>(kMaxRequestBytes)));
    options->seconds = static_cast<int>(args.number("--seconds", 2, 1, 60));
    options->json = args.flag("--json");
    return args.finish();
}

// One client's end of a round trip, whatever carries it.
class BenchClient {
  public:
    virtual ~BenchClient() = default;
    virtual bool roundTrip(const unsigned char* request, unsigned char* response, int size) = 0;
};

void ignoreNotification(void*, unsigned int, void* data, int) {
    free(data);
}

class LibraryClient : public BenchClient {
  public:
    LibraryClient(const std::string& name, bool notifier)
        : mConnection(name.c_str(), 0, notifier ? ignoreNotification : nullptr, nullptr) {}

    bool roundTrip(const unsigned char* request, unsigned char* response, int size) override {
        // send() takes a mutable buffer although it only reads it.
        unsigned char* bytes = const_cast<unsigned char*>(request);
        return mConnection.send(bytes, size) == size && mConnection.recv(response, size) == size;
    }

  private:
    VORNA::Connection mConnection;
};

class RawBenchClient : public BenchClient {
  public:
    bool connect(const std::string& name) { return mClient.connect(name); }
    bool roundTrip(const unsigned char* request, unsigned char* response, int size) override {
        return mClient.roundTrip(request, response, size);
    }

  private:
    RawClient mClient;
};

// The library's server for the benchmark: echoes every request and counts the clients it accepted.
class EchoServer {
  public:
    explicit EchoServer(const std::string& name) : mName(name), mListener(mName.c_str(), 0) {
        mListener.setMsgCbk(onMessage, this);
    }
    ~EchoServer() {
        if (mRunning)
            mListener.stall();
    }

    bool start() { return mRunning = mListener.run() == 0; }

    // A client whose connect() has returned may still wait in the listening socket's backlog; the
    // benchmark starts its clock only once the server has accepted them all.
    bool waitForClients(int count) {
        std::unique_lock<std::mutex> lock(mLock);
        return mAccepted.wait_for(lock, std::chrono::milliseconds(kConnectWaitMs),
                                  [&] { return mConnected >= count; });
    }

  private:
    static void onMessage(void* ctx, void* conn, int type, unsigned char* data, int len) {
        EchoServer* server = static_cast<EchoServer*>(ctx);
        if (type == MSG_RECV) {
            server->mListener.response(conn, data, len);
        } else if (type == MSG_CONNECTED) {
            std::lock_guard<std::mutex> lock(server->mLock);
            ++server->mConnected;
            server->mAccepted.notify_all();
        } else if (type == MSG_DISCONNECTED) {
            server->mListener.closeClient(conn);
        }
    }

    const std::string mName;
    VORNA::Listener mListener;
    bool mRunning = false;
    std::mutex mLock;
    std::condition_variable mAccepted;
    int mConnected = 0;
};

struct ModeResult {
    const char* mode = "";
    std::vector<uint32_t> latenciesNs;  // sorted
    double seconds = 0;
    bool failed = false;

    double percentileUs(double fraction) const {
        if (latenciesNs.empty())
            return 0;
        const size_t index = static_cast<size_t>(fraction * static_cast<double>(latenciesNs.size() - 1));
        return latenciesNs[index] / 1000.0;
    }
    double tripsPerSecond() const {
        return seconds > 0 ? static_cast<double>(latenciesNs.size()) / seconds : 0;
    }
};

// Shows how far a measurement has come on a terminal: standard error when it is one, else standard output
// when that is one, else nowhere.
class ProgressLine {
  public:
    explicit ProgressLine(FILE* toolOutput)
        : mStream(isatty(STDERR_FILENO)        ? stderr
                  : isatty(fileno(toolOutput)) ? toolOutput
                                               : nullptr) {}

    void show(const char* mode, double elapsedS, int seconds, unsigned long long trips) {
        if (mStream == nullptr)
            return;
        fprintf(mStream, "\r\033[Kmeasuring %-10s %4.1f / %d s, %llu round trips", mode, elapsedS, seconds,
                trips);
        fflush(mStream);
    }
    void clear() {
        if (mStream == nullptr)
            return;
        fputs("\r\033[K", mStream);
        fflush(mStream);
    }

  private:
    FILE* mStream;
};

// Runs every client on its own thread: a warm-up, then round trips until the time is up.
class Measurement {
  public:
    Measurement(const char* mode, const BenchOptions& options, ProgressLine& progress, StopSignals& signals)
        : mMode(mode), mOptions(options), mProgress(progress), mSignals(signals) {}

    ModeResult run(std::vector<std::unique_ptr<BenchClient>>& clients) {
        std::vector<std::vector<uint32_t>> latencies(clients.size());
        std::vector<std::thread> threads;
        for (size_t i = 0; i < clients.size(); ++i)
            threads.emplace_back([this, &clients, &latencies, i] { drive(*clients[i], &latencies[i]); });
        const double seconds = timeTheRun(clients.size());
        for (std::thread& thread : threads)
            thread.join();

        ModeResult result;
        result.mode = mMode;
        result.seconds = seconds;
        result.failed = mFailed.load();
        for (const std::vector<uint32_t>& own : latencies)
            result.latenciesNs.insert(result.latenciesNs.end(), own.begin(), own.end());
        std::sort(result.latenciesNs.begin(), result.latenciesNs.end());
        return result;
    }

  private:
    void drive(BenchClient& client, std::vector<uint32_t>* latencies) {
        std::vector<unsigned char> request(static_cast<size_t>(mOptions.size), 'v');
        std::vector<unsigned char> response(static_cast<size_t>(mOptions.size));
        for (int i = 0; i < kWarmUpTrips && !mFailed; ++i) {
            if (!client.roundTrip(request.data(), response.data(), mOptions.size))
                mFailed = true;
        }
        waitForStart();
        while (!mStop.load(std::memory_order_relaxed) && !mFailed.load(std::memory_order_relaxed)) {
            const Clock::time_point begin = Clock::now();
            if (!client.roundTrip(request.data(), response.data(), mOptions.size)) {
                mFailed = true;
                break;
            }
            const auto took = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - begin);
            latencies->push_back(static_cast<uint32_t>(std::min<long long>(took.count(), UINT32_MAX)));
            mTrips.fetch_add(1, std::memory_order_relaxed);
        }
    }

    void waitForStart() {
        std::unique_lock<std::mutex> lock(mGateLock);
        ++mReady;
        mGate.notify_all();
        mGate.wait(lock, [this] { return mStarted; });
    }

    // Opens the gate once every client has warmed up, waits out the measuring time, stops the clients.
    // Returns the seconds measured.
    double timeTheRun(size_t clientCount) {
        {
            std::unique_lock<std::mutex> lock(mGateLock);
            mGate.wait(lock, [&] { return mReady == clientCount; });
            mStarted = true;
        }
        mGate.notify_all();
        const Clock::time_point begin = Clock::now();
        const Clock::time_point end = begin + std::chrono::seconds(mOptions.seconds);
        while (Clock::now() < end && !mFailed.load()) {
            if (mSignals.wait(kProgressEveryMs) == StopSignals::kStop)
                break;
            const double elapsed = std::chrono::duration<double>(Clock::now() - begin).count();
            mProgress.show(mMode, elapsed, mOptions.seconds, mTrips.load());
        }
        mStop = true;
        mProgress.clear();
        return std::chrono::duration<double>(Clock::now() - begin).count();
    }

    const char* mMode;
    const BenchOptions& mOptions;
    ProgressLine& mProgress;
    StopSignals& mSignals;
    std::atomic<bool> mStop{false};
    std::atomic<bool> mFailed{false};
    std::atomic<unsigned long long> mTrips{0};
    std::mutex mGateLock;
    std::condition_variable mGate;
    size_t mReady = 0;
    bool mStarted = false;
};

std::string privateName(const char* role) {
    return "vorna-msg-bench-" + std::to_string(getpid()) + "-" + role;
}

// What every measurement needs besides its mode.
struct BenchContext {
    const BenchOptions& options;
    ProgressLine& progress;
    StopSignals& signals;
};

bool measureRaw(const BenchContext& context, ModeResult* result) {
    const BenchOptions& options = context.options;
    RawEchoServer server;
    if (!server.start(privateName("raw")))
        return false;
    std::vector<std::unique_ptr<BenchClient>> clients;
    for (int i = 0; i < options.clients; ++i) {
        std::unique_ptr<RawBenchClient> client(new RawBenchClient);
        if (!client->connect(privateName("raw")))
            return false;
        clients.push_back(std::move(client));
    }
    *result = Measurement("raw socket", options, context.progress, context.signals).run(clients);
    clients.clear();  // the server's threads end when their clients hang up
    return true;
}

bool measureLibrary(const char* mode, bool notifier, const BenchContext& context, ModeResult* result) {
    const BenchOptions& options = context.options;
    const std::string name = privateName(notifier ? "notifier" : "direct");
    EchoServer server(name);
    if (!server.start())
        return false;
    std::vector<std::unique_ptr<BenchClient>> clients;
    for (int i = 0; i < options.clients; ++i) {
        clients.emplace_back(new LibraryClient(name, notifier));
        if (!server.waitForClients(i + 1))
            return false;
    }
    *result = Measurement(mode, options, context.progress, context.signals).run(clients);
    return true;
}

double ratioOf(double value, double baseline) {
    return baseline > 0 ? value / baseline : 0.0;
}

std::string ratio(double value, double baseline) {
    char text[32];
    snprintf(text, sizeof(text), "%.2fx", ratioOf(value, baseline));
    return text;
}

void printJson(const std::vector<ModeResult>& results, const BenchOptions& options, ToolOutput& out) {
    const ModeResult& raw = results.front();
    for (const ModeResult& result : results) {
        out.json(JsonLine()
                     .text("mode", result.mode)
                     .number("clients", options.clients)
                     .number("size", options.size)
                     .number("seconds", options.seconds)
                     .number("round_trips", static_cast<long long>(result.latenciesNs.size()))
                     .real("p50_us", result.percentileUs(0.50))
                     .real("p99_us", result.percentileUs(0.99))
                     .real("trips_per_s", result.tripsPerSecond())
                     .real("p50_vs_raw", ratioOf(result.percentileUs(0.50), raw.percentileUs(0.50)))
                     .real("trips_per_s_vs_raw", ratioOf(result.tripsPerSecond(), raw.tripsPerSecond())));
    }
}

void printTable(const std::vector<ModeResult>& results, const BenchOptions& options, ToolOutput& out) {
    out.line("%d client%s, %d-byte requests and responses, %d s per mode", options.clients,
             options.clients == 1 ? "" : "s", options.size, options.seconds);
    out.line("%s", "");
    out.line("%-12s %12s %10s %10s %12s %12s %14s", "mode", "round trips", "p50 us", "p99 us", "trips/s",
             "p50 vs raw", "trips/s vs raw");
    const ModeResult& raw = results.front();
    for (const ModeResult& result : results) {
        out.line("%-12s %12zu %10.1f %10.1f %12.0f %12s %14s", result.mode, result.latenciesNs.size(),
                 result.percentileUs(0.50), result.percentileUs(0.99), result.tripsPerSecond(),
                 ratio(result.percentileUs(0.50), raw.percentileUs(0.50)).c_str(),
                 ratio(result.tripsPerSecond(), raw.tripsPerSecond()).c_str());
    }
    out.line("%s", "");
    out.line("raw socket: plain POSIX calls, one blocking server thread per client, the same framing");
    out.line(
        "direct: Connection without a callback; notifier: with one (a receive thread reads the headers)");
}

}  // namespace

int runBench(int argc, char** argv) {
    Arguments args(
        "bench", argc, argv,
        {{"--clients", true}, {"--size", true}, {"--seconds", true}, {"--json", false}, {"--quiet", false}});
    BenchOptions options;
    int status;
    if (!readCommandLine(args, kHelp, parseBench, &options, &status))
        return status;

    StopSignals signals;
    ToolOutput out(LibraryLog::kDiscard);
    ProgressLine progress(out.stream());
    const BenchContext context{options, progress, signals};
    std::vector<ModeResult> results(3);
    if (!measureRaw(context, &results[0]) || signals.stopStatus() != 0 ||
        !measureLibrary("direct", false, context, &results[1]) || signals.stopStatus() != 0 ||
        !measureLibrary("notifier", true, context, &results[2])) {
        if (signals.stopStatus() != 0)
            return signals.stopStatus();
        fprintf(stderr, "vorna-msg bench: cannot set up the server and its clients\n");
        return kExitFailure;
    }
    if (signals.stopStatus() != 0)
        return signals.stopStatus();
    if (options.json)
        printJson(results, options, out);
    else
        printTable(results, options, out);
    for (const ModeResult& result : results) {
        if (result.failed) {
            fprintf(stderr, "vorna-msg bench: a round trip failed in %s mode\n", result.mode);
            return kExitFailure;
        }
    }
    return kExitOk;
}
