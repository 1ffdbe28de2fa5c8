#include "raw_baseline.h"

#include <errno.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "local_socket.h"
#include "vorna/messaging.h"
#include "vorna/time.h"

namespace {

// Repeats `step`, one send or receive of what is left after `done` bytes, until `size` bytes have
// gone. False when the socket fails or the peer hangs up first.
template <typename Step>
bool transferAll(size_t size, Step step) {
    size_t done = 0;
    while (done < size) {
        const ssize_t moved = step(done);
        if (moved < 0 && errno == EINTR)
            continue;
        if (moved <= 0)
            return false;
        done += static_cast<size_t>(moved);
    }
    return true;
}

bool sendAll(int fd, const void* data, size_t size) {
    const char* bytes = static_cast<const char*>(data);
    return transferAll(size, [&](size_t done) { return send(fd, bytes + done, size - done, MSG_NOSIGNAL); });
}

bool recvAll(int fd, void* data, size_t size) {
    char* bytes = static_cast<char*>(data);
    return transferAll(size, [&](size_t done) { return recv(fd, bytes + done, size - done, 0); });
}

MsgHeader responseHeader(int bodyLength) {
    MsgHeader header;
    memset(&header, 0, sizeof(header));
    header.magic = MSG_HEADER_MAGIC;
    header.id = HEADER_ID_RESPONSE;
    header.time_us = SystemTime::getUs();
    header.len = bodyLength;
    return header;
}

}  // namespace

bool RawEchoServer::start(const std::string& name) {
    mListenFd = listenLocal(name, 64);
    if (mListenFd < 0)
        return false;
    mAcceptor = std::thread([this] { acceptClients(); });
    return true;
}

void RawEchoServer::stop() {
    if (mListenFd < 0)
        return;
    // Wakes the blocked accept(); each client's thread ends when its client hangs up.
    shutdown(mListenFd, SHUT_RDWR);
    mAcceptor.join();
    for (std::thread& server : mServers)
        server.join();
    mServers.clear();
    close(mListenFd);
    mListenFd = -1;
}

void RawEchoServer::acceptClients() {
    for (;;) {
        const int fd = accept4(mListenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0 && errno == EINTR)
            continue;
        if (fd < 0)
            return;
        mServers.emplace_back(serveClient, fd);
    }
}

// Same work per request as the library's server: one read of at most 1024 bytes, then the header and
// the body in two writes.
void RawEchoServer::serveClient(int fd) {
    unsigned char buffer[1024];
    for (;;) {
        const ssize_t received = recv(fd, buffer, sizeof(buffer), 0);
        if (received < 0 && errno == EINTR)
            continue;
        if (received <= 0)
            break;
        const MsgHeader header = responseHeader(static_cast<int>(received));
        if (!sendAll(fd, &header, sizeof(header)) || !sendAll(fd, buffer, static_cast<size_t>(received)))
            break;
    }
    close(fd);
}

RawClient::~RawClient() {
    if (mFd >= 0)
        close(mFd);
}

bool RawClient::connect(const std::string& name) {
    mFd = connectLocal(name);
    return mFd >= 0;
}

bool RawClient::roundTrip(const unsigned char* request, unsigned char* response, int size) {
    MsgHeader header;
    return sendAll(mFd, request, static_cast<size_t>(size)) && recvAll(mFd, &header, sizeof(header)) &&
           header.magic == MSG_HEADER_MAGIC && header.id == HEADER_ID_RESPONSE && header.len == size &&
           recvAll(mFd, response, static_cast<size_t>(size));
}
