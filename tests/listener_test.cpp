// The server's calls, its clients' ends and its socket, in each mode; then the server against peers and
// applications that misbehave: handles kept after their client was closed, clients that never read, a full
// descriptor table, fork(), and calls racing clients that come and go, closeClient() and stall().

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/child.h"
#include "support/peers.h"
#include "support/probes.h"
#include "support/server_harness.h"
#include "vorna/messaging.h"
#include "vorna/time.h"

namespace {

using namespace testing_support;
using namespace ::testing;
using VORNA::Listener;

const char kModule[] = "src/Listener";
const std::string kBrokenPipe = strerror(EPIPE);

// True when `lines` are exactly the ERR line of `function` with `text` ("*": any text), or none for "".
bool loggedOnly(const std::vector<LogLine>& lines, const char* function, const std::string& text) {
    return text.empty() ? lines.empty()
                        : lines.size() == 1 && lines[0] == LogLine{kModule, function, "ERR",
                                                                   text == "*" ? lines[0].text : text};
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
    Listener& server = harness.server;
    ServerEvents& events = harness.events;
    RawStream client;
    void* handle = NULL;
};

// A call under test: the function its ERR lines name, the message it sends when it succeeds, and the call.
enum Sends { NOTHING, RESPONSE, VALUE, DATA };
struct Call {
    const char* function;
    Sends sends;
    int (*make)(Listener& target, void* handle, unsigned char* data, int len);
};
const Call kResponse{"response", RESPONSE,
                     [](auto& s, auto h, auto d, int n) { return s.response(h, d, n); }};
const Call kValue{"notify", VALUE, [](auto& s, auto h, auto, int n) { return s.notify(h, 3u, unsigned(n)); }};
const Call kData{"notify", DATA, [](auto& s, auto h, auto d, int n) { return s.notify(h, 3u, d, n); }};
const Call kAllValue{"notifyAll", VALUE,
                     [](auto& s, auto, auto, int n) { return s.notifyAll(3u, unsigned(n)); }};
const Call kAllData{"notifyAll", DATA, [](auto& s, auto, auto d, int n) { return s.notifyAll(3u, d, n); }};
const Call kClose{"closeClient", NOTHING, [](auto& s, auto h, auto, int) { return s.closeClient(h); }};
const Call kCredentials{"peerCredentials", NOTHING,
                        [](auto& s, auto h, auto, int) { return s.peerCredentials(h, NULL, NULL, NULL); }};
const Call kStall{"stall", NOTHING, [](auto& s, auto, auto, int) { return s.stall(); }};
const Call kRun{"run", NOTHING, [](auto& s, auto, auto, int) { return s.run(); }};
const Call kSetCallback{"setMsgCbk", NOTHING,
                        [](auto& s, auto, auto, int) { return s.setMsgCbk(NULL, NULL), 0; }};
const Call kDispatch{"dispatch", NOTHING, [](auto& s, auto, auto, int) { return s.dispatch(); }};
const Call kFd{"fd", NOTHING, [](auto& s, auto, auto, int) { return s.fd(); }};

// Whom a call names: the connected client (with the body, or a null one), a null handle, a pointer that
// never was a handle, a client that hung up, the connected client on a server that never ran, or a second
// server on the serving one's name.
enum Target { CLIENT, NO_BODY, NULL_HANDLE, NOT_A_HANDLE, GONE, IDLE, SECOND };

struct CallCase {
    const Call& call;
    Target target;
    int len;  // of the body; the value of a value notification
    int result;
    std::string logged;  // the text of the ERR line the call writes ("*": any); empty: none
};

const CallCase kCalls[] = {
    {kResponse, CLIENT, 5, 37, ""},
    {kResponse, CLIENT, 0, 32, ""},
    {kResponse, CLIENT, 700 * 1024, 700 * 1024 + 32, ""},
    {kValue, CLIENT, 7, 32, ""},
    {kData, CLIENT, 255, 255, ""},
    {kData, CLIENT, 0, 0, ""},
    {kData, CLIENT, 256, -2, "notify data too large(256), max is 256"},
    // Every client is tried, the one that hung up too.
    {kAllValue, CLIENT, 77, 1, "send error: " + kBrokenPipe},
    {kAllData, CLIENT, 4, 1, "send error: " + kBrokenPipe},
    {kAllData, CLIENT, 256, -2, "notify data too large(256), max is 256"},
    {kAllData, NO_BODY, 4, -2, "*"},
    {kAllData, CLIENT, -1, -2, "*"},
    {kResponse, CLIENT, -1, -2, "*"},
    {kResponse, NO_BODY, 5, -2, "*"},
    {kData, CLIENT, -1, -2, "*"},
    {kData, NO_BODY, 5, -2, "*"},
    {kResponse, NULL_HANDLE, 4, -2, "opaque is null"},
    {kValue, NULL_HANDLE, 2, -2, "opaque is null"},
    {kData, NULL_HANDLE, 4, -2, "opaque is null"},
    {kClose, NULL_HANDLE, 0, -2, "opaque is null"},
    {kCredentials, NULL_HANDLE, 0, -2, "*"},
    {kCredentials, NOT_A_HANDLE, 0, -2, "*"},
    {kResponse, IDLE, 4, -1, "skt is null"},
    {kValue, IDLE, 2, -1, "skt is null"},
    {kData, IDLE, 4, -1, "skt is null"},
    {kClose, IDLE, 0, -2, "opaque is null"},
    {kStall, IDLE, 0, -1, "skt is null"},
    {kAllValue, IDLE, 2, -1, "*"},
    {kCredentials, IDLE, 0, -1, "*"},
    {kResponse, GONE, 5, -3, "send header error: " + kBrokenPipe},
    {kValue, GONE, 2, -3, "send error: " + kBrokenPipe},
    {kData, GONE, 5, -3, "*"},
    // While it serves, the server refuses to run again or to change its callback; so does a second server
    // on its name.
    {kRun, CLIENT, 0, -3, "als is not null"},
    {kSetCallback, CLIENT, 0, 0, "als is not null"},
    {kRun, SECOND, 0, -3, ""},
    {kStall, SECOND, 0, -1, "skt is null"},
    {kDispatch, IDLE, 0, -1, ""},
    {kFd, IDLE, 0, -1, ""},
};

int perform(const CallCase& c, TestServer& harness, void* client, void* gone, unsigned char* body) {
    Listener idle(c.target == SECOND ? harness.name.c_str() : "never-runs", 0);
    Listener& target = c.target == IDLE || c.target == SECOND ? idle : harness.server;
    void* handle = c.target == NULL_HANDLE ? NULL : c.target == GONE ? gone : client;
    handle = c.target == NOT_A_HANDLE ? body : handle;
    return c.call.make(target, handle, c.target == NO_BODY ? NULL : body, c.len);
}

// The messages a call that succeeded puts on the stream, with time fields of 0.
std::string framesOf(const CallCase& c, const std::string& body) {
    if (c.result < 0 || c.call.sends == NOTHING)
        return "";
    if (c.call.sends == VALUE)
        return valueNotificationFrame(3, static_cast<uint32_t>(c.len));
    return c.call.sends == RESPONSE ? responseFrame(body.substr(0, c.len))
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
        SCOPED_TRACE(std::string(c.call.function) + " to target " + std::to_string(c.target) + " with " +
                     std::to_string(c.len));
        const std::string frames = framesOf(c, body);
        std::string written;
        // A body larger than the socket buffer needs the client to read while the server writes.
        std::thread reader([&] { written = client.readExactly(frames.size(), 30000); });
        const int64_t before = SystemTime::getUs();
        EXPECT_EQ(c.result, perform(c, harness, handle, gone, reinterpret_cast<unsigned char*>(&body[0])));
        reader.join();
        const int64_t stamped = parseWireHeader(written).timeUs;
        EXPECT_TRUE(frames.empty() || (before <= stamped && stamped <= SystemTime::getUs()))
            << "time field " << stamped;
        EXPECT_TRUE(untimed(written) == frames) << "the message arrived altered";
        const std::vector<LogLine> lines = log.take();
        EXPECT_TRUE(loggedOnly(lines, c.call.function, c.logged)) << "logged:\n" << PrintToString(lines);
        // Nothing more was written if the next bytes are a marker notification sent now.
        ASSERT_EQ(32, server.notify(handle, 99u, 4242u));
        EXPECT_EQ(valueNotificationFrame(99, 4242), untimed(client.readExactly(kWireHeaderSize)))
            << "more was written";
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
    ASSERT_EQ(0, harness.stall());  // the event thread has ended: its results can be read
    EXPECT_EQ((std::vector<int>{0, -1, -1}), results);
    std::string types;
    for (const ServerEvents::Event& event : events.all()) {
        if (event.conn == hungUpHandle)
            types += "CDR"[event.type];  // MSG_CONNECTED, MSG_DISCONNECTED, MSG_RECV
        EXPECT_LE(event.data.size(), 1024u) << "one delivery held more than one read";
    }
    EXPECT_THAT(types, ::testing::MatchesRegex("CR+D"));
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

// An abstract name of 107 bytes, bound with the length name + 3 as every peer addresses it, is served and
// leaves nothing in the file system; one of 108 fails quietly. Destroying a Listener that serves ends the
// process with 255.
TEST(Listener, NameOf107BytesIsServed108FailsQuietlyAndDestroyingAServingListenerEndsTheProcessWith255) {
    const ChildResult child = runInChild([] {
        std::string longest = uniqueName("long");
        longest.resize(107, 'n');
        const std::string tooLong = longest + "n";  // the server keeps the pointer
        Listener served(longest.c_str(), 0);
        Listener refused(tooLong.c_str(), 0);
        {
            LogCapture log;  // gone before the destructor's line
            EXPECT_EQ(0, served.run());
            EXPECT_TRUE(connectRawClient(longest).isOpen())
                << "the 107-byte name is not bound with length name + 3";
            EXPECT_EQ(-3, refused.run());
            EXPECT_EQ(-1, refused.stall());
            EXPECT_TRUE(loggedOnly(log.take(), "stall", "skt is null")) << "a run logged";
        }
        if (::testing::Test::HasFailure())
            _exit(1);
    });
    EXPECT_EQ(255, child.status) << child.out;
    EXPECT_THAT(parseLogLines(child.out, kModule),
                Contains(LogLine{kModule, "~Listener", "BUG", "NULL == m_priv"}));
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
    static Listener server(name, 0);
    static ServerEvents events;
    server.setMsgCbk(ServerEvents::record, &events);
    events.echoWith(server);
    const bool serving = server.runInLoop() == 0;
    LoopDriver loop(server);
    // The client is the test program that started systemd-socket-activate here.
    pid_t pid = 0;
    uid_t uid = 0;
    gid_t gid = 0;
    const bool fromParent = server.peerCredentials(events.connected(0), &pid, &uid, &gid) == 0 &&
                            pid == getppid() && uid == getuid() && gid == getgid();
    const bool hungUp = events.waitForCount(MSG_DISCONNECTED, 1);
    loop.stop();
    _exit(serving && fromParent && hungUp && server.stall() == 0 ? 0 : 1);
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
        << "the started server did not answer on the handed socket";
    pid_t pid = 0;
    uid_t uid = 0;
    gid_t gid = 0;
    EXPECT_EQ(0, connection.peerCredentials(&pid, &uid, &gid));
    EXPECT_EQ(std::make_tuple(manager.pid(), getuid(), getgid()), std::make_tuple(pid, uid, gid));
    EXPECT_EQ(0, connection.peerCredentials(NULL, NULL, NULL)) << "null pointers skip their values";
    connection.disconnect();
    EXPECT_EQ(-1, connection.peerCredentials(&pid, NULL, NULL));
    EXPECT_EQ(0, manager.wait()) << "the activated server failed, or named its client wrong";
}

// The handle closed last and the first one closed, whose place in the server's tables later clients take.
TEST_P(ListenerTest, AHandleKeptAfterCloseClientOrStallNeverReachesALaterClient) {
    void* const first = handle;
    unsigned char body[] = "stale";
    int wrong = 0;
    for (size_t cycle = 1; cycle <= 10000; ++cycle) {
        void* closed = handle;
        ASSERT_EQ(0, server.closeClient(closed));
        client = connectRawClient(harness.name);
        handle = events.connected(cycle);
        ASSERT_NE(nullptr, handle) << "cycle " << cycle;
        for (void* stale : {closed, first}) {
            wrong += server.response(stale, body, 5) != -2 || server.notify(stale, 1u, 2u) != -2 ||
                     server.notify(stale, 1u, body, 5) != -2 ||
                     server.peerCredentials(stale, NULL, NULL, NULL) != -2 ||
                     server.closeClient(stale) != 0 || client.pendingBytes() != 0;
        }
    }
    EXPECT_EQ(0, wrong) << "cycles in which a call on a closed handle did not return -2 (closeClient: 0) or "
                           "wrote to the next client";

    // Handles of a server that was stalled and run again name nobody either.
    ASSERT_EQ(0, harness.stall());
    ASSERT_EQ(0, harness.run());
    harness.connect(&client);
    EXPECT_EQ(-2, server.response(handle, body, 5));
    EXPECT_EQ(0, client.pendingBytes());
}

// The servers below are set up by each test: in a child, with echoes, or for the process's whole life.
class ListenerModes : public ::testing::TestWithParam<Drive> {};

// The send timeout of accepted sockets, as the header documents it.
const long long kSendTimeoutMs = 10000;
// Slack for a loaded machine, qemu and the sanitizers on top of a documented bound.
const long long kMarginMs = 6000;

// Calls from a thread of their own until one fails.
struct Flood {
    explicit Flood(const std::function<int()>& call)
        : thread([this, call] {
              tid = currentTid();
              for (long long start = nowMs(); result >= 0; start = nowMs()) {
                  result = call();
                  lastCallMs = nowMs() - start;
              }
          }) {}
    ~Flood() { thread.join(); }  // a send blocks for one send timeout at most

    // True while a call sleeps in the kernel, on the client's full socket or its send lock.
    bool blocked() const { return tid != 0 && result >= 0 && threadIsBlocked(tid); }

    std::atomic<pid_t> tid{0};
    std::atomic<int> result{0};  // of the last call
    std::atomic<long long> lastCallMs{0};
    std::thread thread;  // last: starts once the others are set
};

// Two clients never read: responses to them fill their sockets and block. One is closed, which ends its
// blocked sends at once. The other client is served meanwhile; then the stubborn client's requests hold the
// event thread in their echo until its blocked send fails after the send timeout, and it is broken. Signals
// cutting into that send, before it has sent a byte, do not stretch the timeout.
TEST_P(ListenerModes, ClientsThatNeverReadAreClosedAtOnceOrBrokenAfterOneSendTimeoutAndCostTheOthersNoMore) {
    TestServer harness("noread", TestServer::ECHO, GetParam());
    Listener& server = harness.server;
    ASSERT_EQ(0, harness.run());
    RawStream stubborn, closed, active;
    void* const stubbornHandle = harness.connect(&stubborn);
    void* const closedHandle = harness.connect(&closed);
    harness.connect(&active);
    LogCapture log;
    // Empty responses: the one that blocks has sent nothing yet, which is where a send that resumed itself
    // after a signal would start the kernel's timeout again.
    Flood flood([&] { return server.response(stubbornHandle, NULL, 0); });
    Flood closing([&] { return server.response(closedHandle, NULL, 0); });
    EXPECT_TRUE(waitUntil([&] { return flood.blocked() && closing.blocked(); }, 20000))
        << "responses to the clients that never read did not fill their sockets";
    // A notification can only block behind the blocked response, on the client's send lock.
    Flood notify([&] { return server.notify(closedHandle, 1u, 1u); });
    EXPECT_TRUE(waitUntil([&] { return notify.blocked(); })) << "no blocked notify";

    const long long closeStart = nowMs();
    EXPECT_EQ(0, server.closeClient(closedHandle));
    // Well before the send timeout, which would end them by itself.
    EXPECT_TRUE(waitUntil([&] { return closing.result == -3 && notify.result == -3; }) &&
                nowMs() - closeStart < kSendTimeoutMs / 2)
        << "closeClient did not end the blocked sends with -3";
    int servedWhileBlocked = 0;
    for (int i = 0; i < 5; ++i)
        servedWhileBlocked += echoRoundTrip(&active, "ping", 5000) && flood.result >= 0;
    EXPECT_EQ(5, servedWhileBlocked) << "the other client was not served while a send to one blocked";
    const std::string requests(3 * 1024, 'r');
    EXPECT_TRUE(stubborn.writeAll(requests));
    // Every half millisecond a signal whose handler has no SA_RESTART, as a process full of timers would
    // send: each blocked call comes back with EINTR or short. The handler stays.
    struct sigaction action = {};
    action.sa_handler = [](int) {};
    sigaction(SIGUSR2, &action, NULL);
    std::atomic<bool> interrupting(true);
    std::thread signals([&] {
        for (; interrupting; raw_peer::pauseUs(500))
            tgkill(getpid(), flood.tid, SIGUSR2);
    });
    if (!waitUntil([&] { return flood.result < 0; }, static_cast<int>(kSendTimeoutMs + kMarginMs)))
        server.closeClient(stubbornHandle);  // ends the flood so that the test can fail
    interrupting = false;
    signals.join();

    EXPECT_EQ(-3, flood.result.load());
    EXPECT_LT(flood.lastCallMs.load(), kSendTimeoutMs + kMarginMs)
        << "the failing send outlasted the send timeout";
    EXPECT_THAT(log.take(),
                Contains(AllOf(Field(&LogLine::level, "ERR"), Field(&LogLine::function, "response"),
                               Field(&LogLine::text, HasSubstr(strerror(EAGAIN))))))
        << "no ERR line of response() tells of the send timeout";
    EXPECT_TRUE(echoRoundTrip(&active, "after", static_cast<int>(kSendTimeoutMs + kMarginMs)))
        << "the other client waited longer than one send timeout";
    EXPECT_TRUE(harness.events.waitForCount(MSG_DISCONNECTED, 1, stubbornHandle));
    EXPECT_LT(harness.events.received(stubbornHandle).size(), requests.size())
        << "the requests of a broken client were still read";
    EXPECT_EQ(1u, harness.events.count(MSG_DISCONNECTED)) << "a closed client was reported";
    const long long sent = nowMs();
    EXPECT_EQ(-3, server.response(stubbornHandle, NULL, 0));
    EXPECT_EQ(-3, server.notify(stubbornHandle, 1u, 1u));
    EXPECT_LT(nowMs() - sent, 1000) << "sends to a broken client must fail at once";
    EXPECT_EQ(1, server.notifyAll(7u, 7u)) << "notifyAll must skip the broken client";
    EXPECT_EQ(0, server.peerCredentials(stubbornHandle, NULL, NULL, NULL)) << "the handle must stay valid";
    EXPECT_EQ(0, server.closeClient(stubbornHandle));
}

// Round trips one client completes in `windowMs`; -1 when one fails.
int roundTripsIn(RawStream* client, long long windowMs) {
    int count = 0;
    for (const long long end = nowMs() + windowMs; nowMs() < end; ++count) {
        if (!echoRoundTrip(client, "rate", 5000))
            return -1;
    }
    return count;
}

// The listening socket rests while accept() runs out of descriptors, instead of waking the loop again at
// once: each failed accept logs a line, and the rest is 50 ms.
TEST_P(ListenerModes, ConnectedClientsKeepTheirPaceWhileAcceptRunsOutOfDescriptors) {
    const ChildResult child = runCheckedInChild([] {
        TestServer harness("emfile", TestServer::ECHO, GetParam());
        ASSERT_EQ(0, harness.run());
        RawStream client;
        harness.connect(&client);
        const rlim_t allowed = static_cast<rlim_t>(openDescriptorCount() + 16);
        const rlimit limit = {allowed, allowed};
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
            RawStream pending = connectRawClient(harness.name);  // takes the last descriptor
            ASSERT_TRUE(pending.isOpen());
            LogCapture log;
            const int starved = roundTripsIn(&client, 400);
            bestRatio = std::max(bestRatio, static_cast<double>(starved) / normal);
            close(fillers.back());
            fillers.pop_back();
            EXPECT_NE(nullptr, harness.events.connected(static_cast<size_t>(attempt) + 1, 1000))
                << "a pending client was not accepted within 1 s of a descriptor freeing up";
            for (int fd : fillers)
                close(fd);
            // Read once descriptors are free again: the sanitizers' runtime needs some too.
            EXPECT_THAT(log.take(), Contains(Field(&LogLine::text, StartsWith("accept error"))).Times(Le(40)))
                << "the server kept trying to accept without a descriptor for it";
        }
        EXPECT_GE(bestRatio, 0.5) << "the connected client lost more than half its pace";
    });
    EXPECT_EQ(0, child.status) << child.out << child.err;
}

// Children end their copy of the server by stall(), by its destructor, and by exit(), which runs that
// destructor among the static ones.
TEST_P(ListenerModes, ForkedChildrenThatStopTheirCopyLeaveTheParentServing) {
    // Static servers, as a process keeps one for its whole life: their destructors run at exit().
    static const std::string name = uniqueName("fork");
    static Listener servers[] = {{name.c_str(), 0}, {name.c_str(), 0}};
    Listener& server = servers[GetParam() == Drive::LOOP];
    ServerEvents events;
    server.setMsgCbk(ServerEvents::record, &events);
    events.echoWith(server);
    ASSERT_EQ(0, GetParam() == Drive::LOOP ? server.runInLoop() : server.run());
    std::unique_ptr<LoopDriver> loop(GetParam() == Drive::LOOP ? new LoopDriver(server) : NULL);
    RawStream client = connectRawClient(name);
    void* handle = events.connected(0);
    ASSERT_NE(nullptr, handle);
    const std::function<void()> ends[] = {
        [&] { _exit(server.stall() == 0 ? 0 : 1); },
        [&] {
            server.~Listener();
            _exit(0);
        },
        [] { exit(0); },
    };
    // LeakSanitizer's check at exit() can hang in a forked child.
    for (size_t end = 0; end < (kExitInForkedChildMayHang ? 2 : 3); ++end) {
        ForkedProcess child(ends[end]);
        EXPECT_EQ(0, child.wait()) << "child " << end
                                   << " hung or failed while stopping its copy of the server";
        EXPECT_TRUE(echoRoundTrip(&client, "x", 5000))
            << "the parent's client lost its connection to child " << end;
    }
    RawStream later = connectRawClient(name);
    EXPECT_NE(nullptr, events.connected(1)) << "the parent no longer accepts clients";
    EXPECT_EQ(32, server.notify(handle, 2u, 2u));
    EXPECT_EQ(0, server.stall());
}

// Calls of every kind from other threads race clients that come and go, closeClient() and stall()/run()
// cycles. The clients of a cycle stop reading after a few messages, so that sends are blocked on full
// sockets when stall() comes.
TEST_P(ListenerModes, CallsRacingConnectsHangUpsCloseClientAndStallCompleteOrFailAndKeepEveryStreamWhole) {
    TestServer harness("race", TestServer::SILENT, GetParam());
    Listener& server = harness.server;
    harness.events.setHook([&](const ServerEvents::Event& event) {
        if (event.type == MSG_DISCONNECTED)
            server.closeClient(event.conn);
    });
    std::atomic<bool> stop(false);
    std::atomic<int> unexpected(0);
    std::vector<unsigned char> big(64 * 1024, 'b');
    const int bigSize = static_cast<int>(big.size());
    auto sender = [&](unsigned turn) {
        unsigned char small[100] = {};
        for (; !stop; ++turn) {
            // One of the last 13 clients (a cycle's; after its stall(), released), or none while fewer came.
            const size_t connected = harness.events.count(MSG_CONNECTED);
            void* handle = connected == 0 ? NULL : harness.events.connected(connected - 1 - turn % 13, 0);
            // Each call with its lowest and highest result on success.
            const unsigned kind = handle == NULL ? 7 : turn % 7;
            const int results[][3] = {
                {kind == 0 ? server.response(handle, big.data(), bigSize) : 0, bigSize + 32, bigSize + 32},
                {kind == 1 ? server.notify(handle, 1u, 1u) : 0, 32, 32},
                {kind == 2 ? server.notify(handle, 1u, small, 8) : 0, 8, 8},
                {kind == 3 ? server.peerCredentials(handle, NULL, NULL, NULL) : 0, 0, 0},
                {kind == 4 ? server.notifyAll(turn, turn) : 0, 0, 64},
                {kind == 5 ? server.notifyAll(turn, small, 100) : 0, 0, 64},
                {kind == 6 && turn % 3 == 0 ? server.closeClient(handle) : 0, 0, 0},
                {0, 0, 0},  // no client to call
            };
            const int* result = results[kind];
            unexpected +=
                (result[0] < -3 || result[0] > -1) && (result[0] < result[1] || result[0] > result[2]);
        }
    };
    ASSERT_EQ(0, harness.run());
    EXPECT_EQ(0, server.notifyAll(1u, 2u)) << "no client is connected";
    ASSERT_EQ(0, harness.stall());
    std::thread first(sender, 0u);
    std::thread second(sender, 4u);
    long long slowestStall = 0;
    int brokenStreams = 0;
    for (int cycle = 0; cycle < 20 && !::testing::Test::HasFailure(); ++cycle) {
        EXPECT_EQ(0, harness.run());
        for (int round = 0; round < 10; ++round) {
            RawStream client = connectRawClient(harness.name);
            WireHeader header;
            std::string body;
            // Every message that arrives before the end (closed by the server or by the client) is whole.
            for (int i = 0; i < round % 4 && readMessage(&client, &header, &body, 2000); ++i) {
                brokenStreams +=
                    header.id == kWireIdNotifyData
                        ? body.size() != 8 && body.size() != 100
                        : header.id == kWireIdResponse && body != std::string(big.begin(), big.end());
            }
        }
        const RawStream silent[] = {connectRawClient(harness.name), connectRawClient(harness.name),
                                    connectRawClient(harness.name)};
        EXPECT_TRUE(harness.events.waitForCount(MSG_CONNECTED, (cycle + 1) * 13u));
        const long long start = nowMs();
        EXPECT_EQ(0, harness.stall());
        slowestStall = std::max(slowestStall, nowMs() - start);
    }
    stop = true;
    first.join();
    second.join();
    EXPECT_EQ(0, unexpected.load())
        << "racing calls returned something other than their success, -1, -2 or -3";
    EXPECT_EQ(0, brokenStreams);
    EXPECT_LT(slowestStall, kSendTimeoutMs / 2) << "stall() waited for a send blocked on a full socket";

    // Once the clients have settled, exactly the connected ones are reached.
    ASSERT_EQ(0, harness.run());
    const RawStream settled[] = {connectRawClient(harness.name), connectRawClient(harness.name),
                                 connectRawClient(harness.name)};
    EXPECT_TRUE(waitUntil([&] { return server.notifyAll(0u, 0u) == 3; }))
        << "notifyAll did not settle on the 3 connected clients";
}

INSTANTIATE_TEST_SUITE_P(Drives, ListenerTest, ::testing::Values(Drive::THREAD, Drive::LOOP), driveName);
INSTANTIATE_TEST_SUITE_P(Drives, ListenerModes, ::testing::Values(Drive::THREAD, Drive::LOOP), driveName);

}  // namespace
