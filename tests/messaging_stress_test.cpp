#include <dirent.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/child.h"
#include "support/peers.h"
#include "vorna/messaging.h"

namespace {

using namespace testing_support;

// qemu runs the same scenarios many times slower.
#if defined(__arm__)
const int kRequestsPerClient = 250;
const int kConnectCycles = 200;
const int kInterruptedRounds = 50;
const int kPromptMs = 2000;
#else
const int kRequestsPerClient = 1000;
const int kConnectCycles = 200;
const int kInterruptedRounds = 200;
const int kPromptMs = 1000;
#endif
const int kClients = 16;
const int kVictims = 4;
const size_t kFrameSize = 16;
const unsigned int kPushCode = 77;

void pauseUs(long us) {
    timespec pause = {0, us * 1000};
    nanosleep(&pause, NULL);
}

int threadCount() {
    return directoryEntryCount("/proc/self/task");
}

// True when the thread `tid` of this process sleeps in the kernel (a blocked send or lock).
bool isBlocked(pid_t tid) {
    if (tid == 0)
        return false;
    const std::string path = "/proc/self/task/" + std::to_string(tid) + "/stat";
    FILE* file = fopen(path.c_str(), "re");
    if (file == NULL)
        return false;
    char text[512] = {};
    const size_t length = fread(text, 1, sizeof(text) - 1, file);
    fclose(file);
    const char* afterName = strrchr(text, ')');
    return length > 0 && afterName != NULL && afterName[1] == ' ' && afterName[2] == 'S';
}

std::vector<pid_t> threadIds() {
    std::vector<pid_t> ids;
    DIR* dir = opendir("/proc/self/task");
    if (dir == NULL)
        return ids;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.')
            ids.push_back(static_cast<pid_t>(atoi(entry->d_name)));
    }
    closedir(dir);
    return ids;
}

std::atomic<int> gInterruptions{0};

void countInterruption(int) {
    gInterruptions++;
}

// Sends SIGUSR1 to every other thread of the process, again and again, until `stop`.
void interruptOtherThreads(const std::atomic<bool>& stop) {
    const pid_t self = gettid();
    while (!stop.load()) {
        for (pid_t tid : threadIds()) {
            if (tid != self)
                tgkill(getpid(), tid, SIGUSR1);
        }
        pauseUs(100);
    }
}

// A request of a worker: 'W', the worker's index, the sequence number, then a pattern.
std::string workerFrame(int worker, uint32_t sequence) {
    std::string frame = patternBytes(kFrameSize, sequence);
    frame[0] = 'W';
    frame[1] = static_cast<char>(worker);
    memcpy(&frame[4], &sequence, sizeof(sequence));
    return frame;
}

// An echo server that answers each worker frame with a response holding the same bytes, and notes the
// victims (clients that send 'V') for a closer thread. The tallies let the test compare what was pushed
// with what each worker received.
class StressServer {
  public:
    struct Client {
        int worker = -1;  // -1 until its first frame shows what it is
        bool victim = false;
        bool closing = false;  // the closer has taken it: nobody starts a new send to it
        int sendsInFlight = 0;
        unsigned pushed = 0;  // value notifications that returned 32
        std::string pending;
    };

    explicit StressServer(const std::string& name) : mName(name), mServer(mName.c_str(), 0) {
        mServer.setMsgCbk(onMessage, this);
    }

    const std::string& name() const { return mName; }
    bool start() { return mServer.run() == 0; }
    int stop() { return mServer.stall(); }
    VORNA::Listener& listener() { return mServer; }

    // Pushes one value notification to each live client, counting those that worked, until `stop`.
    void pushUntil(const std::atomic<bool>& stop) {
        while (!stop.load()) {
            for (void* handle : liveHandles())
                push(handle);
            pauseUs(200);
        }
    }

    // Closes victims one after another until `stop`; returns how many it closed.
    int closeVictimsUntil(const std::atomic<bool>& stop) {
        int closed = 0;
        while (!stop.load()) {
            void* victim = takeVictim();
            if (victim == NULL) {
                pauseUs(500);
                continue;
            }
            EXPECT_EQ(0, mServer.closeClient(victim));
            ++closed;
        }
        return closed;
    }

    // The handle of worker `index` and the count of notifications it was pushed.
    unsigned pushedTo(int worker) {
        std::lock_guard<std::mutex> lock(mMutex);
        for (auto& entry : mClients) {
            if (entry.second.worker == worker)
                return entry.second.pushed;
        }
        return 0;
    }

  private:
    static void onMessage(void* ctx, void* conn, int type, unsigned char* data, int len) {
        StressServer* self = static_cast<StressServer*>(ctx);
        if (type == MSG_RECV)
            self->onBytes(conn, std::string(reinterpret_cast<char*>(data), len));
        else if (type == MSG_CONNECTED)
            self->onConnected(conn);
    }

    void onConnected(void* conn) {
        std::lock_guard<std::mutex> lock(mMutex);
        mClients[conn] = Client();
    }

    void onBytes(void* conn, const std::string& bytes) {
        std::vector<std::string> frames;
        {
            std::lock_guard<std::mutex> lock(mMutex);
            auto found = mClients.find(conn);
            if (found == mClients.end())
                return;  // a victim the closer has taken
            Client& client = found->second;
            if (client.worker < 0 && !client.victim && bytes[0] == 'V') {
                client.victim = true;
                mVictimsReady.push_back(conn);
            }
            if (client.victim)
                return;
            client.pending += bytes;
            while (client.pending.size() >= kFrameSize) {
                frames.push_back(client.pending.substr(0, kFrameSize));
                client.pending.erase(0, kFrameSize);
            }
            if (!frames.empty())
                client.worker = frames[0][1];
        }
        for (std::string& frame : frames) {
            EXPECT_EQ(static_cast<int>(kFrameSize + kWireHeaderSize),
                      mServer.response(conn, reinterpret_cast<unsigned char*>(&frame[0]), kFrameSize));
        }
    }

    // Every known client nobody is closing, each marked as having a send in flight.
    std::vector<void*> liveHandles() {
        std::vector<void*> handles;
        std::lock_guard<std::mutex> lock(mMutex);
        for (auto& entry : mClients) {
            if (!entry.second.closing && (entry.second.worker >= 0 || entry.second.victim)) {
                entry.second.sendsInFlight++;
                handles.push_back(entry.first);
            }
        }
        return handles;
    }

    void push(void* handle) {
        unsigned value;
        {
            std::lock_guard<std::mutex> lock(mMutex);
            value = mClients[handle].pushed + 1;
        }
        const int result = mServer.notify(handle, kPushCode, value);
        std::lock_guard<std::mutex> lock(mMutex);
        Client& client = mClients[handle];
        if (client.victim)
            EXPECT_TRUE(result == 32 || result == -3) << "notify to a victim returned " << result;
        else
            EXPECT_EQ(32, result);
        if (result == 32)
            client.pushed++;
        client.sendsInFlight--;
        mSendDone.notify_all();
    }

    // A victim whose sends have all finished, forgotten so that nothing starts another; null when there
    // is none. Its handle is forgotten before it is closed: a later client may get the same address.
    void* takeVictim() {
        std::unique_lock<std::mutex> lock(mMutex);
        if (mVictimsReady.empty())
            return NULL;
        void* victim = mVictimsReady.front();
        mVictimsReady.erase(mVictimsReady.begin());
        Client& client = mClients[victim];
        client.closing = true;
        mSendDone.wait(lock, [&] { return client.sendsInFlight == 0; });
        mClients.erase(victim);
        return victim;
    }

    const std::string mName;
    VORNA::Listener mServer;
    std::mutex mMutex;
    std::condition_variable mSendDone;
    std::map<void*, Client> mClients;
    std::vector<void*> mVictimsReady;
};

// A client in notifier mode that checks that the pushed values arrive in order, none lost.
class Worker {
  public:
    Worker(const std::string& name, int index)
        : mIndex(index), mConnection(name.c_str(), 0, onNotification, this) {}

    // One request and its response; false (with a failure) when the response is not the echo.
    bool roundTrip(uint32_t sequence) {
        std::string frame = workerFrame(mIndex, sequence);
        if (mConnection.send(reinterpret_cast<unsigned char*>(&frame[0]), kFrameSize) != kFrameSize) {
            ADD_FAILURE() << "worker " << mIndex << " could not send request " << sequence;
            return false;
        }
        unsigned char reply[64];
        const int length = mConnection.recv(reply, sizeof(reply));
        if (length != kFrameSize || memcmp(reply, frame.data(), kFrameSize) != 0) {
            ADD_FAILURE() << "worker " << mIndex << " got a wrong response (" << length
                          << " bytes) to request " << sequence;
            return false;
        }
        return true;
    }

    unsigned received() const { return mReceived.load(); }
    bool inOrder() const { return !mOutOfOrder.load(); }

  private:
    static void onNotification(void* ctx, unsigned int msg, void* data, int len) {
        Worker* self = static_cast<Worker*>(ctx);
        free(data);
        const unsigned expected = self->mReceived.load() + 1;
        if (msg != kPushCode || data != NULL || static_cast<unsigned>(len) != expected)
            self->mOutOfOrder.store(true);
        self->mReceived.store(expected);
    }

    const int mIndex;
    std::atomic<unsigned> mReceived{0};
    std::atomic<bool> mOutOfOrder{false};
    VORNA::Connection mConnection;
};

// Raw clients that say 'V' and then keep writing and draining until the server closes them, then
// connect again; they give the closer thread clients that the event thread is busy serving.
void churnVictims(const std::string& name, const std::atomic<bool>& stop) {
    std::vector<RawStream> victims(kVictims);
    while (!stop.load()) {
        for (RawStream& victim : victims) {
            if (!victim.isOpen()) {
                victim = connectRawClient(name);
                if (!victim.isOpen() || !victim.writeAll("V"))
                    victim.close();
                continue;
            }
            if (victim.pendingBytes() > 0 && victim.readExactly(victim.pendingBytes(), 0).empty())
                victim.close();
            else if (!victim.writeAll("v"))
                victim.close();
        }
        pauseUs(300);
    }
}

TEST(MessagingStress, SixteenClientsGetEveryResponseWhileTheServerPushesAndClosesOthers) {
    StressServer server(uniqueName("stress"));
    ASSERT_TRUE(server.start());
    std::vector<std::unique_ptr<Worker>> workers;
    for (int i = 0; i < kClients; ++i)
        workers.emplace_back(new Worker(server.name(), i));

    std::atomic<bool> workDone{false};
    std::atomic<bool> pushDone{false};
    std::atomic<int> closedVictims{0};
    std::thread victims([&] { churnVictims(server.name(), workDone); });
    std::thread closer([&] { closedVictims = server.closeVictimsUntil(workDone); });
    std::thread pusher([&] { server.pushUntil(pushDone); });

    std::vector<std::thread> clients;
    std::atomic<int> failedClients{0};
    for (int i = 0; i < kClients; ++i) {
        clients.emplace_back([&, i] {
            for (uint32_t sequence = 1; sequence <= static_cast<uint32_t>(kRequestsPerClient); ++sequence) {
                if (!workers[i]->roundTrip(sequence)) {
                    failedClients++;
                    return;
                }
            }
        });
    }
    for (std::thread& client : clients)
        client.join();
    pushDone = true;
    pusher.join();
    workDone = true;
    closer.join();
    victims.join();

    EXPECT_EQ(0, failedClients.load());
    EXPECT_GT(closedVictims.load(), 0) << "the closer never closed a client";
    // A last round trip: every value pushed before it has been delivered once its response is read.
    unsigned pushed = 0;
    for (int i = 0; i < kClients; ++i) {
        pushed += server.pushedTo(i);
        ASSERT_TRUE(workers[i]->roundTrip(0));
        EXPECT_TRUE(workers[i]->inOrder()) << "worker " << i << " saw notifications lost or out of order";
        EXPECT_EQ(server.pushedTo(i), workers[i]->received()) << "worker " << i;
    }
    EXPECT_GT(pushed, 0u) << "the pusher reached no worker";
    workers.clear();
    EXPECT_EQ(0, server.stop());
}

TEST(MessagingStress, CloseClientEndsSendsBlockedOnAClientThatDoesNotRead) {
    const std::string name = uniqueName("blocked");
    std::atomic<void*> handle{nullptr};
    VORNA::Listener server(name.c_str(), 0);
    server.setMsgCbk(
        [](void* ctx, void* conn, int type, unsigned char*, int) {
            if (type == MSG_CONNECTED)
                static_cast<std::atomic<void*>*>(ctx)->store(conn);
        },
        &handle);
    ASSERT_EQ(0, server.run());
    RawStream client = connectRawClient(name);
    ASSERT_TRUE(waitUntil([&] { return handle.load() != nullptr; })) << "the client was not reported";

    // Far more than the socket buffers hold: both sends stay blocked until the socket is closed.
    std::string body = patternBytes(4 * 1024 * 1024);
    std::atomic<int> responseResult{1};
    std::atomic<int> notifyResult{1};
    std::atomic<pid_t> responderId{0};
    std::atomic<pid_t> notifierId{0};
    std::thread responder([&] {
        responderId = gettid();
        responseResult = server.response(handle.load(), reinterpret_cast<unsigned char*>(&body[0]),
                                         static_cast<int>(body.size()));
    });
    ASSERT_TRUE(waitUntil([&] { return client.pendingBytes() > 64 * 1024 && isBlocked(responderId); }))
        << "the response did not block on the full socket";
    std::thread notifier([&] {
        notifierId = gettid();
        notifyResult = server.notify(handle.load(), 1u, 1u);
    });
    // The notification can only block behind the response, on the client's send lock.
    ASSERT_TRUE(waitUntil([&] { return isBlocked(notifierId); })) << "the notification did not block";
    ASSERT_EQ(1, responseResult.load()) << "the response was not blocked";

    std::atomic<bool> closed{false};
    std::thread closer([&] {
        EXPECT_EQ(0, server.closeClient(handle.load()));
        closed = true;
    });
    const bool sendsEnded =
        waitUntil([&] { return closed.load() && notifyResult != 1 && responseResult != 1; }, 10000);
    if (!sendsEnded)
        client.close();  // unblocks the sends so that the test ends
    closer.join();
    responder.join();
    notifier.join();

    EXPECT_TRUE(sendsEnded) << "closeClient did not end the blocked sends";
    EXPECT_EQ(-3, responseResult.load());
    EXPECT_EQ(-3, notifyResult.load());
    EXPECT_EQ(0, server.stall());
}

TEST(MessagingStress, RoundTripsSurviveSignalsThatInterruptEveryBlockingCall) {
    // Without SA_RESTART, a blocked send, recv, accept, epoll_wait or semaphore wait returns EINTR.
    struct sigaction interrupting;
    memset(&interrupting, 0, sizeof(interrupting));
    interrupting.sa_handler = countInterruption;
    sigemptyset(&interrupting.sa_mask);
    struct sigaction previous;
    ASSERT_EQ(0, sigaction(SIGUSR1, &interrupting, &previous));

    const std::string name = uniqueName("interrupted");
    static const std::string body = patternBytes(640 * 1024, 9);
    VORNA::Listener server(name.c_str(), 0);
    server.setMsgCbk(
        [](void* ctx, void* conn, int type, unsigned char* data, int) {
            VORNA::Listener* self = static_cast<VORNA::Listener*>(ctx);
            if (type != MSG_RECV)
                return;
            // 'n' asks for a data notification ahead of the response: only notifier mode takes it.
            if (data[0] == 'n') {
                EXPECT_EQ(1, self->notify(conn, 4u, data, 1));
            }
            EXPECT_EQ(static_cast<int>(body.size() + kWireHeaderSize),
                      self->response(conn, reinterpret_cast<unsigned char*>(const_cast<char*>(body.data())),
                                     static_cast<int>(body.size())));
        },
        &server);
    ASSERT_EQ(0, server.run());
    std::atomic<int> notified{0};
    const NotifyCbk countNotification = [](void* ctx, unsigned, void* data, int len) {
        if (data != NULL && len == 1)
            static_cast<std::atomic<int>*>(ctx)->fetch_add(1);
        free(data);
    };
    VORNA::Connection direct(name.c_str(), 0, NULL, NULL);
    VORNA::Connection notifier(name.c_str(), 0, countNotification, &notified);

    std::atomic<bool> stop{false};
    std::thread interrupter([&] { interruptOtherThreads(stop); });
    std::vector<unsigned char> reply(body.size() + 1);
    auto roundTrip = [&](VORNA::Connection* client, unsigned char kind) {
        std::fill(reply.begin(), reply.end(), 0);
        return client->send(&kind, 1) == 1 &&
               client->recv(reply.data(), static_cast<int>(reply.size())) == static_cast<int>(body.size()) &&
               memcmp(reply.data(), body.data(), body.size()) == 0;
    };
    std::atomic<int> completed{0};
    std::atomic<bool> finished{false};
    std::thread rounds([&] {
        for (; completed < kInterruptedRounds; ++completed) {
            if (!roundTrip(&direct, 'd') || !roundTrip(&notifier, 'n')) {
                ADD_FAILURE() << "round trip " << completed << " failed or arrived altered";
                break;
            }
        }
        finished = true;
    });
    // A send cut short by a signal leaves a client waiting for the rest: stopping the server ends it.
    const bool inTime = waitUntil([&] { return finished.load(); }, 60000);
    if (!inTime)
        server.stall();
    rounds.join();
    stop = true;
    interrupter.join();

    EXPECT_TRUE(inTime) << "a round trip never completed";
    EXPECT_EQ(kInterruptedRounds, completed);
    EXPECT_TRUE(waitUntil([&] { return notified.load() == completed.load(); }))
        << notified.load() << " of " << completed.load() << " notifications arrived";
    EXPECT_GT(gInterruptions.load(), 0) << "no signal interrupted anything";
    if (inTime) {
        EXPECT_EQ(0, server.stall());
    }
    sigaction(SIGUSR1, &previous, NULL);
}

TEST(MessagingStress, ConnectDisconnectCyclesLeaveNoDescriptorOrThreadBehind) {
    const std::string name = uniqueName("cycles");
    VORNA::Listener server(name.c_str(), 0);
    server.setMsgCbk(
        [](void* ctx, void* conn, int type, unsigned char* data, int len) {
            VORNA::Listener* self = static_cast<VORNA::Listener*>(ctx);
            if (type == MSG_RECV)
                self->response(conn, data, len);
            else if (type == MSG_DISCONNECTED)
                self->closeClient(conn);
        },
        &server);
    ASSERT_EQ(0, server.run());
    const int descriptors = openDescriptorCount();
    const int threads = threadCount();

    for (int cycle = 0; cycle < kConnectCycles; ++cycle) {
        const NotifyCbk notifier = [](void*, unsigned, void* data, int) { free(data); };
        VORNA::Connection client(name.c_str(), 0, cycle % 2 ? notifier : NULL, NULL);
        unsigned char request[] = "cycle";
        unsigned char reply[16];
        ASSERT_EQ(5, client.send(request, 5)) << "cycle " << cycle;
        ASSERT_EQ(5, client.recv(reply, sizeof(reply))) << "cycle " << cycle;
    }

    EXPECT_TRUE(waitUntil([&] { return openDescriptorCount() == descriptors; }))
        << openDescriptorCount() - descriptors << " descriptors more than before the cycles";
    // A joined thread may linger in /proc for a moment while the kernel finishes its exit.
    EXPECT_TRUE(waitUntil([&] { return threadCount() == threads; }))
        << threadCount() - threads << " threads more than before the cycles";
    EXPECT_EQ(0, server.stall());
}

TEST(MessagingStress, ClientProcessKilledInTheMiddleOfARequestLeavesTheServerServing) {
    const std::string name = uniqueName("killed-client");
    ProcessSignal go;
    ProcessSignal sent;
    // Forked before the server starts its thread. The child asks and never reads the answer.
    ForkedProcess child([&] {
        if (!go.waitFor(20000))
            return;
        VORNA::Connection client(name.c_str(), 0, NULL, NULL);
        unsigned char request[] = "big";
        if (client.send(request, 3) == 3)
            sent.post();
        pause();
    });

    struct Seen {
        std::mutex mutex;
        std::vector<std::pair<void*, int>> events;
    } seen;
    VORNA::Listener server(name.c_str(), 0);
    server.setMsgCbk(
        [](void* ctx, void* conn, int type, unsigned char*, int) {
            Seen* s = static_cast<Seen*>(ctx);
            std::lock_guard<std::mutex> lock(s->mutex);
            s->events.push_back({conn, type});
        },
        &seen);
    ASSERT_EQ(0, server.run());
    auto handleOf = [&](int type) -> void* {
        std::lock_guard<std::mutex> lock(seen.mutex);
        for (const auto& event : seen.events) {
            if (event.second == type)
                return event.first;
        }
        return nullptr;
    };
    go.post();
    ASSERT_TRUE(sent.waitFor()) << "the child did not send its request";
    ASSERT_TRUE(waitUntil([&] { return handleOf(MSG_RECV) != nullptr; })) << "the request was not delivered";
    void* handle = handleOf(MSG_RECV);

    std::string body = patternBytes(4 * 1024 * 1024);
    std::atomic<int> result{1};
    std::thread responder([&] {
        result = server.response(handle, reinterpret_cast<unsigned char*>(&body[0]),
                                 static_cast<int>(body.size()));
    });
    child.kill(SIGKILL);
    EXPECT_EQ(128 + SIGKILL, child.wait());
    responder.join();

    EXPECT_EQ(-3, result.load());
    EXPECT_TRUE(waitUntil([&] { return handleOf(MSG_DISCONNECTED) == handle; }))
        << "the death was not reported";
    EXPECT_EQ(0, server.closeClient(handle));
    RawStream next = connectRawClient(name);
    ASSERT_TRUE(next.isOpen());
    EXPECT_TRUE(waitUntil([&] {
        std::lock_guard<std::mutex> lock(seen.mutex);
        return std::count_if(seen.events.begin(), seen.events.end(), [](const std::pair<void*, int>& event) {
                   return event.second == MSG_CONNECTED;
               }) == 2;
    })) << "the server stopped accepting";
    EXPECT_EQ(0, server.stall());
}

TEST(MessagingStress, ServerProcessKilledWhileANotifierRecvWaitsMakesItFailWithinASecond) {
    const std::string name = uniqueName("killed-server");
    ProcessSignal ready;
    ForkedProcess child([&] {
        VORNA::Listener server(name.c_str(), 0);
        if (server.run() == 0)
            ready.post();
        pause();
    });
    ASSERT_TRUE(ready.waitFor()) << "the child's server did not start";

    VORNA::Connection client(
        name.c_str(), 0, [](void*, unsigned, void* data, int) { free(data); }, NULL);
    std::atomic<long long> returnedAt{0};
    std::atomic<int> result{1};
    std::atomic<bool> waiting{false};
    std::thread caller([&] {
        unsigned char buf[16];
        waiting = true;
        result = client.recv(buf, sizeof(buf));
        returnedAt = nowMs();
    });
    ASSERT_TRUE(waitUntil([&] { return waiting.load(); }));
    const long long killedAt = nowMs();
    child.kill(SIGKILL);
    const bool returned = waitUntil([&] { return returnedAt.load() != 0; }, 10000);
    if (!returned)
        client.disconnect();
    caller.join();

    EXPECT_TRUE(returned) << "recv kept waiting on a dead server";
    EXPECT_EQ(-1, result.load());
    EXPECT_LT(returnedAt.load() - killedAt, kPromptMs);
    EXPECT_EQ(128 + SIGKILL, child.wait());
}

}  // namespace
