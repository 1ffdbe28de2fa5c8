#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/child.h"
#include "support/peers.h"
#include "support/server_harness.h"
#include "vorna/messaging.h"
#include "vorna/time.h"

namespace {

using namespace testing_support;

const char kModule[] = "src/Listener";
// A log line's text that the test leaves open: any line of that level and function matches.
const char kAnyText[] = "*";

// True when `lines` are exactly the ERR line of `function` with `text` ("%s" stands for the text of EPIPE),
// or none for a null text.
bool loggedOnly(const std::vector<LogLine>& lines, const char* function, const char* text) {
    if (text == NULL)
        return lines.empty();
    std::string want = text;
    if (want.find("%s") != std::string::npos)
        want.replace(want.find("%s"), 2, strerror(EPIPE));
    return lines.size() == 1 &&
           lines[0] == LogLine{kModule, function, "ERR", want == kAnyText ? lines[0].text : want};
}

// The bytes with the time field of the message at their front zeroed, as the peers build their frames.
std::string untimed(std::string bytes) {
    if (bytes.size() >= kWireHeaderSize)
        bytes.replace(16, 8, 8, '\0');
    return bytes;
}

// A serving Listener with one raw client connected, in each mode.
class ListenerTest : public ::testing::TestWithParam<Drive> {
  protected:
    void SetUp() override {
        ASSERT_EQ(0, harness.run());
        handle = harness.connect(&client);
    }

    TestServer harness{"listener", TestServer::SILENT, GetParam()};
    VORNA::Listener& server = harness.server;
    ServerEvents& events = harness.events;
    RawStream client;
    void* handle = NULL;
};

enum Call {
    RESPONSE,
    VALUE,
    DATA,
    ALL_VALUE,
    ALL_DATA,
    CLOSE,
    CREDENTIALS,
    STALL,
    RUN,
    SET_CALLBACK,
    DISPATCH,
    FD
};
const char* const kCallNames[] = {"response",  "notify",      "notify",          "notifyAll",
                                  "notifyAll", "closeClient", "peerCredentials", "stall",
                                  "run",       "setMsgCbk",   "dispatch",        "fd"};
// Whom a call names: the connected client (with the body, or a null one), a null handle, a pointer that
// never was a handle, a client that hung up, the connected client on a server that never ran, or a second
// server on the serving one's name.
enum Target { CLIENT, NO_BODY, NULL_HANDLE, NOT_A_HANDLE, GONE, IDLE, SECOND };

struct CallCase {
    Call call;
    Target target;
    int len;  // of the body; the value of a value notification
    int result;
    const char* logged;  // the text of the ERR line the call writes ("%s": the text of EPIPE); NULL: none
};

const CallCase kCalls[] = {
    {RESPONSE, CLIENT, 5, 37, NULL},
    {RESPONSE, CLIENT, 0, 32, NULL},
    {RESPONSE, CLIENT, 700 * 1024, 700 * 1024 + 32, NULL},
    {VALUE, CLIENT, 7, 32, NULL},
    {DATA, CLIENT, 255, 255, NULL},
    {DATA, CLIENT, 0, 0, NULL},
    {DATA, CLIENT, 256, -2, "notify data too large(256), max is 256"},
    // Every client is tried, the one that hung up too.
    {ALL_VALUE, CLIENT, 77, 1, "send error: %s"},
    {ALL_DATA, CLIENT, 4, 1, "send error: %s"},
    {ALL_DATA, CLIENT, 256, -2, "notify data too large(256), max is 256"},
    {ALL_DATA, NO_BODY, 4, -2, kAnyText},
    {ALL_DATA, CLIENT, -1, -2, kAnyText},
    {RESPONSE, CLIENT, -1, -2, kAnyText},
    {RESPONSE, NO_BODY, 5, -2, kAnyText},
    {DATA, CLIENT, -1, -2, kAnyText},
    {DATA, NO_BODY, 5, -2, kAnyText},
    {RESPONSE, NULL_HANDLE, 4, -2, "opaque is null"},
    {VALUE, NULL_HANDLE, 2, -2, "opaque is null"},
    {DATA, NULL_HANDLE, 4, -2, "opaque is null"},
    {CLOSE, NULL_HANDLE, 0, -2, "opaque is null"},
    {CREDENTIALS, NULL_HANDLE, 0, -2, kAnyText},
    {CREDENTIALS, NOT_A_HANDLE, 0, -2, kAnyText},
    {RESPONSE, IDLE, 4, -1, "skt is null"},
    {VALUE, IDLE, 2, -1, "skt is null"},
    {DATA, IDLE, 4, -1, "skt is null"},
    {CLOSE, IDLE, 0, -2, "opaque is null"},
    {STALL, IDLE, 0, -1, "skt is null"},
    {ALL_VALUE, IDLE, 2, -1, kAnyText},
    {CREDENTIALS, IDLE, 0, -1, kAnyText},
    {RESPONSE, GONE, 5, -3, "send header error: %s"},
    {VALUE, GONE, 2, -3, "send error: %s"},
    {DATA, GONE, 5, -3, kAnyText},
    // While it serves, the server refuses to run again or to change its callback; so does a second server
    // on its name.
    {RUN, CLIENT, 0, -3, "als is not null"},
    {SET_CALLBACK, CLIENT, 0, 0, "als is not null"},
    {RUN, SECOND, 0, -3, NULL},
    {STALL, SECOND, 0, -1, "skt is null"},
    {DISPATCH, IDLE, 0, -1, NULL},
    {FD, IDLE, 0, -1, NULL},
};

int perform(const CallCase& c, TestServer& harness, void* client, void* gone, unsigned char* body) {
    VORNA::Listener idle(c.target == SECOND ? harness.name.c_str() : "never-runs", 0);
    VORNA::Listener& target = c.target == IDLE || c.target == SECOND ? idle : harness.server;
    void* handle = c.target == NULL_HANDLE ? NULL : c.target == GONE ? gone : client;
    handle = c.target == NOT_A_HANDLE ? body : handle;
    unsigned char* data = c.target == NO_BODY ? NULL : body;
    switch (c.call) {
        case RESPONSE:
            return target.response(handle, data, c.len);
        case VALUE:
            return target.notify(handle, 3u, static_cast<unsigned>(c.len));
        case DATA:
            return target.notify(handle, 3u, data, c.len);
        case CLOSE:
            return target.closeClient(handle);
        case CREDENTIALS:
            return target.peerCredentials(handle, NULL, NULL, NULL);
        case ALL_VALUE:
            return target.notifyAll(3u, static_cast<unsigned>(c.len));
        case ALL_DATA:
            return target.notifyAll(3u, data, c.len);
        case STALL:
            return target.stall();
        case RUN:
            return target.run();
        case SET_CALLBACK:
            target.setMsgCbk(NULL, NULL);
            break;
        case DISPATCH:
            return target.dispatch();
        case FD:
            return target.fd();
    }
    return 0;
}

// The messages a call that succeeded puts on the stream, with time fields of 0.
std::string framesOf(const CallCase& c, const std::string& body) {
    if (c.result < 0 || c.call > ALL_DATA)  // the calls after ALL_DATA send nothing
        return "";
    if (c.call == VALUE || c.call == ALL_VALUE)
        return valueNotificationFrame(3, static_cast<uint32_t>(c.len));
    return c.call == RESPONSE ? responseFrame(body.substr(0, c.len))
                              : dataNotificationFrame(3, body.substr(0, c.len));
}

TEST_P(ListenerTest, EachCallWritesExactlyItsMessageOrNothingAndLogsWhy) {
    signal(SIGPIPE, SIG_DFL);  // a send that raised it would end the test
    std::string body = "hello" + patternBytes(700 * 1024);
    RawStream goneClient;
    void* gone = harness.connect(&goneClient);
    goneClient.close();
    ASSERT_TRUE(events.waitForCount(MSG_DISCONNECTED, 1, gone));
    LogCapture log;

    for (const CallCase& c : kCalls) {
        const std::string what = std::string(kCallNames[c.call]) + " to target " + std::to_string(c.target) +
                                 " with " + std::to_string(c.len);
        const std::string frames = framesOf(c, body);
        std::string written;
        // A body larger than the socket buffer needs the client to read while the server writes.
        std::thread reader([&] { written = client.readExactly(frames.size(), 30000); });
        const int64_t before = SystemTime::getUs();
        EXPECT_EQ(c.result, perform(c, harness, handle, gone, reinterpret_cast<unsigned char*>(&body[0])))
            << what;
        reader.join();
        const int64_t stamped = parseWireHeader(written).timeUs;
        EXPECT_TRUE(frames.empty() || (before <= stamped && stamped <= SystemTime::getUs()))
            << what << ": time field " << stamped;
        EXPECT_TRUE(untimed(written) == frames) << what << ": the message arrived altered";
        const std::vector<LogLine> lines = log.take();
        EXPECT_TRUE(loggedOnly(lines, kCallNames[c.call], c.logged)) << what << " logged:\n"
                                                                     << ::testing::PrintToString(lines);
        // Nothing more was written if the next bytes are a marker notification sent now.
        ASSERT_EQ(32, server.notify(handle, 99u, 4242u));
        EXPECT_EQ(valueNotificationFrame(99, 4242), untimed(client.readExactly(kWireHeaderSize)))
            << what << ": more was written";
    }
    EXPECT_EQ(0, server.closeClient(gone));
    ASSERT_TRUE(client.writeAll("x"));
    EXPECT_EQ("x", events.received(handle, 1)) << "the callback was replaced while the server served";
}

// Two clients connect together; the second writes before it is reported connected. The first is closed
// by the server, the second hangs up and is closed from inside its disconnect callback (where stall() and
// dispatch() are refused), and the fixture's client hangs up in two steps.
TEST_P(ListenerTest, EachClientEndsOnceAfterAllItsBytesWhetherItHangsUpOrIsClosedInOrOutsideTheCallback) {
    const std::string request = patternBytes(3000, 5);
    RawStream closed = connectRawClient(harness.name);
    RawStream hungUp = connectRawClient(harness.name);
    ASSERT_TRUE(hungUp.writeAll(request));
    EXPECT_TRUE(events.waitForCount(MSG_CONNECTED, 3)) << "pending clients were not accepted";
    void* closedHandle = events.connected(1);
    void* hungUpHandle = events.connected(2);
    EXPECT_EQ(request.size(), events.received(hungUpHandle, request.size()).size())
        << "bytes beyond one read wait for the client to write again";
    std::vector<int> results;
    events.setHook([&](const ServerEvents::Event& event) {
        if (event.type == MSG_DISCONNECTED && event.conn == hungUpHandle)
            results = {server.closeClient(event.conn), server.stall(), server.dispatch()};
    });
    const int descriptors = openDescriptorCount();

    // End of stream alone is a disconnect; the full close that follows must not be a second one.
    client.shutdownWrite();
    ASSERT_TRUE(events.waitForCount(MSG_DISCONNECTED, 1, handle)) << "end of stream was not reported";
    client.close();
    EXPECT_EQ(0, server.closeClient(closedHandle));
    EXPECT_TRUE(closed.waitForEndOfStream()) << "closeClient left the client's socket open";
    ASSERT_TRUE(hungUp.writeAll("last words"));
    hungUp.close();

    ASSERT_TRUE(events.waitForCount(MSG_DISCONNECTED, 1, hungUpHandle)) << "the hang-up was not reported";
    EXPECT_TRUE(waitUntil([&] { return openDescriptorCount() == descriptors - 4; }))
        << "the server did not release the sockets of the clients it closed";
    EXPECT_EQ(0, server.peerCredentials(handle, NULL, NULL, NULL)) << "the handle must stay valid";
    EXPECT_EQ(0, server.closeClient(handle));
    EXPECT_EQ(-2, server.peerCredentials(handle, NULL, NULL, NULL)) << "a closed handle names nobody";
    ASSERT_EQ(0, harness.stall());  // the event thread has ended: its results can be read
    EXPECT_EQ((std::vector<int>{0, -1, -1}), results);
    std::vector<int> types;
    for (const ServerEvents::Event& event : events.all()) {
        if (event.conn == hungUpHandle)
            types.push_back(event.type);
        EXPECT_LE(event.data.size(), 1024u) << "one delivery held more than one read";
    }
    EXPECT_EQ(MSG_CONNECTED, types.front());
    EXPECT_EQ(MSG_DISCONNECTED, types.back());
    EXPECT_EQ(types.size() - 2, static_cast<size_t>(std::count(types.begin(), types.end(), MSG_RECV)));
    EXPECT_TRUE(events.received(hungUpHandle) == request + "last words")
        << "the request bytes arrived altered";
    EXPECT_EQ(1u, events.count(MSG_DISCONNECTED, handle));
    EXPECT_EQ(0u, events.count(MSG_DISCONNECTED, closedHandle)) << "closeClient must report nothing";
}

TEST_P(ListenerTest, StallClosesClientsSilentlyAndRunServesAgainAlsoWithoutCallback) {
    ASSERT_EQ(0, harness.stall());
    client.close();
    const int descriptorsBefore = openDescriptorCount();
    for (int cycle = 0; cycle < 3; ++cycle) {
        ASSERT_EQ(0, harness.run());
        std::vector<RawStream> clients(3);
        for (RawStream& each : clients)
            harness.connect(&each);
        ASSERT_EQ(0, harness.stall());
        for (RawStream& each : clients)
            EXPECT_TRUE(each.waitForEndOfStream()) << "stall left a client socket open in cycle " << cycle;
        clients.clear();
        EXPECT_EQ(descriptorsBefore, openDescriptorCount())
            << "stall left descriptors open in cycle " << cycle;
    }
    EXPECT_EQ(0u, harness.events.count(MSG_DISCONNECTED));
    EXPECT_EQ(10u, harness.events.count(MSG_CONNECTED)) << "the fixture's client and three per cycle";

    // Without a callback nobody holds a client's handle: the server itself releases one that hung up.
    harness.server.setMsgCbk(NULL, NULL);
    ASSERT_EQ(0, harness.run());
    const int descriptorsServing = openDescriptorCount();
    client = connectRawClient(harness.name);
    EXPECT_TRUE(waitUntil([&] { return openDescriptorCount() == descriptorsServing + 2; }))
        << "the client was not accepted";
    ASSERT_TRUE(client.writeAll("ignored request"));
    client.shutdownWrite();
    EXPECT_TRUE(client.waitForEndOfStream()) << "the server kept a client that had hung up";
    client.close();
    EXPECT_TRUE(waitUntil([&] { return openDescriptorCount() == descriptorsServing; }))
        << "the server kept the socket of a client that had hung up";
    EXPECT_EQ(0, harness.stall());
    EXPECT_EQ(-1, harness.server.stall()) << "a second stall found something to stop";
}

// An abstract name of 107 bytes, bound with the length name + 3 as every peer addresses it; nothing stays
// in the file system to outlive the server.
TEST(Listener, NameOf107BytesIsServedAnd108FailsQuietly) {
    std::string longest = uniqueName("long");
    longest.resize(107, 'n');
    const std::string tooLong = longest + "n";  // the server keeps the pointer
    VORNA::Listener served(longest.c_str(), 0);
    VORNA::Listener refused(tooLong.c_str(), 0);
    LogCapture log;

    EXPECT_EQ(0, served.run());
    EXPECT_TRUE(connectRawClient(longest).isOpen())
        << "the 107-byte name is not bound with the length name + 3";
    EXPECT_EQ(0, served.stall());
    EXPECT_EQ(-3, refused.run());
    EXPECT_EQ(-1, refused.stall());
    EXPECT_TRUE(loggedOnly(log.take(), "stall", "skt is null")) << "a run logged";
}

TEST(Listener, DestroyingAServingListenerEndsTheProcessWith255) {
    const ChildResult child = runInChild([] {
        const std::string name = uniqueName("destroy");
        VORNA::Listener server(name.c_str(), 0);
        if (server.run() != 0)
            _exit(1);
    });
    EXPECT_EQ(255, child.status) << child.out;
    const std::vector<LogLine> lines = parseLogLines(child.out, kModule);
    EXPECT_THAT(lines, ::testing::Contains(LogLine{kModule, "~Listener", "BUG", "NULL == m_priv"}));
}

// What a service manager hands this process at descriptor 3 for socket activation, with LISTEN_PID of
// this process plus `pidOffset`. Only our listening socket for this very process is adopted: the server
// serves on it, makes it close-on-exec and removes the variables. A server that did not adopt a socket
// holding its name fails to bind the name.
enum Handed { OURS, OURS_NOT_LISTENING, OTHER_NAME, NOT_A_SOCKET };
const std::pair<Handed, int> kActivations[] = {
    {OURS, 0}, {OURS, 1}, {OURS_NOT_LISTENING, 0}, {OTHER_NAME, 0}, {NOT_A_SOCKET, 0}};

TEST(ListenerActivation, AdoptsOnlyAListeningSocketOfItsNameHandedToThisVeryProcess) {
    for (const auto& c : kActivations) {
        const ChildResult child = runCheckedInChild([&c] {
            const bool adopted = c.first == OURS && c.second == 0;
            TestServer harness("activated");
            sockaddr_un address;
            socklen_t length;
            abstractAddress(harness.name + (c.first == OTHER_NAME ? "-other" : ""), &address, &length);
            const int handed =
                c.first == NOT_A_SOCKET ? open("/dev/null", O_RDONLY) : socket(AF_UNIX, SOCK_STREAM, 0);
            ASSERT_TRUE(c.first == NOT_A_SOCKET ||
                        (bind(handed, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
                         (c.first == OURS_NOT_LISTENING || listen(handed, 4) == 0)));
            ASSERT_TRUE(handed == 3 || (dup2(handed, 3) == 3 && close(handed) == 0));
            setenv("LISTEN_PID", std::to_string(getpid() + c.second).c_str(), 1);
            setenv("LISTEN_FDS", "1", 1);
            setenv("LISTEN_FDNAMES", "vorna", 1);
            const bool serves = adopted || c.first >= OTHER_NAME;
            ASSERT_EQ(serves ? 0 : -3, harness.run());
            EXPECT_EQ(adopted, getenv("LISTEN_PID") == NULL && getenv("LISTEN_FDS") == NULL &&
                                   getenv("LISTEN_FDNAMES") == NULL && (fcntl(3, F_GETFD) & FD_CLOEXEC) != 0);
            RawStream client;
            if (serves)
                harness.connect(&client);
        });
        EXPECT_EQ(0, child.status) << "handed " << c.first << ", pid offset " << c.second << ":\n"
                                   << child.out;
    }
}

// Started by systemd-socket-activate (below) with VORNA_TEST_ACTIVATED set, this program is the activated
// server, in loop mode: it answers one request with its own bytes and exits once the client has hung up,
// before any test runs.
const bool gActivatedServer = [] {
    const char* name = getenv("VORNA_TEST_ACTIVATED");
    if (name == NULL)
        return false;
    static VORNA::Listener server(name, 0);
    static int answered = 0;  // 1 once answered, 2 once the client has hung up too
    server.setMsgCbk(
        [](void*, void* conn, int type, unsigned char* data, int len) {
            // The client is the test program that started systemd-socket-activate here.
            pid_t pid = 0;
            uid_t uid = 0;
            gid_t gid = 0;
            const bool fromParent = server.peerCredentials(conn, &pid, &uid, &gid) == 0 && pid == getppid() &&
                                    uid == getuid() && gid == getgid() &&
                                    server.peerCredentials(conn, NULL, NULL, NULL) == 0;
            answered += (type == MSG_RECV && fromParent && server.response(conn, data, len) == len + 32) ||
                        (type == MSG_DISCONNECTED);
        },
        NULL);
    bool serving = server.runInLoop() == 0;
    pollfd loop = {server.fd(), POLLIN, 0};
    while (serving && answered < 2)
        serving = poll(&loop, 1, -1) > 0 && server.dispatch() >= 0;
    _exit(answered == 2 && server.stall() == 0 ? 0 : 1);
}();

// systemd-socket-activate listens on the name and starts the server with the socket handed over, as a
// unit with ListenStream=@name does; it needs no running service manager. A server that did not adopt
// the socket could not bind the name. Each end also names the process at the other end.
TEST(ListenerActivation, ServesTheSocketThatSystemdSocketActivateHandsOver) {
    const char kActivate[] = "/usr/bin/systemd-socket-activate";
    if (access(kActivate, X_OK) != 0)
        GTEST_SKIP() << kActivate << " is not installed (Debian package systemd)";
    const std::string name = uniqueName("activate");
    const std::string command = std::string("exec ") + kActivate + " -l @" + name +
                                " -E VORNA_TEST_ACTIVATED=" + name + " " VORNA_TEST_EMULATOR " " +
                                readFile("/proc/self/cmdline").c_str();
    ForkedProcess manager([&command] { execl("/bin/sh", "sh", "-c", command.c_str(), NULL); });

    VORNA::Connection connection(name.c_str(), 0, NULL, NULL, 10000);
    unsigned char reply[8] = {};
    EXPECT_EQ(
        5, connection.call(reinterpret_cast<const unsigned char*>("hello"), 5, reply, sizeof(reply), 10000))
        << "the started server did not answer on the handed socket, or named its client wrong";
    pid_t pid = 0;
    uid_t uid = 0;
    gid_t gid = 0;
    EXPECT_EQ(0, connection.peerCredentials(&pid, &uid, &gid));
    EXPECT_EQ(std::make_tuple(manager.pid(), getuid(), getgid()), std::make_tuple(pid, uid, gid));
    EXPECT_EQ(0, connection.peerCredentials(NULL, NULL, NULL)) << "null pointers skip their values";
    connection.disconnect();
    EXPECT_EQ(-1, connection.peerCredentials(&pid, NULL, NULL));
    EXPECT_EQ(0, manager.wait()) << "the activated server failed";
}

INSTANTIATE_TEST_SUITE_P(Drives, ListenerTest, ::testing::Values(Drive::THREAD, Drive::LOOP), driveName);

}  // namespace
