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
// Input: a script of one-byte operations (low 4 bits: the operation, high 4 bits: its argument), read
// from the end backwards; a write takes its length from the next of those bytes and its bytes from the
// front of the input. A restart takes effect only in
// the inputs that their hash picks (see kRestartOneIn).

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
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "vorna/messaging.h"

namespace {

const int kClients = 8;
const size_t kMaxOperations = 512;
const int32_t kMaxResponseBody = 16 * 1024;
const int kMaxNotifyBody = 255;
const size_t kClosedHandlesKept = 64;
// A notification code that only calls on closed handles send: no client may ever read it.
const uint32_t kStaleCode = 0x5ea1ed;
const auto kSettleTimeout = std::chrono::seconds(10);
// A restart (a new event thread) costs as much as a hundred inputs. So it happens at most once per input,
// and only in one input of kRestartOneIn that ask for it, chosen by the input's hash: mutating an input
// that restarts mostly yields one that does not, while a crash still reproduces from its input alone.
const size_t kRestartOneIn = 16;

// CLOSE: the client hangs up; KICK: the server closes a client; REUSE: calls on a closed handle; PUSH:
// notifyAll(); LIMIT: lowers the descriptor limit.
enum Operation { CONNECT, WRITE, CLOSE, HALF_CLOSE, READ, NOTIFY, KICK, RESTART, REUSE, PUSH, LIMIT, OPS };
// The callback's reply to a request, chosen by the request's first byte.
enum Reply { ECHO, EMPTY_RESPONSE, NOTIFY_VALUE, NOTIFY_DATA, CLOSE_CLIENT, NOTHING, PUSH_TO_ALL, REPLIES };
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
    const int notifyLength = std::min(len, kMaxNotifyBody);
    if (data[0] == kBigResponseByte)
        listener->response(conn, big, kMaxResponseBody);
    else if (data[0] % REPLIES == ECHO)
        FUZZ_CHECK(listener->response(conn, data, len) >= -3);
    else if (data[0] % REPLIES == EMPTY_RESPONSE)
        listener->response(conn, NULL, 0);
    else if (data[0] % REPLIES == NOTIFY_VALUE)
        listener->notify(conn, data[0], static_cast<unsigned int>(len));
    else if (data[0] % REPLIES == NOTIFY_DATA)
        listener->notify(conn, data[0], data, notifyLength);
    else if (data[0] % REPLIES == CLOSE_CLIENT)
        gServer.close(conn, true);
    else if (data[0] % REPLIES == PUSH_TO_ALL)  // -1 while stall() runs, as for closeClient()
        FUZZ_CHECK(listener->notifyAll(data[0], data, notifyLength) >= -1);
}

void onMessage(void*, void* conn, int type, unsigned char* data, int len) {
    FUZZ_CHECK(conn != NULL && type >= MSG_CONNECTED && type <= MSG_RECV);
    FUZZ_CHECK(type == MSG_RECV ? data != NULL && len >= 1 && len <= 1024 : data == NULL && len == 0);
    if (type == MSG_RECV) {
        reply(conn, data, len);
    } else if (type == MSG_DISCONNECTED) {
        gServer.close(conn, true);
    } else {
        std::lock_guard<std::mutex> hold(gServer.lock);
        gServer.live.push_back(conn);
        ++gServer.connectsAccepted;
        gServer.changed.notify_all();
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
        FUZZ_CHECK(header.magic == MSG_HEADER_MAGIC && header.reserved0 == 0 && header.reserved1 == 0);
        FUZZ_CHECK(header.msg != kStaleCode);
        const bool response = header.id == HEADER_ID_RESPONSE;
        FUZZ_CHECK(response || header.id == HEADER_ID_NOTIFY_DATA || header.id == HEADER_ID_NOTIFY);
        FUZZ_CHECK(!response || header.msg == 0);
        FUZZ_CHECK(header.id == HEADER_ID_NOTIFY ||
                   (header.len >= 0 && header.len <= (response ? kMaxResponseBody : kMaxNotifyBody)));
        const size_t body = header.id == HEADER_ID_NOTIFY ? 0 : static_cast<size_t>(header.len);
        if (pending->size() < sizeof(header) + body)
            return;
        pending->erase(0, sizeof(header) + body);
    }
}

// Reads what has arrived without waiting.
void drain(Client* client) {
    char buffer[4096];
    ssize_t got;
    while (client->fd >= 0 && (got = recv(client->fd, buffer, sizeof(buffer), MSG_DONTWAIT)) > 0) {
        client->pending.append(buffer, static_cast<size_t>(got));
        checkMessages(&client->pending);
    }
}

void closeClient(Client* client) {
    drain(client);
    if (client->fd >= 0)
        close(client->fd);
    client->fd = -1;
    client->pending.clear();
}

// Never blocks: with the server's accepts paused a full backlog refuses the client at once.
void connectWithoutWaiting(Client* client) {
    if (client->fd >= 0 || (client->fd = raw_peer::connectTo(gName, SOCK_NONBLOCK)) < 0)
        return;
    std::lock_guard<std::mutex> hold(gServer.lock);
    ++gServer.connectsMade;
}

// stall() drops the clients still in the backlog and releases every handle without a callback. run()
// needs descriptors of its own: the limit is lifted first.
void restartServer(bool* mayRestart) {
    *mayRestart = false;
    setrlimit(RLIMIT_NOFILE, &gDescriptorLimit);
    FUZZ_CHECK(gServer.listener->stall() == 0);
    {
        std::lock_guard<std::mutex> hold(gServer.lock);
        while (!gServer.live.empty())
            gServer.forgetLocked(gServer.live.back());
        gServer.connectsMade = gServer.connectsAccepted = 0;
    }
    FUZZ_CHECK(gServer.listener->run() == 0);
}

// Waits until the server has accepted every client that connected and closed every handle.
void waitUntilSettled() {
    std::unique_lock<std::mutex> hold(gServer.lock);
    FUZZ_CHECK(gServer.changed.wait_for(hold, kSettleTimeout, [] {
        return gServer.connectsAccepted == gServer.connectsMade && gServer.live.empty();
    }));
}

// A record closed by the callback is freed once the event thread has left that callback, a few steps
// after the callback's report that settled the server.
bool descriptorsReturnTo(int count) {
    const auto deadline = std::chrono::steady_clock::now() + kSettleTimeout;
    while (raw_peer::openDescriptorCount() != count && std::chrono::steady_clock::now() < deadline)
        sched_yield();
    return raw_peer::openDescriptorCount() == count;
}

// Request bytes go out as far as the socket takes them: requests have no framing to keep.
void write(Client* client, FuzzedDataProvider* script) {
    const std::string bytes = script->ConsumeBytesAsString(script->ConsumeIntegral<uint8_t>());
    if (client->fd >= 0)
        send(client->fd, bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
}

// From the fuzz thread, racing the callback's own sends and closes. The handle may have been closed
// meanwhile (-2).
void notify(unsigned int argument) {
    static unsigned char body[kMaxNotifyBody] = {};
    void* handle = gServer.pick(gServer.live, argument);
    VORNA::Listener* listener = gServer.listener;
    FUZZ_CHECK(handle == NULL ||
               ((argument & 1) != 0 ? listener->notify(handle, argument, argument)
                                    : listener->notify(handle, argument, body, argument)) >= -3);
}

void reuseClosed(unsigned int argument) {
    void* handle = gServer.pick(gServer.closed, argument);
    unsigned char body[4] = {};
    VORNA::Listener* listener = gServer.listener;
    FUZZ_CHECK(handle == NULL || (listener->notify(handle, kStaleCode, 1u) == -2 &&
                                  listener->notify(handle, kStaleCode, body, 4) == -2 &&
                                  listener->response(handle, body, 4) == -2 &&
                                  listener->peerCredentials(handle, NULL, NULL, NULL) == -2 &&
                                  listener->closeClient(handle) == 0));
}

// Leaves the process `argument % 8` free descriptors, for the server's accepts and the clients.
void limitDescriptors(unsigned int argument) {
    rlimit tight = gDescriptorLimit;
    tight.rlim_cur = static_cast<rlim_t>(raw_peer::openDescriptorCount()) + argument % 8;
    setrlimit(RLIMIT_NOFILE, &tight);
}

void perform(Operation operation, unsigned int argument, FuzzedDataProvider* script, bool* mayRestart) {
    Client* client = &gClients[argument % kClients];
    void* handle = NULL;
    if (operation == CONNECT)
        connectWithoutWaiting(client);
    else if (operation == WRITE)
        write(client, script);
    else if (operation == CLOSE)
        closeClient(client);
    else if (operation == HALF_CLOSE && client->fd >= 0)
        shutdown(client->fd, SHUT_WR);
    else if (operation == READ)
        drain(client);
    else if (operation == NOTIFY)
        notify(argument);
    else if (operation == KICK && (handle = gServer.pick(gServer.live, argument)) != NULL)
        gServer.close(handle);
    else if (operation == RESTART && argument == 0 && *mayRestart)
        restartServer(mayRestart);
    else if (operation == REUSE)
        reuseClosed(argument);
    else if (operation == PUSH)
        FUZZ_CHECK(gServer.listener->notifyAll(argument, argument) >= 0);
    else if (operation == LIMIT)
        limitDescriptors(argument);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::silenceStdout();
    gName = "vorna-fuzz-listener-" + std::to_string(getpid());
    getrlimit(RLIMIT_NOFILE, &gDescriptorLimit);
    // Never destroyed: the server serves until the process ends.
    gServer.listener = new VORNA::Listener(gName.c_str(), 0);
    gServer.listener->setMsgCbk(onMessage, NULL);
    FUZZ_CHECK(gServer.listener->run() == 0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const int descriptors = raw_peer::openDescriptorCount();
    FuzzedDataProvider script(data, size);
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    bool mayRestart = std::hash<std::string_view>()(input) % kRestartOneIn == 0;
    for (size_t count = 0; count < kMaxOperations && script.remaining_bytes() > 0; ++count) {
        const uint8_t op = script.ConsumeIntegral<uint8_t>();
        perform(static_cast<Operation>((op & 15) % OPS), op >> 4, &script, &mayRestart);
    }
    for (Client& client : gClients)
        closeClient(&client);
    setrlimit(RLIMIT_NOFILE, &gDescriptorLimit);
    waitUntilSettled();
    FUZZ_CHECK(descriptorsReturnTo(descriptors));
    return 0;
}
