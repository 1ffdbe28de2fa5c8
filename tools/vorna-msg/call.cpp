// vorna-msg call: one request, one response.

#include <stdio.h>
#include <stdlib.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "args.h"
#include "commands.h"
#include "local_socket.h"
#include "output.h"
#include "vorna/vorna.h"

namespace {

const char kHelp[] =
    "usage: vorna-msg call NAME DATA [--hex] [--timeout MS]\n"
    "\n"
    "Sends DATA as one request to the server on the abstract socket NAME and prints its response: as\n"
    "text when it is printable, otherwise (or with --hex) as a hex dump. DATA is 1 to 1024 bytes and may\n"
    "hold the escapes \\xHH, \\n, \\r, \\t, \\0 and \\\\ (write '--' before a DATA that starts with '-').\n"
    "\n"
    "options:\n"
    "  --hex          print the response as a hex dump\n"
    "  --timeout MS   give up when no response has come within MS milliseconds (default 5000)\n"
    "\n"
    "Exit status: 0 when a response came, 1 when none did (no server on NAME, timeout, connection\n"
    "lost), 2 for bad arguments. The library's own log lines go to standard error.\n";

// The largest response the tool takes; the connection reports a longer one as a failure.
constexpr int kMaxResponseBytes = 1 << 20;

struct CallOptions {
    std::string name;
    std::string request;
    bool hex = false;
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
    options->timeoutMs = static_cast<int>(args.number("--timeout", 5000, 1, 24LL * 3600 * 1000));
    return args.finish();
}

// Notifications may come while the call waits for its response; they are not what it asked for.
void dropNotification(void*, unsigned int, void* data, int) {
    free(data);
}

// Disconnects the connection when the deadline passes before disarm(): a recv() in notifier mode then
// returns -1, which is how a wait for a response is bounded.
class Watchdog {
  public:
    Watchdog(VORNA::Connection& connection, std::chrono::steady_clock::time_point deadline)
        : mThread([this, &connection, deadline] { watch(connection, deadline); }) {}

    // Stops watching; returns true when the deadline had passed and the connection was cut.
    bool disarm() {
        {
            std::lock_guard<std::mutex> lock(mLock);
            mDisarmed = true;
        }
        mWake.notify_one();
        mThread.join();
        return mFired;
    }

  private:
    void watch(VORNA::Connection& connection, std::chrono::steady_clock::time_point deadline) {
        std::unique_lock<std::mutex> lock(mLock);
        if (mWake.wait_until(lock, deadline, [this] { return mDisarmed; }))
            return;
        mFired = true;
        lock.unlock();
        connection.disconnect();
    }

    std::mutex mLock;
    std::condition_variable mWake;
    bool mDisarmed = false;
    bool mFired = false;
    std::thread mThread;  // last: it starts once the members above exist
};

void printResponse(const std::string& response, bool hex, ToolOutput& out) {
    if (hex || !isPrintableText(response)) {
        fputs(hexDump(response).c_str(), out.stream());
        return;
    }
    fputs(response.c_str(), out.stream());
    if (!response.empty() && response.back() != '\n')
        fputc('\n', out.stream());
}

int callServer(const CallOptions& options, ToolOutput& out) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(options.timeoutMs);
    VORNA::Connection connection(options.name.c_str(), 0, dropNotification, nullptr);
    std::string request = options.request;
    const int sent =
        connection.send(reinterpret_cast<unsigned char*>(&request[0]), static_cast<int>(request.size()));
    if (sent != static_cast<int>(request.size())) {
        fprintf(stderr, "vorna-msg call: cannot send the request to '%s'\n", options.name.c_str());
        return kExitFailure;
    }
    std::vector<unsigned char> buffer(kMaxResponseBytes);
    Watchdog watchdog(connection, deadline);
    const int received = connection.recv(buffer.data(), static_cast<int>(buffer.size()));
    const bool timedOut = watchdog.disarm();
    if (received >= 0) {
        printResponse(std::string(reinterpret_cast<char*>(buffer.data()), static_cast<size_t>(received)),
                      options.hex, out);
        return kExitOk;
    }
    if (timedOut)
        fprintf(stderr, "vorna-msg call: no response from '%s' within %d ms\n", options.name.c_str(),
                options.timeoutMs);
    else
        fprintf(stderr, "vorna-msg call: no response from '%s': the connection failed\n",
                options.name.c_str());
    return kExitFailure;
}

}  // namespace

int runCall(int argc, char** argv) {
    Arguments args("call", argc, argv, {{"--hex", false}, {"--timeout", true}});
    CallOptions options;
    int status;
    if (!readCommandLine(args, kHelp, parseCall, &options, &status))
        return status;

    ToolOutput out(LibraryLog::kStderr);
    // Connection would try for about ten seconds before it reports a missing server.
    if (!requireListeningServer("call", options.name))
        return kExitFailure;
    return callServer(options, out);
}
