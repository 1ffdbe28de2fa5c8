// Raw clients connect, write arbitrary bytes, half-close, hang up and read, against a VORNA::Listener
// whose callback answers, notifies and closes clients, while the fuzz thread also notifies and closes
// clients and restarts the server. Nothing may crash, leak or hang, and every client must read only
// whole, well-formed messages.
//
// Input: a script of one-byte operations (low 3 bits: the operation, the rest: its argument); a write
// takes its length from the next byte and its bytes from the ones after it.

#include <stdint.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "vorna/messaging.h"

namespace {

const int kClients = 8;
const size_t kMaxOperations = 512;
const int32_t kMaxResponseBody = 1024;
const int32_t kMaxNotifyBody = 255;

enum Operation { CONNECT, WRITE, CLOSE, HALF_CLOSE, READ, SERVER_NOTIFY, SERVER_CLOSE, RESTART };

// The callback's reply to a request, chosen by the request's first byte.
enum Reply { ECHO, EMPTY_RESPONSE, NOTIFY_VALUE, NOTIFY_DATA, CLOSE_CLIENT, NOTHING, REPLY_COUNT };

std::string gName;

// The handles the server has reported and not yet closed; shared by the callback and the fuzz thread.
struct Server {
    VORNA::Listener* listener;
    bool running;
    std::mutex lock;
    std::vector<void*> handles;

    void add(void* handle) {
        std::lock_guard<std::mutex> hold(lock);
        handles.push_back(handle);
    }
    void forget(void* handle) {
        std::lock_guard<std::mutex> hold(lock);
        handles.erase(std::remove(handles.begin(), handles.end(), handle), handles.end());
    }
    // A known handle chosen by `choice`, or null when there is none.
    void* pick(unsigned int choice) {
        std::lock_guard<std::mutex> hold(lock);
        return handles.empty() ? NULL : handles[choice % handles.size()];
    }
    void close(void* handle) {
        forget(handle);
        listener->closeClient(handle);
    }
};

void reply(Server* server, void* conn, unsigned char* data, int len) {
    switch (data[0] % REPLY_COUNT) {
        case ECHO:
            server->listener->response(conn, data, len);
            break;
        case EMPTY_RESPONSE:
            server->listener->response(conn, NULL, 0);
            break;
        case NOTIFY_VALUE:
            server->listener->notify(conn, data[0], static_cast<unsigned int>(len));
            break;
        case NOTIFY_DATA:
            server->listener->notify(conn, data[0], data, std::min(len, static_cast<int>(kMaxNotifyBody)));
            break;
        case CLOSE_CLIENT:
            server->close(conn);
            break;
        default:
            break;
    }
}

void onMessage(void* ctx, void* conn, int type, unsigned char* data, int len) {
    Server* server = static_cast<Server*>(ctx);
    FUZZ_CHECK(conn != NULL);
    switch (type) {
        case MSG_CONNECTED:
            FUZZ_CHECK(data == NULL && len == 0);
            server->add(conn);
            break;
        case MSG_RECV:
            FUZZ_CHECK(data != NULL && len >= 1 && len <= 1024);
            reply(server, conn, data, len);
            break;
        case MSG_DISCONNECTED:
            FUZZ_CHECK(data == NULL && len == 0);
            server->close(conn);
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

// Checks and drops every whole message at the front of `pending`.
void checkMessages(std::string* pending) {
    while (pending->size() >= sizeof(MsgHeader)) {
        MsgHeader header;
        memcpy(&header, pending->data(), sizeof(header));
        FUZZ_CHECK(header.magic == MSG_HEADER_MAGIC);
        FUZZ_CHECK(header.reserved0 == 0 && header.reserved1 == 0);
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

// Reads what has arrived without waiting, so that the server never blocks on a full socket.
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
    if (client->fd >= 0)
        close(client->fd);
    client->fd = -1;
    client->pending.clear();
}

void startServer(Server* server) {
    server->running = server->listener->run() == 0;
    FUZZ_CHECK(server->running);
}

void stopServer(Server* server) {
    if (server->running)
        FUZZ_CHECK(server->listener->stall() == 0);
    server->running = false;
    std::lock_guard<std::mutex> hold(server->lock);
    server->handles.clear();
}

// Runs the script; returns after closing every client and stopping the server.
class Script {
  public:
    Script(const uint8_t* data, size_t size) : mData(data), mSize(size), mAt(0) {}

    void run(Server* server, Client* clients) {
        for (size_t count = 0; count < kMaxOperations && mAt < mSize; ++count) {
            const uint8_t op = mData[mAt++];
            perform(server, clients, static_cast<Operation>(op & 7), op >> 3);
            for (int i = 0; i < kClients; ++i)
                drain(&clients[i]);
        }
    }

  private:
    void perform(Server* server, Client* clients, Operation operation, unsigned int argument) {
        Client* client = &clients[argument % kClients];
        switch (operation) {
            case CONNECT:
                if (client->fd < 0)
                    client->fd = fuzz::connectTo(gName.c_str());
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
                notify(server, argument);
                break;
            case SERVER_CLOSE:
                if (void* handle = server->pick(argument))
                    server->close(handle);
                break;
            case RESTART:
                stopServer(server);
                startServer(server);
                break;
        }
    }

    void write(Client* client) {
        if (mAt >= mSize)
            return;
        const size_t wanted = mData[mAt++];
        const size_t length = std::min(wanted, mSize - mAt);
        if (client->fd >= 0)
            fuzz::writeAll(client->fd, mData + mAt, length);
        mAt += length;
    }

    // From the fuzz thread, racing the callback's own sends and closes.
    void notify(Server* server, unsigned int argument) {
        void* handle = server->pick(argument);
        if (handle == NULL)
            return;
        static const unsigned char body[kMaxNotifyBody] = {};
        const int result = (argument & 1) != 0
                               ? server->listener->notify(handle, argument, argument)
                               : server->listener->notify(handle, argument, const_cast<unsigned char*>(body),
                                                          static_cast<int>(argument));
        FUZZ_CHECK(result >= -3);
    }

    const uint8_t* mData;
    size_t mSize;
    size_t mAt;
};

// One script against a server started for it and stopped after it.
void run(const uint8_t* data, size_t size) {
    VORNA::Listener listener(gName.c_str(), 0);
    Server server;
    server.listener = &listener;
    server.running = false;
    listener.setMsgCbk(onMessage, &server);
    startServer(&server);
    Client clients[kClients];
    Script(data, size).run(&server, clients);
    for (Client& client : clients)
        closeClient(&client);
    stopServer(&server);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::silenceStdout();
    gName = "vorna-fuzz-listener-" + std::to_string(getpid());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const int descriptors = fuzz::openDescriptors();
    run(data, size);
    FUZZ_CHECK(fuzz::openDescriptors() == descriptors);
    return 0;
}
