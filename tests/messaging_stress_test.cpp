// Traffic against one server while everything that can go wrong around it does: the server pushes to
// its clients, closes some and restarts its event loop, client processes are killed, and signals without
// SA_RESTART interrupt every blocking call of every thread. The short form runs in the suite; the long form
// (32 clients x 10 000 requests) runs with --gtest_also_run_disabled_tests.

#include <dirent.h>
#include <errno.h>
#include <malloc.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/child.h"
#include "support/peers.h"
#include "support/probes.h"
#include "vorna/messaging.h"

namespace {

using namespace testing_support;

struct Scale {
    int workers;  // clients in this process, checked request by request
    int requests;
    int victims;  // clients in processes of their own, killed in the middle of their traffic
};

const size_t kMaxRequestPayload = 2048;
// One request in 8 asks for up to this much, far more than a socket buffer holds, so that sends block
// and signals cut into them.
const size_t kMaxResponse = 640 * 1024;
const size_t kMaxSmallResponse = 4096;
const unsigned int kValueCode = 5;
const unsigned int kDataCodeBase = 1000;  // a data notification's code is this plus its length
const long kMemoryGrowthBoundKiB = 8 * 1024;
const int kDeadlineMs = 600000;

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
#define VORNA_TEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer) || __has_feature(address_sanitizer)
#define VORNA_TEST_SANITIZED 1
#endif
#endif
#ifdef VORNA_TEST_SANITIZED
const bool kSanitized = true;
#else
const bool kSanitized = false;
#endif

// Pauses `us` microseconds, also when signals cut into the pause.
void pauseUs(long us) {
    timespec pause = {us / 1000000, us % 1000000 * 1000};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
}

std::vector<pid_t> threadIds() {
    std::vector<pid_t> ids;
    DIR* dir = opendir("/proc/self/task");
    while (dirent* entry = dir != NULL ? readdir(dir) : NULL) {
        if (entry->d_name[0] != '.')
            ids.push_back(static_cast<pid_t>(atoi(entry->d_name)));
    }
    if (dir != NULL)
        closedir(dir);
    return ids;
}

// No thread of the server is left, and no more threads run than `before`. A thread that has been joined
// may still be listed for a moment, hence the wait.
bool threadsSettled(size_t before) {
    return waitUntil([&] {
        const std::vector<pid_t> ids = threadIds();
        return ids.size() <= before && std::none_of(ids.begin(), ids.end(), [](pid_t id) {
                   return kernelThreadName(id) == "listener";
               });
    });
}

long residentKiB() {
    FILE* file = fopen("/proc/self/status", "re");
    char line[256];
    long kib = -1;
    while (file != NULL && fgets(line, sizeof(line), file) != NULL &&
           sscanf(line, "VmRSS: %ld kB", &kib) != 1) {
    }
    if (file != NULL)
        fclose(file);
    return kib;
}

std::atomic<int> gInterruptions{0};

void countInterruption(int) {
    gInterruptions++;
}

// Sends SIGUSR1 to every thread but this one and `spared`, again and again, until `stop`.
void interruptThreads(pid_t spared, const std::atomic<bool>& stop) {
    const pid_t self = currentTid();
    while (!stop.load()) {
        for (pid_t tid : threadIds()) {
            if (tid != self && tid != spared)
                tgkill(getpid(), tid, SIGUSR1);
        }
        pauseUs(200);
    }
}

uint32_t fnv1a(const unsigned char* bytes, size_t count) {
    uint32_t hash = 2166136261u;
    for (size_t i = 0; i < count; ++i)
        hash = (hash ^ bytes[i]) * 16777619u;
    return hash;
}

// A request: this header, then `payloadLen` random bytes. The server answers with `responseSize` bytes.
struct RequestHeader {
    uint32_t client;
    uint32_t notifier;  // the client takes notifications
    uint32_t sequence;
    uint32_t responseSize;
    uint32_t payloadLen;
};

// The response names the request and carries its checksum, then a pattern seeded by that checksum, so a
// body that went to the wrong request, lost bytes or came back shifted does not match.
std::vector<unsigned char> responseFor(const std::vector<unsigned char>& request) {
    RequestHeader header;
    memcpy(&header, request.data(), sizeof(header));
    std::vector<unsigned char> body(header.responseSize);
    const uint32_t words[4] = {header.client, header.sequence, fnv1a(request.data(), request.size()),
                               header.responseSize};
    const size_t prefix = std::min(body.size(), sizeof(words));
    if (prefix > 0)  // an empty vector's data() may be null, which memcpy must not get
        memcpy(body.data(), words, prefix);
    for (size_t i = prefix; i < body.size(); ++i)
        body[i] = static_cast<unsigned char>((words[2] >> (i % 4 * 8)) + i * 7);
    return body;
}

unsigned char dataNotificationByte(int len, int index) {
    return static_cast<unsigned char>(len * 13 + index);
}

// Answers every complete request, and offers its clients to the pusher and closer threads. Those threads
// and stall/run cycles exclude each other through `mLifecycle`; the callback does not take it, since stall
// waits for the event thread. It counts every connection it drops on purpose, so that a client can tell
// those losses from the ones the library causes.
class LoadServer {
  public:
    LoadServer(const std::string& name, int clients) : mServer(name.c_str(), 0), mCloses(clients) {
        mServer.setMsgCbk(onMessage, this);
    }

    bool start() { return mServer.run() == 0; }

    // Stops and restarts the event loop; every client is dropped on the way.
    bool cycle() { return stop() == 0 && mServer.run() == 0; }

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
        int sent = 0;
        for (const auto& target : notifiedClients()) {
            const int len = static_cast<int>(random() % 256);
            if (len % 2 == 0) {
                const int result = mServer.notify(target.first, kValueCode, target.second + 1);
                EXPECT_TRUE(result == 32 || result == -2 || result == -3) << "notify returned " << result;
                sent += result == 32 && counted(target.first);
                continue;
            }
            unsigned char data[256];
            for (int i = 0; i < len; ++i)
                data[i] = dataNotificationByte(len, i);
            const int result =
                mServer.notify(target.first, kDataCodeBase + static_cast<unsigned>(len), data, len);
            EXPECT_TRUE(result == len || result == -2 || result == -3) << "notify returned " << result;
            sent += result == len;
        }
        return sent;
    }

    // Closes one client picked at random; false when there was none.
    bool closeRandomClient(std::mt19937& random) {
        std::shared_lock<std::shared_mutex> shared(mLifecycle);
        void* handle = NULL;
        {
            std::lock_guard<std::mutex> lock(mMutex);
            std::vector<std::map<void*, Client>::iterator> known;
            for (auto it = mClients.begin(); it != mClients.end(); ++it) {
                if (it->second.id >= 0)
                    known.push_back(it);
            }
            if (known.empty())
                return false;
            const auto picked = known[random() % known.size()];
            handle = picked->first;
            mCloses[static_cast<size_t>(picked->second.id)]++;
            mClients.erase(picked);
        }
        EXPECT_EQ(0, mServer.closeClient(handle));
        return true;
    }

  private:
    struct Client {
        std::vector<unsigned char> pending;
        int id = -1;  // known from its first request
        bool notifier = false;
        unsigned pushed = 0;
    };

    static void onMessage(void* ctx, void* conn, int type, unsigned char* data, int len) {
        LoadServer* self = static_cast<LoadServer*>(ctx);
        if (type == MSG_CONNECTED) {
            std::lock_guard<std::mutex> lock(self->mMutex);
            self->mClients[conn] = Client();
        } else if (type == MSG_RECV) {
            self->answer(conn, data, len);
        } else if (type == MSG_DISCONNECTED) {
            self->forget(conn);
        }
    }

    // Whoever removes a handle from the table is the one that closes it, so no handle is closed twice.
    void forget(void* conn) {
        {
            std::lock_guard<std::mutex> lock(mMutex);
            if (mClients.erase(conn) == 0)
                return;
        }
        EXPECT_EQ(0, mServer.closeClient(conn));
    }

    void answer(void* conn, const unsigned char* data, int len) {
        for (const std::vector<unsigned char>& request : completeRequests(conn, data, len)) {
            std::vector<unsigned char> body = responseFor(request);
            const int bodyLen = static_cast<int>(body.size());
            // The client may have been closed, or the server stalled, meanwhile; then the send fails.
            const int result = mServer.response(conn, body.data(), bodyLen);
            EXPECT_TRUE(result == bodyLen + 32 || (result >= -3 && result <= -1))
                << "response returned " << result;
        }
    }

    std::vector<std::vector<unsigned char>> completeRequests(void* conn, const unsigned char* data, int len) {
        std::vector<std::vector<unsigned char>> requests;
        std::lock_guard<std::mutex> lock(mMutex);
        auto found = mClients.find(conn);
        if (found == mClients.end())
            return requests;  // taken by the closer
        std::vector<unsigned char>& pending = found->second.pending;
        pending.insert(pending.end(), data, data + len);
        RequestHeader header;
        while (pending.size() >= sizeof(header)) {
            memcpy(&header, pending.data(), sizeof(header));
            const size_t length = sizeof(header) + header.payloadLen;
            if (pending.size() < length)
                break;
            found->second.id = static_cast<int>(header.client);
            found->second.notifier = header.notifier != 0;
            requests.emplace_back(pending.begin(), pending.begin() + static_cast<long>(length));
            pending.erase(pending.begin(), pending.begin() + static_cast<long>(length));
        }
        return requests;
    }

    std::vector<std::pair<void*, unsigned>> notifiedClients() {
        std::vector<std::pair<void*, unsigned>> clients;
        std::lock_guard<std::mutex> lock(mMutex);
        for (auto& entry : mClients) {
            if (entry.second.notifier)
                clients.emplace_back(entry.first, entry.second.pushed);
        }
        return clients;
    }

    bool counted(void* conn) {
        std::lock_guard<std::mutex> lock(mMutex);
        auto found = mClients.find(conn);
        return found != mClients.end() && ++found->second.pushed > 0;
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
    struct Tally {
        std::atomic<int> verified{0};
        std::atomic<int> mismatched{0};
        std::atomic<int> unexplained{0};
        std::atomic<int> connectFailures{0};
        std::atomic<int> notifications{0};
        std::atomic<int> badNotifications{0};
    };

    Worker(const std::string& name, int id, bool notifier, LoadServer* server)
        : mId(id),
          mNotifier(notifier),
          mServer(server),
          mReply(kMaxResponse),
          mConnection(name.c_str(), 0, notifier ? onNotification : NULL, this,
                      VORNA::Connection::CONNECT_LATER) {}

    // `requests` < 0 runs until the process is killed. `answered` is posted after the first good response.
    void run(int requests, unsigned seed, ProcessSignal* answered = NULL) {
        std::mt19937 random(seed);
        bool connected = false;
        for (uint32_t sequence = 1; requests < 0 || sequence <= static_cast<uint32_t>(requests); ++sequence) {
            if (!connected && !(connected = reconnect()))
                return;
            std::vector<unsigned char> request = randomRequest(sequence, random);
            const int length = static_cast<int>(request.size());
            int got = -1;
            if (mConnection.send(request.data(), length) == length)
                got = mConnection.recv(mReply.data(), static_cast<int>(mReply.size()));
            if (got < 0) {
                tally.unexplained += mServer != NULL && mServer->drops(mId) == mDropsAtConnect;
                mConnection.disconnect();
                connected = false;
                continue;
            }
            const std::vector<unsigned char> expected = responseFor(request);
            const bool same = static_cast<size_t>(got) == expected.size() &&
                              std::equal(expected.begin(), expected.end(), mReply.begin());
            (same ? tally.verified : tally.mismatched)++;
            if (same && answered != NULL && tally.verified == 1)
                answered->post();
        }
    }

    Tally tally;

  private:
    std::vector<unsigned char> randomRequest(uint32_t sequence, std::mt19937& random) {
        const RequestHeader header = {
            static_cast<uint32_t>(mId), mNotifier, sequence,
            static_cast<uint32_t>(random() % ((random() % 8 == 0 ? kMaxResponse : kMaxSmallResponse) + 1)),
            static_cast<uint32_t>(random() % (kMaxRequestPayload + 1))};
        std::vector<unsigned char> request(sizeof(header) + header.payloadLen);
        memcpy(request.data(), &header, sizeof(header));
        for (size_t i = sizeof(header); i < request.size(); ++i)
            request[i] = static_cast<unsigned char>(random());
        return request;
    }

    bool reconnect() {
        mLastValue = 0;  // the receive thread of the last connection has ended
        mDropsAtConnect = mServer != NULL ? mServer->drops(mId) : 0;
        if (mConnection.connect(kDeadlineMs) == 0)
            return true;
        tally.connectFailures++;
        return false;
    }

    static void onNotification(void* ctx, unsigned int msg, void* data, int len) {
        Worker* self = static_cast<Worker*>(ctx);
        const unsigned char* bytes = static_cast<unsigned char*>(data);
        bool good = msg == kValueCode ? data == NULL && static_cast<unsigned>(len) == ++self->mLastValue
                                      : data != NULL && msg == kDataCodeBase + static_cast<unsigned>(len);
        for (int i = 0; good && msg != kValueCode && i < len; ++i)
            good = bytes[i] == dataNotificationByte(len, i);
        self->tally.notifications++;
        self->tally.badNotifications += !good;
        free(data);
    }

    const int mId;
    const bool mNotifier;
    LoadServer* const mServer;
    std::vector<unsigned char> mReply;
    unsigned mLastValue = 0;
    int mDropsAtConnect = 0;
    VORNA::Connection mConnection;
};

// Runs `step` with random pauses of `minMs` to `maxMs` until `stop`; returns how often it did something.
template <typename Step>
int repeatUntil(const std::atomic<bool>& stop, unsigned seed, int minMs, int maxMs, Step step) {
    std::mt19937 random(seed);
    int done = 0;
    while (!stop.load()) {
        pauseUs(1000 * (minMs + static_cast<long>(random() % static_cast<unsigned>(maxMs - minMs + 1))));
        done += step(random) ? 1 : 0;
    }
    return done;
}

class MessagingLoad : public ::testing::TestWithParam<Scale> {};

TEST_P(MessagingLoad, EveryClientGetsItsOwnResponsesAndItsNotificationsInOrderWhateverHappensAround) {
    const Scale scale = GetParam();
    const unsigned seed = static_cast<unsigned>(time(NULL));
    printf("load: %d clients (and %d killed), %d requests each, seed %u\n", scale.workers, scale.victims,
           scale.requests, seed);
    const std::string name = uniqueName("load");
    ProcessSignal go;
    ProcessSignal answered;
    // Forked before this process starts any thread.
    std::vector<std::unique_ptr<ForkedProcess>> victims;
    for (int id = scale.workers; id < scale.workers + scale.victims; ++id) {
        victims.emplace_back(new ForkedProcess([&, id] {
            if (go.waitFor(kDeadlineMs))
                Worker(name, id, true, NULL).run(-1, seed + static_cast<unsigned>(id), &answered);
        }));
    }
    struct sigaction interrupting = {};
    interrupting.sa_handler = countInterruption;  // no SA_RESTART: blocked calls return EINTR
    ASSERT_EQ(0, sigaction(SIGUSR1, &interrupting, NULL));
    if (!kSanitized)
        mallopt(M_MMAP_THRESHOLD, 128 * 1024);  // large blocks go back to the system at once
    LoadServer server(name, scale.workers + scale.victims);
    std::vector<std::unique_ptr<Worker>> workers;
    for (int i = 0; i < scale.workers; ++i)
        workers.emplace_back(new Worker(name, i, i % 2 == 0, &server));
    std::thread([] {}).join();  // ThreadSanitizer's helper thread starts with the first thread
    const int descriptorsBefore = openDescriptorCount();
    const size_t threadsBefore = threadIds().size();
    const long residentBefore = residentKiB();
    ASSERT_TRUE(server.start());
    for (size_t i = 0; i < victims.size(); ++i)
        go.post();

    std::atomic<bool> stop{false};
    int pushed = 0;
    int closed = 0;
    int cycles = 0;
    std::vector<std::thread> threads;
    threads.emplace_back([&] {
        pushed =
            repeatUntil(stop, seed + 100, 1, 3, [&](std::mt19937& r) { return server.pushRound(r) > 0; });
    });
    threads.emplace_back([&] {
        closed = repeatUntil(stop, seed + 101, 20, 80,
                             [&](std::mt19937& r) { return server.closeRandomClient(r); });
    });
    threads.emplace_back([&] {
        cycles = repeatUntil(stop, seed + 102, 100, 300, [&](std::mt19937&) {
            EXPECT_TRUE(server.cycle()) << "stall and run again failed";
            return true;
        });
    });
    const pid_t mainThread = currentTid();
    threads.emplace_back([&] { interruptThreads(mainThread, stop); });
    std::vector<std::thread> clients;
    for (size_t i = 0; i < workers.size(); ++i)
        clients.emplace_back([&, i] { workers[i]->run(scale.requests, seed + static_cast<unsigned>(i)); });
    // Each victim dies at a random moment once it has had an answer.
    std::mt19937 random(seed + 103);
    for (std::unique_ptr<ForkedProcess>& victim : victims) {
        EXPECT_TRUE(answered.waitFor(kDeadlineMs)) << "a client process was never answered";
        pauseUs(1000 * static_cast<long>(random() % 300));
        victim->kill(SIGKILL);
        EXPECT_EQ(128 + SIGKILL, victim->wait());
    }
    for (std::thread& client : clients)
        client.join();
    stop = true;
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(0, server.stop());
    printf("load: %d notification rounds, %d clients closed, %d stall/run cycles, %d interruptions\n", pushed,
           closed, cycles, gInterruptions.load());

    int notifications = 0;
    for (size_t i = 0; i < workers.size(); ++i) {
        const Worker::Tally& tally = workers[i]->tally;
        EXPECT_GT(tally.verified.load(), 0) << "client " << i << " never got a response";
        EXPECT_EQ(0, tally.mismatched.load()) << "client " << i << " got responses that do not match";
        EXPECT_EQ(0, tally.unexplained.load()) << "client " << i << " lost connections nobody dropped";
        EXPECT_EQ(0, tally.connectFailures.load()) << "client " << i << " could not connect again";
        EXPECT_EQ(0, tally.badNotifications.load())
            << "client " << i << " got notifications lost or corrupted";
        notifications += tally.notifications.load();
    }
    // Measured while the clients still hold their buffers, as when the run began.
    const long growth = residentKiB() - residentBefore;
    workers.clear();
    EXPECT_GT(notifications, 0) << "no client received a notification";
    EXPECT_GT(pushed, 0) << "the pusher reached no client";
    EXPECT_GT(closed, 0) << "the closer never closed a client";
    EXPECT_GT(cycles, 0) << "the server never went through stall and run";
    EXPECT_GT(gInterruptions.load(), 0) << "no signal interrupted anything";
    EXPECT_EQ(descriptorsBefore, openDescriptorCount()) << "descriptors left open";
    EXPECT_TRUE(threadsSettled(threadsBefore))
        << "threads left running: " << threadIds().size() << ", " << threadsBefore << " before";
    printf("load: resident memory grew by %ld KiB\n", growth);
    // The sanitizers' own bookkeeping grows with the traffic; the bound is for the library.
    if (!kSanitized) {
        EXPECT_LT(growth, kMemoryGrowthBoundKiB) << "resident memory grew by " << growth << " KiB";
    }
}

INSTANTIATE_TEST_SUITE_P(Short, MessagingLoad, ::testing::Values(Scale{8, 100, 2}));
INSTANTIATE_TEST_SUITE_P(DISABLED_Long, MessagingLoad, ::testing::Values(Scale{32, 10000, 8}));

}  // namespace
