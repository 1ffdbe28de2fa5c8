#include "support/server_harness.h"

#include <chrono>

#include <gtest/gtest.h>

#include "support/child.h"
#include "vorna/log.h"

namespace testing_support {

void ServerEvents::record(void* ctx, void* conn, int type, unsigned char* data, int len) {
    ServerEvents* self = static_cast<ServerEvents*>(ctx);
    Event event{conn, type, data != NULL ? std::string(reinterpret_cast<char*>(data), len) : ""};
    std::function<void(const Event&)> hook;
    {
        std::lock_guard<std::mutex> lock(self->mMutex);
        self->mEvents.push_back(event);
        if (type == MSG_CONNECTED)
            self->mConnected.push_back(conn);
        hook = self->mHook;
    }
    self->mChanged.notify_all();
    if (hook)
        hook(event);
}

void ServerEvents::setHook(const std::function<void(const Event&)>& hook) {
    std::lock_guard<std::mutex> lock(mMutex);
    mHook = hook;
}

std::vector<ServerEvents::Event> ServerEvents::all() {
    std::lock_guard<std::mutex> lock(mMutex);
    return mEvents;
}

size_t ServerEvents::count(int type, void* conn) {
    std::lock_guard<std::mutex> lock(mMutex);
    return countLocked(type, conn);
}

template <typename Predicate>
bool ServerEvents::waitFor(int timeoutMs, Predicate done) {
    std::unique_lock<std::mutex> lock(mMutex);
    return mChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs), done);
}

bool ServerEvents::waitForCount(int type, size_t wanted, void* conn, int timeoutMs) {
    return waitFor(timeoutMs, [&] { return countLocked(type, conn) >= wanted; });
}

void* ServerEvents::connected(size_t index, int timeoutMs) {
    if (!waitFor(timeoutMs, [&] { return mConnected.size() > index; }))
        return NULL;
    std::lock_guard<std::mutex> lock(mMutex);
    return mConnected[index];
}

std::string ServerEvents::received(void* conn) {
    std::lock_guard<std::mutex> lock(mMutex);
    return receivedLocked(conn);
}

bool ServerEvents::waitForBytes(void* conn, size_t wanted, int timeoutMs) {
    return waitFor(timeoutMs, [&] { return receivedLocked(conn).size() >= wanted; });
}

size_t ServerEvents::countLocked(int type, void* conn) const {
    size_t n = 0;
    for (const Event& event : mEvents)
        n += event.type == type && (conn == NULL || event.conn == conn);
    return n;
}

std::string ServerEvents::receivedLocked(void* conn) const {
    std::string bytes;
    for (const Event& event : mEvents) {
        if (event.type == MSG_RECV && event.conn == conn)
            bytes += event.data;
    }
    return bytes;
}

TestServer::TestServer(const char* tag, Reply reply) : name(uniqueName(tag)), server(name.c_str(), 0) {
    server.setMsgCbk(ServerEvents::record, &events);
    if (reply == ECHO) {
        events.setHook([this](const ServerEvents::Event& event) {
            std::string copy = event.data;
            if (event.type == MSG_RECV)
                server.response(event.conn, reinterpret_cast<unsigned char*>(&copy[0]),
                                static_cast<int>(copy.size()));
        });
    }
}

TestServer::~TestServer() {
    if (mServing)
        server.stall();
}

int TestServer::run() {
    const int result = server.run();
    mServing = mServing || result == 0;
    return result;
}

int TestServer::stall() {
    mServing = false;
    return server.stall();
}

void* TestServer::connect(RawStream* client) {
    const size_t before = events.count(MSG_CONNECTED);
    *client = connectRawClient(name);
    EXPECT_TRUE(client->isOpen()) << "a raw client could not connect to " << name;
    void* handle = events.connected(before);
    EXPECT_NE(nullptr, handle) << "the server did not report the client connected";
    return handle;
}

LogCapture::LogCapture() {
    LogSetWriter(write, this);
}

LogCapture::~LogCapture() {
    LogSetWriter(NULL, NULL);
}

void LogCapture::write(void* ctx, int, const char* line, int len) {
    LogCapture* self = static_cast<LogCapture*>(ctx);
    // The console form, which parseLogLines reads, is the line without its "<n>" level marker.
    const int marker = len >= 3 && line[0] == '<' && line[2] == '>' ? 3 : 0;
    std::lock_guard<std::mutex> lock(self->mMutex);
    self->mText.append(line + marker, static_cast<size_t>(len - marker));
}

std::vector<LogLine> LogCapture::take(const std::string& module) {
    std::lock_guard<std::mutex> lock(mMutex);
    const std::vector<LogLine> lines = parseLogLines(mText, module);
    mText.clear();
    return lines;
}

bool readMessage(RawStream* client, WireHeader* header, std::string* body, int timeoutMs) {
    const std::string head = client->readExactly(kWireHeaderSize, timeoutMs);
    if (head.size() != kWireHeaderSize)
        return false;
    *header = parseWireHeader(head);
    const size_t length = header->id == kWireIdNotify ? 0 : static_cast<size_t>(header->len);
    *body = client->readExactly(length, timeoutMs);
    return header->magic == kWireMagic && body->size() == length;
}

bool echoRoundTrip(RawStream* client, const std::string& request, int timeoutMs) {
    WireHeader header;
    std::string body;
    return client->writeAll(request) && readMessage(client, &header, &body, timeoutMs) &&
           header.id == kWireIdResponse && body == request;
}

std::string withTimesFrom(std::string expected, const std::string& written) {
    for (size_t at = 0; at + kWireHeaderSize <= std::min(expected.size(), written.size());) {
        expected.replace(at + 16, 8, written, at + 16, 8);
        const WireHeader header = parseWireHeader(expected.substr(at));
        at += kWireHeaderSize + (header.id == kWireIdNotify ? 0 : static_cast<size_t>(header.len));
    }
    return expected;
}

}  // namespace testing_support
