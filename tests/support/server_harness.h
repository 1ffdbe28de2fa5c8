#pragma once

// The server side of the messaging tests: a Listener on a name of its own whose callback records what it
// reports (and may echo each request), a capture of the library's log lines in this process, and the
// reading side of the wire for raw clients.

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "support/peers.h"
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

    static void record(void* ctx, void* conn, int type, unsigned char* data, int len);
    // Runs on the event thread after each event is recorded.
    void setHook(const std::function<void(const Event&)>& hook);

    std::vector<Event> all();
    // Events of `type` (for `conn` only, unless null).
    size_t count(int type, void* conn = NULL);
    bool waitForCount(int type, size_t wanted, void* conn = NULL, int timeoutMs = 10000);
    // The handle of the `index`-th client reported connected, once it is; null after the deadline.
    void* connected(size_t index, int timeoutMs = 10000);
    // Every request byte delivered for `conn`, in order.
    std::string received(void* conn);
    bool waitForBytes(void* conn, size_t wanted, int timeoutMs = 10000);

  private:
    template <typename Predicate>
    bool waitFor(int timeoutMs, Predicate done);
    size_t countLocked(int type, void* conn) const;
    std::string receivedLocked(void* conn) const;

    std::mutex mMutex;
    std::condition_variable mChanged;
    std::vector<Event> mEvents;
    std::vector<void*> mConnected;  // kept apart so that thousands of clients cost no search
    std::function<void(const Event&)> mHook;
};

// A Listener under test with its events recorded. A serving Listener ends the process when destroyed, so
// one left serving by a failed check is stalled first.
class TestServer {
  public:
    enum Reply { SILENT, ECHO };

    explicit TestServer(const char* tag, Reply reply = SILENT);
    ~TestServer();
    TestServer(const TestServer&) = delete;
    TestServer& operator=(const TestServer&) = delete;

    int run();
    int stall();
    // Connects a raw client and returns the handle the server reported for it; null (with a failure)
    // when either step did not happen.
    void* connect(RawStream* client);

    const std::string name;
    ServerEvents events;
    VORNA::Listener server;

  private:
    bool mServing = false;
};

// Collects the library's log lines (LogSetWriter) from construction to destruction, in place of the
// console. The lines of a call are complete when it returns.
class LogCapture {
  public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // The lines of `module` logged since the last take(); all of them are forgotten.
    std::vector<LogLine> take(const std::string& module = "src/Listener");

  private:
    static void write(void* ctx, int level, const char* line, int len);

    std::mutex mMutex;
    std::string mText;
};

// Reads one whole message from the server; false when none came before the deadline or it is malformed.
bool readMessage(RawStream* client, WireHeader* header, std::string* body, int timeoutMs = 10000);
// Sends `request` and reads its echo; true when the response came back whole before the deadline.
bool echoRoundTrip(RawStream* client, const std::string& request, int timeoutMs = 10000);
// `expected` (frames as the peers build them, with time fields of 0) with the time field of each header
// taken from `written`, where the sender stamped it.
std::string withTimesFrom(std::string expected, const std::string& written);

}  // namespace testing_support
