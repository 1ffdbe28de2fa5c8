// The client against raw servers written from the wire format, and against the library's server in a
// process that can be killed: framing, notifications, broken streams, bounded waits, calls from many
// threads, loss, fork and the client's own callbacks.

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gmock/gmock.h>

#include "support/child.h"
#include "support/loop_driver.h"
#include "support/peers.h"
#include "support/probes.h"
#include "support/server_harness.h"
#include "vorna/messaging.h"

namespace {

using namespace testing_support;
using namespace ::testing;

// How soon a call that must not wait for retries returns.
const int kPromptMs = 1000 * kSlack;
// How long the rest of a message that has begun may take (the client's documented bound), with a margin.
const int kCompletionMs = 3000 + 2000 * kSlack;
const int kUntimed = -1000;
const int kTimedOut = VORNA::Connection::TIMED_OUT;
const char kModule[] = "src/Connection";

LogLine connectionLine(const char* level, const char* function, const std::string& text) {
    return LogLine{kModule, function, level, text};
}

// The code, whether a buffer came, its bytes, and the length or value.
typedef std::tuple<unsigned int, bool, std::string, int> Notification;

// Everything the receive thread delivers. The callback frees each buffer, as the contract says.
struct Notifications {
    static void record(void* ctx, unsigned int msg, void* data, int len) {
        Notifications* self = static_cast<Notifications*>(ctx);
        std::lock_guard<std::mutex> lock(self->mutex);
        self->seen.emplace_back(msg, data != NULL,
                                data != NULL ? std::string(static_cast<char*>(data), len) : "", len);
        free(data);
    }
    bool waitForCount(size_t wanted) {
        return waitUntil([&] { return all().size() >= wanted; }, 10000);
    }
    std::vector<Notification> all() {
        std::lock_guard<std::mutex> lock(mutex);
        return seen;
    }
    std::mutex mutex;
    std::vector<Notification> seen;
};

void freeNotification(void*, unsigned int, void* data, int) {
    free(data);
}

// How many of this process's threads have the kernel name of the client's receive thread.
int receiveThreads() {
    int count = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task"))
        count += kernelThreadName(std::stoi(task.path().filename())) == "notifier listen";
    return count;
}

// Runs `body` on another thread and returns once that thread waits in the kernel (or `body` has returned).
std::future<int> startBlocked(const std::function<int()>& body) {
    const auto tid = std::make_shared<std::atomic<pid_t>>(0);
    std::future<int> result = std::async(std::launch::async, [tid, body] {
        *tid = currentTid();
        return body();
    });
    EXPECT_TRUE(waitUntil([&] {
        return result.wait_for(std::chrono::seconds(0)) == std::future_status::ready ||
               (*tid != 0 && threadIsBlocked(*tid));
    })) << "the thread neither waited nor returned";
    return result;
}

// The result of a recv that had not returned 10 s after the action (disconnect() then woke it).
const int kNeverReturned = -9999;

struct RecvOutcome {
    int result;
    long long elapsedMs;  // from the action to the return
};

// Calls recv (with `timeoutMs`, or without a timeout for kUntimed) on another thread and, once that thread
// waits in the kernel, runs `action`.
RecvOutcome recvWhile(VORNA::Connection* connection, unsigned char* buf, int len, int timeoutMs,
                      const std::function<void()>& action) {
    std::atomic<long long> endedAt{0};
    std::future<int> result = startBlocked([&] {
        const int got =
            timeoutMs == kUntimed ? connection->recv(buf, len) : connection->recv(buf, len, timeoutMs);
        endedAt = nowMs();
        return got;
    });
    const long long start = nowMs();
    action();
    const bool returned =
        result.wait_for(std::chrono::milliseconds(10000 * kSlack)) == std::future_status::ready;
    if (!returned)
        connection->disconnect();
    const int got = result.get();
    return {returned ? got : kNeverReturned, endedAt - start};
}

// A result as the tests compare it: the bytes it counts, or "error <result>".
std::string text(const unsigned char* bytes, int result) {
    return result >= 0 ? std::string(reinterpret_cast<const char*>(bytes), result)
                       : "error " + std::to_string(result);
}

// The response to `request`, "error <result>", or "overrun" when the call wrote past `respCap` (256 at most).
std::string callText(VORNA::Connection& connection, const std::string& request,
                     int timeoutMs = 10000 * kSlack, int respCap = 256) {
    unsigned char buf[257];
    buf[respCap] = 0xA5;
    const int got = connection.call(reinterpret_cast<const unsigned char*>(request.data()),
                                    static_cast<int>(request.size()), buf, respCap, timeoutMs);
    return buf[respCap] != 0xA5 ? "overrun" : text(buf, got);
}

enum class Mode { kDirect, kNotifier, kLoop };

// Connects in `mode`; in loop mode `*loop` then runs the connection's loop on a thread of the test.
int connectIn(Mode mode, VORNA::Connection& connection, std::unique_ptr<LoopDriver>* loop) {
    const int result =
        mode == Mode::kLoop ? connection.connectInLoop(5000 * kSlack) : connection.connect(5000 * kSlack);
    if (result == 0 && mode == Mode::kLoop)
        loop->reset(new LoopDriver(connection));
    return result;
}

// A raw server and a Connection to it, in each mode.
class ConnectionTest : public TestWithParam<Mode> {
  protected:
    void SetUp() override {
        ASSERT_TRUE(server.isListening()) << "the raw server could not bind " << name;
        ASSERT_EQ(0, connectIn(GetParam(), *connection, &loop));
        peer = server.accept();
        ASSERT_TRUE(peer.isOpen()) << "the connection did not reach the raw server";
    }
    bool notifies() const { return GetParam() != Mode::kDirect; }

    const std::string name = uniqueName("connection");
    RawServer server{name};
    Notifications notifications;
    std::unique_ptr<VORNA::Connection> owned{
        new VORNA::Connection(name.c_str(), 0, notifies() ? Notifications::record : NULL, &notifications,
                              VORNA::Connection::CONNECT_LATER)};
    VORNA::Connection* const connection = owned.get();
    std::unique_ptr<LoopDriver> loop;
    RawStream peer;
};

const char* const kModeNames[] = {"Direct", "Notifier", "Loop"};
INSTANTIATE_TEST_SUITE_P(EveryMode, ConnectionTest, Values(Mode::kDirect, Mode::kNotifier, Mode::kLoop),
                         [](const TestParamInfo<Mode>& info) {
                             return kModeNames[static_cast<int>(info.param)];
                         });

// A request goes on the stream as it is, without a header, however large. A response that arrives in pieces
// much smaller than the kernel's (the header in three) is taken whole, and recv never writes past the buffer
// it was given. The fuzzer checks the framing of whole streams.
TEST_P(ConnectionTest, LargeRequestsAndResponsesCrossTheStreamWholeAndKeepTheFraming) {
    std::string request = patternBytes(600 * 1024, 1);
    const std::string body = patternBytes(300 * 1024, 2);
    std::string received;
    std::thread server([&] {
        received = peer.readExactly(request.size(), 30000);
        peer.writeInPieces(responseFrame(body) + responseFrame("next"), {5, 20, 7, 1000, 30000, 70000}, 20);
    });
    const int size = static_cast<int>(request.size());
    EXPECT_EQ(size, connection->send(reinterpret_cast<unsigned char*>(&request[0]), size));
    std::vector<unsigned char> buf(body.size() + 64, 0xA5);
    for (const std::string& expected : {body, std::string("next")}) {
        const RecvOutcome got = recvWhile(connection, buf.data(), body.size(), kUntimed, [] {});
        EXPECT_TRUE(text(buf.data(), got.result) == expected) << got.result << " bytes, not the body";
    }
    EXPECT_EQ(std::string(64, '\xA5'), text(buf.data() + body.size(), 64)) << "recv wrote past its buffer";
    if (HasFailure())
        connection->disconnect();  // a writer blocked on lost framing now fails
    server.join();
    EXPECT_TRUE(received == request) << "received " << received.size() << " bytes, not the request";
    EXPECT_EQ(0, peer.pendingBytes());
}

// A timed recv ends within its bound, at once for a zero timeout, and leaves a late response to the next.
// Then connect while connected, bad arguments, disconnect while a recv waits and calls after it, with the
// lines they log.
TEST_P(ConnectionTest, TimedRecvEndsInTimeAndRefusedCallsReturnTheirResultsAndLogThem) {
    unsigned char buf[16] = {'x'};
    const long long start = nowMs();
    EXPECT_EQ(kTimedOut, connection->recv(buf, sizeof(buf), 100));
    EXPECT_GE(nowMs() - start, 95);
    EXPECT_LT(nowMs() - start, 100 + kPromptMs);
    EXPECT_EQ(kTimedOut, connection->recv(buf, sizeof(buf), 0)) << "a zero timeout waited";
    ASSERT_TRUE(peer.writeAll(responseFrame("late")));
    EXPECT_EQ("late", text(buf, connection->recv(buf, sizeof(buf), 10000)));

    LogCapture log;
    EXPECT_EQ(-2, connection->call(NULL, 1, buf, 1, 100));
    EXPECT_EQ(-2, connection->call(buf, 0, buf, 1, 100));
    EXPECT_EQ(-2, connection->call(buf, 1, NULL, 4, 100));
    EXPECT_EQ(-2, connection->call(buf, 1, buf, -1, 100));
    EXPECT_EQ(0, peer.pendingBytes()) << "a refused call sent something";
    log.take(kModule);
    EXPECT_EQ(-1, connection->connect());
    EXPECT_THAT(log.take(kModule),
                ElementsAre(AllOf(Field(&LogLine::level, "ERR"), Field(&LogLine::function, "connect"))));
    EXPECT_EQ(4, connection->send(buf, 4)) << "the refused connect broke the connection";
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 4), peer.readExactly(4));
    const RecvOutcome waiting =
        recvWhile(connection, buf, sizeof(buf), kUntimed, [&] { EXPECT_EQ(0, connection->disconnect()); });
    EXPECT_TRUE(waiting.result == -1 && waiting.elapsedMs < kPromptMs)
        << "recv gave " << waiting.result << " after " << waiting.elapsedMs << " ms";
    EXPECT_TRUE(peer.waitForEndOfStream()) << "disconnect left the socket open";
    log.take(kModule);
    EXPECT_EQ(-1, connection->send(buf, 4));
    EXPECT_EQ(-1, connection->recv(buf, 4));
    EXPECT_EQ(-1, connection->disconnect());
    EXPECT_THAT(log.take(kModule), ElementsAre(connectionLine("ERR", "send", "pSocket is null"),
                                               connectionLine("ERR", "recv", "pSocket is null"),
                                               connectionLine("ERR", "disconnect", "pSocket is null")));
    EXPECT_EQ(-1, connection->call(buf, 1, buf, 1, 100));
    EXPECT_EQ(-1, connection->recv(buf, 1, 100));
    EXPECT_FALSE(connection->isConnected());
}

// Frames in the server's order reach the callback, a response among them going to recv. A frame no server
// sends breaks the stream: the receive thread (notifier mode) or the reading recv (direct mode) ends the
// connection within the completion bound and says why, and every later recv fails at once. A notification
// in direct mode is framed, so the connection goes on. A peer that closes (no bytes) ends it too. The fuzzer
// checks arbitrary streams.
TEST(ConnectionFrames, ReachTheCallbackInTheServersOrderOrBreakTheStreamWithTheirLine) {
    const std::string longest(255, 'L');  // the longest data notification a server sends
    const std::string halfHeader = responseFrame("cut").substr(0, 16);
    // The empty data notification comes at once, with a buffer to free, though nothing follows it.
    const std::string inOrderBytes = valueNotificationFrame(1, 10) + dataNotificationFrame(2, "two") +
                                     responseFrame("answer") + valueNotificationFrame(3, 30) +
                                     dataNotificationFrame(6, longest) + dataNotificationFrame(6, "");
    const std::vector<Notification> inOrder = {{1, false, "", 10},
                                               {2, true, "two", 3},
                                               {3, false, "", 30},
                                               {6, true, longest, 255},
                                               {6, true, "", 0}};
    const struct {
        const char* name;
        bool notifier;
        std::string bytes;            // none: the peer closes
        const char* function = NULL;  // and the ERR line logged, when not null
        const char* line = NULL;
        int timeoutMs =
            kUntimed;  // of the first recv: a timed one finds the bytes there, an untimed one waits
        const char* result = "error -1";  // of the first recv
        int later = -1;                   // the next recv's result
        std::vector<Notification> delivered = {};
    } cases[] = {
        {"InOrder", true, inOrderBytes, NULL, NULL, kUntimed, "answer", kTimedOut, inOrder},
        {"PeerClosesToTheReceiveThread", true, ""},
        {"PeerClosesToADirectRecv", false, ""},
        {"WrongMagicToTheReceiveThread", true,
         wireHeader(kWireIdNotify, 1, 1, 0x44332211u) + valueNotificationFrame(2, 2), "threadLoop",
         " disconnect return from recv failed(32) magic=0x44332211"},
        {"UnknownIdToTheReceiveThread", true, wireHeader(3, 0, 0), "threadLoop", "unknown header id(3)"},
        {"DataNotificationOf2GiB", true,
         wireHeader(kWireIdNotifyData, 1, 0x7fffffff) + valueNotificationFrame(2, 2), "threadLoop",
         "bad notify data len(2147483647)"},
        {"HalfAHeaderToTheReceiveThread", true, halfHeader, NULL, NULL, 50, "error -110"},
        {"HalfAHeaderToADirectRecv", false, halfHeader, NULL, NULL, 50},
        {"WrongMagicToADirectRecv", false,
         wireHeader(kWireIdResponse, 0, 5, 0xdeadbeefu) + "hello" + responseFrame("valid"), "recv",
         "bad header magic(0xdeadbeef)"},
        {"NotificationToADirectRecv", false, valueNotificationFrame(1, 2) + responseFrame("after"), "recv",
         "bad header id(0)", kUntimed, "error -1", 5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture log;
        const std::string name = uniqueName("frames");
        RawServer server(name);
        Notifications notifications;
        {
            VORNA::Connection client(name.c_str(), 0, c.notifier ? Notifications::record : NULL,
                                     &notifications);
            RawStream peer = server.accept();
            const std::function<void()> write = [&] {
                if (c.bytes.empty())
                    peer.close();
                ASSERT_TRUE(c.bytes.empty() || peer.writeAll(c.bytes));
            };
            if (c.timeoutMs != kUntimed)
                write();
            unsigned char buf[16];
            const RecvOutcome got = recvWhile(
                &client, buf, sizeof(buf), c.timeoutMs, c.timeoutMs == kUntimed ? write : [] {});
            EXPECT_EQ(c.result, text(buf, got.result))
                << "error " << kNeverReturned << ": the stream did not wake it";
            // A begun message may take the rest of its bound; a broken or closed stream fails at once.
            EXPECT_LT(got.elapsedMs, c.timeoutMs == kUntimed ? kPromptMs : kCompletionMs);
            EXPECT_TRUE(waitUntil([&] { return client.isConnected() == (c.later != -1); }, kCompletionMs))
                << "the connection kept waiting for the rest of a broken message, or ended";
            EXPECT_EQ(c.later, client.recv(buf, sizeof(buf), 100)) << "a lost connection made recv wait";
            EXPECT_TRUE(notifications.waitForCount(c.delivered.size())) << "a notification was not delivered";
        }
        EXPECT_EQ(c.delivered, notifications.all());
        if (c.line != NULL) {
            EXPECT_THAT(log.take(kModule), Contains(connectionLine("ERR", c.function, c.line)));
        }
    }
}

// When the server ends the connection, every caller waiting for a response or for its turn hears it, and
// the connection counts as lost before the first of them returns (the loss handler, which holds its thread
// here until the test has looked, cannot come first).
TEST_P(ConnectionTest, EveryWaitingCallerHearsTheEndAndFindsItLost) {
    std::atomic<bool> looked{false};
    connection->setLossCbk(
        [](void* ctx) { waitUntil([ctx] { return static_cast<std::atomic<bool>*>(ctx)->load(); }, 10000); },
        &looked);
    std::atomic<int> returned{0};
    std::vector<std::future<int>> waiting;
    for (int i = 0; i < 4; ++i)
        waiting.push_back(startBlocked([&] {
            unsigned char buf[8];
            const int got = connection->recv(buf, sizeof(buf));
            ++returned;
            return got;
        }));
    peer.close();
    EXPECT_TRUE(waitUntil([&] { return returned > 0; }));
    EXPECT_FALSE(connection->isConnected()) << "isConnected() lagged recv()'s -1";
    looked = true;
    for (std::future<int>& result : waiting) {
        ASSERT_EQ(std::future_status::ready, result.wait_for(std::chrono::milliseconds(kPromptMs)))
            << "a waiting caller did not hear the end";
        EXPECT_EQ(-1, result.get());
    }
    loop.reset();  // the loss handler returns before the flag it waits on goes
    connection->disconnect();
}

// Answers each 16-byte request with "re:" and the request, after a value notification when `push` is set.
// The i-th request that starts with 's' is answered only once its call has returned (`slowReturned` > i):
// the connection must drop that answer.
void answerCalls(RawStream* peer, bool push, const std::atomic<int>* slowReturned, int* pushed) {
    for (std::string request; (request = peer->readExactly(16, 60000)).size() == 16;) {
        if (request[0] == 's')
            waitUntil([&] { return *slowReturned > std::stoi(request.substr(4)); }, 10000 * kSlack);
        if (push && peer->writeAll(valueNotificationFrame(7, 0)))
            ++*pushed;
        peer->writeAll(responseFrame("re:" + request));
    }
}

// 16 threads share one connection: every call must get the answer to its own request, while the server
// pushes notifications (notifier mode). A few answers come after their callers gave up, a few are longer
// than their callers' buffers: the connection drops those, and the next call gets its own.
TEST_P(ConnectionTest, SixteenThreadsCallingAtOnceEachGetTheirOwnResponse) {
    const int kCalls = kSlack > 1 ? 150 : 1000;  // scaled down where the code runs 10 to 30 times slower
    const int kThreads = 16,
              kOddCalls = 3;  // the first calls of thread 0 are answered late, of thread 1 too long
    std::atomic<int> wrong{0}, slowReturned{0};
    int pushed = 0;
    std::thread server([&] { answerCalls(&peer, notifies(), &slowReturned, &pushed); });
    std::vector<std::thread> callers;
    for (int t = 0; t < kThreads; ++t) {
        callers.emplace_back([&, t] {
            for (int i = 0; i < kCalls; ++i) {
                const bool slow = t == 0 && i < kOddCalls;
                const bool small = t == 1 && i < kOddCalls;
                char request[17];
                snprintf(request, sizeof(request), "%c%02d-%012d", slow ? 's' : 'n', t, i);
                const std::string answer =
                    callText(*connection, request, slow ? 20 : 20000 * kSlack, small ? 8 : 256);
                slowReturned += slow;
                wrong += answer != (slow ? "error -110" : small ? "error -90" : std::string("re:") + request);
            }
        });
    }
    for (std::thread& caller : callers)
        caller.join();
    peer.shutdown();
    server.join();

    EXPECT_EQ(0, wrong.load()) << "calls got another's answer, failed, or were not dropped";
    // A slow call may time out before its turn to send comes: its request is then never answered.
    EXPECT_GE(pushed, notifies() ? kThreads * kCalls - kOddCalls : 0);
    EXPECT_TRUE(notifications.waitForCount(pushed))
        << notifications.all().size() << " of " << pushed << " came";
}

void serveEchoUntilKilled(const std::string& name, ProcessSignal& go, ProcessSignal& ready,
                          ProcessSignal& closeNow) {
    if (!go.waitFor(60000))
        return;
    ServerEvents events;
    VORNA::Listener server(name.c_str(), 0);
    server.setMsgCbk(ServerEvents::record, &events);
    events.echoWith(server);
    if (server.run() != 0)
        return;
    ready.post();
    for (;;) {
        // Only the clients connected now: the test connects again once it has seen these closed.
        const size_t connected = closeNow.waitFor(60000) ? events.count(MSG_CONNECTED) : 0;
        for (size_t i = 0; i < connected; ++i)
            server.closeClient(events.connected(i, 0));
    }
}

// The server ends the connections, first by closing its clients and then by dying: each time a recv that
// waits fails at once, the loss is told once, the receive thread ends, and both modes connect again (to a
// successor on that name once the server has died). disconnect() is never told as a loss.
TEST(ConnectionLoss, WaitingRecvFailsTheLossIsToldOnceAndBothModesConnectAgain) {
    const std::string name = uniqueName("loss");
    ProcessSignal go[2], ready[2], closeNow[2];
    std::unique_ptr<ForkedProcess> servers[2];
    for (int i : {0, 1})
        servers[i].reset(
            new ForkedProcess([&, i] { serveEchoUntilKilled(name, go[i], ready[i], closeNow[i]); }));
    go[0].post();
    ASSERT_TRUE(ready[0].waitFor());
    const int descriptorsBefore = openDescriptorCount();
    const int threadsBefore = receiveThreads();
    {
        std::atomic<int> losses{0}, loopLosses{0};
        const VORNA::Connection::LossCbk count = [](void* ctx) { ++*static_cast<std::atomic<int>*>(ctx); };
        VORNA::Connection notified(name.c_str(), 0, freeNotification, NULL, VORNA::Connection::CONNECT_LATER);
        VORNA::Connection direct(name.c_str(), 0, NULL, NULL, VORNA::Connection::CONNECT_LATER);
        VORNA::Connection looped(name.c_str(), 0, freeNotification, NULL, VORNA::Connection::CONNECT_LATER);
        notified.setLossCbk(count, &losses);
        looped.setLossCbk(count, &loopLosses);
        std::unique_ptr<LoopDriver> loop;
        const std::pair<Mode, VORNA::Connection*> clients[] = {
            {Mode::kNotifier, &notified}, {Mode::kDirect, &direct}, {Mode::kLoop, &looped}};
        // Each calls once connected, so that the server knows every client.
        const auto connectAndCall = [&](const std::string& request) {
            for (const auto& [mode, client] : clients) {
                ASSERT_EQ(0, connectIn(mode, *client, &loop));
                ASSERT_EQ(request, callText(*client, request));
            }
        };
        for (bool killed : {false, true}) {
            SCOPED_TRACE(killed ? "the server was killed" : "the server closed its clients");
            ASSERT_NO_FATAL_FAILURE(connectAndCall("ping"));
            ASSERT_EQ(threadsBefore + 1, receiveThreads())
                << "the receive thread is not where the test looks for it";
            unsigned char buf[16];
            const RecvOutcome waiting = recvWhile(&notified, buf, sizeof(buf), kUntimed, [&] {
                if (killed)
                    servers[0]->kill(SIGKILL);
                else
                    closeNow[0].post();
            });
            EXPECT_TRUE(waiting.result == -1 && waiting.elapsedMs < kPromptMs)
                << "recv kept waiting on a lost connection";
            EXPECT_TRUE(waitUntil([&] { return losses > (killed ? 1 : 0); })) << "no loss event";
            EXPECT_TRUE(waitUntil([&] { return !notified.isConnected() && !direct.isConnected(); }));
            EXPECT_TRUE(waitUntil([&] { return loopLosses > (killed ? 1 : 0) && !looped.isConnected(); }))
                << "the loop was not told the loss";
            loop.reset();
            EXPECT_EQ(0, looped.disconnect());
            EXPECT_EQ(-1, notified.call(reinterpret_cast<const unsigned char*>("x"), 1, NULL, 0, 1000));
            EXPECT_TRUE(waitUntil([&] { return receiveThreads() == threadsBefore; }))
                << "the receive thread did not end";
            EXPECT_EQ(0, notified.disconnect());
            EXPECT_EQ(0, direct.disconnect());
            EXPECT_EQ(killed ? 2 : 1, losses.load())
                << "the loss was told more than once, or disconnect told it";
        }
        EXPECT_EQ(128 + SIGKILL, servers[0]->wait());  // its name is free once it has ended
        go[1].post();
        ASSERT_TRUE(ready[1].waitFor());
        ASSERT_NO_FATAL_FAILURE(connectAndCall("again"));
        EXPECT_EQ(2, loopLosses.load()) << "the loss was told more than once to the loop";
        // disconnect() waits for the receive thread: a loss it would tell has been told when it returns.
        EXPECT_EQ(0, notified.disconnect());
        EXPECT_EQ(2, losses.load()) << "disconnect() was told as a loss";
    }
    EXPECT_EQ(descriptorsBefore, openDescriptorCount()) << "descriptors left open";
}

// Connect's limits, in a child that may close its standard input.
TEST(ConnectionConnect, DescriptorZeroNameLengthsAndBoundedConnectsWithTheirLines) {
    const ChildResult child = runCheckedInChild([] {
        LogCapture log;
        std::string name = uniqueName("long");
        name.resize(107, 'n');
        RawServer server(name);
        close(STDIN_FILENO);  // only the client's descriptor guard keeps its socket off descriptor 0 now
        VORNA::Connection longest(name.c_str(), 0, NULL, NULL);
        EXPECT_EQ(-1, fcntl(STDIN_FILENO, F_GETFD)) << "the client kept descriptor 0";
        const auto opened = AllOf(Field(&LogLine::function, "open_dev_null"), Field(&LogLine::level, "INF"),
                                  Field(&LogLine::text, StartsWith("Opened /dev/null, file descriptor: ")));
        EXPECT_THAT(log.take(kModule),
                    ElementsAre(opened, opened, opened,
                                connectionLine("WRN", "connect", "this connection has not a notifier.")));
        RawStream accepted = server.accept();
        ASSERT_TRUE(accepted.isOpen()) << "the 107-byte name is not addressed with the length name + 3";
        EXPECT_EQ(3, longest.send(reinterpret_cast<unsigned char*>(&name[0]), 3));
        EXPECT_EQ(name.substr(0, 3), accepted.readExactly(3));

        const std::string absent = uniqueName("absent");
        VORNA::Connection bounded(absent.c_str(), 0, NULL, NULL, VORNA::Connection::CONNECT_LATER);
        EXPECT_FALSE(bounded.isConnected());
        EXPECT_EQ(0u, log.take(kModule).size()) << "constructing without connecting logged";
        const std::vector<int> before = openDescriptors();
        const long long start = nowMs();
        EXPECT_EQ(-2, bounded.connect(300));
        EXPECT_GE(nowMs() - start, 290);
        EXPECT_LT(nowMs() - start, 300 + kPromptMs);
        EXPECT_EQ(before, openDescriptors()) << "a failed attempt left its socket open";
        {
            // A server that starts while a bounded connect pauses between attempts is reached at the next.
            std::future<int> late = startBlocked([&] { return bounded.connect(60000); });
            RawServer starting(absent);
            ASSERT_EQ(std::future_status::ready, late.wait_for(std::chrono::milliseconds(kPromptMs)))
                << "connect() slept through the server's start";
            EXPECT_EQ(0, late.get());
            EXPECT_EQ(0, bounded.disconnect());
        }
        RawServer present(absent);
        EXPECT_EQ(0, bounded.connect(0)) << "a single attempt missed a listening server";
        EXPECT_TRUE(bounded.isConnected());
        EXPECT_THAT(
            log.take(kModule),
            AllOf(Contains(Field(&LogLine::level, "ERR")).Times(1),
                  Contains(AllOf(Field(&LogLine::level, "ERR"), Field(&LogLine::function, "connect")))));

        name.push_back('n');
        VORNA::Connection tooLong(name.c_str(), 0, NULL, NULL);
        EXPECT_EQ(-2, tooLong.connect());
        EXPECT_EQ(-1, tooLong.send(reinterpret_cast<unsigned char*>(&name[0]), 4));
        // The long function name leaves only "ER" of the level word within the prefix limit; a send after
        // the failed connect finds no socket left behind.
        EXPECT_THAT(
            log.take(kModule),
            AllOf(Contains(connectionLine("ER", "socket_make_sockaddr_un", "namelen > sun_path's size"))
                      .Times(1002),
                  Contains(connectionLine("ERR", "connect", "socket_make_sockaddr_un failed")).Times(1002),
                  Contains(connectionLine("ERR", "send", "pSocket is null"))));
    });
    EXPECT_EQ(0, child.status) << child.out;
}

// A listener that never accepts and whose backlog is full holds a blocking connect without limit.
TEST(ConnectionConnect, ConnectEndsAgainstAServerWithAFullBacklog) {
    const std::string name = uniqueName("backlog");
    RawServer server(name);
    std::vector<RawStream> waiting;
    for (int fd; waiting.size() < 64 && (fd = raw_peer::connectTo(name, SOCK_NONBLOCK)) >= 0;)
        waiting.emplace_back(fd);
    ASSERT_LT(waiting.size(), 64u) << "the backlog never filled";

    long long start = nowMs();
    VORNA::Connection bounded(name.c_str(), 0, NULL, NULL, 200);
    EXPECT_LT(nowMs() - start, 200 + 1500 * kSlack);
    EXPECT_FALSE(bounded.isConnected());
    start = nowMs();
    VORNA::Connection legacy(name.c_str(), 0, freeNotification, NULL);
    EXPECT_LT(nowMs() - start, 10000 + 2500 * kSlack) << "501 attempts of the constructor overran";
    EXPECT_FALSE(legacy.isConnected());
}

// A forked child that exits runs this connection's destructor: the parent's must go on.
std::unique_ptr<VORNA::Connection> gHeld;

TEST_P(ConnectionTest, ForkedChildThatExitsLeavesTheParentsConnectionWorking) {
    if (kExitInForkedChildMayHang)
        GTEST_SKIP() << "LeakSanitizer's exit-time check can hang in a forked child";
    gHeld = std::move(owned);
    std::thread server([&] { answerCalls(&peer, false, NULL, NULL); });
    std::atomic<bool> calling{true};
    std::atomic<int> answered{0}, failed{0};
    std::thread caller([&] {
        while (calling)
            ++(callText(*connection, "parent calls on.") == "re:parent calls on." ? answered : failed);
    });
    ASSERT_TRUE(waitUntil([&] { return answered > 10; }));
    ForkedProcess child([] { exit(0); });
    EXPECT_EQ(0, child.wait(10000 * kSlack)) << "the child hung in the destructor, or failed";
    const int before = answered;
    EXPECT_TRUE(waitUntil([&] { return answered > before + 10; })) << "the parent's calls stopped";
    calling = false;
    caller.join();
    peer.shutdown();
    server.join();
    EXPECT_EQ(0, failed.load());
    loop.reset();
    gHeld.reset();
}

// The client's own callbacks may end their connection; a call from one fails at once, since only the
// receive thread that runs it could hand the response over.
enum class Deed { kDisconnect, kDestroy, kCall };

struct OwnConnection {
    static void onNotification(void* ctx, unsigned int msg, void* data, int) {
        free(data);
        OwnConnection* self = static_cast<OwnConnection*>(ctx);
        ++self->delivered;
        if (msg == 1)
            self->act();
    }
    static void onLoss(void* ctx) { static_cast<OwnConnection*>(ctx)->act(); }
    void act() {
        unsigned char buf[8];
        if (deed == Deed::kDisconnect)
            result = connection->disconnect();
        else if (deed == Deed::kCall)
            result = connection->call(reinterpret_cast<const unsigned char*>("x"), 1, buf, 8, 60000);
        else
            delete connection;
        done = true;
    }
    Deed deed;
    VORNA::Connection* connection;
    std::atomic<int> delivered{0};
    std::atomic<int> result{0};
    std::atomic<bool> done{false};
};

TEST(ConnectionCallbacks, MayEndTheirOwnConnectionButNotCallThroughIt) {
    // The deed, whether the loss callback does it, and whether the application's loop runs the callbacks.
    const std::tuple<Deed, bool, bool> cases[] = {
        {Deed::kDisconnect, false, false}, {Deed::kDestroy, false, false},   {Deed::kDestroy, true, false},
        {Deed::kCall, false, false},       {Deed::kDisconnect, false, true}, {Deed::kDestroy, true, true},
        {Deed::kCall, false, true}};
    for (const auto& [deed, onLoss, inLoop] : cases) {
        SCOPED_TRACE(Message() << "deed " << static_cast<int>(deed) << (onLoss ? " on loss" : "")
                               << (inLoop ? " in the loop" : ""));
        const std::string name = uniqueName("own");
        RawServer server(name);
        LogCapture log;
        const int threadsBefore = receiveThreads();
        OwnConnection own;
        own.deed = deed;
        own.connection = new VORNA::Connection(name.c_str(), 0, OwnConnection::onNotification, &own,
                                               VORNA::Connection::CONNECT_LATER);
        if (onLoss)
            own.connection->setLossCbk(OwnConnection::onLoss, &own);
        // Destroyed from its callback, the connection closes the descriptor under the loop, which then ends.
        std::unique_ptr<LoopDriver> loop;
        ASSERT_EQ(0, connectIn(inLoop ? Mode::kLoop : Mode::kNotifier, *own.connection, &loop));
        RawStream peer = server.accept();

        if (onLoss)
            peer.close();
        else
            ASSERT_TRUE(peer.writeAll(valueNotificationFrame(1, 0) + valueNotificationFrame(2, 0)));

        ASSERT_TRUE(waitUntil([&] { return own.done.load(); }, 5000 * kSlack))
            << "the callback did not return";
        EXPECT_EQ(deed == Deed::kCall ? -1 : 0, own.result.load());
        if (deed == Deed::kCall) {
            EXPECT_TRUE(waitUntil([&] { return own.delivered == 2; })) << "the connection did not go on";
            EXPECT_EQ(0, peer.pendingBytes()) << "the refused call sent its request";
        } else if (!onLoss) {
            EXPECT_TRUE(peer.waitForEndOfStream()) << "the socket was not closed after the callback returned";
            EXPECT_EQ(1, own.delivered.load()) << "a notification came after the connection was ended";
        }
        if (deed != Deed::kDestroy) {
            loop.reset();
            EXPECT_EQ(deed == Deed::kCall, own.connection->isConnected());
            EXPECT_EQ(deed == Deed::kCall ? 0 : -1, own.connection->disconnect());
            delete own.connection;
        }
        // The receive thread ends and is reclaimed by itself, without a later call (TSan tells a thread
        // left unjoined at exit).
        EXPECT_TRUE(waitUntil([&] { return receiveThreads() == threadsBefore; }))
            << "the receive thread stayed";
        EXPECT_THAT(log.take("src/Thread"), Not(Contains(Field(&LogLine::level, "ERR"))));
    }
}

}  // namespace
