#pragma once

// The server side of the messaging tests: a Listener on a name of its own whose callback records what it
// reports (and may echo each request), a capture of the library's log lines in this process, and the
// reading side of the wire for raw clients.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/child.h"
#include "support/loop_driver.h"
#include "support/peers.h"
#include "vorna/log.h"
#include "vorna/messaging.h"

namespace testing_support {

// What the server reports to its callback, recorded on the event thread for the test thread to wait on.
class ServerEvents {
  public:
    struct Event {
        void* conn;
        int type;
        std::string data;
    };

    static void record(void* ctx, void* conn, int type, unsigned char* data, int len) {
        ServerEvents* self = static_cast<ServerEvents*>(ctx);
        Event event{conn, type, data != NULL ? std::string(reinterpret_cast<char*>(data), len) : ""};
        std::unique_lock<std::mutex> lock(self->mMutex);
        self->mEvents.push_back(event);
        if (type == MSG_CONNECTED)
            self->mConnected.push_back(conn);
        const std::function<void(const Event&)> hook = self->mHook;
        lock.unlock();
        self->mChanged.notify_all();
        if (hook)
            hook(event);
    }

    // Runs on the event thread after each event is recorded.
    void setHook(const std::function<void(const Event&)>& hook) {
        std::lock_guard<std::mutex> lock(mMutex);
        mHook = hook;
    }

    // Makes `server` answer each request with its own bytes.
    void echoWith(VORNA::Listener& server) {
        setHook([&server](const Event& event) {
            std::string copy = event.data;
            if (event.type == MSG_RECV)
                server.response(event.conn, reinterpret_cast<unsigned char*>(&copy[0]),
                                static_cast<int>(copy.size()));
        });
    }

    std::vector<Event> all() {
        std::lock_guard<std::mutex> lock(mMutex);
        return mEvents;
    }

    // Events of `type` (for `conn` only, unless null).
    size_t count(int type, void* conn = NULL) {
        std::lock_guard<std::mutex> lock(mMutex);
        return countOf(type, conn);
    }

    bool waitForCount(int type, size_t wanted, void* conn = NULL, int timeoutMs = 10000) {
        return waitFor(timeoutMs, [&] { return countOf(type, conn) >= wanted; });
    }

    // The handle of the `index`-th client reported connected, once it is; null after the deadline.
    void* connected(size_t index, int timeoutMs = 10000) {
        if (!waitFor(timeoutMs, [&] { return mConnected.size() > index; }))
            return NULL;
        std::lock_guard<std::mutex> lock(mMutex);
        return mConnected[index];
    }

    // Every request byte delivered for `conn`, in order, once there are `wanted` of them (or the deadline).
    std::string received(void* conn, size_t wanted = 0, int timeoutMs = 10000) {
        waitFor(timeoutMs, [&] { return bytesOf(conn).size() >= wanted; });
        std::lock_guard<std::mutex> lock(mMutex);
        return bytesOf(conn);
    }

  private:
    template <typename Predicate>
    bool waitFor(int timeoutMs, Predicate done) {
        std::unique_lock<std::mutex> lock(mMutex);
        return mChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs), done);
    }

    size_t countOf(int type, void* conn) const {
        return static_cast<size_t>(std::count_if(mEvents.begin(), mEvents.end(), [&](const Event& event) {
            return event.type == type && (conn == NULL || event.conn == conn);
        }));
    }

    std::string bytesOf(void* conn) const {
        std::string bytes;
        for (const Event& event : mEvents)
            bytes += event.type == MSG_RECV && event.conn == conn ? event.data : "";
        return bytes;
    }

    std::mutex mMutex;
    std::condition_variable mChanged;
    std::vector<Event> mEvents;
    std::vector<void*> mConnected;  // kept apart so that thousands of clients cost no search
    std::function<void(const Event&)> mHook;
};

// How a server under test runs: on its own event thread (run()), or in loop mode (runInLoop()) driven by
// a LoopDriver, as an application's poll loop would drive it.
enum class Drive { THREAD, LOOP };

inline std::string driveName(const ::testing::TestParamInfo<Drive>& info) {
    return info.param == Drive::THREAD ? "Thread" : "Loop";
}

// A Listener under test with its events recorded. A serving Listener ends the process when destroyed, so
// one left serving by a failed check is stalled first.
class TestServer {
  public:
    enum Reply { SILENT, ECHO };

    explicit TestServer(const char* tag, Reply reply = SILENT, Drive drive = Drive::THREAD)
        : name(uniqueName(tag)), server(name.c_str(), 0), mDrive(drive) {
        server.setMsgCbk(ServerEvents::record, &events);
        if (reply == ECHO)
            events.echoWith(server);
    }
    ~TestServer() {
        if (mServing)
            stall();
    }

    int run() {
        const int result = mDrive == Drive::LOOP ? server.runInLoop() : server.run();
        if (result == 0 && mDrive == Drive::LOOP && !mServing)
            mLoop.reset(new LoopDriver(server));
        mServing = mServing || result == 0;
        return result;
    }

    // Stops the server from this thread while the loop (if any) may be inside dispatch().
    int stall() {
        mServing = false;
        const int result = server.stall();
        mLoop.reset();
        return result;
    }

    // Connects a raw client and returns the handle the server reported for it; null (with a failure)
    // when either step did not happen.
    void* connect(RawStream* client) {
        const size_t before = events.count(MSG_CONNECTED);
        *client = connectRawClient(name);
        EXPECT_TRUE(client->isOpen()) << "a raw client could not connect to " << name;
        void* handle = events.connected(before);
        EXPECT_NE(nullptr, handle) << "the server did not report the client connected";
        return handle;
    }

    const std::string name;
    ServerEvents events;
    VORNA::Listener server;

  private:
    const Drive mDrive;
    std::unique_ptr<LoopDriver> mLoop;  // loop mode: the application's loop, on a thread of its own
    bool mServing = false;
};

// Collects the library's log lines (LogSetWriter) from construction to destruction, in place of the
// console. The lines of a call are complete when it returns.
class LogCapture {
  public:
    LogCapture() { LogSetWriter(write, this); }
    ~LogCapture() { LogSetWriter(NULL, NULL); }

    // The lines of `module` logged since the last take(); all of them are forgotten.
    std::vector<LogLine> take(const std::string& module = "src/Listener") {
        std::lock_guard<std::mutex> lock(mMutex);
        const std::vector<LogLine> lines = parseLogLines(mText, module);
        mText.clear();
        return lines;
    }

  private:
    static void write(void* ctx, int, const char* line, int len) {
        LogCapture* self = static_cast<LogCapture*>(ctx);
        // The console form, which parseLogLines reads, is the line without its "<n>" level marker.
        const int marker = len >= 3 && line[0] == '<' && line[2] == '>' ? 3 : 0;
        std::lock_guard<std::mutex> lock(self->mMutex);
        self->mText.append(line + marker, static_cast<size_t>(len - marker));
    }

    std::mutex mMutex;
    std::string mText;
};

// Reads one whole message from the server; false when none came before the deadline or it is malformed.
inline bool readMessage(RawStream* client, WireHeader* header, std::string* body, int timeoutMs = 10000) {
    const std::string head = client->readExactly(kWireHeaderSize, timeoutMs);
    if (head.size() != kWireHeaderSize)
        return false;
    *header = parseWireHeader(head);
    const size_t length = header->id == kWireIdNotify ? 0 : static_cast<size_t>(header->len);
    *body = client->readExactly(length, timeoutMs);
    return header->magic == kWireMagic && body->size() == length;
}

// Sends `request` and reads its echo; true when the response came back whole before the deadline.
inline bool echoRoundTrip(RawStream* client, const std::string& request, int timeoutMs = 10000) {
    WireHeader header;
    std::string body;
    return client->writeAll(request) && readMessage(client, &header, &body, timeoutMs) &&
           header.id == kWireIdResponse && body == request;
}

}  // namespace testing_support
