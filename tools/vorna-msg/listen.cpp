// vorna-msg listen: prints the notifications a server pushes.

#include <stdio.h>
#include <stdlib.h>

#include <atomic>
#include <mutex>
#include <string>

#include "args.h"
#include "commands.h"
#include "connect_wait.h"
#include "output.h"
#include "signals.h"
#include "vorna/vorna.h"

namespace {

const char kHelp[] =
    "usage: vorna-msg listen NAME [--count N] [--json] [--reconnect] [--timeout MS] [--quiet]\n"
    "\n"
    "Connects to the server on the abstract socket NAME in notifier mode and prints each notification it\n"
    "pushes: the time it arrived, its code, and its value or its data (as text or hex). Runs until Ctrl-C\n"
    "or, with --count, until N notifications have come (exit status 0).\n"
    "\n"
    "options:\n"
    "  --count N       stop after N notifications\n"
    "  --json          one JSON object per line: kind (listening, value, data, lost, back), time_us, code,\n"
    "                  and value, or length, hex and (when printable) text\n"
    "  --reconnect     when the server goes away, wait for it to come back and listen on; one line per\n"
    "                  loss and per return\n"
    "  --timeout MS    how long to wait for the server to listen: at the start (default: not at all) and,\n"
    "                  with --reconnect, after each loss (default 30000)\n"
    "  --quiet         hide the library's own log lines\n"
    "\n"
    "Exit status: 0 after N notifications; 1 when no server listens on NAME in time or the server goes\n"
    "away (without --reconnect); 2 for bad arguments; 130 after Ctrl-C and 143 after SIGTERM (the\n"
    "connection is closed first). The library's own log lines go to standard error.\n";

constexpr int kDefaultReturnWaitMs = 30000;

struct ListenOptions {
    std::string name;
    long count = 0;  // 0: until Ctrl-C
    bool json = false;
    bool quiet = false;
    bool reconnect = false;
    int startWaitMs = 0;
    int returnWaitMs = kDefaultReturnWaitMs;
};

// Prints notifications on the connection's receive thread, and the connection's comings and goings on
// the main thread, and tells the main thread when it is done.
class Printer {
  public:
    Printer(const ListenOptions& options, ToolOutput& out) : mOptions(options), mOut(out) {}

    // Names the line that the next connection opens with ("listening", "back"). A notification can come
    // before the main thread gets to say that the connection is up; the line still comes first.
    void expectConnection(const char* kind) {
        std::lock_guard<std::mutex> lock(mLock);
        mPendingAnnouncement = kind;
    }
    void announce() {
        std::lock_guard<std::mutex> lock(mLock);
        announceLocked();
    }
    void lost() {
        std::lock_guard<std::mutex> lock(mLock);
        if (mOptions.json)
            mOut.json(JsonLine().text("kind", "lost").text("name", mOptions.name));
        else
            mOut.line("lost '%s'; waiting up to %d ms for it to come back", mOptions.name.c_str(),
                      mOptions.returnWaitMs);
    }

    static void onNotification(void* ctx, unsigned int code, void* data, int len) {
        static_cast<Printer*>(ctx)->print(code, data, len);
        free(data);
    }

    bool done() const { return mOptions.count > 0 && mReceived.load() >= mOptions.count; }

  private:
    void announceLocked() {
        if (mPendingAnnouncement == nullptr)
            return;
        const std::string kind = mPendingAnnouncement;
        mPendingAnnouncement = nullptr;
        if (mOptions.json)
            mOut.json(JsonLine().text("kind", kind).text("name", mOptions.name));
        else if (kind == "listening")
            mOut.line("listening to '%s' (Ctrl-C stops)", mOptions.name.c_str());
        else
            mOut.line("'%s' is back; listening again", mOptions.name.c_str());
    }

    void print(unsigned int code, void* data, int len) {
        std::lock_guard<std::mutex> lock(mLock);
        if (done())
            return;
        announceLocked();
        const int64_t now = SystemTime::getUs();
        if (mOptions.json)
            printJson(now, code, data, len);
        else
            printText(now, code, data, len);
        if (++mReceived == mOptions.count)
            StopSignals::wake();
    }

    void printText(int64_t now, unsigned int code, void* data, int len) {
        const std::string time = clockText(now);
        if (data == nullptr) {
            mOut.line("%s code %u value %u", time.c_str(), code, static_cast<unsigned>(len));
        } else {
            const std::string body(static_cast<char*>(data), static_cast<size_t>(len));
            mOut.line("%s code %u data, %d byte%s: %s", time.c_str(), code, len, len == 1 ? "" : "s",
                      describeBytes(body).c_str());
        }
    }

    void printJson(int64_t now, unsigned int code, void* data, int len) {
        JsonLine line;
        line.text("kind", data == nullptr ? "value" : "data").number("time_us", now).number("code", code);
        if (data == nullptr)
            line.number("value", static_cast<unsigned>(len));
        else
            line.data(std::string(static_cast<char*>(data), static_cast<size_t>(len)));
        mOut.json(line);
    }

    const ListenOptions& mOptions;
    ToolOutput& mOut;
    std::mutex mLock;
    const char* mPendingAnnouncement = nullptr;
    std::atomic<long> mReceived{0};
};

// Told by the connection's receive thread when the server goes away; wakes the main thread.
class LossFlag {
  public:
    static void onLoss(void* ctx) {
        static_cast<LossFlag*>(ctx)->mLost = true;
        StopSignals::wake();
    }
    bool lost() const { return mLost.load(); }

  private:
    std::atomic<bool> mLost{false};
};

bool parseListen(Arguments& args, ListenOptions* options) {
    options->name = args.socketName();
    options->count = static_cast<long>(args.number("--count", 0, 1, 1L << 30));
    options->json = args.flag("--json");
    options->quiet = args.flag("--quiet");
    options->reconnect = args.flag("--reconnect");
    const int timeoutMs = static_cast<int>(args.number("--timeout", -1, 0, 24LL * 3600 * 1000));
    if (timeoutMs >= 0)
        options->startWaitMs = options->returnWaitMs = timeoutMs;
    return args.finish();
}

enum class Ending { kDone, kStopped, kLost, kTimedOut };

// Waits up to `waitMs` for the server, then listens on that connection until it is lost, the count is
// reached or a stop signal comes.
Ending listenOnce(const ListenOptions& options, int waitMs, Printer& printer, StopSignals& signals,
                  ToolOutput& out) {
    LossFlag loss;  // outlives the connection, whose receive thread may report a loss until it ends
    ServerConnection server(options.name, Printer::onNotification, &printer, out);
    VORNA::Connection& connection = server.get();
    connection.setLossCbk(LossFlag::onLoss, &loss);
    switch (server.connectWithin(waitMs, signals)) {
        case ConnectOutcome::kConnected:
            break;
        case ConnectOutcome::kStopped:
            return Ending::kStopped;
        case ConnectOutcome::kTimedOut:
            return Ending::kTimedOut;
    }
    printer.announce();
    StopSignals::Event event;
    while ((event = signals.wait(-1)) == StopSignals::kWake && !printer.done() && !loss.lost()) {
    }
    if (event == StopSignals::kStop)
        return Ending::kStopped;
    return printer.done() ? Ending::kDone : Ending::kLost;
}

int listenUntilDone(const ListenOptions& options, StopSignals& signals, ToolOutput& out) {
    Printer printer(options, out);
    printer.expectConnection("listening");
    Ending ending = listenOnce(options, options.startWaitMs, printer, signals, out);
    while (ending == Ending::kLost && options.reconnect) {
        printer.lost();
        printer.expectConnection("back");
        ending = listenOnce(options, options.returnWaitMs, printer, signals, out);
    }
    switch (ending) {
        case Ending::kDone:
            return kExitOk;
        case Ending::kStopped:
            return signals.stopStatus();
        case Ending::kLost:
            fprintf(stderr, "vorna-msg listen: the connection to '%s' was lost\n", options.name.c_str());
            return kExitFailure;
        case Ending::kTimedOut:
            break;
    }
    fprintf(stderr, "vorna-msg listen: no server is listening on '%s'\n", options.name.c_str());
    return kExitFailure;
}

}  // namespace

int runListen(int argc, char** argv) {
    Arguments args("listen", argc, argv,
                   {{"--count", true},
                    {"--json", false},
                    {"--reconnect", false},
                    {"--timeout", true},
                    {"--quiet", false}});
    ListenOptions options;
    int status;
    if (!readCommandLine(args, kHelp, parseListen, &options, &status))
        return status;

    StopSignals signals;
    ToolOutput out(libraryLogFor(options.quiet, LibraryLog::kStderr));
    return listenUntilDone(options, signals, out);
}
