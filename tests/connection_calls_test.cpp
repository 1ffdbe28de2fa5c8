// The client's bounded operations against peers that answer late, stop half-way or go away: recv with a
// deadline, call from many threads, isConnected and the loss event, reconnecting, fork and teardown from
// the client's own callbacks.

#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
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

#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define UNDER_TSAN 1
#endif
#endif

// Deadlines stretch this many times on qemu and under TSan, which run the code 10 to 30 times slower.
#if defined(__arm__) || defined(UNDER_TSAN)
const int kSlack = 4;
#else
const int kSlack = 1;
#endif
// How long the client waits for the rest of a message that has begun (the header's documented bound).
const int kCompletionMs = 3000;
const int kTimedOut = -110;
const int kTooLong = -90;

void freeNotification(void*, unsigned int, void* data, int) {
    free(data);
}

// Counts loss events and lets the test wait for them.
struct LossLog {
    static void record(void* ctx) {
        LossLog* self = static_cast<LossLog*>(ctx);
        std::lock_guard<std::mutex> lock(self->mutex);
        ++self->count;
        self->changed.notify_all();
    }
    bool waitForCount(int wanted, int timeoutMs = 10000) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return count >= wanted; });
    }
    int seen() {
        std::lock_guard<std::mutex> lock(mutex);
        return count;
    }
    std::mutex mutex;
    std::condition_variable changed;
    int count = 0;
};

// The library's server answering each request with the same bytes. Requests reach it one read at a time,
// which the callers here keep apart by waiting for each answer.
class EchoServer {
  public:
    explicit EchoServer(const std::string& name) : mName(name), mServer(mName.c_str(), 0) {
        mServer.setMsgCbk(onMessage, this);
    }
    ~EchoServer() { stop(); }
    bool start() { return mServer.run() == 0; }
    void stop() {
        if (mRunning.exchange(false))
            mServer.stall();
    }
    bool run() {
        mRunning = start();
        return mRunning;
    }
    // Closes every client that has connected so far.
    void closeClients() {
        std::vector<void*> clients;
        {
            std::lock_guard<std::mutex> lock(mMutex);
            clients.swap(mClients);
        }
        for (void* client : clients)
            mServer.closeClient(client);
    }
    bool waitForClients(size_t wanted) {
        return waitUntil([&] {
            std::lock_guard<std::mutex> lock(mMutex);
            return mClients.size() >= wanted;
        });
    }

  private:
    static void onMessage(void* ctx, void* conn, int type, unsigned char* data, int len) {
        EchoServer* self = static_cast<EchoServer*>(ctx);
        if (type == MSG_CONNECTED) {
            std::lock_guard<std::mutex> lock(self->mMutex);
            self->mClients.push_back(conn);
        } else if (type == MSG_RECV) {
            self->mServer.response(conn, data, len);
        }
    }

    const std::string mName;
    VORNA::Listener mServer;
    std::atomic<bool> mRunning{false};
    std::mutex mMutex;
    std::vector<void*> mClients;
};

std::string callText(VORNA::Connection& connection, const std::string& request, int timeoutMs = 10000) {
    unsigned char buf[256];
    const int got = connection.call(reinterpret_cast<const unsigned char*>(request.data()),
                                    static_cast<int>(request.size()), buf, sizeof(buf), timeoutMs * kSlack);
    return got >= 0 ? std::string(reinterpret_cast<char*>(buf), got) : "error " + std::to_string(got);
}

// A raw server and one client in either mode.
class BoundedTest : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override {
        ASSERT_TRUE(server.isListening());
        connection.reset(new VORNA::Connection(name.c_str(), 0, notifier() ? freeNotification : NULL, NULL));
        peer = server.accept();
        ASSERT_TRUE(peer.isOpen());
    }
    bool notifier() const { return GetParam(); }

    // Runs `action` and returns its result and how long it took.
    static std::pair<int, long long> timed(const std::function<int()>& action) {
        const long long start = nowMs();
        const int result = action();
        return {result, nowMs() - start};
    }

    const std::string name = uniqueName("bounded");
    RawServer server{name};
    std::unique_ptr<VORNA::Connection> connection;
    RawStream peer;
    unsigned char buf[64] = {};
};

INSTANTIATE_TEST_SUITE_P(BothModes, BoundedTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "Notifier" : "Direct";
                         });

TEST_P(BoundedTest, RecvTimesOutWhenNothingComesAndKeepsALateResponseForTheNextRecv) {
    const auto silent = timed([&] { return connection->recv(buf, sizeof(buf), 100); });
    EXPECT_EQ(kTimedOut, silent.first);
    EXPECT_GE(silent.second, 95);
    EXPECT_LT(silent.second, 100 + 1000 * kSlack);
    EXPECT_EQ(kTimedOut, connection->recv(buf, sizeof(buf), 0)) << "a zero timeout waited";

    ASSERT_TRUE(peer.writeAll(responseFrame("late")));

    EXPECT_EQ(4, connection->recv(buf, sizeof(buf), 10000));
    EXPECT_EQ("late", std::string(reinterpret_cast<char*>(buf), 4));
    EXPECT_TRUE(connection->isConnected());
}

TEST_P(BoundedTest, HalfAHeaderThenSilenceEndsTheConnectionWithinTheBound) {
    ASSERT_TRUE(peer.writeAll(responseFrame("cut").substr(0, 16)));

    const auto cut = timed([&] { return connection->recv(buf, sizeof(buf), 50); });

    // Notifier mode: the receive thread holds the half header, no response began: -110 at the deadline.
    // Direct mode: this caller began reading it and gives up on the broken stream.
    if (notifier()) {
        EXPECT_EQ(kTimedOut, cut.first);
        EXPECT_TRUE(waitUntil([&] { return !connection->isConnected(); }, kCompletionMs + 2000 * kSlack))
            << "the receive thread kept waiting for the rest of the header";
    } else {
        EXPECT_EQ(-1, cut.first);
        EXPECT_LT(cut.second, kCompletionMs + 2000 * kSlack);
        EXPECT_FALSE(connection->isConnected());
    }
    EXPECT_EQ(-1, connection->recv(buf, sizeof(buf), 1000)) << "a lost connection made recv wait";
}

TEST_P(BoundedTest, CallThatTimedOutDropsItsLateResponseAndTheNextCallGetsItsOwn) {
    std::thread serverSide([&] {
        EXPECT_EQ("first", peer.readExactly(5));
        EXPECT_EQ("second", peer.readExactly(6));
        peer.writeAll(responseFrame("answer to first") + responseFrame("answer to second"));
    });

    EXPECT_EQ("error -110", callText(*connection, "first", 50 / kSlack));
    EXPECT_EQ("answer to second", callText(*connection, "second"));
    serverSide.join();
}

TEST_P(BoundedTest, ResponseLargerThanTheBufferGivesMinus90AndTheNextCallWorks) {
    std::thread serverSide([&] {
        EXPECT_EQ("big", peer.readExactly(3));
        peer.writeAll(responseFrame(std::string(1000, 'b')));
        EXPECT_EQ("small", peer.readExactly(5));
        peer.writeAll(responseFrame("fits"));
    });
    unsigned char small[16];
    memset(small, 0xA5, sizeof(small));

    EXPECT_EQ(kTooLong, connection->call(reinterpret_cast<const unsigned char*>("big"), 3, small, 8, 10000));
    EXPECT_EQ(0xA5, small[8]) << "call wrote past respCap";
    EXPECT_EQ("fits", callText(*connection, "small"));
    serverSide.join();
}

TEST_P(BoundedTest, BadArgumentsOfCallGiveMinus2AndNotConnectedGivesMinus1) {
    const unsigned char request[] = "x";
    EXPECT_EQ(-2, connection->call(NULL, 1, buf, 1, 100));
    EXPECT_EQ(-2, connection->call(request, 0, buf, 1, 100));
    EXPECT_EQ(-2, connection->call(request, 1, NULL, 4, 100));
    EXPECT_EQ(-2, connection->call(request, 1, buf, -1, 100));
    EXPECT_EQ(0, peer.pendingBytes()) << "a refused call sent something";
    connection->disconnect();
    EXPECT_EQ(-1, connection->call(request, 1, buf, 1, 100));
    EXPECT_EQ(-1, connection->recv(buf, 1, 100));
    EXPECT_FALSE(connection->isConnected());
}

TEST_P(BoundedTest, IsConnectedTurnsFalseWhenThePeerCloses) {
    EXPECT_TRUE(connection->isConnected());
    peer.close();
    EXPECT_TRUE(waitUntil([&] { return !connection->isConnected(); })) << "the closed peer went unnoticed";
}

// Direct mode looks at the magic too: a wrong one breaks the stream for good.
TEST(ConnectionDirect, WrongMagicFailsTheRecvAndEveryLaterOne) {
    const ChildResult child = runCheckedInChild([] {
        const std::string name = uniqueName("magic");
        RawServer server(name);
        VORNA::Connection client(name.c_str(), 0, NULL, NULL);
        RawStream peer = server.accept();
        ASSERT_TRUE(
            peer.writeAll(wireHeader(kWireIdResponse, 0, 5, 0xdeadbeefu) + "hello" + responseFrame("valid")));
        unsigned char buf[16];
        EXPECT_EQ(-1, client.recv(buf, sizeof(buf)));
        EXPECT_FALSE(client.isConnected());
        const long long start = nowMs();
        EXPECT_EQ(-1, client.recv(buf, sizeof(buf)));
        EXPECT_LT(nowMs() - start, 1000 * kSlack);
    });

    EXPECT_EQ(0, child.status) << child.out;
    const std::vector<LogLine> lines = parseLogLines(child.out, "src/Connection");
    EXPECT_TRUE(containsLine(lines, LogLine{"src/Connection", "recv", "ERR", "bad header magic(0xdeadbeef)"}))
        << describe(lines);
}

TEST(ConnectionConnect, BoundedConnectGivesUpInTimeWithOneLine) {
    const ChildResult child = runCheckedInChild([] {
        const std::string name = uniqueName("absent");
        VORNA::Connection client(name.c_str(), 0, NULL, NULL, VORNA::Connection::CONNECT_LATER);
        EXPECT_FALSE(client.isConnected());
        fflush(stdout);
        printf("-- constructed --\n");
        const std::vector<int> before = openDescriptors();
        const long long start = nowMs();
        EXPECT_EQ(-2, client.connect(300));
        EXPECT_GE(nowMs() - start, 290);
        EXPECT_LT(nowMs() - start, 300 + 1000 * kSlack);
        EXPECT_EQ(before, openDescriptors()) << "a failed attempt left its socket open";
        RawServer server(name);
        EXPECT_EQ(0, client.connect(0)) << "a single attempt missed a listening server";
        EXPECT_TRUE(client.isConnected());
    });

    EXPECT_EQ(0, child.status) << child.out;
    const size_t split = child.out.find("-- constructed --");
    ASSERT_NE(std::string::npos, split) << child.out;
    const std::vector<LogLine> lines = parseLogLines(child.out.substr(0, split), "src/Connection");
    EXPECT_EQ(0u, lines.size()) << "constructing without connecting logged\n" << describe(lines);
    const std::vector<LogLine> failed = parseLogLines(child.out.substr(split), "src/Connection");
    EXPECT_TRUE(hasLineOf(failed, "ERR", "connect")) << describe(failed);
    size_t errors = 0;
    for (const LogLine& line : failed)
        errors += line.level == "ERR" ? 1 : 0;
    EXPECT_EQ(1u, errors) << describe(failed);
}

// A listener that never accepts and whose backlog is full holds a blocking connect without limit.
TEST(ConnectionConnect, ConnectEndsAgainstAServerWithAFullBacklog) {
    const std::string name = uniqueName("backlog");
    RawServer server(name);
    std::vector<RawStream> waiting;
    for (int i = 0; i < 64; ++i) {
        sockaddr_un address;
        socklen_t length;
        ASSERT_TRUE(abstractAddress(name, &address, &length));
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), length) != 0) {
            ASSERT_EQ(EAGAIN, errno) << strerror(errno);
            close(fd);
            break;
        }
        waiting.emplace_back(fd);
    }

    const long long start = nowMs();
    VORNA::Connection bounded(name.c_str(), 0, NULL, NULL, 200);
    EXPECT_LT(nowMs() - start, 200 + 1500 * kSlack);
    EXPECT_FALSE(bounded.isConnected());

    const long long legacyStart = nowMs();
    VORNA::Connection legacy(name.c_str(), 0, freeNotification, NULL);
    EXPECT_LT(nowMs() - legacyStart, 10000 + 2500 * kSlack) << "501 attempts of the constructor overran";
    EXPECT_FALSE(legacy.isConnected());
}

// 16 threads share one connection: every call must get the answer to its own request, while the server
// pushes notifications (notifier mode) and answers a few requests too late for their callers.
class RawCallServer {
  public:
    static const size_t kRequestSize = 16;

    RawCallServer(RawStream* peer, bool push) : mPeer(peer) {
        mReader = std::thread([this] { answer(); });
        if (push)
            mPusher = std::thread([this] { pushWhileRunning(); });
    }
    ~RawCallServer() {
        mRunning = false;
        mPeer->shutdown();
        mReader.join();
        if (mPusher.joinable())
            mPusher.join();
    }
    int pushed() const { return mPushed; }

  private:
    void answer() {
        for (;;) {
            const std::string request = mPeer->readExactly(kRequestSize, 60000);
            if (request.size() != kRequestSize)
                return;
            // A request that starts with 's' is answered after its caller has given up.
            if (request[0] == 's')
                usleep(100 * 1000);
            write(responseFrame("re:" + request));
        }
    }
    void pushWhileRunning() {
        while (mRunning) {
            write(valueNotificationFrame(7, static_cast<uint32_t>(mPushed)));
            ++mPushed;
            usleep(500);
        }
    }
    void write(const std::string& frame) {
        std::lock_guard<std::mutex> lock(mWriteLock);
        mPeer->writeAll(frame);
    }

    RawStream* mPeer;
    std::mutex mWriteLock;
    std::atomic<bool> mRunning{true};
    std::atomic<int> mPushed{0};
    std::thread mReader;
    std::thread mPusher;
};

TEST_P(BoundedTest, SixteenThreadsCallingAtOnceEachGetTheirOwnResponse) {
    // Scaled down where the code runs 10 to 30 times slower.
    const int kCalls = kSlack > 1 ? 150 : 1000;
    const int kThreads = 16;
    const int kSlowCalls = 3;
    std::atomic<int> mismatches{0};
    std::atomic<int> timeouts{0};
    std::atomic<int> failures{0};
    {
        RawCallServer rawServer(&peer, notifier());
        std::vector<std::thread> callers;
        for (int t = 0; t < kThreads; ++t) {
            callers.emplace_back([&, t] {
                for (int i = 0; i < kCalls; ++i) {
                    const bool slow = t == 0 && i < kSlowCalls;
                    char request[RawCallServer::kRequestSize + 1];
                    snprintf(request, sizeof(request), "%c%02d-%012d", slow ? 's' : 'n', t, i);
                    const std::string answer = callText(*connection, request, slow ? 20 : 20000);
                    if (answer == "error -110")
                        ++timeouts;
                    else if (answer.compare(0, 6, "error ") == 0)
                        ++failures;
                    else if (answer != std::string("re:") + request)
                        ++mismatches;
                }
            });
        }
        for (std::thread& caller : callers)
            caller.join();
        if (notifier()) {
            EXPECT_GT(rawServer.pushed(), 0);
        }
    }

    EXPECT_EQ(0, mismatches.load());
    EXPECT_EQ(0, failures.load());
    EXPECT_EQ(kSlowCalls, timeouts.load()) << "only the late answers may time out";
}

// Loss: the server closes the client, or dies.
class LossTest : public ::testing::TestWithParam<bool> {};

INSTANTIATE_TEST_SUITE_P(ServerEnds, LossTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "Killed" : "ClosesClient";
                         });

TEST_P(LossTest, LossEventComesOnceAndIsConnectedTurnsFalse) {
    const std::string name = uniqueName("loss");
    ProcessSignal ready;
    ProcessSignal closeNow;
    // The server lives in a child, so that it can be killed.
    ForkedProcess serverProcess([&] {
        EchoServer echo(name);
        if (!echo.run())
            return;
        ready.post();
        closeNow.waitFor(30000);
        echo.closeClients();
        closeNow.waitFor(30000);
    });
    ASSERT_TRUE(ready.waitFor());
    LossLog losses;
    VORNA::Connection notified(name.c_str(), 0, freeNotification, NULL, VORNA::Connection::CONNECT_LATER);
    notified.setLossCbk(LossLog::record, &losses);
    ASSERT_EQ(0, notified.connect(5000));
    VORNA::Connection direct(name.c_str(), 0, NULL, NULL, 5000);
    ASSERT_EQ("ping", callText(notified, "ping"));
    ASSERT_EQ("ping", callText(direct, "ping"));

    if (GetParam())
        serverProcess.kill(SIGKILL);
    else
        closeNow.post();

    EXPECT_TRUE(losses.waitForCount(1)) << "no loss event";
    EXPECT_TRUE(waitUntil([&] { return !notified.isConnected() && !direct.isConnected(); }));
    EXPECT_EQ(-1, notified.call(reinterpret_cast<const unsigned char*>("x"), 1, NULL, 0, 1000));
    EXPECT_EQ(0, notified.disconnect());
    EXPECT_EQ(1, losses.seen()) << "the loss was told more than once, or disconnect told it";
}

TEST(ConnectionReconnect, ClientSurvivesFiveServerRestarts) {
    const std::string name = uniqueName("restart");
    EchoServer server(name);
    ASSERT_TRUE(server.run());
    LossLog losses;
    VORNA::Connection client(name.c_str(), 0, freeNotification, NULL, VORNA::Connection::CONNECT_LATER);
    client.setLossCbk(LossLog::record, &losses);
    ASSERT_EQ(0, client.connect(5000));

    for (int restart = 1; restart <= 5; ++restart) {
        server.stop();
        ASSERT_TRUE(losses.waitForCount(restart)) << "restart " << restart << " went unnoticed";
        ASSERT_TRUE(server.run());
        // The README's recipe: on the loss event, connect again (and subscribe again).
        client.disconnect();
        ASSERT_EQ(0, client.connect(5000 * kSlack)) << "restart " << restart;
        for (int i = 0; i < 10; ++i) {
            const std::string request = "r" + std::to_string(restart) + "-" + std::to_string(i);
            ASSERT_EQ(request, callText(client, request)) << "restart " << restart;
        }
    }
    // disconnect() waits for the receive thread: a loss it would tell has been told when it returns.
    EXPECT_EQ(0, client.disconnect());
    EXPECT_EQ(5, losses.seen()) << "disconnect() was told as a loss";
}

// A forked child that exits must leave the parent's connection alone.
struct ConnectionHolder {
    ~ConnectionHolder() { delete connection; }
    VORNA::Connection* connection = NULL;
};
ConnectionHolder gHeld;

TEST(ConnectionFork, ChildThatExitsLeavesTheParentsConnectionWorking) {
    if (kExitInForkedChildMayHang)
        GTEST_SKIP() << "LeakSanitizer's exit-time check can hang in a forked child";
    const std::string name = uniqueName("fork");
    EchoServer server(name);
    ASSERT_TRUE(server.run());
    for (bool notifier : {true, false}) {
        gHeld.connection = new VORNA::Connection(name.c_str(), 0, notifier ? freeNotification : NULL, NULL);
        std::atomic<bool> calling{true};
        std::atomic<int> answered{0};
        std::atomic<int> failed{0};
        std::thread caller([&] {
            while (calling) {
                if (callText(*gHeld.connection, "still here") == "still here")
                    ++answered;
                else
                    ++failed;
            }
        });
        ASSERT_TRUE(waitUntil([&] { return answered > 10; }));

        const pid_t child = fork();
        if (child == 0)
            exit(0);  // runs gHeld's destructor in the child
        int status = -1;
        const bool ended =
            waitUntil([&] { return waitpid(child, &status, WNOHANG) == child; }, 10000 * kSlack);
        if (!ended) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
        }
        const int before = answered;
        EXPECT_TRUE(waitUntil([&] { return answered > before + 10; })) << "the parent's calls stopped";
        calling = false;
        caller.join();

        EXPECT_TRUE(ended) << "the child hung in the destructor";
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
        EXPECT_EQ(0, failed.load()) << (notifier ? "notifier" : "direct");
        delete gHeld.connection;
        gHeld.connection = NULL;
    }
}

// The notification callback may end its own connection.
struct SelfEnding {
    static void onNotification(void* ctx, unsigned int msg, void* data, int) {
        free(data);
        SelfEnding* self = static_cast<SelfEnding*>(ctx);
        ++self->delivered;
        if (msg != 1)
            return;
        if (self->destroy) {
            delete self->connection;
        } else {
            EXPECT_EQ(0, self->connection->disconnect());
        }
    }
    VORNA::Connection* connection = NULL;
    bool destroy = false;
    std::atomic<int> delivered{0};
};

TEST(ConnectionSelfEnd, CallbackMayDisconnectOrDeleteItsOwnConnection) {
    for (bool destroy : {false, true}) {
        const std::string name = uniqueName("self-end");
        RawServer server(name);
        SelfEnding ending;
        ending.destroy = destroy;
        VORNA::Connection* connection =
            new VORNA::Connection(name.c_str(), 0, SelfEnding::onNotification, &ending);
        ending.connection = connection;
        RawStream peer = server.accept();
        ASSERT_TRUE(peer.isOpen());

        ASSERT_TRUE(peer.writeAll(valueNotificationFrame(1, 0) + valueNotificationFrame(2, 0)));

        EXPECT_TRUE(peer.waitForEndOfStream()) << "the socket was not closed after the callback returned";
        EXPECT_EQ(1, ending.delivered.load()) << "a notification came after the connection was ended";
        if (!destroy) {
            EXPECT_FALSE(connection->isConnected());
            EXPECT_EQ(-1, connection->disconnect());
            delete connection;
        }
    }
    // The next connection reclaims the ended receive threads.
    const std::string name = uniqueName("after");
    RawServer server(name);
    VORNA::Connection next(name.c_str(), 0, freeNotification, NULL);
    EXPECT_TRUE(next.isConnected());
}

TEST(ConnectionSelfEnd, LossHandlerMayDeleteTheConnection) {
    const std::string name = uniqueName("loss-delete");
    RawServer server(name);
    struct Owner {
        static void onLoss(void* ctx) {
            Owner* self = static_cast<Owner*>(ctx);
            delete self->connection;
            self->gone = true;
        }
        VORNA::Connection* connection = NULL;
        std::atomic<bool> gone{false};
    } owner;
    owner.connection =
        new VORNA::Connection(name.c_str(), 0, freeNotification, NULL, VORNA::Connection::CONNECT_LATER);
    owner.connection->setLossCbk(Owner::onLoss, &owner);
    ASSERT_EQ(0, owner.connection->connect(5000));
    RawStream peer = server.accept();

    peer.close();

    EXPECT_TRUE(waitUntil([&] { return owner.gone.load(); }));
}

}  // namespace

namespace {

struct CallingBack {
    static void onNotification(void* ctx, unsigned int, void* data, int) {
        free(data);
        CallingBack* self = static_cast<CallingBack*>(ctx);
        unsigned char buf[8];
        self->result = self->connection->call(reinterpret_cast<const unsigned char*>("x"), 1, buf, 8, 60000);
        self->done = true;
    }
    VORNA::Connection* connection = NULL;
    std::atomic<int> result{0};
    std::atomic<bool> done{false};
};

// Only the receive thread can hand a response over: a call from its callback would wait for itself.
TEST(ConnectionSelfEnd, CallFromTheNotificationCallbackFailsAtOnce) {
    const std::string name = uniqueName("call-back");
    RawServer server(name);
    CallingBack back;
    VORNA::Connection connection(name.c_str(), 0, CallingBack::onNotification, &back);
    back.connection = &connection;
    RawStream peer = server.accept();

    ASSERT_TRUE(peer.writeAll(valueNotificationFrame(1, 0)));

    EXPECT_TRUE(waitUntil([&] { return back.done.load(); }, 5000 * kSlack)) << "the call waited for itself";
    EXPECT_EQ(-1, back.result.load());
    EXPECT_EQ(0, peer.pendingBytes()) << "the refused call sent its request";
}

}  // namespace
