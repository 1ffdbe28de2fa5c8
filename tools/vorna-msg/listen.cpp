// vorna-msg listen: prints the notifications a server pushes.

#include <stdio.h>
#include <stdlib.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "args.h"
#include "commands.h"
#include "local_socket.h"
#include "output.h"
#include "signals.h"
#include "vorna/vorna.h"

namespace {

const char kHelp[] =
    "usage: vorna-msg listen NAME [--count N]\n"
    "\n"
    "Connects to the server on the abstract socket NAME in notifier mode and prints each notification it\n"
    "pushes: the time it arrived, its code, and its value or its data (as text or hex). Runs until Ctrl-C\n"
    "or, with --count, until N notifications have come (exit status 0). Exit status 1 when there is no\n"
    "server on NAME or the server goes away; 2 for bad arguments.\n"
    "\n"
    "options:\n"
    "  --count N   stop after N notifications\n"
    "\n"
    "The library's own log lines go to standard error.\n";

struct ListenOptions {
    std::string name;
    long count = 0;  // 0: until Ctrl-C
};

// Prints notifications on the connection's receive thread and tells the main thread when it is done.
class Printer {
  public:
    Printer(const std::string& name, long count, ToolOutput& out) : mName(name), mCount(count), mOut(out) {}

    // Says that the connection is up. A notification can come before the main thread gets to say so;
    // the line still comes first.
    void announce() {
        std::lock_guard<std::mutex> lock(mLock);
        announceLocked();
    }

    static void onNotification(void* ctx, unsigned int code, void* data, int len) {
        static_cast<Printer*>(ctx)->print(code, data, len);
        free(data);
    }

    bool done() const { return mCount > 0 && mReceived.load() >= mCount; }

  private:
    void announceLocked() {
        if (!mAnnounced)
            mOut.line("listening to '%s' (Ctrl-C stops)", mName.c_str());
        mAnnounced = true;
    }

    void print(unsigned int code, void* data, int len) {
        std::lock_guard<std::mutex> lock(mLock);
        if (done())
            return;
        announceLocked();
        const std::string time = clockText(SystemTime::getUs());
        if (data == nullptr) {
            mOut.line("%s code %u value %u", time.c_str(), code, static_cast<unsigned>(len));
        } else {
            const std::string body(static_cast<char*>(data), static_cast<size_t>(len));
            mOut.line("%s code %u data, %d byte%s: %s", time.c_str(), code, len, len == 1 ? "" : "s",
                      describeBytes(body).c_str());
        }
        if (++mReceived == mCount)
            StopSignals::wake();
    }

    const std::string mName;
    const long mCount;
    ToolOutput& mOut;
    std::mutex mLock;
    bool mAnnounced = false;
    std::atomic<long> mReceived{0};
};

// In notifier mode recv() returns -1 once the connection is lost, so a thread parked in it notices a
// server that goes away. The listener sends no requests, so no response ever comes.
class LossWatcher {
  public:
    explicit LossWatcher(VORNA::Connection& connection)
        : mThread([this, &connection] { watch(connection); }) {}

    // Call once the connection is gone: its disconnect() wakes the parked recv().
    void join() { mThread.join(); }
    bool lost() const { return mLost.load(); }
    void stopping() { mStopping = true; }

  private:
    void watch(VORNA::Connection& connection) {
        unsigned char unexpected[64];
        while (connection.recv(unexpected, sizeof(unexpected)) >= 0) {
        }
        if (!mStopping.load()) {
            mLost = true;
            StopSignals::wake();
        }
    }

    std::atomic<bool> mLost{false};
    std::atomic<bool> mStopping{false};
    std::thread mThread;  // last: it starts once the flags exist
};

bool parseListen(Arguments& args, ListenOptions* options) {
    options->name = args.socketName();
    options->count = static_cast<long>(args.number("--count", 0, 1, 1L << 30));
    return args.finish();
}

int listenUntilDone(const ListenOptions& options, StopSignals& signals, ToolOutput& out) {
    Printer printer(options.name, options.count, out);
    std::unique_ptr<VORNA::Connection> connection(
        new VORNA::Connection(options.name.c_str(), 0, Printer::onNotification, &printer));
    LossWatcher watcher(*connection);
    printer.announce();
    while (signals.wait(-1) == StopSignals::kWake && !printer.done() && !watcher.lost()) {
    }
    watcher.stopping();
    // The destructor disconnects, which wakes the watcher. An explicit disconnect() first would make the
    // destructor log an error for the connection that is already gone.
    connection.reset();
    watcher.join();
    if (watcher.lost() && !printer.done()) {
        fprintf(stderr, "vorna-msg listen: the connection to '%s' was lost\n", options.name.c_str());
        return kExitFailure;
    }
    return kExitOk;
}

}  // namespace

int runListen(int argc, char** argv) {
    Arguments args("listen", argc, argv, {{"--count", true}});
    ListenOptions options;
    int status;
    if (!readCommandLine(args, kHelp, parseListen, &options, &status))
        return status;

    StopSignals signals;
    ToolOutput out(LibraryLog::kStderr);
    if (!requireListeningServer("listen", options.name))
        return kExitFailure;
    return listenUntilDone(options, signals, out);
}
