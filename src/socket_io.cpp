#include "internal/socket_io.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdint.h>
#include <string.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <time.h>

namespace vorna {

namespace {

// The socket's send timeout in milliseconds; 0 when it has none.
long long sendTimeoutMs(int fd) {
    timeval timeout = {};
    socklen_t length = sizeof(timeout);
    if (getsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, &length) != 0)
        return 0;
    return timeout.tv_sec * 1000LL + timeout.tv_usec / 1000;
}

// One sendmsg of the parts. EINTR comes back to the caller, who knows how long it may still wait.
ssize_t sendPartsOnce(int fd, iovec* parts, int count, int flags) {
    msghdr message = {};
    message.msg_iov = parts;
    message.msg_iovlen = static_cast<size_t>(count);
    return ::sendmsg(fd, &message, flags | MSG_NOSIGNAL);
}

// Moves `*parts` past `sent` bytes that went out; a part that went out in part is trimmed in place.
void skipSent(iovec** parts, int* count, size_t sent) {
    while (*count > 0 && sent >= (*parts)->iov_len) {
        sent -= (*parts)->iov_len;
        ++*parts;
        --*count;
    }
    if (*count > 0) {
        (*parts)->iov_base = static_cast<char*>((*parts)->iov_base) + sent;
        (*parts)->iov_len -= sent;
    }
}

// Milliseconds left until `deadlineMs` as a poll timeout: -1 for no deadline, 0 once it has passed.
int pollTimeout(long long deadlineMs) {
    if (deadlineMs == kNoDeadline)
        return -1;
    const long long left = deadlineMs - monotonicMs();
    if (left <= 0)
        return 0;
    return left > INT32_MAX ? INT32_MAX : static_cast<int>(left);
}

// Waits for `events` on `fd`. Returns 1, 0 at the deadline, or -1 with errno set.
int waitFor(int fd, short events, long long deadlineMs) {
    for (;;) {
        pollfd entry = {fd, events, 0};
        const int ready = poll(&entry, 1, pollTimeout(deadlineMs));
        if (ready >= 0)
            return ready > 0 ? 1 : 0;
        if (errno != EINTR)
            return -1;
    }
}

// A send comes back short when the socket's send timeout ran out, or when a signal came. Each resumed
// sendmsg would start the kernel's timer again, so that signals arriving faster than the timeout would
// keep a sender at a peer that never reads for ever: the timeout bounds the whole message instead,
// counted from its first send. Resumed sends wait for room with poll, until that bound, and then send
// without blocking. A socket without a send timeout resumes as a blocking send.
class ResumeBound {
  public:
    explicit ResumeBound(int fd) : mFd(fd), mStartMs(monotonicMs()) {}

    // Whether to go on after a short send, EINTR or (`wouldBlock`) EAGAIN; sets the next send's `*flags`.
    // False with errno set: EAGAIN when the timeout ran out.
    bool mayResume(bool wouldBlock, int* flags) {
        if (mDeadlineMs == kUnknown)
            mDeadlineMs = deadline();
        if (mDeadlineMs == kNoDeadline)
            return !wouldBlock;  // errno is still EAGAIN then
        const int ready = waitFor(mFd, POLLOUT, mDeadlineMs);
        if (ready <= 0) {
            if (ready == 0)
                errno = EAGAIN;
            return false;
        }
        *flags = MSG_DONTWAIT;
        return true;
    }

  private:
    static constexpr long long kUnknown = -2;

    long long deadline() const {
        const long long timeoutMs = sendTimeoutMs(mFd);
        return timeoutMs > 0 ? mStartMs + timeoutMs : kNoDeadline;
    }

    const int mFd;
    const long long mStartMs;
    long long mDeadlineMs = kUnknown;
};

}  // namespace

bool makeAbstractAddress(const char* name, sockaddr_un* address, socklen_t* length) {
    if (name == NULL)
        return false;
    const size_t nameLength = strlen(name);
    if (nameLength > kMaxSocketNameLength)
        return false;
    memset(address, 0, sizeof(*address));
    address->sun_family = AF_UNIX;
    memcpy(address->sun_path + 1, name, nameLength);
    *length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + nameLength);
    return true;
}

int openLocalStreamSocket() {
    return socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
}

bool setSocketTimeout(int fd, int option, int seconds) {
    return setSocketTimeoutMs(fd, option, seconds * 1000LL);
}

bool setSocketTimeoutMs(int fd, int option, long long milliseconds) {
    timeval timeout = {};
    timeout.tv_sec = static_cast<time_t>(milliseconds / 1000);
    timeout.tv_usec = static_cast<suseconds_t>(milliseconds % 1000 * 1000);
    return setsockopt(fd, SOL_SOCKET, option, &timeout, sizeof(timeout)) == 0;
}

bool readPeerCredentials(int fd, pid_t* pid, uid_t* uid, gid_t* gid) {
    ucred credentials = {};
    socklen_t length = sizeof(credentials);
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0)
        return false;
    if (pid != NULL)
        *pid = credentials.pid;
    if (uid != NULL)
        *uid = credentials.uid;
    if (gid != NULL)
        *gid = credentials.gid;
    return true;
}

ssize_t sendOnce(int fd, const void* data, size_t length) {
    ssize_t result;
    do {
        result = ::send(fd, data, length, MSG_NOSIGNAL);
    } while (result < 0 && errno == EINTR);
    return result;
}

ssize_t recvOnce(int fd, void* data, size_t length, int flags) {
    ssize_t result;
    do {
        result = ::recv(fd, data, length, flags | MSG_NOSIGNAL);
    } while (result < 0 && errno == EINTR);
    return result;
}

ssize_t sendAll(int fd, const void* data, size_t length, size_t* sentOut) {
    iovec part = {const_cast<void*>(data), length};
    return sendAllParts(fd, &part, 1, sentOut);
}

ssize_t sendAllParts(int fd, iovec* parts, int count, size_t* sentOut) {
    size_t length = 0;
    for (int i = 0; i < count; ++i)
        length += parts[i].iov_len;
    ResumeBound bound(fd);
    size_t sent = 0;
    int flags = 0;
    ssize_t outcome = static_cast<ssize_t>(length);
    while (sent < length) {
        const ssize_t result = sendPartsOnce(fd, parts, count, flags);
        const bool wouldBlock = result < 0 && errno == EAGAIN;
        if (result > 0) {
            sent += static_cast<size_t>(result);
            skipSent(&parts, &count, static_cast<size_t>(result));
        } else if (result < 0 && errno != EINTR && !wouldBlock) {
            outcome = -1;
            break;
        }
        if (sent < length && !bound.mayResume(wouldBlock, &flags)) {
            outcome = -1;
            break;
        }
    }
    if (sentOut != NULL)
        *sentOut = sent;
    return outcome;
}

namespace {

bool setBlocking(int fd, bool blocking) {
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0)
        return false;
    const int wanted = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
    return wanted == flags || fcntl(fd, F_SETFL, wanted) == 0;
}

}  // namespace

long long monotonicMs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

long long deadlineAfterMs(int timeoutMs) {
    return monotonicMs() + (timeoutMs > 0 ? timeoutMs : 0);
}

int waitReadable(int fd, long long deadlineMs) {
    return waitFor(fd, POLLIN, deadlineMs);
}

ssize_t recvAllBefore(int fd, void* data, size_t length, long long deadlineMs) {
    char* bytes = static_cast<char*>(data);
    size_t received = 0;
    while (received < length) {
        errno = 0;
        const ssize_t result = recvOnce(fd, bytes + received, length - received, MSG_DONTWAIT);
        if (result > 0) {
            received += static_cast<size_t>(result);
            continue;
        }
        if (result == 0)
            break;
        if (errno != EAGAIN)
            return -1;
        const int ready = waitReadable(fd, deadlineMs);
        if (ready < 0)
            return -1;
        if (ready == 0) {
            errno = ETIMEDOUT;
            break;
        }
    }
    return static_cast<ssize_t>(received);
}

bool discardAllBefore(int fd, size_t length, long long deadlineMs) {
    char scratch[512];
    while (length > 0) {
        const size_t chunk = length < sizeof(scratch) ? length : sizeof(scratch);
        if (recvAllBefore(fd, scratch, chunk, deadlineMs) != static_cast<ssize_t>(chunk))
            return false;
        length -= chunk;
    }
    return true;
}

int connectBefore(int fd, const sockaddr_un& address, socklen_t length, long long deadlineMs) {
    if (!setBlocking(fd, false))
        return -1;
    // A blocking connect to a server that stopped with a full backlog waits without limit; a
    // non-blocking one fails with EAGAIN at once instead, or reports EINPROGRESS and completes later.
    int result = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), length);
    if (result != 0 && errno == EINPROGRESS) {
        const int ready = waitFor(fd, POLLOUT, deadlineMs);
        int error = ETIMEDOUT;
        socklen_t errorLength = sizeof(error);
        if (ready < 0 || (ready > 0 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &errorLength) != 0))
            error = errno;
        result = error == 0 ? 0 : -1;
        errno = error;
    }
    if (result == 0 && !setBlocking(fd, true))
        return -1;
    return result;
}

ssize_t recvAll(int fd, void* data, size_t length) {
    char* bytes = static_cast<char*>(data);
    size_t received = 0;
    while (received < length) {
        errno = 0;
        const ssize_t result = recvOnce(fd, bytes + received, length - received);
        if (result < 0)
            return -1;
        if (result == 0)
            break;
        received += static_cast<size_t>(result);
    }
    return static_cast<ssize_t>(received);
}

bool discardAll(int fd, size_t length) {
    char scratch[512];
    while (length > 0) {
        const size_t chunk = length < sizeof(scratch) ? length : sizeof(scratch);
        if (recvAll(fd, scratch, chunk) != static_cast<ssize_t>(chunk))
            return false;
        length -= chunk;
    }
    return true;
}

}  // namespace vorna
