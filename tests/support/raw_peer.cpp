#include "support/raw_peer.h"

#include <dirent.h>
#include <errno.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

namespace raw_peer {

namespace {

// Repeats `step(done)`, one send or receive that returns its count, until `size` bytes are done; false when
// it fails or the stream ends first.
template <typename Step>
bool untilAllDone(size_t size, Step step) {
    size_t done = 0;
    while (done < size) {
        const ssize_t n = step(done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// A close-on-exec local stream socket with `flags` for which `setUp(fd, address, length)` succeeded, or -1
// (also for a name too long for the address).
template <typename SetUp>
int socketFor(const std::string& name, int flags, SetUp setUp) {
    sockaddr_un address;
    socklen_t length = 0;
    if (!abstractAddress(name, &address, &length))
        return -1;
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | flags, 0);
    if (fd >= 0 && !setUp(fd, reinterpret_cast<sockaddr*>(&address), length)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

WireHeader makeWireHeader(int32_t id, uint32_t msg, int32_t len, uint32_t magic) {
    return WireHeader{magic, id, msg, 0, 0, len, 0};
}

std::string wireHeader(int32_t id, uint32_t msg, int32_t len, uint32_t magic) {
    const WireHeader header = makeWireHeader(id, msg, len, magic);
    return std::string(reinterpret_cast<const char*>(&header), sizeof(header));
}

std::string responseFrame(const std::string& body) {
    return wireHeader(kWireIdResponse, 0, static_cast<int32_t>(body.size())) + body;
}

std::string valueNotificationFrame(uint32_t code, uint32_t value) {
    return wireHeader(kWireIdNotify, code, static_cast<int32_t>(value));
}

std::string dataNotificationFrame(uint32_t code, const std::string& body) {
    return wireHeader(kWireIdNotifyData, code, static_cast<int32_t>(body.size())) + body;
}

WireHeader parseWireHeader(const std::string& bytes) {
    WireHeader header = {};
    memcpy(&header, bytes.data(), std::min(bytes.size(), sizeof(header)));
    return header;
}

bool abstractAddress(const std::string& name, sockaddr_un* address, socklen_t* length) {
    memset(address, 0, sizeof(*address));
    if (name.size() + 1 > sizeof(address->sun_path))
        return false;
    address->sun_family = AF_UNIX;
    memcpy(address->sun_path + 1, name.data(), name.size());
    *length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    return true;
}

int connectTo(const std::string& name, int flags) {
    return socketFor(name, flags, [](int fd, sockaddr* address, socklen_t length) {
        return connect(fd, address, length) == 0;
    });
}

int listenOn(const std::string& name, int backlog) {
    return socketFor(name, 0, [backlog](int fd, sockaddr* address, socklen_t length) {
        return bind(fd, address, length) == 0 && listen(fd, backlog) == 0;
    });
}

long long nowMs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

bool waitReadable(int fd, int timeoutMs) {
    const long long deadline = nowMs() + timeoutMs;
    for (;;) {
        const long long left = deadline - nowMs();
        if (left <= 0)
            return false;
        pollfd entry = {fd, POLLIN, 0};
        const int ready = poll(&entry, 1, static_cast<int>(left));
        if (ready > 0)
            return true;
        if (ready < 0 && errno != EINTR)
            return false;
    }
}

void pauseUs(long us) {
    timespec pause = {us / 1000000, us % 1000000 * 1000};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
}

bool sendAll(int fd, const void* data, size_t size) {
    const char* bytes = static_cast<const char*>(data);
    return untilAllDone(size,
                        [&](size_t done) { return ::send(fd, bytes + done, size - done, MSG_NOSIGNAL); });
}

bool recvAll(int fd, void* data, size_t size) {
    char* bytes = static_cast<char*>(data);
    return untilAllDone(size, [&](size_t done) { return ::recv(fd, bytes + done, size - done, 0); });
}

std::vector<int> openDescriptors() {
    std::vector<int> open;
    DIR* dir = opendir("/proc/self/fd");
    for (const dirent* entry; dir != NULL && (entry = readdir(dir)) != NULL;) {
        if (entry->d_name[0] != '.' && atoi(entry->d_name) != dirfd(dir))
            open.push_back(atoi(entry->d_name));
    }
    if (dir != NULL)
        closedir(dir);
    std::sort(open.begin(), open.end());
    return open;
}

int openDescriptorCount() {
    return static_cast<int>(openDescriptors().size());
}

bool RawStream::writeInPieces(const std::string& bytes, const std::vector<size_t>& pieces, int pauseMs) {
    size_t offset = 0;
    for (size_t piece : pieces) {
        const size_t size = std::min(piece, bytes.size() - offset);
        if (!writeAll(bytes.substr(offset, size)))
            return false;
        offset += size;
        pauseUs(pauseMs * 1000L);
    }
    return writeAll(bytes.substr(offset));
}

std::string RawStream::readExactly(size_t count, int timeoutMs) {
    std::string bytes;
    const long long deadline = nowMs() + timeoutMs;
    char buffer[65536];
    while (bytes.size() < count && waitReadable(mFd, static_cast<int>(deadline - nowMs()))) {
        const ssize_t n = ::recv(mFd, buffer, std::min(sizeof(buffer), count - bytes.size()), MSG_DONTWAIT);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            break;
        bytes.append(buffer, static_cast<size_t>(n));
    }
    return bytes;
}

bool RawStream::waitForEndOfStream(int timeoutMs) {
    const long long deadline = nowMs() + timeoutMs;
    char buffer[4096];
    while (waitReadable(mFd, static_cast<int>(deadline - nowMs()))) {
        const ssize_t n = ::recv(mFd, buffer, sizeof(buffer), MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno == ECONNRESET))
            return true;
        if (n < 0 && errno != EINTR && errno != EAGAIN)
            return false;
    }
    return false;
}

int RawStream::pendingBytes() const {
    int count = 0;
    return ioctl(mFd, FIONREAD, &count) == 0 ? count : -1;
}

void RawStream::close() {
    if (mFd >= 0)
        ::close(mFd);
    mFd = -1;
}

RawStream RawServer::accept(int timeoutMs) {
    if (!isListening() || !waitReadable(mListening.fd(), timeoutMs))
        return RawStream();
    return RawStream(accept4(mListening.fd(), NULL, NULL, SOCK_CLOEXEC));
}

}  // namespace raw_peer
