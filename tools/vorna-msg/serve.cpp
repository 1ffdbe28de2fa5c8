// vorna-msg serve: a test server that shows its traffic and stands in for a missing peer.

#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <map>
#include <mutex>
#include <string>

#include "args.h"
#include "commands.h"
#include "listener_events.h"
#include "local_socket.h"
#include "output.h"
#include "signals.h"
#include "vorna/vorna.h"

namespace {

const char kHelp[] =
    "usage: vorna-msg serve NAME [--reply TEXT] [--notify-every MS [--code N] (--value V | --data TEXT)]\n"
    "                       [--quiet]\n"
    "\n"
    "A test server on the abstract socket NAME. Prints a line when a client connects, for each request\n"
    "(its size and its bytes, as text or hex) and when a client disconnects. Answers every request with\n"
    "its own bytes, or with TEXT. Ctrl-C (or SIGTERM) stops it cleanly: the server stalls, closing\n"
    "every client, then the tool ends by that signal (a shell shows status 130, or 143 after SIGTERM).\n"
    "Under a service manager (NOTIFY_SOCKET set, as for a unit of Type=notify) it reports READY=1 once it\n"
    "listens and STOPPING=1 when it stops; a listening socket handed over by socket activation is adopted.\n"
    "\n"
    "options:\n"
    "  --reply TEXT        answer every request with TEXT instead of an echo\n"
    "  --notify-every MS   push a notification to every connected client each MS milliseconds\n"
    "  --code N            the notification's code (default 1)\n"
    "  --value V           push a value notification carrying V (0 to 4294967295)\n"
    "  --data TEXT         push a data notification carrying TEXT (at most 255 bytes)\n"
    "  --quiet             hide the library's own log lines\n"
    "\n"
    "TEXT may hold the escapes \\xHH, \\n, \\r, \\t, \\0 and \\\\. The library's own log lines go to\n"
    "standard error.\n";

struct ServeOptions {
    std::string name;
    bool echo = true;
    bool quiet = false;
    std::string reply;
    long notifyEveryMs = 0;  // 0: no notifications
    unsigned code = 1;
    bool notifyData = false;
    unsigned value = 0;
    std::string data;
};

std::string escapedOption(Arguments& args, const char* name) {
    std::string bytes;
    std::string error;
    if (!decodeEscapes(args.text(name, ""), &bytes, &error))
        args.fail(std::string(name) + ": " + error);
    return bytes;
}

void parseNotification(Arguments& args, ServeOptions* options) {
    if (!args.has("--notify-every")) {
        if (args.has("--code") || args.has("--value") || args.has("--data"))
            args.fail("--code, --value and --data need --notify-every");
        return;
    }
    options->notifyEveryMs = static_cast<long>(args.number("--notify-every", 0, 1, 3600 * 1000));
    options->code = static_cast<unsigned>(args.number("--code", 1, 0, 0xffffffffLL));
    if (args.has("--value") == args.has("--data")) {
        args.fail("--notify-every wants one of --value and --data");
        return;
    }
    options->notifyData = args.has("--data");
    if (options->notifyData) {
        options->data = escapedOption(args, "--data");
        if (options->data.size() > kMaxNotifyBytes)
            args.fail("--data carries at most " + std::to_string(kMaxNotifyBytes) + " bytes");
    } else {
        options->value = static_cast<unsigned>(args.number("--value", 0, 0, 0xffffffffLL));
    }
}

bool parseServe(Arguments& args, ServeOptions* options) {
    options->name = args.socketName();
    if (args.has("--reply")) {
        options->echo = false;
        options->reply = escapedOption(args, "--reply");
    }
    parseNotification(args, options);
    options->quiet = args.flag("--quiet");
    return args.finish();
}

// Serves one name: numbers the clients in the order they come and logs what each does.
class TestServer {
  public:
    TestServer(const ServeOptions& options, ToolOutput& out)
        : mOptions(options), mOut(out), mListener(mOptions.name.c_str(), 0) {
        mListener.setMsgCbk(dispatchListenerEvent<TestServer>, this);
    }

    bool start() { return mListener.run() == 0; }
    void stop() { mListener.stall(); }

    void pushNotification() {
        // A handle is valid only until closeClient(): under the lock none is released while in use here.
        std::lock_guard<std::mutex> lock(mClientsLock);
        int reached = 0;
        for (const auto& client : mClients) {
            if (sendNotification(client.first) >= 0)
                ++reached;
            else
                mOut.line("%s client %d: notification failed", now().c_str(), client.second);
        }
        if (reached > 0)
            mOut.line("%s notified %d client%s: code %u, %s", now().c_str(), reached, reached == 1 ? "" : "s",
                      mOptions.code, notificationText().c_str());
    }

  private:
    friend void dispatchListenerEvent<TestServer>(void* ctx, void* conn, int type, unsigned char* data,
                                                  int len);

    void onConnected(void* conn) {
        std::lock_guard<std::mutex> lock(mClientsLock);
        const int number = mNextNumber++;
        mClients[conn] = number;
        mOut.line("%s client %d connected", now().c_str(), number);
    }

    void onRequest(void* conn, const std::string& request) {
        const int number = clientNumber(conn);
        mOut.line("%s client %d request, %zu byte%s: %s", now().c_str(), number, request.size(),
                  request.size() == 1 ? "" : "s", describeBytes(request).c_str());
        std::string answer = mOptions.echo ? request : mOptions.reply;
        if (mListener.response(conn, reinterpret_cast<unsigned char*>(&answer[0]),
                               static_cast<int>(answer.size())) < 0)
            mOut.line("%s client %d: response failed", now().c_str(), number);
    }

    void onDisconnected(void* conn) {
        std::lock_guard<std::mutex> lock(mClientsLock);
        mOut.line("%s client %d disconnected", now().c_str(), mClients[conn]);
        mClients.erase(conn);
        mListener.closeClient(conn);
    }

    int clientNumber(void* conn) {
        std::lock_guard<std::mutex> lock(mClientsLock);
        return mClients[conn];
    }

    int sendNotification(void* conn) {
        if (!mOptions.notifyData)
            return mListener.notify(conn, mOptions.code, mOptions.value);
        std::string body = mOptions.data;
        return mListener.notify(conn, mOptions.code, &body[0], static_cast<int>(body.size()));
    }

    std::string notificationText() const {
        if (!mOptions.notifyData)
            return "value " + std::to_string(mOptions.value);
        return "data " + describeBytes(mOptions.data);
    }

    static std::string now() { return clockText(SystemTime::getUs()); }

    const ServeOptions& mOptions;
    ToolOutput& mOut;
    VORNA::Listener mListener;
    std::mutex mClientsLock;
    std::map<void*, int> mClients;  // handle -> the number the client is shown by
    int mNextNumber = 1;
};

// Sends one state line ("READY=1") to the service manager when it asked for them: NOTIFY_SOCKET names a
// datagram socket, a path or, after '@', an abstract name. Without that variable there is no one to tell.
void tellServiceManager(const char* state) {
    const char* target = getenv("NOTIFY_SOCKET");
    if (target == nullptr || target[0] == '\0')
        return;
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    const size_t length = strlen(target);
    if (length >= sizeof address.sun_path) {
        fprintf(stderr, "vorna-msg serve: NOTIFY_SOCKET is too long\n");
        return;
    }
    memcpy(address.sun_path, target, length);
    if (target[0] == '@')
        address.sun_path[0] = '\0';
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const socklen_t addressLength = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
    if (fd < 0 || sendto(fd, state, strlen(state), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&address),
                         addressLength) < 0)
        perror("vorna-msg serve: cannot notify the service manager");
    if (fd >= 0)
        close(fd);
}

// True when the service manager passed this process its sockets (socket activation): the one listening
// on the name is then the server's own, to adopt, not a rival's.
bool handedSockets() {
    const char* pid = getenv("LISTEN_PID");
    return pid != nullptr && atol(pid) == static_cast<long>(getpid());
}

int serveUntilStopped(TestServer& server, const ServeOptions& options, StopSignals& signals,
                      ToolOutput& out) {
    const int tickMs = options.notifyEveryMs > 0 ? static_cast<int>(options.notifyEveryMs) : -1;
    while (signals.wait(tickMs) != StopSignals::kStop) {
        if (tickMs > 0)
            server.pushNotification();
    }
    tellServiceManager("STOPPING=1");
    out.line("stopping: stall");
    server.stop();
    out.line("stopped");
    return signals.stopStatus();
}

int serve(const ServeOptions& options) {
    StopSignals signals;
    ToolOutput out(libraryLogFor(options.quiet, LibraryLog::kStderr));
    if (!handedSockets() && isServerListening(options.name)) {
        fprintf(stderr, "vorna-msg serve: a server already listens on '%s'\n", options.name.c_str());
        return kExitFailure;
    }
    TestServer server(options, out);
    if (!server.start()) {
        fprintf(stderr, "vorna-msg serve: cannot serve on '%s'\n", options.name.c_str());
        return kExitFailure;
    }
    out.line("serving on '%s' (Ctrl-C stops)", options.name.c_str());
    tellServiceManager("READY=1");
    return serveUntilStopped(server, options, signals, out);
}

}  // namespace

int runServe(int argc, char** argv) {
    Arguments args("serve", argc, argv,
                   {{"--reply", true},
                    {"--notify-every", true},
                    {"--code", true},
                    {"--value", true},
                    {"--data", true},
                    {"--quiet", false}});
    ServeOptions options;
    int status;
    if (!readCommandLine(args, kHelp, parseServe, &options, &status))
        return status;
    // Everything is shut down and released once serve() returns: only then may the signal end the process.
    return endByStopSignal(serve(options));
}
