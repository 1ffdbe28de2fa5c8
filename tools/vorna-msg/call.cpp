// vorna-msg call: one request, one response.

#include <stdio.h>
#include <stdlib.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "args.h"
#include "client_connection.h"
#include "commands.h"
#include "local_socket.h"
#include "output.h"
#include "signals.h"
#include "vorna/vorna.h"

namespace {

const char kHelp[] =
    "usage: vorna-msg call NAME DATA [--hex] [--json] [--timeout MS] [--quiet]\n"
    "\n"
    "Sends DATA as one request to the server on the abstract socket NAME and prints its response: as\n"
    "text when it is printable, otherwise (or with --hex) as a hex dump. DATA is 1 to 1024 bytes and may\n"
    "hold the escapes \\xHH, \\n, \\r, \\t, \\0 and \\\\ (write '--' before a DATA that starts with '-').\n"
    "\n"
    "options:\n"
    "  --hex          print the response as a hex dump\n"
    "  --json         print the response as one JSON object: kind, length, hex, and text when printable\n"
    "  --timeout MS   give up when no response has come within MS milliseconds (default 5000)\n"
    "  --quiet        hide the library's own log lines\n"
    "\n"
    "Exit status: 0 when a response came, 1 when none did (no server on NAME, timeout, connection\n"
    "lost), 2 for bad arguments, 130 after Ctrl-C and 143 after SIGTERM (the connection is closed\n"
    "first). The library's own log lines go to standard error.\n";

// The largest response the tool takes; the connection reports a longer one as a failure.
constexpr int kMaxResponseBytes = 1 << 20;

struct CallOptions {
    std::string name;
    std::string request;
    bool hex = false;
    bool json = false;
    bool quiet = false;
    int timeoutMs = 5000;
};

bool parseCall(Arguments& args, CallOptions* options) {
    options->name = args.socketName();
    const std::string data = args.positional("DATA");
    std::string error;
    if (args.ok() && !decodeEscapes(data, &options->request, &error))
        args.fail("DATA: " + error);
    else if (args.ok() && options->request.empty())
        args.fail("DATA must not be empty: an empty request never reaches the server");
    else if (options->request.size() > kMaxRequestBytes)
        args.fail("DATA is " + std::to_string(options->request.size()) + " bytes; the server takes at most " +
                  std::to_string(kMaxRequestBytes) + " at once");
    options->hex = args.flag("--hex");
    options->json = args.flag("--json");
    if (options->hex && options->json)
        args.fail("--hex and --json exclude each other");
    options->quiet = args.flag("--quiet");
    options->timeoutMs = static_cast<int>(args.number("--timeout", 5000, 1, 24LL * 3600 * 1000));
    return args.finish();
}

// Notifications may come while the call waits for its response; they are not what it asked for.
void dropNotification(void*, unsigned int, void* data, int) {
    free(data);
}

// Waits for the response on a thread of its own, so that the main thread stays free to notice Ctrl-C and
// the deadline. In notifier mode a recv() returns -1 once the connection is disconnected: that is how the
// wait is cut short.
class ResponseWaiter {
  public:
    explicit ResponseWaiter(VORNA::Connection& connection)
        : mBuffer(kMaxResponseBytes), mThread([this, &connection] { receive(connection); }) {}

    // Call once the wait is over: either done() or the connection is gone.
    void join() { mThread.join(); }
    bool done() const { return mDone.load(); }
    // After join(): the response's byte count, or -1.
    int received() const { return mReceived; }
    std::string response() const {
        return std::string(reinterpret_cast<const char*>(mBuffer.data()), static_cast<size_t>(mReceived));
    }

  private:
    void receive(VORNA::Connection& connection) {
        mReceived = connection.recv(mBuffer.data(), static_cast<int>(mBuffer.size()));
        mDone = true;
        StopSignals::wake();
    }

    std::vector<unsigned char> mBuffer;
    int mReceived = -1;
    std::atomic<bool> mDone{false};
    std::thread mThread;  // last: it starts once the members above exist
};

void printResponse(const std::string& response, const CallOptions& options, ToolOutput& out) {
    if (options.json) {
        out.json(JsonLine().text("kind", "response").data(response));
        return;
    }
    if (options.hex || !isPrintableText(response)) {
        fputs(hexDump(response).c_str(), out.stream());
        return;
    }
    fputs(response.c_str(), out.stream());
    if (!response.empty() && response.back() != '\n')
        fputc('\n', out.stream());
}

// How the wait for the response ended.
enum class Outcome { kAnswered, kFailed, kTimedOut, kStopped };

Outcome awaitResponse(const ResponseWaiter& waiter, int timeoutMs, StopSignals& signals) {
    const long long deadline = monotonicMs() + timeoutMs;
    for (;;) {
        const StopSignals::Event event = signals.wait(msUntil(deadline));
        if (event == StopSignals::kStop)
            return Outcome::kStopped;
        if (waiter.done())
            return Outcome::kAnswered;
        if (event == StopSignals::kTimeout)
            return Outcome::kTimedOut;
    }
}

int callServer(const CallOptions& options, StopSignals& signals, ToolOutput& out) {
    // The server listens, so this connects at once.
    ClientConnection connection(options.name.c_str(), dropNotification, nullptr);
    std::string request = options.request;
    const int sent = connection.get().send(reinterpret_cast<unsigned char*>(&request[0]),
                                           static_cast<int>(request.size()));
    if (sent != static_cast<int>(request.size())) {
        fprintf(stderr, "vorna-msg call: cannot send the request to '%s'\n", options.name.c_str());
        return kExitFailure;
    }
    ResponseWaiter waiter(connection.get());
    Outcome outcome = awaitResponse(waiter, options.timeoutMs, signals);
    connection.disconnect();  // wakes a recv() still waiting
    waiter.join();
    if (outcome == Outcome::kAnswered && waiter.received() < 0)
        outcome = Outcome::kFailed;
    switch (outcome) {
        case Outcome::kAnswered:
            printResponse(waiter.response(), options, out);
            return kExitOk;
        case Outcome::kStopped:
            return signals.stopStatus();
        case Outcome::kTimedOut:
            fprintf(stderr, "vorna-msg call: no response from '%s' within %d ms\n", options.name.c_str(),
                    options.timeoutMs);
            return kExitFailure;
        case Outcome::kFailed:
            break;
    }
    fprintf(stderr, "vorna-msg call: no response from '%s': the connection failed\n", options.name.c_str());
    return kExitFailure;
}

}  // namespace

int runCall(int argc, char** argv) {
    Arguments args("call", argc, argv,
                   {{"--hex", false}, {"--json", false}, {"--timeout", true}, {"--quiet", false}});
    CallOptions options;
    int status;
    if (!readCommandLine(args, kHelp, parseCall, &options, &status))
        return status;

    StopSignals signals;
    ToolOutput out(libraryLogFor(options.quiet, LibraryLog::kStderr));
    // Connection would try for about ten seconds before it reports a missing server.
    if (!requireListeningServer("call", options.name))
        return kExitFailure;
    return callServer(options, signals, out);
}
