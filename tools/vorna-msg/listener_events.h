#pragma once

#include <string>

#include "vorna/vorna.h"

// A listener callback (register it with the server as `ctx`) that hands each event to the server's
// onConnected(conn), onRequest(conn, request) or onDisconnected(conn); other message types are ignored.
// A server that keeps those private declares this its friend.
template <typename Server>
void dispatchListenerEvent(void* ctx, void* conn, int type, unsigned char* data, int len) {
    Server* server = static_cast<Server*>(ctx);
    if (type == MSG_CONNECTED)
        server->onConnected(conn);
    else if (type == MSG_RECV)
        server->onRequest(conn, std::string(reinterpret_cast<char*>(data), static_cast<size_t>(len)));
    else if (type == MSG_DISCONNECTED)
        server->onDisconnected(conn);
}
