// Traffic against one server while everything that can go wrong around it does: the server pushes to
// its clients, closes some and restarts its event loop, client processes are killed, and signals without
// SA_RESTART interrupt every blocking call of every thread. The suite runs the short form;
// VORNA_SOAK_SCALE=100 gives the long one (32 clients x 10 000 requests).

#include <malloc.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <filesystem>
#include <map>
#include <mutex>
#include <random>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>

#include "support/child.h"
#include "support/peers.h"
#include "support/probes.h"
#include "vorna/messaging.h"

namespace {

using namespace testing_support;
using ::testing::Each;
using ::testing::Gt;

const size_t kMaxRequestPayload = 2048;
// One request in 8 asks for up to this much, far more than a socket buffer holds, so that sends block
// and signals cut into them.
const size_t kMaxResponse = 640 * 1024;
const size_t kMaxSmallResponse = 4096;
const unsigned kValueCode = 5;
const unsigned kDataCodeBase = 1000;  // a data notification's code is this plus its length
const int kDeadlineMs = 600000;
// A client process has its first answer within seconds, also under qemu and the sanitizers.
const int kFirstAnswerMs = 60000;
// The sanitizers' bookkeeping, and an emulator's translations of each code path the run reaches first,
// count in the resident size too: the bound is for the library, so it holds natively only.
const long kMemoryGrowthBoundKiB = 8 * 1024;
#if defined(VORNA_TEST_EMULATED) || defined(VORNA_TEST_UNDER_ASAN) || defined(VORNA_TEST_UNDER_TSAN)
const bool kMemoryBounded = false;
#else
const bool kMemoryBounded = true;
#endif
// ThreadSanitizer's runtime can deadlock on a signal that arrives while it frees an ended thread's
// memory, so only the other builds send signals.
#ifdef VORNA_TEST_UNDER_TSAN
const bool kSignalStorm = false;
#else
const bool kSignalStorm = true;
#endif

std::vector<pid_t> threadIds() {
    std::vector<pid_t> ids;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task"))
        ids.push_back(static_cast<pid_t>(std::stoi(task.path().filename())));
    return ids;
}

long residentKiB() {
    long pages = 0, resident = -1;
    sscanf(readFile("/proc/self/statm").c_str(), "%ld %ld", &pages, &resident);
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

std::atomic<int> gInterruptions{0};

unsigned char* bytesOf(std::string& text) {
    return reinterpret_cast<unsigned char*>(&text[0]);
}

// A request: this header, then `payloadLen` random bytes. The server answers with `responseSize` bytes.
struct RequestHeader {
    uint32_t client;
    uint32_t notifier;  // the client takes notifications
    uint32_t responseSize;
    uint32_t payloadLen;
};

// A pattern seeded by the request's checksum: a body that went to another request, lost bytes or came
// back shifted does not match.
std::string responseFor(const std::string& request) {
    RequestHeader header;
    memcpy(&header, request.data(), sizeof(header));
    return patternBytes(header.responseSize, static_cast<unsigned>(std::hash<std::string>()(request)));
}

// Answers every complete request, and offers its clients to the pusher and closer threads. Those threads
// and stall/run cycles exclude each other through `mLifecycle`; the callback does not take it, since stall
// waits for the event thread. It counts the connections it drops on purpose, so that a client can tell
// those losses from the ones the library causes.
class LoadServer {
  public:
    LoadServer(const std::string& name, int clients) : mServer(name.c_str(), 0), mCloses(clients) {
        mServer.setMsgCbk(onMessage, this);
    }

    bool start() { return mServer.run() == 0; }
    bool cycle() { return stop() == 0 && start(); }

    int stop() {
        std::unique_lock<std::shared_mutex> exclusive(mLifecycle);
        mStalls++;
        const int result = mServer.stall();
        std::lock_guard<std::mutex> lock(mMutex);
        mClients.clear();  // the handles went with the event loop
        return result;
    }

    // Connections of `client` that the server dropped so far.
    int drops(int client) { return mStalls.load() + mCloses[static_cast<size_t>(client)].load(); }

    // One value or data notification to each client that takes them; returns how many went out. A value
    // notification carries the count of those before it on its connection, plus 1.
    int pushRound(std::mt19937& random) {
        std::shared_lock<std::shared_mutex> shared(mLifecycle);
        std::vector<std::pair<void*, unsigned>> targets;
        {
            std::lock_guard<std::mutex> lock(mMutex);
            for (auto& entry : mClients) {
                if (entry.second.notifier)
                    targets.emplace_back(entry.first, entry.second.pushed);
            }
        }
        int sent = 0;
        for (const auto& target : targets) {
            const int len = static_cast<int>(random() % 256);
            std::string data = patternBytes(static_cast<size_t>(len), static_cast<unsigned>(len));
            const bool value = len % 2 == 0;
            const int result = value ? mServer.notify(target.first, kValueCode, target.second + 1)
                                     : mServer.notify(target.first, kDataCodeBase + len, &data[0], len);
            const bool success = result == (value ? 32 : len);
            EXPECT_TRUE(success || result == -2 || result == -3) << "notify returned " << result;
            std::lock_guard<std::mutex> lock(mMutex);
            auto found = mClients.find(target.first);
            if (success && found != mClients.end())
                found->second.pushed += value;
            sent += success;
        }
        return sent;
    }

    // Closes one client picked at random; false when it has not sent a request yet (or there is none).
    bool closeRandomClient(std::mt19937& random) {
        std::shared_lock<std::shared_mutex> shared(mLifecycle);
        std::unique_lock<std::mutex> lock(mMutex);
        auto picked = mClients.begin();
        std::advance(picked, mClients.empty() ? 0 : random() % mClients.size());
        if (picked == mClients.end() || picked->second.id < 0)
            return false;
        void* const handle = picked->first;
        mCloses[static_cast<size_t>(picked->second.id)]++;
        mClients.erase(picked);
        lock.unlock();
        EXPECT_EQ(0, mServer.closeClient(handle));
        return true;
    }

  private:
    struct Client {
        std::string pending;
        int id = -1;  // known from its first request
        bool notifier = false;
        unsigned pushed = 0;
    };

    static void onMessage(void* ctx, void* conn, int type, unsigned char* data, int len) {
        LoadServer* self = static_cast<LoadServer*>(ctx);
        std::unique_lock<std::mutex> lock(self->mMutex);
        if (type == MSG_CONNECTED) {
            self->mClients[conn] = Client();
        } else if (type == MSG_RECV) {
            const std::vector<std::string> responses = self->completeRequests(conn, data, len);
            lock.unlock();
            for (std::string body : responses) {
                // The client may have been closed, or the server stalled, meanwhile; then the send fails.
                const int result = self->mServer.response(conn, bytesOf(body), static_cast<int>(body.size()));
                EXPECT_TRUE(result == static_cast<int>(body.size()) + 32 || (result >= -3 && result <= -1))
                    << "response returned " << result;
            }
        } else if (self->mClients.erase(conn) > 0) {
            // Whoever removes a handle from the table closes it, so that no handle is closed twice.
            lock.unlock();
            EXPECT_EQ(0, self->mServer.closeClient(conn));
        }
    }

    // The responses to the requests that `data` completes.
    std::vector<std::string> completeRequests(void* conn, const unsigned char* data, int len) {
        std::vector<std::string> responses;
        auto found = mClients.find(conn);
        if (found == mClients.end())
            return responses;  // taken by the closer
        std::string& pending = found->second.pending;
        pending.append(reinterpret_cast<const char*>(data), static_cast<size_t>(len));
        RequestHeader header;
        while (pending.size() >= sizeof(header)) {
            memcpy(&header, pending.data(), sizeof(header));
            const size_t length = sizeof(header) + header.payloadLen;
            if (pending.size() < length)
                break;
            found->second.id = static_cast<int>(header.client);
            found->second.notifier = header.notifier != 0;
            responses.push_back(responseFor(pending.substr(0, length)));
            pending.erase(0, length);
        }
        return responses;
    }

    VORNA::Listener mServer;
    std::shared_mutex mLifecycle;
    std::mutex mMutex;
    std::map<void*, Client> mClients;
    std::atomic<int> mStalls{0};
    std::vector<std::atomic<int>> mCloses;
};

// Sends requests of random sizes and checks each response against its request, and in notifier mode the
// notifications: values in sequence on each connection, data intact. A connection that failed is made
// again; a failure that the server did not cause on purpose is counted as unexplained.
class Worker {
  public:
    Worker(const std::string& name, int id, bool notifier, LoadServer* server)
        : mId(id),
          mNotifier(notifier),
          mServer(server),
          mReply(kMaxResponse, 0),
          mConnection(name.c_str(), 0, notifier ? onNotification : NULL, this,
                      VORNA::Connection::CONNECT_LATER) {}

    // `requests` < 0 runs until the process is killed. `answered` is posted after the first good response.
    void run(int requests, unsigned seed, ProcessSignal* answered = NULL) {
        std::mt19937 random(seed);
        for (int sequence = 1; (requests < 0 || sequence <= requests) && (mConnected || reconnect());
             ++sequence) {
            std::string request = randomRequest(random);
            const int length = static_cast<int>(request.size());
            const int got = mConnection.send(bytesOf(request), length) == length
                                ? mConnection.recv(bytesOf(mReply), static_cast<int>(mReply.size()))
                                : -1;
            if (got < 0) {
                unexplained += mServer != NULL && mServer->drops(mId) == mDropsAtConnect;
                mConnection.disconnect();
                mConnected = false;
            } else if (mReply.compare(0, static_cast<size_t>(got), responseFor(request)) != 0) {
                mismatched++;
            } else if (++verified == 1 && answered != NULL) {
                answered->post();
            }
        }
    }

    std::atomic<int> verified{0}, notifications{0};
    // The faults: responses that do not match, losses nobody caused, connects that failed, notifications
    // lost or altered.
    std::atomic<int> mismatched{0}, unexplained{0}, connectFailures{0}, badNotifications{0};

  private:
    std::string randomRequest(std::mt19937& random) {
        const size_t responseLimit = random() % 8 == 0 ? kMaxResponse : kMaxSmallResponse;
        const RequestHeader header = {static_cast<uint32_t>(mId), mNotifier,
                                      static_cast<uint32_t>(random() % (responseLimit + 1)),
                                      static_cast<uint32_t>(random() % (kMaxRequestPayload + 1))};
        std::string request(reinterpret_cast<const char*>(&header), sizeof(header));
        while (request.size() < sizeof(header) + header.payloadLen)
            request += static_cast<char>(random());
        return request;
    }

    bool reconnect() {
        mLastValue = 0;  // the receive thread of the last connection has ended
        mDropsAtConnect = mServer != NULL ? mServer->drops(mId) : 0;
        mConnected = mConnection.connect(kDeadlineMs) == 0;
        connectFailures += !mConnected;
        return mConnected;
    }

    static void onNotification(void* ctx, unsigned int msg, void* data, int len) {
        Worker* self = static_cast<Worker*>(ctx);
        const bool good = msg == kValueCode
                              ? data == NULL && static_cast<unsigned>(len) == ++self->mLastValue
                              : data != NULL && msg == kDataCodeBase + static_cast<unsigned>(len) &&
                                    std::string(static_cast<char*>(data), len) ==
                                        patternBytes(len, static_cast<unsigned>(len));
        self->notifications++;
        self->badNotifications += !good;
        free(data);
    }

    const int mId;
    const uint32_t mNotifier;
    LoadServer* const mServer;
    std::string mReply;
    bool mConnected = false;
    unsigned mLastValue = 0;
    int mDropsAtConnect = 0;
    VORNA::Connection mConnection;
};

// A thread that runs `step` with random pauses of `minUs` to `maxUs` until `stop`, counting in `done` the
// steps that did something.
template <typename Step>
std::thread repeatUntil(const std::atomic<bool>& stop, int* done, unsigned seed, long minUs, long maxUs,
                        Step step) {
    return std::thread([=, &stop] {
        std::mt19937 random(seed);
        while (!stop.load()) {
            pauseUs(minUs + static_cast<long>(random() % static_cast<unsigned long>(maxUs - minUs + 1)));
            *done += step(random) ? 1 : 0;
        }
    });
}

TEST(MessagingLoad, EveryClientGetsItsOwnResponsesAndItsNotificationsInOrderWhateverHappensAround) {
    // How many clients run in this process, how many requests each sends, and how many run in processes
    // of their own that are killed in the middle of their traffic.
    const char* scaleText = getenv("VORNA_SOAK_SCALE");
    const int scale = std::max(1, scaleText != NULL ? atoi(scaleText) : 1);
    const int clientCount = 8 * std::min(scale, 4), victimCount = 2 * std::min(scale, 4);
    const int requests = 100 * scale;
    const unsigned seed = static_cast<unsigned>(time(NULL));
    printf("load: %d clients (and %d killed), %d requests each, seed %u\n", clientCount, victimCount,
           requests, seed);
    const std::string name = uniqueName("load");
    ProcessSignal go;
    std::deque<ProcessSignal> answered(victimCount);  // a victim is killed only once it has had an answer
    std::deque<ForkedProcess> victims;                // forked before this process starts any thread
    for (int id = clientCount; id < clientCount + victimCount; ++id) {
        victims.emplace_back([&, id] {
            if (go.waitFor(kDeadlineMs))
                Worker(name, id, true, NULL).run(-1, seed + id, &answered[id - clientCount]);
        });
    }
    struct sigaction interrupting = {};
    interrupting.sa_handler = [](int) { gInterruptions++; };  // no SA_RESTART: blocked calls return EINTR
    ASSERT_EQ(0, sigaction(SIGUSR1, &interrupting, NULL));
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);  // large blocks go back to the system at once
    LoadServer server(name, clientCount + victimCount);
    std::deque<Worker> workers;
    for (int i = 0; i < clientCount; ++i)
        workers.emplace_back(name, i, i % 2 == 0, &server);
    std::thread([] {}).join();  // ThreadSanitizer's helper thread starts with the first thread
    const int descriptorsBefore = openDescriptorCount();
    const size_t threadsBefore = threadIds().size();
    const long residentBefore = residentKiB();
    ASSERT_TRUE(server.start());
    for (int i = 0; i < victimCount; ++i)
        go.post();

    std::atomic<bool> stop{false};
    int counts[4] = {0, 0, 0, 0};  // notification rounds, clients closed, stall/run cycles, signal rounds
    std::vector<std::thread> threads;
    threads.push_back(repeatUntil(stop, &counts[0], seed, 1000, 3000,
                                  [&](std::mt19937& r) { return server.pushRound(r) > 0; }));
    threads.push_back(repeatUntil(stop, &counts[1], seed + 1, 20000, 80000,
                                  [&](std::mt19937& r) { return server.closeRandomClient(r); }));
    threads.push_back(repeatUntil(stop, &counts[2], seed + 2, 100000, 300000, [&](std::mt19937&) {
        EXPECT_TRUE(server.cycle()) << "stall and run again failed";
        return true;
    }));
    // Signals for every thread but the signalling one and this one, whose waits are the test's own.
    const pid_t spared = currentTid();
    if (kSignalStorm)
        threads.push_back(repeatUntil(stop, &counts[3], seed, 200, 200, [&](std::mt19937&) {
            for (pid_t tid : threadIds()) {
                if (tid != spared && tid != currentTid())
                    tgkill(getpid(), tid, SIGUSR1);
            }
            return true;
        }));
    std::vector<std::thread> clients;
    for (int i = 0; i < clientCount; ++i)
        clients.emplace_back([&, i] { workers[i].run(requests, seed + i); });
    // Each victim dies at a random moment once it has had an answer.
    std::mt19937 random(seed);
    for (int i = 0; i < victimCount; ++i) {
        EXPECT_TRUE(answered[i].waitFor(kFirstAnswerMs)) << "client process " << i << " was never answered";
        pauseUs(1000 * static_cast<long>(random() % 300));
        victims[i].kill(SIGKILL);
        EXPECT_EQ(128 + SIGKILL, victims[i].wait());
    }
    for (std::thread& client : clients)
        client.join();
    stop = true;
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(0, server.stop());
    printf("load: %d notification rounds, %d clients closed, %d stall/run cycles, %d interruptions\n",
           counts[0], counts[1], counts[2], gInterruptions.load());

    int notifications = 0;
    for (int i = 0; i < clientCount; ++i) {
        const Worker& w = workers[i];
        EXPECT_GT(w.verified.load(), 0) << "client " << i << " never got a response";
        EXPECT_THAT((std::vector<int>{w.mismatched, w.unexplained, w.connectFailures, w.badNotifications}),
                    Each(0))
            << "client " << i << ": responses that do not match, connections lost that nobody dropped, "
            << "connects that failed, notifications lost or altered";
        notifications += w.notifications;
    }
    // Measured while the clients still hold their buffers, as when the run began.
    const long growth = residentKiB() - residentBefore;
    workers.clear();
    EXPECT_THAT((std::vector<int>{notifications, counts[0], counts[1], counts[2],
                                  kSignalStorm ? gInterruptions.load() : 1}),
                Each(Gt(0)))
        << "notifications received, rounds that reached a client, clients closed, stall/run cycles, "
        << "signals that interrupted something";
    EXPECT_EQ(descriptorsBefore, openDescriptorCount()) << "descriptors left open";
    // A joined thread may still be listed for a moment.
    EXPECT_TRUE(waitUntil([&] { return threadIds().size() <= threadsBefore; }))
        << "threads left running: " << threadIds().size() << ", " << threadsBefore << " before";
    EXPECT_TRUE(!kMemoryBounded || growth < kMemoryGrowthBoundKiB)
        << "resident memory grew by " << growth << " KiB";
}

}  // namespace
