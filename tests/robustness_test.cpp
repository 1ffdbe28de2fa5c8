// Faults that show on a device only: a client that stops reading, descriptors that leak into programs the
// application starts, and abstract names that anyone can bind or reach.

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/child.h"
#include "support/exec_probe.h"
#include "support/peers.h"
#include "support/probes.h"
#include "vorna/log.h"
#include "vorna/messaging.h"

namespace {

using namespace testing_support;

const int kSendFailed = -3;
// The server's send timeout is 10 s; the kernel, qemu and the sanitizers add their share on top.
const long long kSendTimeoutBoundMs = 16000;
const int kStalledBodySize = 64 * 1024;

// A server that answers every request with a response of the same bytes, from its callback, and lists
// the handles of its clients in the order they connected.
class EchoServer {
  public:
    explicit EchoServer(const std::string& name) : mName(name), mListener(mName.c_str(), 0) {
        mListener.setMsgCbk(&EchoServer::onMessage, this);
    }
    ~EchoServer() {
        if (mRunning)
            mListener.stall();
    }
    EchoServer(const EchoServer&) = delete;
    EchoServer& operator=(const EchoServer&) = delete;

    bool run() { return mRunning = mListener.run() == 0; }
    const std::string& name() const { return mName; }
    VORNA::Listener& listener() { return mListener; }

    // The handle of the `index`-th client to connect, or null when it has not connected in time.
    void* client(size_t index, int timeoutMs = 10000) {
        std::unique_lock<std::mutex> lock(mMutex);
        const bool connected = mChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                                 [&] { return mClients.size() > index; });
        return connected ? mClients[index] : NULL;
    }

  private:
    static void onMessage(void* ctx, void* conn, int type, unsigned char* data, int len) {
        EchoServer* self = static_cast<EchoServer*>(ctx);
        if (type == MSG_RECV) {
            self->mListener.response(conn, data, len);
        } else if (type == MSG_CONNECTED) {
            std::lock_guard<std::mutex> lock(self->mMutex);
            self->mClients.push_back(conn);
            self->mChanged.notify_all();
        }
    }

    const std::string mName;
    VORNA::Listener mListener;
    bool mRunning = false;
    std::mutex mMutex;
    std::condition_variable mChanged;
    std::vector<void*> mClients;
};

// Sends `request` and reads the echoed response; true when it came back whole before the deadline.
bool roundTrip(RawStream& client, const std::string& request, int timeoutMs) {
    if (!client.writeAll(request))
        return false;
    const std::string frame = client.readExactly(kWireHeaderSize + request.size(), timeoutMs);
    if (frame.size() != kWireHeaderSize + request.size())
        return false;
    const WireHeader header = parseWireHeader(frame);
    return header.magic == kWireMagic && header.id == kWireIdResponse &&
           header.len == static_cast<int32_t>(request.size()) &&
           frame.compare(kWireHeaderSize, request.size(), request) == 0;
}

// A thread that sends responses to one client until a response fails, timing the last one.
class ResponseFlood {
  public:
    ResponseFlood(VORNA::Listener& listener, void* conn)
        : mListener(listener),
          mConn(conn),
          mBody(patternBytes(kStalledBodySize)),
          mThread([this] { flood(); }) {}
    // A flood that never ends would hold the test: closing the client makes its blocked send fail.
    ~ResponseFlood() {
        if (!finished())
            mListener.closeClient(mConn);
        mThread.join();
    }
    ResponseFlood(const ResponseFlood&) = delete;
    ResponseFlood& operator=(const ResponseFlood&) = delete;

    // True while the thread sleeps in the kernel inside a response.
    bool isBlocked() const {
        const pid_t tid = mTid.load();
        return tid != 0 && !finished() && threadIsBlocked(tid);
    }
    bool finished() const { return mFinished.load(); }
    int lastResult() const { return mLastResult.load(); }
    long long lastCallMs() const { return mLastCallMs.load(); }

  private:
    void flood() {
        mTid = currentTid();
        unsigned char* body = reinterpret_cast<unsigned char*>(&mBody[0]);
        int result;
        do {
            const long long start = nowMs();
            result = mListener.response(mConn, body, kStalledBodySize);
            mLastCallMs = nowMs() - start;
        } while (result >= 0);
        mLastResult = result;
        mFinished = true;
    }

    VORNA::Listener& mListener;
    void* const mConn;
    std::string mBody;
    std::atomic<pid_t> mTid{0};
    std::atomic<bool> mFinished{false};
    std::atomic<int> mLastResult{0};
    std::atomic<long long> mLastCallMs{0};
    std::thread mThread;
};

bool contains(const std::vector<int>& numbers, int number) {
    return std::find(numbers.begin(), numbers.end(), number) != numbers.end();
}

// The entries of `after` that are not in `before`.
std::vector<int> added(const std::vector<int>& before, const std::vector<int>& after) {
    std::vector<int> result;
    for (int number : after) {
        if (!contains(before, number))
            result.push_back(number);
    }
    return result;
}

void ignoreNotification(void*, unsigned int, void* data, int) {
    free(data);
}

}  // namespace

TEST(StalledClient, ResponseToAClientThatNeverReadsFailsAfterTheSendTimeoutWhileOthersAreServed) {
    const ChildResult child = runCheckedInChild(
        [] {
            EchoServer server(uniqueName("stalled"));
            ASSERT_TRUE(server.run());
            RawStream stalled = connectRawClient(server.name());
            void* const stalledHandle = server.client(0);
            ASSERT_NE(stalledHandle, nullptr) << "the client that never reads was not accepted";
            RawStream active = connectRawClient(server.name());
            ASSERT_NE(server.client(1), nullptr) << "the reading client was not accepted";

            ResponseFlood flood(server.listener(), stalledHandle);
            ASSERT_TRUE(waitUntil([&] { return flood.isBlocked(); }, 20000))
                << "responses to the client that never reads did not fill its socket";
            int servedWhileBlocked = 0;
            const long long giveUp = nowMs() + 2 * kSendTimeoutBoundMs;
            while (!flood.finished() && nowMs() < giveUp) {
                ASSERT_TRUE(roundTrip(active, "ping", 5000))
                    << "the reading client was not answered while a response to the other one blocked";
                servedWhileBlocked += !flood.finished();
                usleep(100 * 1000);  // a steady trickle of requests, not a busy loop
            }
            ASSERT_TRUE(flood.finished()) << "a response to a client that never reads still blocks";
            EXPECT_EQ(flood.lastResult(), kSendFailed);
            EXPECT_LT(flood.lastCallMs(), kSendTimeoutBoundMs)
                << "the failing response blocked longer than one send timeout";
            EXPECT_GT(servedWhileBlocked, 0);
            EXPECT_TRUE(roundTrip(active, "after", 5000))
                << "the reading client was not served after the failure";
        },
        60000);
    EXPECT_EQ(child.status, 0) << child.out;
    const std::string timedOut = strerror(EAGAIN);
    const std::vector<LogLine> lines = parseLogLines(child.out, "src/Listener");
    const bool logged = std::any_of(lines.begin(), lines.end(), [&](const LogLine& line) {
        return line.level == "ERR" && line.function == "response" &&
               line.text.find(timedOut) != std::string::npos;
    });
    EXPECT_TRUE(logged) << "no ERR line of response() tells of the send timeout:\n" << describe(lines);
}

TEST(InheritedDescriptors, NoDescriptorOfTheLibraryReachesAProgramStartedByExec) {
    const std::string logPath = "/tmp/" + uniqueName("cloexec.log");
    const ChildResult child = runCheckedInChild([&] {
        const std::vector<int> before = openDescriptors();
        LogInit(logPath.c_str());
        EchoServer server(uniqueName("cloexec"));
        ASSERT_TRUE(server.run());
        VORNA::Connection connection(server.name().c_str(), 0, ignoreNotification, NULL);
        ASSERT_NE(server.client(0), nullptr) << "the client was not accepted";
        // Inheritable on purpose: shows that the listing sees what an exec passes on.
        const int inheritable = open("/dev/null", O_RDONLY);
        ASSERT_GE(inheritable, 0);
        std::vector<int> library = added(before, openDescriptors());
        library.erase(std::remove(library.begin(), library.end(), inheritable), library.end());
        // The log file, the listening socket, the epoll instance, the accepted and the client's socket.
        EXPECT_GE(library.size(), 5u);

        const std::vector<int> inherited = descriptorsInheritedByExec();
        EXPECT_TRUE(contains(inherited, inheritable)) << "the listing misses a descriptor that is inherited";
        for (int fd : library)
            EXPECT_FALSE(contains(inherited, fd)) << describeDescriptor(fd) << " reached the exec'd program";
        close(inheritable);
        connection.disconnect();
    });
    unlink(logPath.c_str());
    EXPECT_EQ(child.status, 0) << child.out;
}

TEST(PeerCredentials, ServerSeesTheClientsProcess) {
    const std::string name = uniqueName("peer-client");
    // The client waits for a response that never comes; the server's end makes its recv() return.
    ForkedProcess client([&name] {
        VORNA::Connection connection(name.c_str(), 0, NULL, NULL);
        unsigned char byte;
        connection.recv(&byte, 1);
    });
    EchoServer server(name);
    ASSERT_TRUE(server.run());
    void* const handle = server.client(0);
    ASSERT_NE(handle, nullptr) << "the client process did not connect";

    pid_t pid = 0;
    uid_t uid = 0;
    gid_t gid = 0;
    EXPECT_EQ(server.listener().peerCredentials(handle, &pid, &uid, &gid), 0);
    EXPECT_EQ(pid, client.pid());
    EXPECT_EQ(uid, getuid());
    EXPECT_EQ(gid, getgid());
}

TEST(PeerCredentials, ClientSeesTheServersProcess) {
    const std::string name = uniqueName("peer-server");
    ForkedProcess server([&name] {
        VORNA::Listener listener(name.c_str(), 0);
        if (listener.run() != 0)
            _exit(1);
        for (;;)
            pause();  // until the test ends it
    });
    VORNA::Connection connection(name.c_str(), 0, NULL, NULL);

    pid_t pid = 0;
    uid_t uid = 0;
    gid_t gid = 0;
    EXPECT_EQ(connection.peerCredentials(&pid, &uid, &gid), 0);
    EXPECT_EQ(pid, server.pid());
    EXPECT_EQ(uid, getuid());
    EXPECT_EQ(gid, getgid());
}

TEST(PeerCredentials, AreRefusedForEndsThatDoNotRunAndForHandlesThatAreNotClients) {
    EchoServer server(uniqueName("peer-refused"));
    pid_t pid = 0;
    EXPECT_EQ(server.listener().peerCredentials(NULL, &pid, NULL, NULL), -1) << "server not running";
    ASSERT_TRUE(server.run());
    VORNA::Connection connection(server.name().c_str(), 0, NULL, NULL);
    void* const handle = server.client(0);
    ASSERT_NE(handle, nullptr);

    // Null pointers skip their values.
    EXPECT_EQ(server.listener().peerCredentials(handle, &pid, NULL, NULL), 0);
    EXPECT_EQ(pid, getpid());
    EXPECT_EQ(connection.peerCredentials(NULL, NULL, NULL), 0);

    int notAClient = 0;
    EXPECT_EQ(server.listener().peerCredentials(NULL, &pid, NULL, NULL), -2);
    EXPECT_EQ(server.listener().peerCredentials(&notAClient, &pid, NULL, NULL), -2);
    ASSERT_EQ(server.listener().closeClient(handle), 0);
    EXPECT_EQ(server.listener().peerCredentials(handle, &pid, NULL, NULL), -2) << "closed handle";

    connection.disconnect();
    EXPECT_EQ(connection.peerCredentials(&pid, NULL, NULL), -1);
}
