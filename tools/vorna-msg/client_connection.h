#pragma once

#include <new>
#include <type_traits>

#include "vorna/vorna.h"

// A client connection on which another thread of the tool may wait in recv() when the tool ends it. Only
// disconnect() wakes such a thread, and the object must stay valid until that thread has left recv():
// destroying it instead could free it under a thread that is about to call recv(). So the tool calls
// disconnect(), joins its thread, and only then lets the object go. VORNA::Connection's destructor does
// nothing but disconnect(), which after an explicit one would only log that nothing is left to
// disconnect; it is skipped then.
class ClientConnection {
  public:
    // Connects at once (the library's constructor); `name` must outlive the object.
    ClientConnection(const char* name, NotifyCbk cbk, void* ctx) {
        new (&mStorage) VORNA::Connection(name, 0, cbk, ctx);
    }
    ~ClientConnection() {
        if (!mDisconnected)
            get().~Connection();
    }
    ClientConnection(const ClientConnection&) = delete;
    ClientConnection& operator=(const ClientConnection&) = delete;

    VORNA::Connection& get() { return *std::launder(reinterpret_cast<VORNA::Connection*>(&mStorage)); }

    // Closes the connection and wakes every recv() caller, who returns -1; the object stays valid for them.
    void disconnect() {
        if (!mDisconnected)
            get().disconnect();
        mDisconnected = true;
    }

  private:
    std::aligned_storage<sizeof(VORNA::Connection), alignof(VORNA::Connection)>::type mStorage;
    bool mDisconnected = false;
};
