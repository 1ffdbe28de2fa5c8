// The conversation that the event-loop examples hold, each in its own loop: a server and a client in one
// process and on one thread, both in loop mode, so the library starts no thread of its own. The server
// greets a client with a notification; the client answers with a request; the server pushes the request
// back; the client then leaves. Everything arrives by notification because the loop's thread serves both
// ends: a call() from it would wait for an answer that only the same thread could give.
#pragma once

#include <stdio.h>
#include <stdlib.h>

#include <memory>

#include <vorna/vorna.h>

struct EchoPair {
    enum { kWelcome = 1, kEcho = 2 };

    explicit EchoPair(const char* name);

    VORNA::Listener server;
    // Constructed without connecting: connectInLoop() connects it. The client leaves by being destroyed,
    // which disconnects it.
    std::unique_ptr<VORNA::Connection> client;
    bool echoed = false;      // the client has its echo back and may leave
    bool clientGone = false;  // the server has released the client: the conversation is over
};

// The server's side: runs inside server.dispatch().
inline void onServerMessage(void* ctx, void* conn, int type, unsigned char* data, int len) {
    EchoPair* pair = static_cast<EchoPair*>(ctx);
    if (type == MSG_CONNECTED) {
        char welcome[] = "welcome";
        printf("server: a client connected\n");
        if (pair->server.notify(conn, EchoPair::kWelcome, welcome, 7) != 7)
            pair->server.closeClient(conn);
    } else if (type == MSG_RECV) {
        printf("server: request \"%.*s\"\n", len, reinterpret_cast<char*>(data));
        if (pair->server.notify(conn, EchoPair::kEcho, data, len) != len)
            pair->server.closeClient(conn);
    } else if (type == MSG_DISCONNECTED) {
        printf("server: the client left\n");
        pair->server.closeClient(conn);
        pair->clientGone = true;
    }
}

// The client's side: runs inside client.dispatch(). A data notification's body belongs to the callback.
inline void onClientNotify(void* ctx, unsigned int msg, void* data, int len) {
    EchoPair* pair = static_cast<EchoPair*>(ctx);
    printf("client: notification %u, \"%.*s\"\n", msg, len, static_cast<char*>(data));
    free(data);
    unsigned char request[] = "hello";
    if (msg == EchoPair::kWelcome && pair->client->send(request, 5) != 5)
        pair->echoed = true;  // nothing will come back: leave
    if (msg == EchoPair::kEcho)
        pair->echoed = true;
}

inline EchoPair::EchoPair(const char* name)
    : server(name, 0),
      client(new VORNA::Connection(name, 0, onClientNotify, this, VORNA::Connection::CONNECT_LATER)) {}

// Starts both ends in loop mode. The client's connect completes in the kernel's backlog: the server
// accepts it at its first dispatch().
inline bool startEchoPair(EchoPair* pair) {
    pair->server.setMsgCbk(onServerMessage, pair);
    if (pair->server.runInLoop() != 0) {  // 0, or -3 as run()
        fprintf(stderr, "cannot serve\n");
        return false;
    }
    if (pair->client->connectInLoop(2000) != 0) {  // 0, -1 or -2 as connect(timeoutMs)
        fprintf(stderr, "cannot connect\n");
        pair->server.stall();
        return false;
    }
    return true;
}
