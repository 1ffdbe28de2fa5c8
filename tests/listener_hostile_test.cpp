// The server against peers and applications that misbehave: handles kept after their client was closed, a
// client that never reads, a full descriptor table, fork(), stall() racing sends, and pushes to every
// client while clients come and go.

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/child.h"
#include "support/peers.h"
#include "support/server_events.h"
#include "vorna/messaging.h"

namespace {

using namespace testing_support;

// The send timeout of accepted sockets, as the header documents it.
const long long kSendTimeoutMs = 10000;
// Slack for a loaded machine on top of a documented bound.
const long long kMarginMs = 5000;

// Reads and checks one whole message from the server; false when none came before the deadline.
bool readMessage(RawStream* client, WireHeader* header, std::string* body, int timeoutMs = 10000) {
    const std::string head = client->readExactly(kWireHeaderSize, timeoutMs);
    if (head.size() != kWireHeaderSize)
        return false;
    *header = parseWireHeader(head);
    const size_t length = header->id == kWireIdNotify ? 0 : static_cast<size_t>(header->len);
    *body = client->readExactly(length, timeoutMs);
    return header->magic == kWireMagic && body->size() == length;
}

// Sends `request` and waits for its echo. Returns the round trip in milliseconds, or -1.
long long echoRoundTrip(RawStream* client, const std::string& request, int timeoutMs) {
    const long long start = nowMs();
    if (!client->writeAll(request))
        return -1;
    WireHeader header;
    std::string body;
    if (!readMessage(client, &header, &body, timeoutMs) || header.id != kWireIdResponse || body != request)
        return -1;
    return nowMs() - start;
}

// A server whose callback records every event and echoes every request.
class EchoServer {
  public:
    explicit EchoServer(const std::string& name) : server(name.c_str(), 0) {
        events.setHook([this](const ServerEvents::Event& event) {
            if (event.type == MSG_RECV) {
                std::string copy = event.data;
                server.response(event.conn, reinterpret_cast<unsigned char*>(&copy[0]),
                                static_cast<int>(copy.size()));
            }
        });
        server.setMsgCbk(ServerEvents::record, &events);
    }
    ~EchoServer() { server.stall(); }

    ServerEvents events;
    VORNA::Listener server;
};

// Keeps only the handles of clients as they connect: cheap enough for thousands of cycles.
class ConnectedHandles {
  public:
    static void record(void* ctx, void* conn, int type, unsigned char*, int) {
        ConnectedHandles* self = static_cast<ConnectedHandles*>(ctx);
        if (type != MSG_CONNECTED)
            return;
        std::lock_guard<std::mutex> lock(self->mMutex);
        self->mHandles.push_back(conn);
        self->mChanged.notify_all();
    }

    void* next(int timeoutMs = 10000) {
        std::unique_lock<std::mutex> lock(mMutex);
        if (!mChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return !mHandles.empty(); }))
            return NULL;
        void* handle = mHandles.front();
        mHandles.pop_front();
        return handle;
    }

  private:
    std::mutex mMutex;
    std::condition_variable mChanged;
    std::deque<void*> mHandles;
};

TEST(ListenerStaleHandles, AHandleKeptAfterCloseClientOrStallNeverReachesALaterClient) {
    const std::string name = uniqueName("stale");
    ConnectedHandles connected;
    VORNA::Listener server(name.c_str(), 0);
    server.setMsgCbk(ConnectedHandles::record, &connected);
    ASSERT_EQ(0, server.run());
    RawStream current = connectRawClient(name);
    void* currentHandle = connected.next();
    ASSERT_NE(nullptr, currentHandle);
    unsigned char body[] = {'s', 't', 'a', 'l', 'e'};

    int misdirected = 0;
    int wrongResults = 0;
    for (int cycle = 0; cycle < 10000; ++cycle) {
        void* closed = currentHandle;
        ASSERT_EQ(0, server.closeClient(closed));
        current = connectRawClient(name);
        currentHandle = connected.next();
        ASSERT_NE(nullptr, currentHandle) << "cycle " << cycle;

        wrongResults += server.response(closed, body, 5) != -2;
        wrongResults += server.notify(closed, 1u, 2u) != -2;
        wrongResults += server.notify(closed, 1u, body, 5) != -2;
        wrongResults += server.peerCredentials(closed, NULL, NULL, NULL) != -2;
        wrongResults += server.closeClient(closed) != 0;
        misdirected += current.pendingBytes() != 0;
    }
    EXPECT_EQ(0, misdirected) << "cycles in which a closed handle wrote to the next client";
    EXPECT_EQ(0, wrongResults) << "calls on a closed handle that did not return -2 (closeClient: 0)";

    // Handles of a server that was stalled and run again name nobody either.
    void* beforeStall = currentHandle;
    ASSERT_EQ(0, server.stall());
    ASSERT_EQ(0, server.run());
    RawStream fresh = connectRawClient(name);
    ASSERT_NE(nullptr, connected.next());
    EXPECT_EQ(-2, server.response(beforeStall, body, 5));
    EXPECT_EQ(0, fresh.pendingBytes());
    EXPECT_EQ(0, server.stall());
}

TEST(ListenerBrokenClients, AClientThatNeverReadsCostsTheOthersAtMostOneSendTimeout) {
    const std::string name = uniqueName("noread");
    EchoServer echo(name);
    ASSERT_EQ(0, echo.server.run());
    RawStream stubborn = connectRawClient(name);
    void* stubbornHandle = echo.events.connected(0);
    ASSERT_NE(nullptr, stubbornHandle);
    RawStream timed = connectRawClient(name);
    ASSERT_NE(nullptr, echo.events.connected(1));
    // 600 KB of requests, never reading a reply: the echoes fill the stubborn client's socket.
    std::thread flood([&] {
        const std::string chunk(1024, 'f');
        for (int i = 0; i < 600 && stubborn.writeAll(chunk); ++i) {
        }
    });
    long long slowest = 0;
    for (int afterBreak = 0; afterBreak < 20;) {
        const long long took = echoRoundTrip(&timed, "ping", static_cast<int>(kSendTimeoutMs + kMarginMs));
        slowest = took < 0 ? kSendTimeoutMs + kMarginMs : std::max(slowest, took);
        if (took < 0)
            break;
        if (echo.events.count(MSG_DISCONNECTED, stubbornHandle) > 0)
            ++afterBreak;
    }
    stubborn.shutdown();
    flood.join();

    ASSERT_LT(slowest, kSendTimeoutMs + kMarginMs)
        << "a round trip of the other client took longer than one send timeout and the margin";
    EXPECT_EQ(1u, echo.events.count(MSG_DISCONNECTED, stubbornHandle));
    const size_t requestsRead = echo.events.received(stubbornHandle).size();
    const long long start = nowMs();
    unsigned char body[4] = {};
    EXPECT_EQ(-3, echo.server.response(stubbornHandle, body, 4));
    EXPECT_EQ(-3, echo.server.notify(stubbornHandle, 1u, 1u));
    EXPECT_LT(nowMs() - start, 1000) << "sends to a broken client must fail at once";
    EXPECT_EQ(1, echo.server.notifyAll(7u, 7u)) << "notifyAll must skip the broken client";
    EXPECT_EQ(requestsRead, echo.events.received(stubbornHandle).size()) << "a broken client was still read";
    EXPECT_EQ(0, echo.server.peerCredentials(stubbornHandle, NULL, NULL, NULL))
        << "the handle must stay valid";
    EXPECT_EQ(0, echo.server.closeClient(stubbornHandle));
    EXPECT_EQ(-2, echo.server.peerCredentials(stubbornHandle, NULL, NULL, NULL));
}

// Round trips one client completes in `windowMs`.
int roundTripsIn(RawStream* client, long long windowMs) {
    int count = 0;
    for (const long long end = nowMs() + windowMs; nowMs() < end; ++count) {
        if (echoRoundTrip(client, "rate", 5000) < 0)
            return -1;
    }
    return count;
}

TEST(ListenerDescriptorLimit, ConnectedClientsKeepTheirPaceWhileAcceptRunsOutOfDescriptors) {
    const ChildResult child = runCheckedInChild([] {
        const std::string name = uniqueName("emfile");
        EchoServer echo(name);
        ASSERT_EQ(0, echo.server.run());
        RawStream client = connectRawClient(name);
        ASSERT_NE(nullptr, echo.events.connected(0));
        const rlimit limit = {static_cast<rlim_t>(openDescriptorCount() + 16),
                              static_cast<rlim_t>(openDescriptorCount() + 16)};
        ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &limit));

        // The rates of a loaded machine vary: any of three tries may show the pace is kept.
        double bestRatio = 0;
        for (int attempt = 0; attempt < 3 && bestRatio < 0.5; ++attempt) {
            const int normal = roundTripsIn(&client, 400);
            std::vector<int> fillers;
            for (int fd = open("/dev/null", O_RDONLY); fd >= 0; fd = open("/dev/null", O_RDONLY))
                fillers.push_back(fd);
            close(fillers.back());
            fillers.pop_back();
            RawStream pending = connectRawClient(name);  // takes the last descriptor
            ASSERT_TRUE(pending.isOpen());
            const int starved = roundTripsIn(&client, 400);
            bestRatio = std::max(bestRatio, static_cast<double>(starved) / normal);

            close(fillers.back());
            fillers.pop_back();
            const long long freed = nowMs();
            EXPECT_NE(nullptr, echo.events.connected(static_cast<size_t>(attempt) + 1, 1000))
                << "a pending client was not accepted within 1 s of a descriptor freeing up";
            EXPECT_LT(nowMs() - freed, 1000);
            for (int fd : fillers)
                close(fd);
        }
        EXPECT_GE(bestRatio, 0.5) << "the connected client lost more than half its pace";
    });
    EXPECT_EQ(0, child.status) << child.out;
}

// A server in a static object, as a process keeps one for its whole life; its destructor runs at exit().
VORNA::Listener* staticServer(const char* name) {
    static VORNA::Listener server(name, 0);
    return &server;
}

enum ChildEnd { CHILD_STALLS, CHILD_DESTROYS, CHILD_EXITS };

class ListenerFork : public ::testing::TestWithParam<ChildEnd> {};

TEST_P(ListenerFork, AForkedChildThatStopsItsCopyLeavesTheParentServing) {
    if (GetParam() == CHILD_EXITS && kExitInForkedChildMayHang)
        GTEST_SKIP() << "LeakSanitizer's exit-time check can hang in a forked child";
    static const std::string name = uniqueName("fork");
    ServerEvents events;
    VORNA::Listener* server =
        GetParam() == CHILD_EXITS ? staticServer(name.c_str()) : new VORNA::Listener(name.c_str(), 0);
    server->setMsgCbk(ServerEvents::record, &events);
    events.setHook([&](const ServerEvents::Event& event) {
        if (event.type == MSG_RECV)
            server->notify(event.conn, 1u, static_cast<unsigned int>(event.data.size()));
    });
    ASSERT_EQ(0, server->run());
    RawStream client = connectRawClient(name);
    void* handle = events.connected(0);
    ASSERT_NE(nullptr, handle);

    std::atomic<bool> stop(false);
    std::atomic<int> failures(0);
    std::atomic<int> calls(0);
    std::thread caller([&] {
        for (; !stop; ++calls) {
            WireHeader header;
            std::string body;
            if (!client.writeAll("x") || !readMessage(&client, &header, &body, 5000))
                ++failures;
        }
    });
    ForkedProcess child([&] {
        switch (GetParam()) {
            case CHILD_STALLS:
                _exit(server->stall() == 0 ? 0 : 1);
            case CHILD_DESTROYS:
                delete server;
                _exit(0);
            case CHILD_EXITS:
                exit(0);
        }
    });
    EXPECT_EQ(0, child.wait()) << "the child hung or failed while stopping its copy of the server";
    const int callsBefore = calls;
    EXPECT_TRUE(waitUntil([&] { return calls >= callsBefore + 50 || failures > 0; }));
    stop = true;
    caller.join();

    EXPECT_EQ(0, failures.load()) << "the parent's client lost its connection";
    RawStream later = connectRawClient(name);
    EXPECT_NE(nullptr, events.connected(1)) << "the parent no longer accepts clients";
    EXPECT_EQ(32, server->notify(handle, 2u, 2u));
    EXPECT_EQ(0, server->stall());
    if (GetParam() != CHILD_EXITS)
        delete server;
}

INSTANTIATE_TEST_SUITE_P(ChildEnds, ListenerFork,
                         ::testing::Values(CHILD_STALLS, CHILD_DESTROYS, CHILD_EXITS));

// Calls on handles of a server from several threads while it goes through stall()/run() cycles, with a
// client that never reads so that a send is blocked when stall() comes.
TEST(ListenerStallRace, CallsFromOtherThreadsCompleteOrFailWhileStallRuns) {
    const std::string name = uniqueName("stallrace");
    ServerEvents events;
    VORNA::Listener server(name.c_str(), 0);
    server.setMsgCbk(ServerEvents::record, &events);
    std::mutex handlesLock;
    std::vector<void*> handles;
    events.setHook([&](const ServerEvents::Event& event) {
        if (event.type == MSG_CONNECTED) {
            std::lock_guard<std::mutex> lock(handlesLock);
            handles.push_back(event.conn);
        }
    });
    std::atomic<bool> stop(false);
    std::atomic<int> unexpected(0);
    auto sender = [&](unsigned seed) {
        std::string big(64 * 1024, 'b');
        unsigned char small[8] = {};
        for (unsigned turn = seed; !stop; ++turn) {
            void* handle;
            {
                std::lock_guard<std::mutex> lock(handlesLock);
                if (handles.empty())
                    continue;
                handle = handles[turn % handles.size()];
            }
            int result = 0;
            switch (turn % 5) {
                case 0:
                    result = server.response(handle, reinterpret_cast<unsigned char*>(&big[0]),
                                             static_cast<int>(big.size()));
                    break;
                case 1:
                    result = server.notify(handle, 1u, 1u);
                    break;
                case 2:
                    result = server.notify(handle, 1u, small, 8);
                    break;
                case 3:
                    result = server.notifyAll(1u, 1u);
                    break;
                case 4:
                    result = server.peerCredentials(handle, NULL, NULL, NULL);
                    break;
            }
            unexpected += result < -3;
        }
    };
    std::thread first(sender, 0u);
    std::thread second(sender, 3u);
    long long slowestStall = 0;
    for (int cycle = 0; cycle < 20; ++cycle) {
        ASSERT_EQ(0, server.run());
        std::vector<RawStream> clients;
        for (int i = 0; i < 3; ++i)
            clients.push_back(connectRawClient(name));
        ASSERT_TRUE(events.waitForCount(MSG_CONNECTED, static_cast<size_t>(cycle + 1) * 3));
        const long long start = nowMs();
        ASSERT_EQ(0, server.stall());
        slowestStall = std::max(slowestStall, nowMs() - start);
        std::lock_guard<std::mutex> lock(handlesLock);
        if (cycle % 4 == 3)
            handles.clear();
    }
    stop = true;
    first.join();
    second.join();
    EXPECT_EQ(0, unexpected.load()) << "calls racing stall() returned something other than -1, -2 or -3";
    EXPECT_LT(slowestStall, kSendTimeoutMs / 2) << "stall() waited for a send blocked on a full socket";
}

TEST(ListenerNotifyAll, ReachesEveryConnectedClientOnceWithTheExactBytes) {
    const std::string name = uniqueName("all");
    ServerEvents events;
    VORNA::Listener server(name.c_str(), 0);
    server.setMsgCbk(ServerEvents::record, &events);
    unsigned char body[256] = {'p', 'u', 's', 'h'};
    EXPECT_EQ(-1, server.notifyAll(1u, 2u));
    ASSERT_EQ(0, server.run());
    EXPECT_EQ(0, server.notifyAll(1u, 2u));
    std::vector<RawStream> clients;
    for (int i = 0; i < 3; ++i) {
        clients.push_back(connectRawClient(name));
        ASSERT_TRUE(clients.back().writeAll("x"));
    }
    // A request is read only after its client's MSG_CONNECTED callback has returned.
    ASSERT_TRUE(events.waitForCount(MSG_RECV, 3));

    EXPECT_EQ(3, server.notifyAll(5u, 77u));
    EXPECT_EQ(3, server.notifyAll(6u, body, 4));
    EXPECT_EQ(-2, server.notifyAll(6u, body, 256));
    EXPECT_EQ(-2, server.notifyAll(6u, NULL, 4));
    for (RawStream& client : clients) {
        const std::string written = client.readExactly(2 * kWireHeaderSize + 4);
        ASSERT_EQ(2 * kWireHeaderSize + 4, written.size());
        std::string expected = valueNotificationFrame(5, 77) + dataNotificationFrame(6, "push");
        expected.replace(16, 8, written.substr(16, 8));
        expected.replace(kWireHeaderSize + 16, 8, written.substr(kWireHeaderSize + 16, 8));
        EXPECT_EQ(expected, written);
        EXPECT_EQ(0, client.pendingBytes()) << "a refused notifyAll wrote something";
    }
    // A client that has gone, its handle not yet closed, fails the send and is not counted.
    clients.pop_back();
    ASSERT_TRUE(events.waitForCount(MSG_DISCONNECTED, 1));
    EXPECT_EQ(2, server.notifyAll(5u, 77u)) << "a failed send was counted";
    EXPECT_EQ(0, server.stall());
}

TEST(ListenerNotifyAll, PushesRacingConnectsHangUpsAndCloseClientKeepEveryStreamWhole) {
    const std::string name = uniqueName("allrace");
    ServerEvents events;
    VORNA::Listener server(name.c_str(), 0);
    server.setMsgCbk(ServerEvents::record, &events);
    events.setHook([&](const ServerEvents::Event& event) {
        if (event.type == MSG_DISCONNECTED)
            server.closeClient(event.conn);
    });
    ASSERT_EQ(0, server.run());
    std::atomic<bool> stop(false);
    std::atomic<int> badResults(0);
    std::thread pusher([&] {
        unsigned char body[100] = {};
        for (unsigned turn = 0; !stop; ++turn) {
            const int reached = turn % 2 ? server.notifyAll(turn, turn) : server.notifyAll(turn, body, 100);
            badResults += reached < 0 || reached > 64;
        }
    });
    std::thread closer([&] {
        for (size_t index = 0; !stop; index += 2) {
            void* handle = events.connected(index, 200);
            if (handle != NULL)
                server.closeClient(handle);
        }
    });
    int brokenStreams = 0;
    for (int round = 0; round < 200; ++round) {
        RawStream client = connectRawClient(name);
        WireHeader header;
        std::string body;
        // Every message that arrives before the end (closed by the server or by the client) is whole.
        for (int i = 0; i < round % 4; ++i) {
            if (!readMessage(&client, &header, &body, 2000))
                break;
            brokenStreams +=
                header.id != kWireIdNotify && !(header.id == kWireIdNotifyData && body.size() == 100);
        }
    }
    stop = true;
    pusher.join();
    closer.join();
    EXPECT_EQ(0, badResults.load());
    EXPECT_EQ(0, brokenStreams);

    // Once the clients have settled, exactly the connected ones are reached.
    std::vector<RawStream> settled;
    for (int i = 0; i < 3; ++i)
        settled.push_back(connectRawClient(name));
    EXPECT_TRUE(waitUntil([&] { return server.notifyAll(0u, 0u) == 3; }))
        << "notifyAll did not settle on the 3 connected clients";
    EXPECT_EQ(0, server.stall());
}

}  // namespace
