// vorna-msg call: one request, one response.

#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <string>
#include <vector>

#include "args.h"
#include "commands.h"
#include "connect_wait.h"
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
// What a bounded recv() returns when no response has begun in time.
constexpr int kTimedOutResult = -110;

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

// Waits in slices, so that a stop signal is seen between them; a response that begins within a slice is
// read whole, and one that comes later stays on the connection for the next slice.
Outcome awaitResponse(VORNA::Connection& connection, std::vector<unsigned char>& buffer, int timeoutMs,
                      StopSignals& signals, int* received) {
    const long long deadline = monotonicMs() + timeoutMs;
    for (;;) {
        const int left = msUntil(deadline);
        *received =
            connection.recv(buffer.data(), static_cast<int>(buffer.size()), std::min(left, kWaitSliceMs));
        if (*received >= 0)
            return Outcome::kAnswered;
        if (*received != kTimedOutResult)
            return Outcome::kFailed;
        if (signals.wait(0) == StopSignals::kStop)
            return Outcome::kStopped;
        if (left <= kWaitSliceMs)
            return Outcome::kTimedOut;
    }
}

int callServer(const CallOptions& options, StopSignals& signals, ToolOutput& out) {
    ServerConnection server(options.name, dropNotification, nullptr, out);
    VORNA::Connection& connection = server.get();
    switch (server.connectWithin(0, signals)) {
        case ConnectOutcome::kConnected:
            break;
        case ConnectOutcome::kStopped:
            return signals.stopStatus();
        case ConnectOutcome::kTimedOut:
            fprintf(stderr, "vorna-msg call: no server is listening on '%s'\n", options.name.c_str());
            return kExitFailure;
    }
    std::string request = options.request;
    const int sent =
        connection.send(reinterpret_cast<unsigned char*>(&request[0]), static_cast<int>(request.size()));
    if (sent != static_cast<int>(request.size())) {
        fprintf(stderr, "vorna-msg call: cannot send the request to '%s'\n", options.name.c_str());
        return kExitFailure;
    }
    std::vector<unsigned char> buffer(kMaxResponseBytes);
    int received;
    switch (awaitResponse(connection, buffer, options.timeoutMs, signals, &received)) {
        case Outcome::kAnswered:
            printResponse(
                std::string(reinterpret_cast<const char*>(buffer.data()), static_cast<size_t>(received)),
                options, out);
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
    return callServer(options, signals, out);
}
