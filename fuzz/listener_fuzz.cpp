// Raw clients connect, write arbitrary bytes, half-close, hang up, read or leave their replies unread,
// against one VORNA::Listener that serves every input (persistent: it is reset between inputs, not
// restarted). Its callback answers, notifies, pushes to everyone and closes clients; the fuzz thread also
// notifies, pushes and closes clients, reuses handles it has closed, lowers the descriptor limit and
// restarts the server. Nothing may crash, leak or hang; every client reads only whole, well-formed
// messages (a client the server broke may see the last one cut short before its end of stream); a closed
// handle is refused with -2 and never reaches anyone.
//
// The fuzzing build gives the server's client sockets a small send buffer and sends that never wait: a
// client that is not read breaks as soon as its socket is full, as it would after the send timeout, and
// costs the fuzzer no time.
//
// Input: a script of one-byte operations (low 4 bits: the operation, high 4 bits: its argument); a write
// takes its length from the next byte and its bytes from the ones after it. A restart takes effect only in
// the inputs that their checksum picks (see kRestartOneIn).

#include <errno.h>
#include <sched.h>
#include <stdint.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "vorna/messaging.h"

namespace {

const int kClients = 8;
const size_t kMaxOperations = 512;
const int32_t kMaxResponseBody = 16 * 1024;
const int32_t kMaxNotifyBody = 255;
const size_t kClosedHandlesKept = 64;
// A notification code that only calls on closed handles send: no client may ever read it.
const uint32_t kStaleCode = 0x5ea1ed;
const int kSettleTimeoutMs = 10000;

enum Operation {
    CONNECT,
    WRITE,
    CLOSE,
    HALF_CLOSE,
    READ,
    SERVER_NOTIFY,
    SERVER_CLOSE,
    RESTART,
    REUSE_CLOSED,
    NOTIFY_ALL,
    LIMIT_DESCRIPTORS,
    OPERATION_COUNT
};

// The callback's reply to a request, chosen by the request's first byte.
enum Reply {
    ECHO,
    EMPTY_RESPONSE,
    NOTIFY_VALUE,
    NOTIFY_DATA,
    CLOSE_CLIENT,
    NOTHING,
    PUSH_TO_ALL,
    REPLY_COUNT
};
// A response larger than a client socket holds: it always breaks the client (the client reads only between
// steps), so only one first byte asks for it.
const unsigned char kBigResponseByte = 0xb1;

// The server and what it has reported, shared by the callback and the fuzz thread. One for the whole run.
struct Server {
    VORNA::Listener* listener = nullptr;
    std::mutex lock;
    std::condition_variable changed;
    std::vector<void*> live;      // reported and not yet closed
    std::deque<void*> closed;     // closed or released by stall(), most recent last
    size_t connectsAccepted = 0;  // MSG_CONNECTED reports since the last (re)start
    size_t connectsMade = 0;      // successful connect() calls since the last (re)start

    void add(void* handle) {
        std::lock_guard<std::mutex> hold(lock);
        live.push_back(handle);
        ++connectsAccepted;
        changed.notify_all();
    }
    void forgetLocked(void* handle) {
        const auto found = std::find(live.begin(), live.end(), handle);
        if (found == live.end())
            return;
        live.erase(found);
        closed.push_back(handle);
        if (closed.size() > kClosedHandlesKept)
            closed.pop_front();
    }
    // A handle of `from` (live or closed) chosen by `choice`, or null when there is none.
    template <typename Handles>
    void* pick(const Handles& from, unsigned int choice) {
        std::lock_guard<std::mutex> hold(lock);
        return from.empty() ? NULL : from[choice % from.size()];
    }
    // From a callback, -2 while stall() runs: the callbacks of the batch under way still come.
    void close(void* handle, bool fromCallback = false) {
        const int result = listener->closeClient(handle);
        FUZZ_CHECK(result == 0 || (fromCallback && result == -2));
        std::lock_guard<std::mutex> hold(lock);
        forgetLocked(handle);
        changed.notify_all();
    }
};

Server gServer;
std::string gName;
rlimit gDescriptorLimit;

void reply(void* conn, unsigned char* data, int len) {
    static unsigned char big[kMaxResponseBody];
    VORNA::Listener* listener = gServer.listener;
    if (data[0] == kBigResponseByte) {
        listener->response(conn, big, kMaxResponseBody);
        return;
    }
    switch (data[0] % REPLY_COUNT) {
        case ECHO:
            FUZZ_CHECK(listener->response(conn, data, len) >= -3);
            break;
        case EMPTY_RESPONSE:
            listener->response(conn, NULL, 0);
            break;
        case NOTIFY_VALUE:
            listener->notify(conn, data[0], static_cast<unsigned int>(len));
            break;
        case NOTIFY_DATA:
            listener->notify(conn, data[0], data, std::min(len, static_cast<int>(kMaxNotifyBody)));
            break;
        case CLOSE_CLIENT:
            gServer.close(conn, true);
            break;
        case PUSH_TO_ALL:
            // -1 while stall() runs: the callbacks of the batch under way still come.
            FUZZ_CHECK(listener->notifyAll(data[0], data, std::min(len, static_cast<int>(kMaxNotifyBody))) >=
                       -1);
            break;
        default:
            break;
    }
}

void onMessage(void*, void* conn, int type, unsigned char* data, int len) {
    FUZZ_CHECK(conn != NULL);
    switch (type) {
        case MSG_CONNECTED:
            FUZZ_CHECK(data == NULL && len == 0);
            gServer.add(conn);
            break;
        case MSG_RECV:
            FUZZ_CHECK(data != NULL && len >= 1 && len <= 1024);
            reply(conn, data, len);
            break;
        case MSG_DISCONNECTED:
            FUZZ_CHECK(data == NULL && len == 0);
            gServer.close(conn, true);
            break;
        default:
            FUZZ_CHECK(!"unknown message type");
    }
}

// A raw client and the bytes it has read that do not yet make a whole message.
struct Client {
    int fd = -1;
    std::string pending;
};

Client gClients[kClients];

// Checks and drops every whole message at the front of `pending`.
void checkMessages(std::string* pending) {
    while (pending->size() >= sizeof(MsgHeader)) {
        MsgHeader header;
        memcpy(&header, pending->data(), sizeof(header));
        FUZZ_CHECK(header.magic == MSG_HEADER_MAGIC);
        FUZZ_CHECK(header.reserved0 == 0 && header.reserved1 == 0);
        FUZZ_CHECK(header.msg != kStaleCode);
        size_t body = 0;
        if (header.id == HEADER_ID_RESPONSE) {
            FUZZ_CHECK(header.msg == 0 && header.len >= 0 && header.len <= kMaxResponseBody);
            body = static_cast<size_t>(header.len);
        } else if (header.id == HEADER_ID_NOTIFY_DATA) {
            FUZZ_CHECK(header.len >= 0 && header.len <= kMaxNotifyBody);
            body = static_cast<size_t>(header.len);
        } else {
            FUZZ_CHECK(header.id == HEADER_ID_NOTIFY);
        }
        if (pending->size() < sizeof(header) + body)
            return;
        pending->erase(0, sizeof(header) + body);
    }
}

// Reads what has arrived without waiting.
void drain(Client* client) {
    if (client->fd < 0)
        return;
    char buffer[4096];
    for (;;) {
        const ssize_t got = recv(client->fd, buffer, sizeof(buffer), MSG_DONTWAIT);
        if (got <= 0)
            return;
        client->pending.append(buffer, static_cast<size_t>(got));
        checkMessages(&client->pending);
    }
}

void closeClient(Client* client) {
    if (client->fd >= 0) {
        drain(client);
        close(client->fd);
    }
    client->fd = -1;
    client->pending.clear();
}

// Never blocks: with the server's accepts paused a full backlog refuses the client at once.
int connectWithoutWaiting() {
    const int fd = raw_peer::connectTo(gName, SOCK_NONBLOCK);
    if (fd < 0)
        return -1;
    std::lock_guard<std::mutex> hold(gServer.lock);
    ++gServer.connectsMade;
    return fd;
}

void startServer() {
    FUZZ_CHECK(gServer.listener->run() == 0);
}

// stall() drops the clients still in the backlog and releases every handle without a callback. run()
// needs descriptors of its own: the limit is lifted first.
void restartServer() {
    setrlimit(RLIMIT_NOFILE, &gDescriptorLimit);
    FUZZ_CHECK(gServer.listener->stall() == 0);
    {
        std::lock_guard<std::mutex> hold(gServer.lock);
        while (!gServer.live.empty())
            gServer.forgetLocked(gServer.live.back());
        gServer.connectsMade = gServer.connectsAccepted = 0;
    }
    startServer();
}

// Waits until the server has accepted every client that connected and closed every handle.
void waitUntilSettled() {
    std::unique_lock<std::mutex> hold(gServer.lock);
    FUZZ_CHECK(gServer.changed.wait_for(hold, std::chrono::milliseconds(kSettleTimeoutMs), [] {
        return gServer.connectsAccepted == gServer.connectsMade && gServer.live.empty();
    }));
}

// A record closed by the callback is freed once the event thread has left that callback, a few steps
// after the callback's report that settled the server.
bool descriptorsReturnTo(size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kSettleTimeoutMs);
    while (fuzz::openDescriptorCount() != count) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        sched_yield();
    }
    return true;
}

// A restart (a new event thread) costs as much as a hundred inputs. So it happens at most once per input,
// and only in one input of kRestartOneIn that ask for it, chosen by the input's checksum: mutating an input
// that restarts mostly yields one that does not, while a crash still reproduces from its input alone.
const uint32_t kRestartOneIn = 16;

uint32_t checksum(const uint8_t* data, size_t size) {
    uint32_t hash = 2166136261u;
    for (size_t i = 0; i < size; ++i)
        hash = (hash ^ data[i]) * 16777619u;
    return hash;
}

// Runs the script.
class Script {
  public:
    Script(const uint8_t* data, size_t size)
        : mData(data), mSize(size), mAt(0), mMayRestart(checksum(data, size) % kRestartOneIn == 0) {}

    void run() {
        for (size_t count = 0; count < kMaxOperations && mAt < mSize; ++count) {
            const uint8_t op = mData[mAt++];
            perform(static_cast<Operation>((op & 15) % OPERATION_COUNT), op >> 4);
        }
    }

  private:
    void perform(Operation operation, unsigned int argument) {
        Client* client = &gClients[argument % kClients];
        switch (operation) {
            case CONNECT:
                if (client->fd < 0)
                    client->fd = connectWithoutWaiting();
                break;
            case WRITE:
                write(client);
                break;
            case CLOSE:
                closeClient(client);
                break;
            case HALF_CLOSE:
                if (client->fd >= 0)
                    shutdown(client->fd, SHUT_WR);
                break;
            case READ:
                drain(client);
                break;
            case SERVER_NOTIFY:
                notify(argument);
                break;
            case SERVER_CLOSE:
                if (void* handle = gServer.pick(gServer.live, argument))
                    gServer.close(handle);
                break;
            case RESTART:
                if (argument == 0 && mMayRestart) {
                    mMayRestart = false;
                    restartServer();
                }
                break;
            case REUSE_CLOSED:
                reuseClosed(argument);
                break;
            case NOTIFY_ALL:
                FUZZ_CHECK(gServer.listener->notifyAll(argument, argument) >= 0);
                break;
            case LIMIT_DESCRIPTORS:
                limitDescriptors(argument);
                break;
            case OPERATION_COUNT:
                break;
        }
    }

    // Request bytes go out as far as the socket takes them: requests have no framing to keep.
    void write(Client* client) {
        if (mAt >= mSize)
            return;
        const size_t wanted = mData[mAt++];
        const size_t length = std::min(wanted, mSize - mAt);
        if (client->fd >= 0)
            send(client->fd, mData + mAt, length, MSG_DONTWAIT | MSG_NOSIGNAL);
        mAt += length;
    }

    // From the fuzz thread, racing the callback's own sends and closes. The handle may have been closed
    // meanwhile (-2).
    void notify(unsigned int argument) {
        void* handle = gServer.pick(gServer.live, argument);
        if (handle == NULL)
            return;
        static const unsigned char body[kMaxNotifyBody] = {};
        const int result = (argument & 1) != 0
                               ? gServer.listener->notify(handle, argument, argument)
                               : gServer.listener->notify(handle, argument, const_cast<unsigned char*>(body),
                                                          static_cast<int>(argument));
        FUZZ_CHECK(result >= -3);
    }

    void reuseClosed(unsigned int argument) {
        void* handle = gServer.pick(gServer.closed, argument);
        if (handle == NULL)
            return;
        unsigned char body[4] = {};
        FUZZ_CHECK(gServer.listener->notify(handle, kStaleCode, 1u) == -2);
        FUZZ_CHECK(gServer.listener->notify(handle, kStaleCode, body, 4) == -2);
        FUZZ_CHECK(gServer.listener->response(handle, body, 4) == -2);
        FUZZ_CHECK(gServer.listener->peerCredentials(handle, NULL, NULL, NULL) == -2);
        FUZZ_CHECK(gServer.listener->closeClient(handle) == 0);
    }

    // Leaves the process `argument % 8` free descriptors, for the server's accepts and the clients.
    void limitDescriptors(unsigned int argument) {
        rlimit tight = gDescriptorLimit;
        tight.rlim_cur = static_cast<rlim_t>(fuzz::openDescriptorCount() + argument % 8);
        setrlimit(RLIMIT_NOFILE, &tight);
    }

    const uint8_t* mData;
    size_t mSize;
    size_t mAt;
    bool mMayRestart;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::silenceStdout();
    gName = "vorna-fuzz-listener-" + std::to_string(getpid());
    getrlimit(RLIMIT_NOFILE, &gDescriptorLimit);
    // Never destroyed: the server serves until the process ends.
    gServer.listener = new VORNA::Listener(gName.c_str(), 0);
    gServer.listener->setMsgCbk(onMessage, NULL);
    startServer();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const size_t descriptors = fuzz::openDescriptorCount();
    Script(data, size).run();
    for (Client& client : gClients)
        closeClient(&client);
    setrlimit(RLIMIT_NOFILE, &gDescriptorLimit);
    waitUntilSettled();
    FUZZ_CHECK(descriptorsReturnTo(descriptors));
    return 0;
}
