// Long-running traffic against one server while everything that can go wrong around it does: clients in
// other processes die, the server drops clients and restarts its event loop. The short form runs in CI;
// VORNA_SOAK_SCALE=100 gives the long form (32 clients x 10 000 requests).

#include <dirent.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <random>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/child.h"
#include "support/peers.h"
#include "vorna/messaging.h"

namespace {

using namespace testing_support;

#if defined(__arm__)
const int kPromptMs = 2000;
#else
const int kPromptMs = 1000;
#endif
const int kBaseRequests = 100;
const size_t kMaxRequestPayload = 2048;
const size_t kMaxResponse = 64 * 1024;
const unsigned int kValueCode = 5;
const unsigned int kDataCodeBase = 1000;  // a data notification's code is this plus its length
const long kMemoryGrowthBoundKiB = 8 * 1024;
const int kClientDeadlineMs = 600000;
// The kernel names of the server's event thread and of a client's receive thread.
const char* const kServerThread = "listener";
const char* const kReceiveThread = "notifier listen";

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
const bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer) || __has_feature(address_sanitizer)
const bool kSanitized = true;
#else
const bool kSanitized = false;
#endif
#else
const bool kSanitized = false;
#endif

int soakScale() {
    const char* text = getenv("VORNA_SOAK_SCALE");
    const int scale = text == NULL ? 1 : atoi(text);
    return scale < 1 ? 1 : scale;
}

void pauseMs(long ms) {
    timespec pause = {ms / 1000, (ms % 1000) * 1000000};
    nanosleep(&pause, NULL);
}

int threadCount() {
    return testing_support::directoryEntryCount("/proc/self/task");
}

// Threads of this process whose kernel name is `name` (names are cut to 15 characters).
int threadsNamed(const std::string& name) {
    DIR* dir = opendir("/proc/self/task");
    if (dir == NULL)
        return -1;
    int count = 0;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        const std::string path = std::string("/proc/self/task/") + entry->d_name + "/comm";
        FILE* file = fopen(path.c_str(), "re");
        char comm[32] = {};
        if (file != NULL && fgets(comm, sizeof(comm), file) != NULL)
            count += name + "\n" == comm ? 1 : 0;
        if (file != NULL)
            fclose(file);
    }
    closedir(dir);
    return count;
}

// No thread named `name` is left, and no more threads run than `before`. A thread that has been joined
// may still be listed for a moment under qemu, hence the wait.
bool threadsSettled(const std::string& name, int before) {
    return waitUntil([&] { return threadsNamed(name) == 0 && threadCount() <= before; }, kPromptMs);
}

// The thread count before a scenario. ThreadSanitizer starts a helper thread along with the first thread of
// the process; starting one here first keeps that helper out of the comparison.
int baselineThreadCount() {
    std::thread([] {}).join();
    return threadCount();
}

long residentKiB() {
    FILE* file = fopen("/proc/self/status", "re");
    if (file == NULL)
        return -1;
    char line[256];
    long kib = -1;
    while (fgets(line, sizeof(line), file) != NULL) {
        if (sscanf(line, "VmRSS: %ld kB", &kib) == 1)
            break;
    }
    fclose(file);
    return kib;
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
    uint32_t sequence;
    uint32_t responseSize;
    uint32_t payloadLen;
};

// The response names the request and carries its checksum, then a pattern seeded by that checksum, so a
// body that went to the wrong request, lost bytes or came back shifted does not match.
std::vector<unsigned char> responseFor(const unsigned char* request, size_t length) {
    RequestHeader header;
    memcpy(&header, request, sizeof(header));
    std::vector<unsigned char> body(header.responseSize);
    const uint32_t words[4] = {header.client, header.sequence, fnv1a(request, length), header.responseSize};
    const size_t prefix = std::min(body.size(), sizeof(words));
    if (prefix > 0)  // an empty vector's data() may be null, which memcpy must not get
        memcpy(body.data(), words, prefix);
    for (size_t i = prefix; i < body.size(); ++i)
        body[i] = static_cast<unsigned char>((words[2] >> (i % 4 * 8)) + i * 7);
    return body;
}

std::vector<unsigned char> randomRequest(uint32_t client, uint32_t sequence, std::mt19937& random) {
    RequestHeader header;
    header.client = client;
    header.sequence = sequence;
    header.responseSize = static_cast<uint32_t>(random() % (kMaxResponse + 1));
    header.payloadLen = static_cast<uint32_t>(random() % (kMaxRequestPayload + 1));
    std::vector<unsigned char> request(sizeof(header) + header.payloadLen);
    memcpy(request.data(), &header, sizeof(header));
    for (size_t i = sizeof(header); i < request.size(); ++i)
        request[i] = static_cast<unsigned char>(random());
    return request;
}

unsigned char dataNotificationByte(int len, int index) {
    return static_cast<unsigned char>(len * 13 + index);
}

// What a client process reports back; lives in memory shared with the test process.
struct ClientTally {
    std::atomic<int> verified;
    std::atomic<int> mismatched;
    std::atomic<int> reconnects;
    std::atomic<int> notifications;
    std::atomic<int> badNotifications;
    std::atomic<int> connectFailures;
};

class SharedTallies {
  public:
    explicit SharedTallies(int count) : mCount(count) {
        void* memory = mmap(NULL, bytes(), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        mTallies = memory == MAP_FAILED ? NULL : static_cast<ClientTally*>(memory);
        for (int i = 0; mTallies != NULL && i < count; ++i)
            new (&mTallies[i]) ClientTally();
    }
    ~SharedTallies() {
        if (mTallies != NULL)
            munmap(mTallies, bytes());
    }
    SharedTallies(const SharedTallies&) = delete;
    SharedTallies& operator=(const SharedTallies&) = delete;

    bool ok() const { return mTallies != NULL; }
    ClientTally& operator[](int index) { return mTallies[index]; }

  private:
    size_t bytes() const { return sizeof(ClientTally) * static_cast<size_t>(mCount); }

    int mCount;
    ClientTally* mTallies = NULL;
};

// The client side, run in a forked process: requests with random sizes, each response checked against
// its request; a lost connection (server stall, closeClient) is re-established and the next request sent.
class SoakClient {
  public:
    SoakClient(const std::string& name, uint32_t index, ClientTally* tally)
        : mIndex(index), mTally(tally), mConnection(name.c_str(), 0, onNotification, tally) {}

    // `requests` < 0 runs until the process is killed.
    void run(int requests, unsigned seed) {
        std::mt19937 random(seed);
        std::vector<unsigned char> reply(kMaxResponse);
        for (uint32_t sequence = 1; requests < 0 || sequence <= static_cast<uint32_t>(requests); ++sequence) {
            std::vector<unsigned char> request = randomRequest(mIndex, sequence, random);
            const int length = static_cast<int>(request.size());
            if (mConnection.send(request.data(), length) != length) {
                if (!reconnect())
                    return;
                continue;
            }
            const int got = mConnection.recv(reply.data(), static_cast<int>(reply.size()));
            if (got < 0) {
                if (!reconnect())
                    return;
                continue;
            }
            const std::vector<unsigned char> expected = responseFor(request.data(), request.size());
            const bool same = static_cast<size_t>(got) == expected.size() &&
                              memcmp(reply.data(), expected.data(), expected.size()) == 0;
            (same ? mTally->verified : mTally->mismatched)++;
        }
    }

  private:
    static void onNotification(void* ctx, unsigned int msg, void* data, int len) {
        ClientTally* tally = static_cast<ClientTally*>(ctx);
        tally->notifications++;
        if (!isExpectedNotification(msg, static_cast<unsigned char*>(data), len))
            tally->badNotifications++;
        free(data);
    }

    static bool isExpectedNotification(unsigned int msg, const unsigned char* data, int len) {
        if (msg == kValueCode)
            return data == NULL;
        if (data == NULL || msg != kDataCodeBase + static_cast<unsigned>(len))
            return false;
        for (int i = 0; i < len; ++i) {
            if (data[i] != dataNotificationByte(len, i))
                return false;
        }
        return true;
    }

    bool reconnect() {
        mTally->reconnects++;
        mConnection.disconnect();
        if (mConnection.connect() == 0)
            return true;
        mTally->connectFailures++;
        return false;
    }

    const uint32_t mIndex;
    ClientTally* mTally;
    VORNA::Connection mConnection;
};

// The server side: answers every complete request, and offers its clients to the pusher and closer
// threads. Those threads and stall/run cycles exclude each other through `mLifecycle`; the callback does
// not take it, since stall waits for the event thread.
class SoakServer {
  public:
    explicit SoakServer(const std::string& name) : mName(name), mServer(mName.c_str(), 0) {
        mServer.setMsgCbk(onMessage, this);
    }

    bool start() { return mServer.run() == 0; }

    // Stops and restarts the event loop; every client is dropped on the way.
    bool cycle() {
        std::unique_lock<std::shared_mutex> exclusive(mLifecycle);
        if (mServer.stall() != 0)
            return false;
        forgetClients();
        return mServer.run() == 0;
    }

    int stop() {
        std::unique_lock<std::shared_mutex> exclusive(mLifecycle);
        const int result = mServer.stall();
        forgetClients();
        return result;
    }

    // One value or data notification to each known client; returns how many went out.
    int pushRound(std::mt19937& random) {
        std::shared_lock<std::shared_mutex> shared(mLifecycle);
        int sent = 0;
        for (void* handle : knownHandles()) {
            const int len = static_cast<int>(random() % 256);
            if (len % 2 == 0) {
                sent += mServer.notify(handle, kValueCode, static_cast<unsigned>(len)) == 32;
                continue;
            }
            unsigned char data[256];
            for (int i = 0; i < len; ++i)
                data[i] = dataNotificationByte(len, i);
            sent += mServer.notify(handle, kDataCodeBase + static_cast<unsigned>(len), data, len) == len;
        }
        return sent;
    }

    // Closes one client picked at random; false when there was none.
    bool closeRandomClient(std::mt19937& random) {
        std::shared_lock<std::shared_mutex> shared(mLifecycle);
        void* handle = takeRandomHandle(random);
        if (handle == NULL)
            return false;
        EXPECT_EQ(0, mServer.closeClient(handle));
        return true;
    }

    int answered() const { return mAnswered.load(); }

  private:
    static void onMessage(void* ctx, void* conn, int type, unsigned char* data, int len) {
        SoakServer* self = static_cast<SoakServer*>(ctx);
        if (type == MSG_CONNECTED)
            self->onConnected(conn);
        else if (type == MSG_RECV)
            self->onBytes(conn, data, len);
        else if (type == MSG_DISCONNECTED)
            self->onDisconnected(conn);
    }

    void onConnected(void* conn) {
        std::lock_guard<std::mutex> lock(mMutex);
        mPending[conn].clear();
    }

    // Whoever removes a handle from the table is the one that closes it, so no handle is closed twice.
    void onDisconnected(void* conn) {
        {
            std::lock_guard<std::mutex> lock(mMutex);
            if (mPending.erase(conn) == 0)
                return;
        }
        EXPECT_EQ(0, mServer.closeClient(conn));
    }

    void onBytes(void* conn, const unsigned char* data, int len) {
        for (const std::vector<unsigned char>& request : completeRequests(conn, data, len)) {
            const std::vector<unsigned char> body = responseFor(request.data(), request.size());
            const int bodyLen = static_cast<int>(body.size());
            // The client may have been closed or killed meanwhile; then the send fails.
            const int result = mServer.response(conn, const_cast<unsigned char*>(body.data()), bodyLen);
            EXPECT_TRUE(result == bodyLen + 32 || result < 0) << "response returned " << result;
            if (result > 0)
                mAnswered++;
        }
    }

    std::vector<std::vector<unsigned char>> completeRequests(void* conn, const unsigned char* data, int len) {
        std::vector<std::vector<unsigned char>> requests;
        std::lock_guard<std::mutex> lock(mMutex);
        auto found = mPending.find(conn);
        if (found == mPending.end())
            return requests;  // taken by the closer
        std::vector<unsigned char>& pending = found->second;
        pending.insert(pending.end(), data, data + len);
        while (pending.size() >= sizeof(RequestHeader)) {
            RequestHeader header;
            memcpy(&header, pending.data(), sizeof(header));
            const size_t length = sizeof(header) + header.payloadLen;
            if (pending.size() < length)
                break;
            requests.emplace_back(pending.begin(), pending.begin() + static_cast<long>(length));
            pending.erase(pending.begin(), pending.begin() + static_cast<long>(length));
        }
        return requests;
    }

    std::vector<void*> knownHandles() {
        std::vector<void*> handles;
        std::lock_guard<std::mutex> lock(mMutex);
        for (auto& entry : mPending)
            handles.push_back(entry.first);
        return handles;
    }

    void* takeRandomHandle(std::mt19937& random) {
        std::lock_guard<std::mutex> lock(mMutex);
        if (mPending.empty())
            return NULL;
        auto picked = mPending.begin();
        std::advance(picked, static_cast<long>(random() % mPending.size()));
        void* handle = picked->first;
        mPending.erase(picked);
        return handle;
    }

    // After stall the handles are gone with the event loop.
    void forgetClients() {
        std::lock_guard<std::mutex> lock(mMutex);
        mPending.clear();
    }

    const std::string mName;
    VORNA::Listener mServer;
    std::shared_mutex mLifecycle;
    std::mutex mMutex;
    std::map<void*, std::vector<unsigned char>> mPending;
    std::atomic<int> mAnswered{0};
};

// Runs `step` with random pauses of `minMs` to `maxMs` until `stop`; returns how often it did something.
template <typename Step>
int repeatUntil(const std::atomic<bool>& stop, unsigned seed, int minMs, int maxMs, Step step) {
    std::mt19937 random(seed);
    int done = 0;
    while (!stop.load()) {
        pauseMs(minMs + static_cast<long>(random() % static_cast<unsigned>(maxMs - minMs + 1)));
        done += step(random) ? 1 : 0;
    }
    return done;
}

TEST(Soak, ClientsGetMatchingResponsesWhileServerPushesClosesStallsAndClientsAreKilled) {
    const int scale = soakScale();
    const int clients = std::min(32, 8 * scale);
    const int victims = clients / 4;
    const int requests = kBaseRequests * scale;
    const unsigned seed = static_cast<unsigned>(time(NULL));
    printf("soak: %d clients (%d killed), %d requests each, seed %u\n", clients, victims, requests, seed);

    SharedTallies tallies(clients);
    ASSERT_TRUE(tallies.ok());
    const std::string name = uniqueName("soak");
    const int descriptorsBefore = openDescriptorCount();
    const int threadsBefore = baselineThreadCount();
    const long residentBefore = residentKiB();

    // Forked before this process starts any thread. Victims run until they are killed.
    std::vector<std::unique_ptr<ForkedProcess>> processes;
    for (int i = 0; i < clients; ++i) {
        const int count = i < victims ? -1 : requests;
        processes.emplace_back(new ForkedProcess([&, i, count] {
            SoakClient(name, static_cast<uint32_t>(i), &tallies[i])
                .run(count, seed + static_cast<unsigned>(i));
        }));
    }

    int cycles = 0;
    int closed = 0;
    int pushed = 0;
    {
        SoakServer server(name);
        ASSERT_TRUE(server.start());
        std::atomic<bool> stop{false};
        std::thread pusher([&] {
            pushed =
                repeatUntil(stop, seed + 100, 1, 3, [&](std::mt19937& r) { return server.pushRound(r) > 0; });
        });
        std::thread closer([&] {
            closed = repeatUntil(stop, seed + 101, 5, 40,
                                 [&](std::mt19937& r) { return server.closeRandomClient(r); });
        });
        std::thread cycler([&] {
            cycles = repeatUntil(stop, seed + 102, 20, 80, [&](std::mt19937&) {
                EXPECT_TRUE(server.cycle()) << "stall and run again failed";
                return true;
            });
        });
        // Each victim dies at a random moment once it has had some answers.
        std::mt19937 random(seed + 103);
        for (int i = 0; i < victims; ++i) {
            EXPECT_TRUE(waitUntil([&] { return tallies[i].verified.load() > 0; }, kClientDeadlineMs))
                << "client " << i << " was never answered";
            pauseMs(static_cast<long>(random() % 300));
            processes[static_cast<size_t>(i)]->kill(SIGKILL);
        }
        for (int i = 0; i < clients; ++i) {
            const int expected = i < victims ? 128 + SIGKILL : 0;
            EXPECT_EQ(expected, processes[static_cast<size_t>(i)]->wait(kClientDeadlineMs)) << "client " << i;
        }
        stop = true;
        pusher.join();
        closer.join();
        cycler.join();
        EXPECT_EQ(0, server.stop());
        printf("soak: %d responses sent, %d notification rounds, %d clients closed, %d stall/run cycles\n",
               server.answered(), pushed, closed, cycles);
    }

    int verified = 0;
    int notifications = 0;
    for (int i = 0; i < clients; ++i) {
        EXPECT_EQ(0, tallies[i].mismatched.load()) << "client " << i << " got responses that do not match";
        EXPECT_EQ(0, tallies[i].badNotifications.load()) << "client " << i << " got corrupted notifications";
        EXPECT_EQ(0, tallies[i].connectFailures.load()) << "client " << i << " could not connect again";
        if (i >= victims) {
            EXPECT_GT(tallies[i].verified.load(), 0) << "client " << i << " never got a response";
        }
        verified += tallies[i].verified.load();
        notifications += tallies[i].notifications.load();
    }
    EXPECT_GT(closed, 0) << "the closer never closed a client";
    EXPECT_GT(pushed, 0) << "the pusher reached no client";
    EXPECT_GT(notifications, 0) << "no client received a notification";
    EXPECT_GT(cycles, 0) << "the server never went through stall and run";
    printf("soak: %d responses verified, %d notifications received\n", verified, notifications);

    EXPECT_EQ(descriptorsBefore, openDescriptorCount()) << "descriptors left open";
    EXPECT_TRUE(threadsSettled(kServerThread, threadsBefore))
        << "threads left running: " << threadCount() << ", " << threadsBefore << " before";
    const long growth = residentKiB() - residentBefore;
    printf("soak: resident memory grew by %ld KiB\n", growth);
    // The sanitizers' own bookkeeping grows with the traffic; the bound is for the library.
    if (!kSanitized) {
        EXPECT_LT(growth, kMemoryGrowthBoundKiB) << "resident memory grew by " << growth << " KiB";
    }
}

void echoBatch(void* ctx, void* conn, int type, unsigned char* data, int len) {
    VORNA::Listener* server = static_cast<VORNA::Listener*>(ctx);
    if (type == MSG_RECV)
        server->response(conn, data, len);
    else if (type == MSG_DISCONNECTED)
        server->closeClient(conn);
}

// A server process that echoes, started once `go` is posted (when given), until it is killed.
void serveUntilKilled(const std::string& name, ProcessSignal* go, ProcessSignal* ready) {
    if (go != NULL && !go->waitFor(kClientDeadlineMs))
        _exit(2);
    VORNA::Listener server(name.c_str(), 0);
    server.setMsgCbk(echoBatch, &server);
    if (server.run() != 0)
        _exit(3);
    ready->post();
    for (;;)
        pause();
}

void ignoreNotification(void*, unsigned int, void* data, int) {
    free(data);
}

bool roundTrip(VORNA::Connection& client, std::string text) {
    const int length = static_cast<int>(text.size());
    if (client.send(reinterpret_cast<unsigned char*>(&text[0]), length) != length)
        return false;
    unsigned char reply[64] = {};
    return client.recv(reply, sizeof(reply)) == length && memcmp(reply, text.data(), text.size()) == 0;
}

TEST(Soak, ClientSeesAKilledServerPromptlyAndConnectsToItsSuccessor) {
    const std::string name = uniqueName("restart");
    ProcessSignal firstReady;
    ProcessSignal secondGo;
    ProcessSignal secondReady;
    const int descriptorsBefore = openDescriptorCount();
    const int threadsBefore = baselineThreadCount();
    ForkedProcess first([&] { serveUntilKilled(name, NULL, &firstReady); });
    ForkedProcess second([&] { serveUntilKilled(name, &secondGo, &secondReady); });
    ASSERT_TRUE(firstReady.waitFor()) << "the first server did not start";
    {
        VORNA::Connection client(name.c_str(), 0, ignoreNotification, NULL);
        ASSERT_TRUE(roundTrip(client, "before")) << "no echo from the first server";
        ASSERT_EQ(1, threadsNamed(kReceiveThread)) << "the receive thread is not where the test looks for it";

        first.kill(SIGKILL);
        std::future<int> lost = std::async(std::launch::async, [&] {
            unsigned char reply[16];
            return client.recv(reply, sizeof(reply));
        });
        const bool prompt = lost.wait_for(std::chrono::milliseconds(kPromptMs)) == std::future_status::ready;
        EXPECT_TRUE(prompt) << "recv still waits " << kPromptMs << " ms after the server was killed";
        if (!prompt)
            client.disconnect();  // ends the wait, so the test can go on
        EXPECT_EQ(-1, lost.get());
        EXPECT_TRUE(threadsSettled(kReceiveThread, threadsBefore))
            << "the receive thread did not end: " << threadCount() << " threads, " << threadsBefore
            << " before";
        EXPECT_EQ(128 + SIGKILL, first.wait());

        secondGo.post();
        ASSERT_TRUE(secondReady.waitFor()) << "the second server did not start";
        client.disconnect();
        ASSERT_EQ(0, client.connect()) << "no connection to the restarted server";
        EXPECT_TRUE(roundTrip(client, "after")) << "no echo from the restarted server";
    }
    second.kill(SIGKILL);
    EXPECT_EQ(128 + SIGKILL, second.wait());
    EXPECT_EQ(descriptorsBefore, openDescriptorCount()) << "descriptors left open";
    EXPECT_TRUE(threadsSettled(kReceiveThread, threadsBefore))
        << "threads left running: " << threadCount() << ", " << threadsBefore << " before";
}

}  // namespace
