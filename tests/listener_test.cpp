#include <signal.h>
#include <string.h>
#include <unistd.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/child.h"
#include "support/peers.h"
#include "support/server_events.h"
#include "vorna/messaging.h"
#include "vorna/time.h"

namespace {

using namespace testing_support;

const char kModule[] = "src/Listener";

// The header bytes a server must write, with the time field taken from what it did write.
std::string expectedHeaderBytes(int32_t id, uint32_t msg, int32_t len, const std::string& written) {
    std::string expected = wireHeader(id, msg, len);
    if (written.size() >= kWireHeaderSize)
        expected.replace(16, 8, written.substr(16, 8));
    return expected;
}

std::string hex(const std::string& bytes) {
    std::string text;
    char digits[4];
    for (unsigned char byte : bytes) {
        snprintf(digits, sizeof(digits), "%02x ", byte);
        text += digits;
    }
    return text;
}

LogLine listenerLine(const std::string& level, const std::string& function, const std::string& text) {
    return LogLine{kModule, function, level, text};
}

// A name of exactly `length` bytes that no other test uses.
std::string nameOfLength(size_t length) {
    std::string name = uniqueName("long");
    name.resize(length, 'n');
    return name;
}

class ListenerTest : public ::testing::Test {
  protected:
    void SetUp() override { server.setMsgCbk(ServerEvents::record, &events); }

    // A server left serving by a failed check would end the process in its destructor.
    void TearDown() override {
        if (serving)
            server.stall();
    }

    void start() {
        ASSERT_EQ(0, server.run());
        serving = true;
    }

    void stop() {
        ASSERT_EQ(0, server.stall());
        serving = false;
    }

    // Connects a raw client and returns the handle the server reported for it.
    void* connectClient(RawStream* client) {
        const size_t before = events.count(MSG_CONNECTED);
        *client = connectRawClient(name);
        EXPECT_TRUE(client->isOpen()) << "the raw client could not connect to " << name;
        void* handle = events.connected(before);
        EXPECT_NE(nullptr, handle) << "the server did not report the client connected";
        return handle;
    }

    // Nothing was written since the last read if the next bytes are a marker notification sent now.
    void expectNothingWrittenBefore(RawStream* client, void* handle) {
        ASSERT_EQ(32, server.notify(handle, 99u, 4242u));
        const std::string next = client->readExactly(kWireHeaderSize);
        EXPECT_EQ(hex(expectedHeaderBytes(kWireIdNotify, 99, 4242, next)), hex(next))
            << "bytes were written before the marker notification";
    }

    const std::string name = uniqueName("listener");
    VORNA::Listener server{name.c_str(), 0};
    ServerEvents events;
    bool serving = false;
};

TEST(ListenerNames, MsgNameNamesEachMessageTypeAndUnknownOtherwise) {
    EXPECT_STREQ("connected", VORNA::Listener::msgName(MSG_CONNECTED));
    EXPECT_STREQ("disconnected", VORNA::Listener::msgName(MSG_DISCONNECTED));
    EXPECT_STREQ("recv", VORNA::Listener::msgName(MSG_RECV));
    EXPECT_STREQ("send", VORNA::Listener::msgName(MSG_SEND));
    EXPECT_STREQ("unknown", VORNA::Listener::msgName(-1));
    EXPECT_STREQ("unknown", VORNA::Listener::msgName(4));
}

TEST_F(ListenerTest, ClientIsReportedConnectedBeforeItsRequestBytes) {
    start();
    RawStream client;
    void* handle = connectClient(&client);
    ASSERT_TRUE(client.writeAll("0123456789"));

    ASSERT_TRUE(events.waitForCount(MSG_RECV, 1, handle)) << "the 10 request bytes were not delivered";
    const std::vector<ServerEvents::Event> seen = events.all();
    ASSERT_EQ(2u, seen.size());
    EXPECT_EQ(MSG_CONNECTED, seen[0].type);
    EXPECT_EQ(MSG_RECV, seen[1].type);
    EXPECT_EQ(handle, seen[1].conn);
    EXPECT_EQ("0123456789", seen[1].data);
}

TEST_F(ListenerTest, ResponseWithFiveByteBodyIs37BytesOnTheStream) {
    start();
    RawStream client;
    void* handle = connectClient(&client);

    const int64_t before = SystemTime::getUs();
    unsigned char body[] = {'h', 'e', 'l', 'l', 'o'};
    EXPECT_EQ(37, server.response(handle, body, 5));
    const int64_t after = SystemTime::getUs();

    const std::string written = client.readExactly(37);
    ASSERT_EQ(37u, written.size());
    const std::string fixedHead("\x33\x22\x11\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00", 16);
    const std::string fixedTail("\x05\x00\x00\x00\x00\x00\x00\x00hello", 13);
    EXPECT_EQ(hex(fixedHead), hex(written.substr(0, 16)));
    EXPECT_EQ(hex(fixedTail), hex(written.substr(24)));
    const int64_t stamped = parseWireHeader(written).timeUs;
    EXPECT_LE(before, stamped);
    EXPECT_GE(after, stamped);
    expectNothingWrittenBefore(&client, handle);
}

TEST_F(ListenerTest, ValueNotificationIsOneHeaderOf32Bytes) {
    start();
    RawStream client;
    void* handle = connectClient(&client);

    EXPECT_EQ(32, server.notify(handle, 3u, 7u));

    const std::string written = client.readExactly(kWireHeaderSize);
    EXPECT_EQ(hex(expectedHeaderBytes(kWireIdNotify, 3, 7, written)), hex(written));
    expectNothingWrittenBefore(&client, handle);
}

TEST_F(ListenerTest, DataNotificationOf255BytesIsSentAnd256IsRefusedWithNothingWritten) {
    start();
    RawStream client;
    void* handle = connectClient(&client);
    std::string body = patternBytes(256);

    EXPECT_EQ(255, server.notify(handle, 3u, &body[0], 255));
    const std::string written = client.readExactly(kWireHeaderSize + 255);
    EXPECT_EQ(hex(expectedHeaderBytes(kWireIdNotifyData, 3, 255, written) + body.substr(0, 255)),
              hex(written));

    EXPECT_EQ(-2, server.notify(handle, 3u, &body[0], 256));
    expectNothingWrittenBefore(&client, handle);
}

TEST_F(ListenerTest, EmptyBodiesPutOnlyTheHeaderOnTheStream) {
    start();
    RawStream client;
    void* handle = connectClient(&client);
    unsigned char unused = 0;

    EXPECT_EQ(32, server.response(handle, &unused, 0));
    const std::string response = client.readExactly(kWireHeaderSize);
    EXPECT_EQ(hex(expectedHeaderBytes(kWireIdResponse, 0, 0, response)), hex(response));

    EXPECT_EQ(0, server.notify(handle, 5u, &unused, 0));
    const std::string notification = client.readExactly(kWireHeaderSize);
    EXPECT_EQ(hex(expectedHeaderBytes(kWireIdNotifyData, 5, 0, notification)), hex(notification));
    expectNothingWrittenBefore(&client, handle);
}

TEST_F(ListenerTest, NegativeLengthsAndMissingBodiesAreRefusedBeforeAnythingIsWritten) {
    start();
    RawStream client;
    void* handle = connectClient(&client);
    unsigned char body[8] = {};

    EXPECT_EQ(-2, server.response(handle, body, -1));
    EXPECT_EQ(-2, server.response(handle, NULL, 5));
    EXPECT_EQ(-2, server.notify(handle, 3u, body, -1));
    EXPECT_EQ(-2, server.notify(handle, 3u, NULL, 5));
    expectNothingWrittenBefore(&client, handle);
}

TEST_F(ListenerTest, ResponseOfHundredsOfKibReachesTheClientWhole) {
    start();
    RawStream client;
    void* handle = connectClient(&client);
    std::string body = patternBytes(700 * 1024, 3);

    // The body is far larger than the socket buffer: the client must read while the server writes.
    std::string written;
    std::thread reader([&] { written = client.readExactly(kWireHeaderSize + body.size(), 30000); });
    const int result =
        server.response(handle, reinterpret_cast<unsigned char*>(&body[0]), static_cast<int>(body.size()));
    reader.join();

    EXPECT_EQ(static_cast<int>(body.size() + kWireHeaderSize), result);
    ASSERT_EQ(kWireHeaderSize + body.size(), written.size());
    EXPECT_EQ(hex(expectedHeaderBytes(kWireIdResponse, 0, static_cast<int32_t>(body.size()), written)),
              hex(written.substr(0, kWireHeaderSize)));
    EXPECT_TRUE(written.compare(kWireHeaderSize, std::string::npos, body) == 0) << "the body arrived altered";
    expectNothingWrittenBefore(&client, handle);
}

TEST_F(ListenerTest, ClientsThatConnectTogetherAreAllAcceptedWithoutFurtherTraffic) {
    start();
    std::vector<RawStream> clients;
    for (int i = 0; i < 4; ++i) {
        clients.push_back(connectRawClient(name));
        ASSERT_TRUE(clients.back().isOpen());
    }
    EXPECT_TRUE(events.waitForCount(MSG_CONNECTED, 4))
        << "only " << events.count(MSG_CONNECTED) << " of 4 pending clients were accepted";
}

TEST_F(ListenerTest, BytesBeyondOneReadAreDeliveredWithoutTheClientWritingAgain) {
    start();
    RawStream client;
    void* handle = connectClient(&client);
    const std::string request = patternBytes(3000, 5);

    ASSERT_TRUE(client.writeAll(request));

    ASSERT_TRUE(events.waitForBytes(handle, request.size()))
        << "only " << events.received(handle).size() << " of 3000 bytes were delivered";
    EXPECT_TRUE(events.received(handle) == request) << "the request bytes arrived altered";
    for (const ServerEvents::Event& event : events.all()) {
        EXPECT_LE(event.data.size(), 1024u) << "one delivery held more than one read";
    }
}

TEST_F(ListenerTest, BytesSentJustBeforeAHangUpAreDeliveredBeforeTheDisconnect) {
    start();
    RawStream client;
    void* handle = connectClient(&client);

    ASSERT_TRUE(client.writeAll("last words"));
    client.close();

    ASSERT_TRUE(events.waitForCount(MSG_DISCONNECTED, 1, handle)) << "the hang-up was not reported";
    const std::vector<ServerEvents::Event> seen = events.all();
    ASSERT_EQ(3u, seen.size());
    EXPECT_EQ(MSG_RECV, seen[1].type);
    EXPECT_EQ("last words", seen[1].data);
    EXPECT_EQ(MSG_DISCONNECTED, seen[2].type);
}

TEST_F(ListenerTest, DisconnectIsReportedOnceAndTheHandleStaysValidUntilClosed) {
    start();
    RawStream first;
    void* firstHandle = connectClient(&first);

    // End of stream alone is a disconnect; the full close that follows must not be a second one.
    first.shutdownWrite();
    ASSERT_TRUE(events.waitForCount(MSG_DISCONNECTED, 1, firstHandle)) << "end of stream was not reported";
    first.close();
    RawStream second;
    void* secondHandle = connectClient(&second);
    ASSERT_TRUE(second.writeAll("x"));
    ASSERT_TRUE(events.waitForCount(MSG_RECV, 1, secondHandle));

    EXPECT_EQ(1u, events.count(MSG_DISCONNECTED, firstHandle));
    EXPECT_EQ(0, server.closeClient(firstHandle));
    EXPECT_EQ(32, server.notify(secondHandle, 1u, 2u));
    EXPECT_EQ(kWireHeaderSize, second.readExactly(kWireHeaderSize).size());
}

TEST_F(ListenerTest, CloseClientInsideTheDisconnectCallbackEndsTheClient) {
    std::vector<int> results;
    events.setHook([&](const ServerEvents::Event& event) {
        if (event.type == MSG_DISCONNECTED)
            results.push_back(server.closeClient(event.conn));
    });
    start();
    RawStream client;
    void* handle = connectClient(&client);
    const int descriptorsWithClient = openDescriptorCount();

    client.close();

    ASSERT_TRUE(events.waitForCount(MSG_DISCONNECTED, 1, handle));
    EXPECT_TRUE(waitUntil([&] { return openDescriptorCount() == descriptorsWithClient - 2; }))
        << "the server did not release the client's socket";
    stop();
    EXPECT_EQ(std::vector<int>{0}, results);
    EXPECT_EQ(1u, events.count(MSG_DISCONNECTED));
}

TEST_F(ListenerTest, CloseClientClosesItsSocketAndReportsNothing) {
    start();
    RawStream closed;
    void* closedHandle = connectClient(&closed);
    RawStream other;
    void* otherHandle = connectClient(&other);

    EXPECT_EQ(0, server.closeClient(closedHandle));

    EXPECT_TRUE(closed.waitForEndOfStream()) << "the client's socket was not closed";
    ASSERT_TRUE(other.writeAll("still here"));
    ASSERT_TRUE(events.waitForBytes(otherHandle, 10)) << "the other client is no longer served";
    EXPECT_EQ(0u, events.count(MSG_DISCONNECTED));
}

TEST_F(ListenerTest, StallClosesClientsSilentlyAndRunServesAgain) {
    const int descriptorsBefore = openDescriptorCount();
    for (int cycle = 0; cycle < 3; ++cycle) {
        start();
        std::vector<RawStream> clients(3);
        for (RawStream& client : clients)
            connectClient(&client);

        stop();

        for (RawStream& client : clients) {
            EXPECT_TRUE(client.waitForEndOfStream()) << "stall left a client socket open in cycle " << cycle;
            client.close();
        }
        EXPECT_EQ(descriptorsBefore, openDescriptorCount())
            << "stall left descriptors open in cycle " << cycle;
    }
    EXPECT_EQ(0u, events.count(MSG_DISCONNECTED));
    EXPECT_EQ(9u, events.count(MSG_CONNECTED));
}

TEST_F(ListenerTest, NameOf107BytesIsServed) {
    const std::string longest = nameOfLength(107);
    VORNA::Listener longNamed(longest.c_str(), 0);
    longNamed.setMsgCbk(ServerEvents::record, &events);
    ASSERT_EQ(0, longNamed.run());

    RawStream client = connectRawClient(longest);

    EXPECT_TRUE(client.isOpen()) << "the 107-byte name is not bound with the length name + 3";
    EXPECT_TRUE(events.waitForCount(MSG_CONNECTED, 1));
    EXPECT_EQ(0, longNamed.stall());
}

TEST_F(ListenerTest, SecondServerOnATakenNameFailsAndTheFirstKeepsServing) {
    start();
    VORNA::Listener second(name.c_str(), 0);
    second.setMsgCbk(ServerEvents::record, &events);

    EXPECT_EQ(-3, second.run());
    EXPECT_EQ(-1, second.stall());

    RawStream client;
    void* handle = connectClient(&client);
    EXPECT_EQ(32, server.notify(handle, 1u, 1u));
}

TEST_F(ListenerTest, NameIsFreeAtOnceAfterTheServerProcessDies) {
    ProcessSignal ready;
    ForkedProcess child([&] {
        VORNA::Listener owner(name.c_str(), 0);
        if (owner.run() == 0)
            ready.post();
        pause();
    });
    ASSERT_TRUE(ready.waitFor()) << "the child's server did not start";
    child.kill(SIGKILL);
    ASSERT_EQ(128 + SIGKILL, child.wait());

    start();
}

TEST_F(ListenerTest, ServerWithoutCallbackStillServesAndReleasesClients) {
    VORNA::Listener silent(name.c_str(), 0);
    const int descriptorsBefore = openDescriptorCount();
    ASSERT_EQ(0, silent.run());
    const int descriptorsServing = openDescriptorCount();

    RawStream client = connectRawClient(name);
    ASSERT_TRUE(client.isOpen());
    EXPECT_TRUE(waitUntil([&] { return openDescriptorCount() == descriptorsServing + 2; }))
        << "the client was not accepted";
    ASSERT_TRUE(client.writeAll("ignored request"));
    client.shutdownWrite();

    // Nobody holds its handle, so the server itself must release a client that hung up.
    EXPECT_TRUE(client.waitForEndOfStream()) << "the server kept a client that had hung up";
    client.close();
    EXPECT_TRUE(waitUntil([&] { return openDescriptorCount() == descriptorsServing; }))
        << "the server kept the socket of a client that had hung up";
    EXPECT_EQ(0, silent.stall());
    EXPECT_EQ(descriptorsBefore, openDescriptorCount());
}

TEST_F(ListenerTest, EveryDescriptorTheServerOpensIsCloseOnExec) {
    const std::vector<int> before = openDescriptors();
    start();
    RawStream client;
    connectClient(&client);

    EXPECT_EQ(std::vector<int>{}, newDescriptorsWithoutCloseOnExec(before, openDescriptors()));
}

// The scenarios below run in a child, whose standard output holds the log lines.

TEST(ListenerLog, CallsOnAServerThatDoesNotRunReportTheirResultCodes) {
    const ChildResult child = runCheckedInChild([] {
        const std::string name = uniqueName("idle");
        VORNA::Listener server(name.c_str(), 0);
        unsigned char body[4] = {};
        void* someHandle = body;
        EXPECT_EQ(-1, server.response(someHandle, body, 4));
        EXPECT_EQ(-1, server.notify(someHandle, 1u, 2u));
        EXPECT_EQ(-1, server.notify(someHandle, 1u, body, 4));
        EXPECT_EQ(-2, server.closeClient(someHandle));
        EXPECT_EQ(-1, server.stall());
    });

    EXPECT_EQ(0, child.status) << child.out;
    const std::vector<LogLine> expected = {
        listenerLine("ERR", "response", "skt is null"), listenerLine("ERR", "notify", "skt is null"),
        listenerLine("ERR", "notify", "skt is null"),   listenerLine("ERR", "closeClient", "opaque is null"),
        listenerLine("ERR", "stall", "skt is null"),
    };
    const std::vector<LogLine> lines = parseLogLines(child.out, kModule);
    EXPECT_EQ(expected, lines) << describe(lines);
}

TEST(ListenerLog, NullHandlesAreRefusedWithMinus2) {
    const ChildResult child = runCheckedInChild([] {
        const std::string name = uniqueName("null");
        VORNA::Listener server(name.c_str(), 0);
        ASSERT_EQ(0, server.run());
        unsigned char body[4] = {};
        EXPECT_EQ(-2, server.response(NULL, body, 4));
        EXPECT_EQ(-2, server.notify(NULL, 1u, 2u));
        EXPECT_EQ(-2, server.notify(NULL, 1u, body, 4));
        EXPECT_EQ(-2, server.closeClient(NULL));
        EXPECT_EQ(0, server.stall());
    });

    EXPECT_EQ(0, child.status) << child.out;
    const std::vector<LogLine> lines = parseLogLines(child.out, kModule);
    EXPECT_TRUE(containsLine(lines, listenerLine("ERR", "response", "opaque is null"))) << describe(lines);
    EXPECT_TRUE(containsLine(lines, listenerLine("ERR", "notify", "opaque is null"))) << describe(lines);
    EXPECT_TRUE(containsLine(lines, listenerLine("ERR", "closeClient", "opaque is null"))) << describe(lines);
}

TEST(ListenerLog, OversizedAndNegativeBodiesAreLoggedAsErrors) {
    const ChildResult child = runCheckedInChild([] {
        const std::string name = uniqueName("sizes");
        ServerEvents events;
        VORNA::Listener server(name.c_str(), 0);
        server.setMsgCbk(ServerEvents::record, &events);
        ASSERT_EQ(0, server.run());
        RawStream client = connectRawClient(name);
        void* handle = events.connected(0);
        unsigned char body[256] = {};
        EXPECT_EQ(-2, server.notify(handle, 3u, body, 256));
        fflush(stdout);
        printf("-- negative --\n");
        EXPECT_EQ(-2, server.notify(handle, 3u, body, -1));
        EXPECT_EQ(-2, server.response(handle, body, -1));
        EXPECT_EQ(0, server.stall());
    });

    EXPECT_EQ(0, child.status) << child.out;
    const size_t split = child.out.find("-- negative --");
    ASSERT_NE(std::string::npos, split) << child.out;
    const std::vector<LogLine> oversized = parseLogLines(child.out.substr(0, split), kModule);
    EXPECT_TRUE(
        containsLine(oversized, listenerLine("ERR", "notify", "notify data too large(256), max is 256")))
        << describe(oversized);
    const std::vector<LogLine> negative = parseLogLines(child.out.substr(split), kModule);
    EXPECT_TRUE(hasLineOf(negative, "ERR", "notify")) << describe(negative);
    EXPECT_TRUE(hasLineOf(negative, "ERR", "response")) << describe(negative);
}

TEST(ListenerLog, SendsToAClientThatHasGoneFailWithMinus3InsteadOfRaisingSigpipe) {
    const ChildResult child = runCheckedInChild([] {
        signal(SIGPIPE, SIG_DFL);
        const std::string name = uniqueName("gone");
        ServerEvents events;
        VORNA::Listener server(name.c_str(), 0);
        server.setMsgCbk(ServerEvents::record, &events);
        ASSERT_EQ(0, server.run());
        RawStream client = connectRawClient(name);
        void* handle = events.connected(0);
        client.close();
        ASSERT_TRUE(events.waitForCount(MSG_DISCONNECTED, 1, handle));
        unsigned char body[5] = {'h', 'e', 'l', 'l', 'o'};
        EXPECT_EQ(-3, server.response(handle, body, 5));
        EXPECT_EQ(-3, server.notify(handle, 1u, 2u));
        EXPECT_EQ(-3, server.notify(handle, 1u, body, 5));
        EXPECT_EQ(0, server.closeClient(handle));
        EXPECT_EQ(0, server.stall());
    });

    EXPECT_EQ(0, child.status) << "status " << child.status << "\n" << child.out;
    const std::vector<LogLine> lines = parseLogLines(child.out, kModule);
    const std::string broken = strerror(EPIPE);
    EXPECT_TRUE(containsLine(lines, listenerLine("ERR", "response", "send header error: " + broken)))
        << describe(lines);
    EXPECT_TRUE(containsLine(lines, listenerLine("ERR", "notify", "send error: " + broken)))
        << describe(lines);
}

TEST(ListenerLog, NameOf108BytesMakesRunFailWithoutALineOfItsOwn) {
    const ChildResult child = runCheckedInChild([] {
        const std::string tooLong = nameOfLength(108);
        VORNA::Listener server(tooLong.c_str(), 0);
        EXPECT_EQ(-3, server.run());
        EXPECT_EQ(-1, server.stall());
    });

    EXPECT_EQ(0, child.status) << child.out;
    const std::vector<LogLine> expected = {listenerLine("ERR", "stall", "skt is null")};
    const std::vector<LogLine> lines = parseLogLines(child.out, kModule);
    EXPECT_EQ(expected, lines) << describe(lines);
}

TEST(ListenerLog, RunOnAServingListenerIsRefusedAndTheServerKeepsServing) {
    const ChildResult child = runCheckedInChild([] {
        const std::string name = uniqueName("rerun");
        ServerEvents events;
        VORNA::Listener server(name.c_str(), 0);
        server.setMsgCbk(ServerEvents::record, &events);
        ASSERT_EQ(0, server.run());
        fflush(stdout);
        printf("-- second run --\n");
        EXPECT_EQ(-3, server.run());
        fflush(stdout);
        printf("-- served --\n");
        RawStream client = connectRawClient(name);
        void* handle = events.connected(0);
        EXPECT_EQ(32, server.notify(handle, 1u, 1u));
        EXPECT_EQ(kWireHeaderSize, client.readExactly(kWireHeaderSize).size());
        EXPECT_EQ(0, server.stall());
        EXPECT_EQ(-1, server.stall());
    });

    EXPECT_EQ(0, child.status) << child.out;
    const size_t from = child.out.find("-- second run --");
    const size_t to = child.out.find("-- served --");
    ASSERT_TRUE(from != std::string::npos && to != std::string::npos) << child.out;
    const std::vector<LogLine> lines = parseLogLines(child.out.substr(from, to - from), kModule);
    EXPECT_TRUE(hasLineOf(lines, "ERR", "run")) << describe(lines);
}

TEST(ListenerLog, SetMsgCbkWhileServingIsRefusedAndTheFirstCallbackKeepsItsCalls) {
    const ChildResult child = runCheckedInChild([] {
        const std::string name = uniqueName("cbk");
        ServerEvents first;
        ServerEvents second;
        VORNA::Listener server(name.c_str(), 0);
        server.setMsgCbk(ServerEvents::record, &first);
        ASSERT_EQ(0, server.run());
        server.setMsgCbk(ServerEvents::record, &second);
        RawStream client = connectRawClient(name);
        EXPECT_NE(nullptr, first.connected(0));
        EXPECT_EQ(0, server.stall());
        EXPECT_EQ(0u, second.all().size());
    });

    EXPECT_EQ(0, child.status) << child.out;
    const std::vector<LogLine> lines = parseLogLines(child.out, kModule);
    EXPECT_TRUE(containsLine(lines, listenerLine("ERR", "setMsgCbk", "als is not null"))) << describe(lines);
}

TEST(ListenerLog, DestroyingAServingListenerEndsTheProcessWith255) {
    const ChildResult child = runInChild([] {
        const std::string name = uniqueName("destroy");
        VORNA::Listener server(name.c_str(), 0);
        if (server.run() != 0)
            _exit(1);
    });

    EXPECT_EQ(255, child.status) << child.out;
    const std::vector<LogLine> lines = parseLogLines(child.out, kModule);
    EXPECT_TRUE(containsLine(lines, listenerLine("BUG", "~Listener", "NULL == m_priv"))) << describe(lines);
}

}  // namespace
