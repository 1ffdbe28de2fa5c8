#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <condition_variable>
#include <functional>
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

const char kModule[] = "src/Connection";

// How soon a call that must not wait for retries has to return; generous enough for qemu.
#if defined(__arm__)
const int kPromptMs = 2000;
#else
const int kPromptMs = 1000;
#endif

// What the receive thread delivers, recorded for the test thread to wait on.
class Notifications {
  public:
    struct Notification {
        unsigned int msg;
        bool hasData;
        std::string data;
        int len;
    };

    // Takes the buffer over as the contract says: the callback frees it.
    static void record(void* ctx, unsigned int msg, void* data, int len) {
        Notifications* self = static_cast<Notifications*>(ctx);
        Notification notification{msg, data != NULL, "", len};
        if (data != NULL) {
            notification.data.assign(static_cast<char*>(data), len > 0 ? len : 0);
            free(data);
        }
        {
            std::lock_guard<std::mutex> lock(self->mMutex);
            self->mSeen.push_back(notification);
        }
        self->mChanged.notify_all();
    }

    bool waitForCount(size_t wanted, int timeoutMs = 10000) {
        std::unique_lock<std::mutex> lock(mMutex);
        return mChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                 [&] { return mSeen.size() >= wanted; });
    }

    std::vector<Notification> all() {
        std::lock_guard<std::mutex> lock(mMutex);
        return mSeen;
    }

  private:
    std::mutex mMutex;
    std::condition_variable mChanged;
    std::vector<Notification> mSeen;
};

struct RecvOutcome {
    int result;
    long long elapsedMs;
    bool returned;  // false: it did not return within the deadline and had to be unblocked
};

// Calls recv on another thread; if it has not returned within `timeoutMs`, runs `unblock` (which must
// make it return) so that a fault fails the test instead of hanging it.
RecvOutcome recvWithin(VORNA::Connection* connection, unsigned char* buf, int len, int timeoutMs,
                       const std::function<void()>& unblock) {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    RecvOutcome outcome{0, 0, true};
    const long long start = nowMs();
    std::thread caller([&] {
        const int result = connection->recv(buf, len);
        std::lock_guard<std::mutex> lock(mutex);
        outcome.result = result;
        outcome.elapsedMs = nowMs() - start;
        finished = true;
        done.notify_all();
    });
    {
        std::unique_lock<std::mutex> lock(mutex);
        outcome.returned =
            done.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return finished; });
    }
    if (!outcome.returned)
        unblock();
    caller.join();
    return outcome;
}

std::string asText(const unsigned char* bytes, int count) {
    return count > 0 ? std::string(reinterpret_cast<const char*>(bytes), count) : "";
}

LogLine connectionLine(const std::string& level, const std::string& function, const std::string& text) {
    return LogLine{kModule, function, level, text};
}

// A raw server and a Connection to it, in direct mode or in notifier mode.
class ConnectionTest : public ::testing::Test {
  protected:
    void connectClient(bool notifier) {
        ASSERT_TRUE(server.isListening()) << "the raw server could not bind " << name;
        connection.reset(new VORNA::Connection(name.c_str(), 0, notifier ? Notifications::record : NULL,
                                               notifier ? &notifications : NULL));
        peer = server.accept();
        ASSERT_TRUE(peer.isOpen()) << "the connection did not reach the raw server";
    }

    RecvOutcome recvPrompt(unsigned char* buf, int len) {
        return recvWithin(connection.get(), buf, len, kPromptMs, [this] { peer.shutdown(); });
    }

    const std::string name = uniqueName("connection");
    RawServer server{name};
    Notifications notifications;
    std::unique_ptr<VORNA::Connection> connection;
    RawStream peer;
};

// The same behaviour in both modes.
class ConnectionModeTest : public ConnectionTest, public ::testing::WithParamInterface<bool> {
  protected:
    void SetUp() override { connectClient(GetParam()); }
};

INSTANTIATE_TEST_SUITE_P(BothModes, ConnectionModeTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "Notifier" : "Direct";
                         });

TEST_P(ConnectionModeTest, SendPutsTheRequestBytesOnTheStreamWithoutAHeader) {
    unsigned char request[] = "ten bytes!";

    EXPECT_EQ(10, connection->send(request, 10));

    EXPECT_EQ("ten bytes!", peer.readExactly(10));
    EXPECT_EQ(0, peer.pendingBytes());
}

TEST_P(ConnectionModeTest, RequestOfHundredsOfKibIsSentWhole) {
    std::string request = patternBytes(600 * 1024, 1);

    std::string received;
    std::thread reader([&] { received = peer.readExactly(request.size(), 30000); });
    const int result =
        connection->send(reinterpret_cast<unsigned char*>(&request[0]), static_cast<int>(request.size()));
    reader.join();

    EXPECT_EQ(static_cast<int>(request.size()), result);
    EXPECT_TRUE(received == request) << "received " << received.size() << " bytes, not the request";
}

TEST_P(ConnectionModeTest, RecvReturnsTheResponseBody) {
    ASSERT_TRUE(peer.writeAll(responseFrame("hello")));
    unsigned char buf[64];

    const RecvOutcome outcome = recvPrompt(buf, sizeof(buf));

    EXPECT_EQ(5, outcome.result);
    EXPECT_EQ("hello", asText(buf, outcome.result));
}

TEST_P(ConnectionModeTest, ResponseSplitAcrossWritesWithPausesArrivesWholeAndKeepsTheFraming) {
    const std::string body = patternBytes(300 * 1024, 2);
    std::thread writer([&] {
        // The header in three pieces, then the body in pieces much smaller than the kernel's.
        peer.writeInPieces(responseFrame(body), {5, 20, 7, 1000, 30000, 70000}, 20);
        peer.writeAll(responseFrame("next"));
    });
    std::vector<unsigned char> buf(body.size() + 16);
    const std::function<void()> endStream = [this] { peer.shutdown(); };

    const int result =
        recvWithin(connection.get(), buf.data(), static_cast<int>(buf.size()), 30000, endStream).result;
    const int next = recvWithin(connection.get(), buf.data() + body.size(), 16, 30000, endStream).result;
    connection->disconnect();  // a writer still blocked on lost framing now fails
    writer.join();

    ASSERT_EQ(static_cast<int>(body.size()), result);
    EXPECT_TRUE(asText(buf.data(), result) == body) << "the body arrived altered";
    EXPECT_EQ(4, next);
    EXPECT_EQ("next", asText(buf.data() + body.size(), next > 0 ? next : 0));
}

TEST_P(ConnectionModeTest, EmptyResponseReturnsZeroWithoutWaitingForMoreTraffic) {
    ASSERT_TRUE(peer.writeAll(responseFrame("")));
    unsigned char buf[16];

    const RecvOutcome outcome = recvPrompt(buf, sizeof(buf));

    EXPECT_TRUE(outcome.returned) << "recv waited for traffic after an empty response";
    EXPECT_EQ(0, outcome.result);
}

TEST_P(ConnectionModeTest, BodyLongerThanTheBufferIsRefusedWithoutWritingPastIt) {
    ASSERT_TRUE(peer.writeAll(responseFrame(patternBytes(100)) + responseFrame("fits")));
    unsigned char buf[64];
    memset(buf, 0xA5, sizeof(buf));

    const int refused = connection->recv(buf, 10);

    EXPECT_EQ(-1, refused);
    for (size_t i = 10; i < sizeof(buf); ++i)
        ASSERT_EQ(0xA5, buf[i]) << "recv wrote past the 10 bytes it was given, at byte " << i;
    const RecvOutcome next = recvPrompt(buf, sizeof(buf));
    EXPECT_EQ(4, next.result) << "the dropped body broke the framing of the next response";
    EXPECT_EQ("fits", asText(buf, next.result));
}

TEST_P(ConnectionModeTest, RecvFailsPromptlyWhenThePeerCloses) {
    unsigned char buf[16];
    std::thread closer([&] { peer.close(); });
    // Only a notifier-mode recv can be left waiting on a closed stream; disconnect wakes it.
    const std::function<void()> wake = [this] {
        if (GetParam())
            connection->disconnect();
    };

    const RecvOutcome outcome = recvWithin(connection.get(), buf, sizeof(buf), 30000, wake);
    closer.join();

    EXPECT_EQ(-1, outcome.result);
    EXPECT_LT(outcome.elapsedMs, kPromptMs) << "recv retried a closed stream";
    const RecvOutcome later = recvWithin(connection.get(), buf, sizeof(buf), 30000, wake);
    EXPECT_EQ(-1, later.result);
    EXPECT_LT(later.elapsedMs, kPromptMs);
}

TEST_P(ConnectionModeTest, ConnectWhileConnectedIsRefusedAndTheConnectionStaysUsable) {
    EXPECT_EQ(-1, connection->connect());

    unsigned char request[] = "ping";
    EXPECT_EQ(4, connection->send(request, 4));
    EXPECT_EQ("ping", peer.readExactly(4));
    ASSERT_TRUE(peer.writeAll(responseFrame("pong")));
    unsigned char buf[16];
    const RecvOutcome outcome = recvPrompt(buf, sizeof(buf));
    EXPECT_EQ("pong", asText(buf, outcome.result));
}

TEST_P(ConnectionModeTest, CallsAfterDisconnectReturnMinus1) {
    EXPECT_EQ(0, connection->disconnect());

    unsigned char buf[4] = {};
    EXPECT_EQ(-1, connection->disconnect());
    EXPECT_EQ(-1, connection->send(buf, 4));
    EXPECT_EQ(-1, connection->recv(buf, 4));
    EXPECT_TRUE(peer.waitForEndOfStream()) << "disconnect left the socket open";
}

TEST_P(ConnectionModeTest, EveryDescriptorTheClientOpensIsCloseOnExec) {
    connection.reset();
    peer.close();
    const std::vector<int> before = openDescriptors();

    connectClient(GetParam());

    EXPECT_EQ(std::vector<int>{}, newDescriptorsWithoutCloseOnExec(before, openDescriptors()));
}

TEST_F(ConnectionTest, ValueNotificationReachesTheCallbackWithNoData) {
    connectClient(true);

    ASSERT_TRUE(peer.writeAll(valueNotificationFrame(7, 42)));

    ASSERT_TRUE(notifications.waitForCount(1)) << "the notification was not delivered";
    const Notifications::Notification seen = notifications.all()[0];
    EXPECT_EQ(7u, seen.msg);
    EXPECT_FALSE(seen.hasData);
    EXPECT_EQ(42, seen.len);
}

TEST_F(ConnectionTest, DataNotificationReachesTheCallbackInABufferItOwns) {
    connectClient(true);

    const std::string longest(255, 'L');  // the longest body a server sends
    ASSERT_TRUE(peer.writeAll(dataNotificationFrame(5, "ten bytes!") + dataNotificationFrame(6, longest)));

    ASSERT_TRUE(notifications.waitForCount(2)) << "the notifications were not delivered";
    const Notifications::Notification seen = notifications.all()[0];
    EXPECT_EQ(5u, seen.msg);
    EXPECT_EQ(10, seen.len);
    EXPECT_EQ("ten bytes!", seen.data);
    EXPECT_EQ(longest, notifications.all()[1].data);
}

TEST_F(ConnectionTest, EmptyDataNotificationIsDeliveredAtOnceWithAFreeableBuffer) {
    connectClient(true);

    ASSERT_TRUE(peer.writeAll(dataNotificationFrame(6, "")));

    ASSERT_TRUE(notifications.waitForCount(1, kPromptMs)) << "an empty notification waited for more traffic";
    const Notifications::Notification seen = notifications.all()[0];
    EXPECT_EQ(6u, seen.msg);
    EXPECT_TRUE(seen.hasData);
    EXPECT_EQ(0, seen.len);
}

TEST_F(ConnectionTest, NotificationsAndResponsesKeepTheServersOrder) {
    connectClient(true);
    ASSERT_TRUE(peer.writeAll(valueNotificationFrame(1, 10) + dataNotificationFrame(2, "two") +
                              responseFrame("answer") + valueNotificationFrame(3, 30)));
    ASSERT_TRUE(notifications.waitForCount(2));

    unsigned char buf[16];
    const RecvOutcome outcome = recvPrompt(buf, sizeof(buf));

    EXPECT_EQ("answer", asText(buf, outcome.result));
    ASSERT_TRUE(notifications.waitForCount(3)) << "the notification after the response was not delivered";
    const std::vector<Notifications::Notification> seen = notifications.all();
    ASSERT_EQ(3u, seen.size());
    EXPECT_EQ(1u, seen[0].msg);
    EXPECT_EQ("two", seen[1].data);
    EXPECT_EQ(3u, seen[2].msg);
}

TEST_F(ConnectionTest, WrongMagicEndsTheReceiveThreadAndWakesAWaitingRecv) {
    connectClient(true);
    unsigned char buf[16];
    std::thread server(
        [&] { peer.writeAll(wireHeader(kWireIdNotify, 1, 1, 0x44332211u) + valueNotificationFrame(2, 2)); });

    const RecvOutcome waiting =
        recvWithin(connection.get(), buf, sizeof(buf), 10000, [this] { connection->disconnect(); });
    server.join();

    EXPECT_TRUE(waiting.returned) << "the lost connection did not wake recv";
    EXPECT_EQ(-1, waiting.result);
    EXPECT_EQ(-1, recvPrompt(buf, sizeof(buf)).result);
    EXPECT_EQ(0u, notifications.all().size()) << "a notification was delivered after a wrong magic";
}

TEST_F(ConnectionTest, UnknownHeaderIdEndsTheReceiveThreadAndLaterRecvFailsAtOnce) {
    connectClient(true);
    ASSERT_TRUE(peer.writeAll(wireHeader(3, 0, 0)));
    unsigned char buf[16];

    const RecvOutcome outcome =
        recvWithin(connection.get(), buf, sizeof(buf), 10000, [this] { connection->disconnect(); });

    EXPECT_TRUE(outcome.returned) << "recv waited on a connection whose receive thread had ended";
    EXPECT_EQ(-1, outcome.result);
}

TEST_F(ConnectionTest, DataNotificationLongerThanAnyServerSendsEndsTheConnectionWithoutAllocatingIt) {
    connectClient(true);
    ASSERT_TRUE(peer.writeAll(wireHeader(kWireIdNotifyData, 1, 0x7fffffff) + valueNotificationFrame(2, 2)));
    unsigned char buf[16];

    const RecvOutcome outcome =
        recvWithin(connection.get(), buf, sizeof(buf), 10000, [this] { connection->disconnect(); });

    EXPECT_TRUE(outcome.returned) << "the receive thread went on reading a 2 GiB body";
    EXPECT_EQ(-1, outcome.result);
    EXPECT_EQ(0u, notifications.all().size()) << "a notification was delivered from a broken stream";
}

TEST_F(ConnectionTest, DisconnectWakesARecvThatWaits) {
    connectClient(true);
    unsigned char buf[16];
    std::mutex mutex;
    std::condition_variable changed;
    bool started = false;
    int result = 0;
    bool finished = false;
    std::thread caller([&] {
        {
            std::lock_guard<std::mutex> lock(mutex);
            started = true;
        }
        changed.notify_all();
        const int r = connection->recv(buf, sizeof(buf));
        std::lock_guard<std::mutex> lock(mutex);
        result = r;
        finished = true;
        changed.notify_all();
    });
    {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return started; });
    }

    EXPECT_EQ(0, connection->disconnect());

    {
        std::unique_lock<std::mutex> lock(mutex);
        EXPECT_TRUE(changed.wait_for(lock, std::chrono::milliseconds(10000), [&] { return finished; }))
            << "recv did not return after disconnect";
    }
    caller.join();
    EXPECT_EQ(-1, result);
}

TEST_F(ConnectionTest, NameOf107BytesIsReached) {
    std::string longest = uniqueName("long");
    longest.resize(107, 'n');
    RawServer longServer(longest);
    ASSERT_TRUE(longServer.isListening());

    VORNA::Connection client(longest.c_str(), 0, NULL, NULL);

    RawStream accepted = longServer.accept();
    ASSERT_TRUE(accepted.isOpen()) << "the 107-byte name is not addressed with the length name + 3";
    unsigned char request[] = "abc";
    EXPECT_EQ(3, client.send(request, 3));
    EXPECT_EQ("abc", accepted.readExactly(3));
}

// The scenarios below run in a child, whose standard output holds the log lines.

TEST(ConnectionLog, DirectConnectHoldsTheDescriptorGuardAndWarnsThatThereIsNoNotifier) {
    const ChildResult child = runCheckedInChild([] {
        const std::string name = uniqueName("guard");
        RawServer server(name);
        // With standard input closed, only the guard keeps the socket off descriptor 0.
        close(STDIN_FILENO);
        VORNA::Connection client(name.c_str(), 0, NULL, NULL);
        EXPECT_EQ(-1, fcntl(STDIN_FILENO, F_GETFD)) << "the client kept descriptor 0";
        RawStream accepted = server.accept();
        EXPECT_TRUE(accepted.isOpen());
        unsigned char request[] = "abc";
        EXPECT_EQ(3, client.send(request, 3));
        EXPECT_EQ("abc", accepted.readExactly(3));
    });

    EXPECT_EQ(0, child.status) << child.out;
    const std::vector<LogLine> lines = parseLogLines(child.out, kModule);
    ASSERT_EQ(4u, lines.size()) << describe(lines);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ("open_dev_null", lines[i].function);
        EXPECT_EQ("INF", lines[i].level);
        EXPECT_EQ(0u, lines[i].text.find("Opened /dev/null, file descriptor: ")) << lines[i].text;
    }
    EXPECT_EQ(connectionLine("WRN", "connect", "this connection has not a notifier."), lines[3]);
}

TEST(ConnectionLog, NameOf108BytesFailsEachOf501AttemptsWithTwoLines) {
    const ChildResult child = runCheckedInChild([] {
        std::string tooLong = uniqueName("long");
        tooLong.resize(108, 'n');
        VORNA::Connection client(tooLong.c_str(), 0, NULL, NULL);
        EXPECT_EQ(-2, client.connect());
        unsigned char buf[4] = {};
        EXPECT_EQ(-1, client.send(buf, 4));
    });

    EXPECT_EQ(0, child.status) << child.out;
    const std::vector<LogLine> lines = parseLogLines(child.out, kModule);
    // The long function name leaves only "ER" of the level word within the prefix limit.
    EXPECT_EQ(1002u, countLines(lines, connectionLine("ER", "socket_make_sockaddr_un",
                                                      "namelen > sun_path's size")));
    EXPECT_EQ(1002u, countLines(lines, connectionLine("ERR", "connect", "socket_make_sockaddr_un failed")));
    EXPECT_TRUE(containsLine(lines, connectionLine("ERR", "send", "pSocket is null")))
        << "the failed connect left a socket behind";
}

TEST(ConnectionLog, CallsOnAnUnconnectedObjectLogThatThereIsNoSocket) {
    const ChildResult child = runCheckedInChild([] {
        const std::string name = uniqueName("unconnected");
        RawServer server(name);
        {
            VORNA::Connection client(name.c_str(), 0, NULL, NULL);
            EXPECT_EQ(0, client.disconnect());
            fflush(stdout);
            printf("-- disconnected --\n");
            unsigned char buf[4] = {};
            EXPECT_EQ(-1, client.send(buf, 4));
            EXPECT_EQ(-1, client.recv(buf, 4));
            EXPECT_EQ(-1, client.disconnect());
        }
    });

    EXPECT_EQ(0, child.status) << child.out;
    const size_t split = child.out.find("-- disconnected --");
    ASSERT_NE(std::string::npos, split) << child.out;
    const std::vector<LogLine> expected = {
        connectionLine("ERR", "send", "pSocket is null"),
        connectionLine("ERR", "recv", "pSocket is null"),
        connectionLine("ERR", "disconnect", "pSocket is null"),
        connectionLine("ERR", "disconnect", "pSocket is null"),
    };
    const std::vector<LogLine> lines = parseLogLines(child.out.substr(split), kModule);
    EXPECT_EQ(expected, lines) << describe(lines);
}

TEST(ConnectionLog, ConnectWhileConnectedIsLoggedAsAnError) {
    const ChildResult child = runCheckedInChild([] {
        const std::string name = uniqueName("twice");
        RawServer server(name);
        VORNA::Connection client(name.c_str(), 0, NULL, NULL);
        fflush(stdout);
        printf("-- connected --\n");
        EXPECT_EQ(-1, client.connect());
    });

    EXPECT_EQ(0, child.status) << child.out;
    const size_t split = child.out.find("-- connected --");
    ASSERT_NE(std::string::npos, split) << child.out;
    const std::vector<LogLine> lines = parseLogLines(child.out.substr(split), kModule);
    ASSERT_EQ(1u, lines.size()) << describe(lines);
    EXPECT_EQ("connect", lines[0].function);
    EXPECT_EQ("ERR", lines[0].level);
}

TEST(ConnectionLog, NotificationInDirectModeIsABadHeader) {
    const ChildResult child = runCheckedInChild([] {
        const std::string name = uniqueName("direct");
        RawServer server(name);
        VORNA::Connection client(name.c_str(), 0, NULL, NULL);
        RawStream peer = server.accept();
        ASSERT_TRUE(peer.writeAll(valueNotificationFrame(1, 2)));
        unsigned char buf[16];
        EXPECT_EQ(-1, client.recv(buf, sizeof(buf)));
    });

    EXPECT_EQ(0, child.status) << child.out;
    const std::vector<LogLine> lines = parseLogLines(child.out, kModule);
    EXPECT_TRUE(containsLine(lines, connectionLine("ERR", "recv", "bad header id(0)"))) << describe(lines);
}

TEST(ConnectionLog, ReceiveThreadReportsAWrongMagicAndAnUnknownId) {
    const ChildResult child = runCheckedInChild([] {
        const std::string name = uniqueName("thread-end");
        RawServer server(name);
        Notifications notifications;
        unsigned char buf[16];
        {
            VORNA::Connection client(name.c_str(), 0, Notifications::record, &notifications);
            RawStream peer = server.accept();
            ASSERT_TRUE(peer.writeAll(wireHeader(kWireIdNotify, 1, 1, 0x44332211u)));
            EXPECT_EQ(-1, client.recv(buf, sizeof(buf)));
        }
        {
            VORNA::Connection client(name.c_str(), 0, Notifications::record, &notifications);
            RawStream peer = server.accept();
            ASSERT_TRUE(peer.writeAll(wireHeader(3, 0, 0)));
            EXPECT_EQ(-1, client.recv(buf, sizeof(buf)));
        }
    });

    EXPECT_EQ(0, child.status) << child.out;
    const std::vector<LogLine> lines = parseLogLines(child.out, kModule);
    EXPECT_TRUE(containsLine(
        lines,
        connectionLine("ERR", "threadLoop", " disconnect return from recv failed(32) magic=0x44332211")))
        << describe(lines);
    EXPECT_TRUE(containsLine(lines, connectionLine("ERR", "threadLoop", "unknown header id(3)")))
        << describe(lines);
}

}  // namespace
