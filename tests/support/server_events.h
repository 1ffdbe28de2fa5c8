#pragma once

// A Listener message callback that records what the server reports, for tests to wait on.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "vorna/messaging.h"

namespace testing_support {

// What the server reports to its callback, recorded on the event thread for the test thread to wait on.
class ServerEvents {
  public:
    struct Event {
        void* conn;
        int type;
        std::string data;
    };

    static void record(void* ctx, void* conn, int type, unsigned char* data, int len) {
        ServerEvents* self = static_cast<ServerEvents*>(ctx);
        Event event{conn, type, data != NULL ? std::string(reinterpret_cast<char*>(data), len) : ""};
        std::function<void(const Event&)> hook;
        {
            std::lock_guard<std::mutex> lock(self->mMutex);
            self->mEvents.push_back(event);
            hook = self->mHook;
        }
        self->mChanged.notify_all();
        if (hook)
            hook(event);
    }

    // Runs on the event thread after each event is recorded.
    void setHook(const std::function<void(const Event&)>& hook) {
        std::lock_guard<std::mutex> lock(mMutex);
        mHook = hook;
    }

    std::vector<Event> all() {
        std::lock_guard<std::mutex> lock(mMutex);
        return mEvents;
    }

    size_t count(int type, void* conn = NULL) {
        std::lock_guard<std::mutex> lock(mMutex);
        return countLocked(type, conn);
    }

    bool waitForCount(int type, size_t wanted, void* conn = NULL, int timeoutMs = 10000) {
        std::unique_lock<std::mutex> lock(mMutex);
        return mChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                 [&] { return countLocked(type, conn) >= wanted; });
    }

    // The handle of the `index`-th client reported connected, once it is.
    void* connected(size_t index, int timeoutMs = 10000) {
        if (!waitForCount(MSG_CONNECTED, index + 1, NULL, timeoutMs))
            return NULL;
        std::lock_guard<std::mutex> lock(mMutex);
        for (const Event& event : mEvents) {
            if (event.type == MSG_CONNECTED && index-- == 0)
                return event.conn;
        }
        return NULL;
    }

    // Every request byte delivered for `conn`, in order.
    std::string received(void* conn) {
        std::lock_guard<std::mutex> lock(mMutex);
        return receivedLocked(conn);
    }

    bool waitForBytes(void* conn, size_t wanted, int timeoutMs = 10000) {
        std::unique_lock<std::mutex> lock(mMutex);
        return mChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                 [&] { return receivedLocked(conn).size() >= wanted; });
    }

  private:
    size_t countLocked(int type, void* conn) const {
        size_t n = 0;
        for (const Event& event : mEvents)
            n += event.type == type && (conn == NULL || event.conn == conn);
        return n;
    }

    std::string receivedLocked(void* conn) const {
        std::string bytes;
        for (const Event& event : mEvents) {
            if (event.type == MSG_RECV && event.conn == conn)
                bytes += event.data;
        }
        return bytes;
    }

    std::mutex mMutex;
    std::condition_variable mChanged;
    std::vector<Event> mEvents;
    std::function<void(const Event&)> mHook;
};

}  // namespace testing_support
