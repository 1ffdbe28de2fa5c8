// vorna-msg demo: a server and two clients in one process, narrated by the library's own log lines.

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "args.h"
#include "commands.h"
#include "listener_events.h"
#include "output.h"
#include "signals.h"
#include "vorna/vorna.h"

namespace {

const char kHelp[] =
    "usage: vorna-msg demo [--quiet]\n"
    "\n"
    "A server and two clients in this one process: client A in notifier mode (a receive thread delivers\n"
    "notifications), client B in direct mode (it reads its responses itself). They exchange requests and\n"
    "responses, the server pushes a value notification and a data notification to A, B disconnects, and\n"
    "a short round-trip summary closes the tour. The library's own log lines (in [   vorna  ] brackets)\n"
    "show what happens inside (--quiet hides them). Takes a few seconds; exit status 0 when every step\n"
    "worked, 130 after Ctrl-C, 143 after SIGTERM.\n";

constexpr int kStepTimeoutMs = 5000;
constexpr int kSummaryTrips = 200;
constexpr unsigned kBatteryCode = 1;
constexpr unsigned kDoorCode = 2;

// What the callbacks have seen, for the main thread to wait on.
class Events {
  public:
    void record(const std::function<void()>& change) {
        {
            std::lock_guard<std::mutex> lock(mLock);
            change();
        }
        mChanged.notify_all();
    }
    bool waitFor(const std::function<bool()>& happened) {
        std::unique_lock<std::mutex> lock(mLock);
        return mChanged.wait_for(lock, std::chrono::milliseconds(kStepTimeoutMs), happened);
    }

    int connects = 0;
    int disconnects = 0;
    int notifications = 0;

  private:
    std::mutex mLock;
    std::condition_variable mChanged;
};

// The server: names its clients A and B in the order they connect, answers "temperature?" with a
// reading and echoes anything else.
class DemoServer {
  public:
    DemoServer(const std::string& name, Events& events, ToolOutput& out)
        : mName(name), mEvents(events), mOut(out), mListener(mName.c_str(), 0) {
        mListener.setMsgCbk(dispatchListenerEvent<DemoServer>, this);
    }
    ~DemoServer() { stop(); }

    bool start() { return mRunning = mListener.run() == 0; }
    void stop() {
        if (mRunning)
            mListener.stall();
        mRunning = false;
    }
    // The handle of the client shown as `client`, or null.
    void* handleOf(const std::string& client) {
        std::lock_guard<std::mutex> lock(mClientsLock);
        for (const auto& entry : mClients) {
            if (entry.second == client)
                return entry.first;
        }
        return nullptr;
    }
    VORNA::Listener& listener() { return mListener; }

  private:
    friend void dispatchListenerEvent<DemoServer>(void* ctx, void* conn, int type, unsigned char* data,
                                                  int len);

    void onConnected(void* conn) {
        std::string client;
        {
            std::lock_guard<std::mutex> lock(mClientsLock);
            client = mClients.empty() ? "A" : "B";
            mClients[conn] = client;
        }
        mOut.line("server: callback \"%s\": client %s accepted", VORNA::Listener::msgName(MSG_CONNECTED),
                  client.c_str());
        mEvents.record([this] { ++mEvents.connects; });
    }

    void onRequest(void* conn, const std::string& request) {
        const std::string client = nameOf(conn);
        std::string answer = request == "temperature?" ? "21.5 C" : request;
        if (request != "ping")
            mOut.line("server: callback \"%s\": %s asks %s; answering %s", VORNA::Listener::msgName(MSG_RECV),
                      client.c_str(), describeBytes(request).c_str(), describeBytes(answer).c_str());
        mListener.response(conn, reinterpret_cast<unsigned char*>(&answer[0]),
                           static_cast<int>(answer.size()));
    }

    void onDisconnected(void* conn) {
        mOut.line("server: callback \"%s\": client %s hung up; closeClient() releases its handle",
                  VORNA::Listener::msgName(MSG_DISCONNECTED), nameOf(conn).c_str());
        mListener.closeClient(conn);
        {
            std::lock_guard<std::mutex> lock(mClientsLock);
            mClients.erase(conn);
        }
        mEvents.record([this] { ++mEvents.disconnects; });
    }

    std::string nameOf(void* conn) {
        std::lock_guard<std::mutex> lock(mClientsLock);
        return mClients[conn];
    }

    const std::string mName;
    Events& mEvents;
    ToolOutput& mOut;
    VORNA::Listener mListener;
    bool mRunning = false;
    std::mutex mClientsLock;
    std::map<void*, std::string> mClients;
};

// Client A's notification callback, on its receive thread.
struct NotificationPrinter {
    Events& events;
    ToolOutput& out;

    static void onNotification(void* ctx, unsigned int code, void* data, int len) {
        NotificationPrinter* printer = static_cast<NotificationPrinter*>(ctx);
        if (data == nullptr)
            printer->out.line("A: notification code %u, value %d", code, len);
        else
            printer->out.line(
                "A: notification code %u, data %s", code,
                describeBytes(std::string(static_cast<char*>(data), static_cast<size_t>(len))).c_str());
        free(data);
        printer->events.record([printer] { ++printer->events.notifications; });
    }
};

class Demo {
  public:
    explicit Demo(ToolOutput& out)
        : mOut(out),
          mName("vorna-demo-" + std::to_string(getpid())),
          mServer(mName, mEvents, out),
          mPrinter{mEvents, out} {}

    int run() {
        const bool ok = startServer() && connectClients() && exchangeRequests() && pushNotifications() &&
                        disconnectB() && summarizeRoundTrips();
        const bool finished = finish();
        return ok && finished ? kExitOk : kExitFailure;
    }

  private:
    void step(const char* text) { mOut.line("\n-- %s", text); }

    bool fail(const char* what) {
        mOut.line("demo: %s did not happen within %d ms", what, kStepTimeoutMs);
        return false;
    }

    bool startServer() {
        step("the server starts: Listener::run() opens the socket and starts the event thread \"listener\"");
        if (!mServer.start()) {
            mOut.line("demo: the server cannot listen on '%s'", mName.c_str());
            return false;
        }
        mOut.line("server: listening on '%s'", mName.c_str());
        return true;
    }

    bool connectClients() {
        step("client A connects with a notification callback (notifier mode: a receive thread reads)");
        mClientA.reset(
            new VORNA::Connection(mName.c_str(), 0, NotificationPrinter::onNotification, &mPrinter));
        if (!mEvents.waitFor([this] { return mEvents.connects == 1; }))
            return fail("the server's MSG_CONNECTED for A");
        step("client B connects without one (direct mode: recv() reads the socket itself)");
        mClientB.reset(new VORNA::Connection(mName.c_str(), 0, nullptr, nullptr));
        if (!mEvents.waitFor([this] { return mEvents.connects == 2; }))
            return fail("the server's MSG_CONNECTED for B");
        return true;
    }

    bool exchangeRequests() {
        step("A sends a request; the answer comes back as a framed response");
        std::string answer;
        if (!roundTrip(*mClientA, "temperature?", &answer))
            return fail("A's response");
        mOut.line("A: response %s", describeBytes(answer).c_str());

        step("B sends six binary bytes; the server echoes them");
        if (!roundTrip(*mClientB, std::string("\x01\x02\x00\xfe\xff\x7f", 6), &answer))
            return fail("B's response");
        mOut.line("B: response %s", describeBytes(answer).c_str());
        return true;
    }

    bool pushNotifications() {
        void* handleA = mServer.handleOf("A");
        step("the server pushes a value notification to A: code 1 (battery level), value 87");
        mServer.listener().notify(handleA, kBatteryCode, 87u);
        if (!mEvents.waitFor([this] { return mEvents.notifications == 1; }))
            return fail("A's value notification");
        step("the server pushes a data notification to A: code 2, \"door 3 opened\"");
        char text[] = "door 3 opened";
        mServer.listener().notify(handleA, kDoorCode, text, static_cast<int>(sizeof(text) - 1));
        if (!mEvents.waitFor([this] { return mEvents.notifications == 2; }))
            return fail("A's data notification");
        return true;
    }

    bool disconnectB() {
        step("client B goes away (its destructor disconnects); the server's callback sees MSG_DISCONNECTED");
        mClientB.reset();
        if (!mEvents.waitFor([this] { return mEvents.disconnects == 1; }))
            return fail("the server's MSG_DISCONNECTED for B");
        return true;
    }

    bool summarizeRoundTrips() {
        step("round trips: A sends \"ping\" " + std::to_string(kSummaryTrips) + " times");
        std::vector<double> micros;
        std::string answer;
        for (int i = 0; i < kSummaryTrips; ++i) {
            const auto begin = std::chrono::steady_clock::now();
            if (!roundTrip(*mClientA, "ping", &answer) || answer != "ping")
                return fail("a ping's response");
            micros.push_back(
                std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - begin).count());
        }
        std::sort(micros.begin(), micros.end());
        mOut.line("summary: %d round trips, min %.0f us, median %.0f us, p99 %.0f us, max %.0f us",
                  kSummaryTrips, micros.front(), micros[micros.size() / 2], micros[micros.size() * 99 / 100],
                  micros.back());
        return true;
    }

    void step(const std::string& text) { step(text.c_str()); }

    static bool roundTrip(VORNA::Connection& client, std::string request, std::string* answer) {
        unsigned char buffer[1024];
        if (client.send(reinterpret_cast<unsigned char*>(&request[0]), static_cast<int>(request.size())) !=
            static_cast<int>(request.size()))
            return false;
        const int received = client.recv(buffer, sizeof(buffer));
        if (received < 0)
            return false;
        answer->assign(reinterpret_cast<char*>(buffer), static_cast<size_t>(received));
        return true;
    }

    bool finish() {
        step("A disconnects and the server stalls: the event thread ends and every handle is released");
        const bool aWasConnected = mClientA != nullptr;
        mClientA.reset();
        mClientB.reset();
        const bool seen =
            !aWasConnected || mEvents.waitFor([this] { return mEvents.disconnects == mEvents.connects; });
        if (!seen)
            fail("the server's MSG_DISCONNECTED for A");
        mServer.stop();
        mOut.line("demo: done");
        return seen;
    }

    ToolOutput& mOut;
    const std::string mName;
    Events mEvents;
    DemoServer mServer;
    NotificationPrinter mPrinter;
    std::unique_ptr<VORNA::Connection> mClientA;
    std::unique_ptr<VORNA::Connection> mClientB;
};

}  // namespace

int runDemo(int argc, char** argv) {
    Arguments args("demo", argc, argv, {{"--quiet", false}});
    if (args.helpWanted()) {
        fputs(kHelp, stdout);
        return kExitOk;
    }
    if (!args.finish())
        return kExitUsage;
    // Its server and clients live in this process: nobody outside waits for a clean goodbye.
    StopSignals signals;
    signals.endProcessOnStop();
    ToolOutput out(libraryLogFor(args.flag("--quiet"), LibraryLog::kStdout));
    out.line("vorna-msg demo: one server and two clients in this process. Lines in [   vorna  ] brackets");
    out.line("are the library's own log; lines starting with \"--\" say what comes next.");
    return Demo(out).run();
}
