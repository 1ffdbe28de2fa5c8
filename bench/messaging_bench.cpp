// Messaging round trips, concurrent throughput and notification push rate, each beside a raw POSIX
// baseline with the same framing on an abstract stream socket, written as the best hand-written code
// would be: the client writes the request as it is and reads the answer with as few reads as the framing
// allows (one, when header and body are both there); the server takes each request with one read where it
// has come whole, and answers with one sendmsg of the header and the body.
//
// Latency benchmarks report the median and 99th percentile of single round trips as the counters p50_us
// and p99_us; run with --benchmark_repetitions=5 --benchmark_report_aggregates_only=true for medians over
// repetitions.

#include <errno.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "support/raw_peer.h"
#include "vorna/messaging.h"

namespace {

using raw_peer::kWireIdNotify;
using raw_peer::kWireIdResponse;
using raw_peer::recvAll;
using raw_peer::sendAll;
using raw_peer::WireHeader;

const size_t kMaxResponse = 64 * 1024;
// A request starts with the response size the client wants and its own size.
const size_t kRequestPreamble = 8;

int64_t nowNs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}

int64_t wallClockUs() {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return now.tv_sec * 1000000LL + now.tv_nsec / 1000;
}

// The header as the library's server writes it, with the send time.
WireHeader makeHeader(int32_t id, uint32_t msg, int32_t len) {
    WireHeader header = raw_peer::makeWireHeader(id, msg, len);
    header.timeUs = wallClockUs();
    return header;
}

std::string serverName(const char* tag) {
    return "vorna-bench-" + std::to_string(getpid()) + "-" + tag;
}

std::string makeRequest(size_t requestSize, size_t responseSize) {
    std::string request(std::max(requestSize, kRequestPreamble), 'q');
    const uint32_t sizes[2] = {static_cast<uint32_t>(responseSize), static_cast<uint32_t>(request.size())};
    memcpy(&request[0], sizes, sizeof(sizes));
    return request;
}

uint32_t preambleWord(const char* request, int index) {
    uint32_t word;
    memcpy(&word, request + index * 4, sizeof(word));
    return word;
}

int listenOrAbort(const std::string& name) {
    const int fd = raw_peer::listenOn(name);
    if (fd < 0)
        abort();
    return fd;
}

// Median and 99th percentile of the round trips of one benchmark run, in microseconds.
void reportPercentiles(benchmark::State& state, std::vector<int64_t>* samplesNs) {
    if (samplesNs->empty())
        return;
    std::sort(samplesNs->begin(), samplesNs->end());
    const size_t last = samplesNs->size() - 1;
    state.counters["p50_us"] = static_cast<double>((*samplesNs)[last / 2]) / 1000.0;
    state.counters["p99_us"] = static_cast<double>((*samplesNs)[last * 99 / 100]) / 1000.0;
}

// The baseline server: a thread per client, blocking reads, a header send and a body send.
class RawServer {
  public:
    explicit RawServer(const std::string& name) : mListenFd(listenOrAbort(name)), mBody(kMaxResponse, 'r') {
        mAcceptor = std::thread([this] { acceptClients(); });
    }

    ~RawServer() {
        shutdown(mListenFd, SHUT_RDWR);
        mAcceptor.join();
        close(mListenFd);
        std::lock_guard<std::mutex> lock(mMutex);
        for (std::thread& client : mClients)
            client.join();
    }

  private:
    void acceptClients() {
        for (;;) {
            const int fd = accept4(mListenFd, NULL, NULL, SOCK_CLOEXEC);
            if (fd < 0 && errno == EINTR)
                continue;
            if (fd < 0)
                return;
            std::lock_guard<std::mutex> lock(mMutex);
            mClients.emplace_back([this, fd] { serve(fd); });
        }
    }

    void serve(int fd) {
        std::vector<char> request(64 * 1024);
        size_t have = 0;
        for (ssize_t got; (got = recv(fd, request.data() + have, request.size() - have, 0)) > 0;) {
            have += static_cast<size_t>(got);
            while (have >= kRequestPreamble && have >= preambleWord(request.data(), 1)) {
                const uint32_t responseSize = preambleWord(request.data(), 0);
                const uint32_t requestSize = preambleWord(request.data(), 1);
                if (!answer(fd, responseSize))
                    have = 0;
                memmove(request.data(), request.data() + requestSize, have - requestSize);
                have -= requestSize;
            }
        }
        close(fd);
    }

    // One sendmsg for the header and the body, resumed only when the socket took part of them.
    bool answer(int fd, uint32_t responseSize) {
        WireHeader header = makeHeader(kWireIdResponse, 0, static_cast<int32_t>(responseSize));
        iovec parts[2] = {{&header, sizeof(header)}, {const_cast<char*>(mBody.data()), responseSize}};
        msghdr message = {};
        message.msg_iov = parts;
        message.msg_iovlen = 2;
        size_t left = sizeof(header) + responseSize;
        while (left > 0) {
            const ssize_t sent = sendmsg(fd, &message, MSG_NOSIGNAL);
            if (sent < 0 && errno == EINTR)
                continue;
            if (sent <= 0)
                return false;
            left -= static_cast<size_t>(sent);
            for (size_t skip = static_cast<size_t>(sent); skip > 0;) {
                const size_t step = std::min(skip, message.msg_iov->iov_len);
                message.msg_iov->iov_base = static_cast<char*>(message.msg_iov->iov_base) + step;
                message.msg_iov->iov_len -= step;
                skip -= step;
                if (message.msg_iov->iov_len == 0) {
                    ++message.msg_iov;
                    --message.msg_iovlen;
                }
            }
        }
        return true;
    }

    const int mListenFd;
    const std::string mBody;
    std::thread mAcceptor;
    std::mutex mMutex;
    std::vector<std::thread> mClients;
};

class RawClient {
  public:
    explicit RawClient(const std::string& name)
        : mFd(raw_peer::connectTo(name)), mBuffer(sizeof(WireHeader) + kMaxResponse) {}
    ~RawClient() { close(mFd); }

    // One read takes the header and, when it has come, the body with it.
    bool roundTrip(const std::string& request) {
        if (!sendAll(mFd, request.data(), request.size()))
            return false;
        size_t have = 0;
        size_t whole = sizeof(WireHeader);
        while (have < whole) {
            const ssize_t got = recv(mFd, mBuffer.data() + have,
                                     whole == sizeof(WireHeader) ? mBuffer.size() - have : whole - have, 0);
            if (got <= 0)
                return false;
            have += static_cast<size_t>(got);
            if (whole == sizeof(WireHeader) && have >= sizeof(WireHeader)) {
                WireHeader header;
                memcpy(&header, mBuffer.data(), sizeof(header));
                whole += static_cast<size_t>(header.len);
            }
        }
        return true;
    }

  private:
    const int mFd;
    std::vector<char> mBuffer;
};

// The library's server: collects each request from its deliveries and answers it with response().
class LibraryServer {
  public:
    explicit LibraryServer(const std::string& name)
        : mName(name), mServer(mName.c_str(), 0), mBody(kMaxResponse) {
        mServer.setMsgCbk(onMessage, this);
        if (mServer.run() != 0)
            abort();
    }
    ~LibraryServer() { mServer.stall(); }

  private:
    static void onMessage(void* ctx, void* conn, int type, unsigned char* data, int len) {
        LibraryServer* self = static_cast<LibraryServer*>(ctx);
        if (type == MSG_RECV)
            self->collect(conn, reinterpret_cast<char*>(data), static_cast<size_t>(len));
        else if (type == MSG_DISCONNECTED)
            self->release(conn);
    }

    // Runs on the event thread only, so the pending requests need no lock.
    void collect(void* conn, const char* data, size_t len) {
        std::string& pending = mPending[conn];
        pending.append(data, len);
        while (pending.size() >= kRequestPreamble && pending.size() >= preambleWord(pending.data(), 1)) {
            const uint32_t responseSize = preambleWord(pending.data(), 0);
            pending.erase(0, preambleWord(pending.data(), 1));
            mServer.response(conn, mBody.data(), static_cast<int>(responseSize));
        }
    }

    void release(void* conn) {
        mPending.erase(conn);
        mServer.closeClient(conn);
    }

    const std::string mName;
    VORNA::Listener mServer;
    std::vector<unsigned char> mBody;
    std::map<void*, std::string> mPending;
};

void ignoreNotification(void*, unsigned int, void* data, int) {
    free(data);
}

// A round trip either as send() and recv(), or as one call().
class LibraryClient {
  public:
    LibraryClient(const std::string& name, bool notifier, bool transaction)
        : mName(name),
          mTransaction(transaction),
          mConnection(mName.c_str(), 0, notifier ? ignoreNotification : NULL, NULL),
          mBuffer(kMaxResponse) {}

    bool roundTrip(std::string& request) {
        const int size = static_cast<int>(request.size());
        unsigned char* bytes = reinterpret_cast<unsigned char*>(&request[0]);
        const int capacity = static_cast<int>(mBuffer.size());
        if (mTransaction)
            return mConnection.call(bytes, size, mBuffer.data(), capacity, 10000) >= 0;
        return mConnection.send(bytes, size) == size && mConnection.recv(mBuffer.data(), capacity) >= 0;
    }

  private:
    const std::string mName;
    const bool mTransaction;
    VORNA::Connection mConnection;
    std::vector<unsigned char> mBuffer;
};

// Both servers live for the whole run; each benchmark connects its own clients.
RawServer* gRawServer;
LibraryServer* gLibraryServer;
const std::string gRawName = serverName("raw");
const std::string gLibraryName = serverName("library");

enum Kind { kRaw, kDirect, kNotifier, kDirectCall, kNotifierCall };

// One client of either kind behind one round-trip call.
class AnyClient {
  public:
    explicit AnyClient(Kind kind) {
        if (kind == kRaw)
            mRaw.reset(new RawClient(gRawName));
        else
            mLibrary.reset(new LibraryClient(gLibraryName, kind == kNotifier || kind == kNotifierCall,
                                             kind == kDirectCall || kind == kNotifierCall));
    }
    bool roundTrip(std::string& request) {
        return mRaw ? mRaw->roundTrip(request) : mLibrary->roundTrip(request);
    }

  private:
    std::unique_ptr<RawClient> mRaw;
    std::unique_ptr<LibraryClient> mLibrary;
};

template <Kind kind>
void BM_RoundTrip(benchmark::State& state) {
    AnyClient client(kind);
    std::string request =
        makeRequest(static_cast<size_t>(state.range(0)), static_cast<size_t>(state.range(1)));
    std::vector<int64_t> samples;
    samples.reserve(1 << 16);
    for (auto _ : state) {
        const int64_t start = nowNs();
        if (!client.roundTrip(request)) {
            state.SkipWithError("round trip failed");
            break;
        }
        samples.push_back(nowNs() - start);
    }
    reportPercentiles(state, &samples);
    state.SetBytesProcessed(state.iterations() * (state.range(0) + state.range(1)));
}

// Client threads that each run a batch of round trips whenever the benchmark starts one.
class ClientPool {
  public:
    ClientPool(Kind kind, int threads, int roundTripsPerBatch) : mRoundTrips(roundTripsPerBatch) {
        for (int i = 0; i < threads; ++i)
            mThreads.emplace_back([this, kind] { serveBatches(kind); });
    }

    ~ClientPool() {
        {
            std::lock_guard<std::mutex> lock(mMutex);
            mStopping = true;
        }
        mChanged.notify_all();
        for (std::thread& thread : mThreads)
            thread.join();
    }

    // Returns false when a round trip failed.
    bool runBatch() {
        std::unique_lock<std::mutex> lock(mMutex);
        ++mBatch;
        mRunning = static_cast<int>(mThreads.size());
        mChanged.notify_all();
        mChanged.wait(lock, [&] { return mRunning == 0; });
        return !mFailed;
    }

  private:
    void serveBatches(Kind kind) {
        AnyClient client(kind);
        std::string request = makeRequest(16, 16);
        long done = 0;
        for (;;) {
            {
                std::unique_lock<std::mutex> lock(mMutex);
                mChanged.wait(lock, [&] { return mStopping || mBatch > done; });
                if (mStopping)
                    return;
                done = mBatch;
            }
            bool ok = true;
            for (int i = 0; i < mRoundTrips && ok; ++i)
                ok = client.roundTrip(request);
            std::lock_guard<std::mutex> lock(mMutex);
            mFailed = mFailed || !ok;
            if (--mRunning == 0)
                mChanged.notify_all();
        }
    }

    const int mRoundTrips;
    std::mutex mMutex;
    std::condition_variable mChanged;
    long mBatch = 0;
    int mRunning = 0;
    bool mFailed = false;
    bool mStopping = false;
    std::vector<std::thread> mThreads;
};

template <Kind kind>
void BM_Throughput4Clients(benchmark::State& state) {
    const int kThreads = 4;
    const int kRoundTrips = 50;
    ClientPool pool(kind, kThreads, kRoundTrips);
    for (auto _ : state) {
        if (!pool.runBatch()) {
            state.SkipWithError("round trip failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * kThreads * kRoundTrips);
}

// Counts delivered notifications and wakes the benchmark thread once a batch has arrived.
class Arrivals {
  public:
    void arrived() {
        const long count = mCount.fetch_add(1) + 1;
        if (count == mTarget.load()) {
            std::lock_guard<std::mutex> lock(mMutex);
            mChanged.notify_all();
        }
    }

    void expect(long total) { mTarget.store(total); }

    bool waitFor(long total) {
        std::unique_lock<std::mutex> lock(mMutex);
        return mChanged.wait_for(lock, std::chrono::seconds(10), [&] { return mCount.load() >= total; });
    }

  private:
    std::atomic<long> mCount{0};
    std::atomic<long> mTarget{-1};
    std::mutex mMutex;
    std::condition_variable mChanged;
};

const int kPushBatch = 256;

void BM_PushRate_Raw(benchmark::State& state) {
    const std::string name = serverName("push-raw");
    const int listenFd = listenOrAbort(name);
    const int clientFd = raw_peer::connectTo(name);
    const int serverFd = accept4(listenFd, NULL, NULL, SOCK_CLOEXEC);
    Arrivals arrivals;
    std::thread receiver([&] {
        WireHeader header;
        while (recvAll(clientFd, &header, sizeof(header)))
            arrivals.arrived();
    });

    long total = 0;
    for (auto _ : state) {
        total += kPushBatch;
        arrivals.expect(total);
        for (int i = 0; i < kPushBatch; ++i) {
            const WireHeader header = makeHeader(kWireIdNotify, 1, i);
            sendAll(serverFd, &header, sizeof(header));
        }
        if (!arrivals.waitFor(total)) {
            state.SkipWithError("notifications lost");
            break;
        }
    }
    state.SetItemsProcessed(total);
    shutdown(serverFd, SHUT_RDWR);
    receiver.join();
    close(serverFd);
    close(clientFd);
    close(listenFd);
}

void BM_PushRate_Library(benchmark::State& state) {
    const std::string name = serverName("push-library");
    std::atomic<void*> handle{nullptr};
    VORNA::Listener server(name.c_str(), 0);
    server.setMsgCbk(
        [](void* ctx, void* conn, int type, unsigned char*, int) {
            if (type == MSG_CONNECTED)
                static_cast<std::atomic<void*>*>(ctx)->store(conn);
        },
        &handle);
    if (server.run() != 0)
        abort();
    Arrivals arrivals;
    {
        VORNA::Connection client(
            name.c_str(), 0,
            [](void* ctx, unsigned int, void*, int) { static_cast<Arrivals*>(ctx)->arrived(); }, &arrivals);
        while (handle.load() == nullptr)
            usleep(100);

        long total = 0;
        for (auto _ : state) {
            total += kPushBatch;
            arrivals.expect(total);
            for (int i = 0; i < kPushBatch; ++i)
                server.notify(handle.load(), 1u, static_cast<unsigned int>(i));
            if (!arrivals.waitFor(total)) {
                state.SkipWithError("notifications lost");
                break;
            }
        }
        state.SetItemsProcessed(total);
    }
    server.stall();
}

void roundTripSizes(benchmark::internal::Benchmark* benchmark) {
    for (int request : {16, 1000}) {
        for (int response : {16, 65536})
            benchmark->Args({request, response});
    }
    benchmark->ArgNames({"req", "resp"})->UseRealTime();
}

BENCHMARK_TEMPLATE(BM_RoundTrip, kRaw)->Name("RoundTrip/raw")->Apply(roundTripSizes);
BENCHMARK_TEMPLATE(BM_RoundTrip, kDirect)->Name("RoundTrip/direct")->Apply(roundTripSizes);
BENCHMARK_TEMPLATE(BM_RoundTrip, kNotifier)->Name("RoundTrip/notifier")->Apply(roundTripSizes);
BENCHMARK_TEMPLATE(BM_RoundTrip, kDirectCall)->Name("RoundTrip/direct-call")->Apply(roundTripSizes);
BENCHMARK_TEMPLATE(BM_RoundTrip, kNotifierCall)->Name("RoundTrip/notifier-call")->Apply(roundTripSizes);
BENCHMARK_TEMPLATE(BM_Throughput4Clients, kRaw)->Name("Throughput4Clients/raw")->UseRealTime();
BENCHMARK_TEMPLATE(BM_Throughput4Clients, kDirect)->Name("Throughput4Clients/direct")->UseRealTime();
BENCHMARK_TEMPLATE(BM_Throughput4Clients, kNotifier)->Name("Throughput4Clients/notifier")->UseRealTime();
BENCHMARK(BM_PushRate_Raw)->Name("PushRate/raw")->UseRealTime();
BENCHMARK(BM_PushRate_Library)->Name("PushRate/library")->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    gRawServer = new RawServer(gRawName);
    gLibraryServer = new LibraryServer(gLibraryName);
    benchmark::RunSpecifiedBenchmarks();
    delete gLibraryServer;
    delete gRawServer;
    benchmark::Shutdown();
    return 0;
}
