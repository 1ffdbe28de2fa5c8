#define LOG_MODULE "src/Connection"

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <mutex>

#include "internal/log.h"
#include "internal/scoped_lock.h"
#include "internal/socket_io.h"
#include "vorna/messaging.h"
#include "vorna/sync.h"
#include "vorna/time.h"

// The private record of a live connection. The synchronisation objects and the worker exist in notifier
// mode only.
struct ConnectionSocket {
    int mSocket;
    VORNA::Semaphore* mRespDone;
    VORNA::Mutex* mLock;
    VORNA::Condition* mRespReady;
    ConnectionSktWorker* mWorker;
    int mPendingId;        // guarded by mLock
    int mPendingLen;       // guarded by mLock
    int mIsStall;          // atomic
    uint8_t mIsConnected;  // atomic
    // recv() callers inside, atomic: they register under gSocketEntry and leave under mLock, and
    // disconnect() frees mLock and mRespReady only once every registered caller has left.
    int mReaders;
};

namespace {

const int kConnectAttempts = 501;
const int kConnectPauseMs = 20;
const int kSendAttempts = 11;
const int kSendPauseMs = 10;
const int kSendTimeoutSeconds = 10;
const int kGuardDescriptors = 3;
const int kNotConnected = -1;
const int kNoCredentials = -3;

const char kRecv[] = "recv";
const char kThreadLoop[] = "threadLoop";

// Guards every Connection's pSocket while recv() registers as a reader and while disconnect() detaches
// the record: the record's own lock cannot, since disconnect() frees it. Held for a few instructions only.
std::mutex gSocketEntry;

bool isStalling(const ConnectionSocket* s) {
    return __atomic_load_n(&s->mIsStall, __ATOMIC_ACQUIRE) != 0;
}

bool isConnected(const ConnectionSocket* s) {
    return __atomic_load_n(&s->mIsConnected, __ATOMIC_ACQUIRE) != 0;
}

void closeSocket(int fd) {
    if (close(fd) != 0)
        ERR("close failed\n");
}

int socket_make_sockaddr_un(const char* name, sockaddr_un* addr, socklen_t* addrLen) {
    if (!vorna::makeAbstractAddress(name, addr, addrLen)) {
        ERR("namelen > sun_path's size\n");
        return -1;
    }
    return 0;
}

// Holds the lowest free descriptor numbers while connect() creates its sockets, so that a process running
// with its standard descriptors closed never gets its socket on 0, 1 or 2 (where a stray printf would
// write into the stream).
class LowDescriptorGuard {
  public:
    LowDescriptorGuard() { open_dev_null(mFds); }
    ~LowDescriptorGuard() { closeAll(mFds); }
    LowDescriptorGuard(const LowDescriptorGuard&) = delete;
    LowDescriptorGuard& operator=(const LowDescriptorGuard&) = delete;

  private:
    static void open_dev_null(int* fds) {
        for (int i = 0; i < kGuardDescriptors; ++i)
            fds[i] = -1;
        for (int i = 0; i < kGuardDescriptors; ++i) {
            fds[i] = open("/dev/null", O_RDWR | O_CLOEXEC);
            if (fds[i] < 0) {
                closeAll(fds);
                return;
            }
            INF("Opened /dev/null, file descriptor: %d\n", fds[i]);
        }
    }

    static void closeAll(int* fds) {
        for (int i = 0; i < kGuardDescriptors; ++i) {
            if (fds[i] >= 0)
                close(fds[i]);
            fds[i] = -1;
        }
    }

    int mFds[kGuardDescriptors];
};

enum Attempt { ATTEMPT_CONNECTED, ATTEMPT_NO_SOCKET, ATTEMPT_BAD_NAME, ATTEMPT_REFUSED };

// One connection attempt. On success `*fd` is the connected socket; otherwise the socket is closed.
Attempt attemptConnect(const char* name, int* fd) {
    *fd = vorna::openLocalStreamSocket();
    if (*fd < 0)
        return ATTEMPT_NO_SOCKET;
    sockaddr_un addr;
    socklen_t addrLen;
    Attempt attempt = ATTEMPT_CONNECTED;
    if (socket_make_sockaddr_un(name, &addr, &addrLen) != 0)
        attempt = ATTEMPT_BAD_NAME;
    else if (::connect(*fd, reinterpret_cast<const sockaddr*>(&addr), addrLen) != 0)
        attempt = ATTEMPT_REFUSED;
    if (attempt != ATTEMPT_CONNECTED) {
        closeSocket(*fd);
        *fd = -1;
    }
    return attempt;
}

// Closes the socket and frees everything the record holds. The receive thread must have ended.
void releaseRecord(ConnectionSocket* s) {
    if (s->mSocket >= 0)
        closeSocket(s->mSocket);
    delete s->mRespDone;
    delete s->mRespReady;
    delete s->mLock;
    delete s->mWorker;
    free(s);
}

// The receiver reports one failed read: WRN for the attempt, then ERR for the failure (EOF is final, so
// there is no further attempt).
void logReadFailure(const char* operation, ssize_t result) {
    const int error = errno;
    VORNA_LOG_AS(VORNA_PREFIX_WRN, operation, "recv failed(%d) errno:%s %d, reTry=%d\n",
                 static_cast<int>(result), strerror(error), error, 0);
}

// Reads a response body of `bodyLen` bytes into `buf`, which holds `capacity`. A body that does not fit
// is read off the stream and dropped, so that the next message still starts at a header.
int readResponseBody(int fd, unsigned char* buf, int capacity, int32_t bodyLen) {
    if (bodyLen > capacity || bodyLen < 0) {
        VORNA_LOG_AS(VORNA_PREFIX_ERR, kRecv, "response len(%d) larger than buffer len(%d)\n", bodyLen,
                     capacity);
        if (bodyLen > 0)
            vorna::discardAll(fd, static_cast<size_t>(bodyLen));
        return -1;
    }
    const ssize_t got = vorna::recvAll(fd, buf, static_cast<size_t>(bodyLen));
    if (got == bodyLen)
        return bodyLen;
    logReadFailure(kRecv, got);
    const int error = errno;
    VORNA_LOG_AS(VORNA_PREFIX_ERR, kRecv, "recv failed(%d) %s %d\n", static_cast<int>(got), strerror(error),
                 error);
    return -1;
}

// Direct mode: this thread reads the header itself and takes responses only.
int receiveDirect(int fd, unsigned char* buf, int capacity) {
    MsgHeader header;
    memset(&header, 0, sizeof(header));
    const ssize_t got = vorna::recvAll(fd, &header, sizeof(header));
    if (got != static_cast<ssize_t>(sizeof(header))) {
        logReadFailure(kRecv, got);
        VORNA_LOG_AS(VORNA_PREFIX_ERR, kRecv, "bad header id(%d)\n", header.id);
        return -1;
    }
    if (header.id != HEADER_ID_RESPONSE) {
        VORNA_LOG_AS(VORNA_PREFIX_ERR, kRecv, "bad header id(%d)\n", header.id);
        // A data notification is framed: reading its body keeps the next header in place. A longer body
        // than any server sends means the stream is broken already: it is not read.
        if (header.id == HEADER_ID_NOTIFY_DATA && header.len > 0 && header.len <= vorna::kMaxNotifyDataLength)
            vorna::discardAll(fd, static_cast<size_t>(header.len));
        return -1;
    }
    return readResponseBody(fd, buf, capacity, header.len);
}

void deliver(NotifyCbk cbk, void* ctx, unsigned int msg, void* data, int len) {
    if (cbk == NULL) {
        free(data);
        VORNA_LOG_AS(VORNA_PREFIX_WRN, kThreadLoop, "connection cbk is null\n");
        return;
    }
    cbk(ctx, msg, data, len);
}

// The body goes to the callback in a buffer of its own, never null (also for 0 bytes). Returns false when
// the stream cannot be trusted any more: a length no server sends (a body of at most 255 bytes) would
// otherwise let the peer make this process allocate and read up to 2 GiB.
bool receiveNotificationData(ConnectionSocket* s, NotifyCbk cbk, void* ctx, const MsgHeader& header) {
    const int32_t len = header.len;
    if (len < 0 || len > vorna::kMaxNotifyDataLength) {
        VORNA_LOG_AS(VORNA_PREFIX_ERR, kThreadLoop, "bad notify data len(%d)\n", len);
        return false;
    }
    void* data = malloc(len > 0 ? static_cast<size_t>(len) : 1);
    if (data == NULL) {
        vorna::discardAll(s->mSocket, static_cast<size_t>(len));
        VORNA_LOG_AS(VORNA_PREFIX_ERR, kThreadLoop, "recv notify data failed\n");
        return true;
    }
    const ssize_t got = vorna::recvAll(s->mSocket, data, static_cast<size_t>(len));
    if (got != len) {
        logReadFailure(kThreadLoop, got);
        free(data);
        VORNA_LOG_AS(VORNA_PREFIX_ERR, kThreadLoop, "recv notify data failed\n");
        return true;
    }
    deliver(cbk, ctx, header.msg, data, len);
    return true;
}

// The caller of recv() reads the body from the socket itself; this thread reads nothing until it is done,
// so that the two never read the stream at the same time.
void handOverResponse(ConnectionSocket* s, int32_t len) {
    {
        vorna::ScopedLock lock(*s->mLock);
        s->mPendingLen = len;
        s->mPendingId = HEADER_ID_RESPONSE;
        s->mRespReady->broadcast();
    }
    while (s->mRespDone->wait() != 0) {
    }
}

// Every recv() caller, waiting or to come, returns -1 from now on.
void markLost(ConnectionSocket* s) {
    __atomic_store_n(&s->mIsConnected, 0, __ATOMIC_RELEASE);
    vorna::ScopedLock lock(*s->mLock);
    s->mRespReady->broadcast();
}

}  // namespace

ConnectionSktWorker::ConnectionSktWorker(ConnectionSocket* record, NotifyCbk cbk, void* ctx)
    : VORNA::Thread(NULL), als(record), mCbk(cbk), mCbkCtx(ctx) {}

ConnectionSktWorker::~ConnectionSktWorker() {}

bool ConnectionSktWorker::threadLoop() {
    if (als == NULL) {
        ERR("als is null\n");
        return false;
    }
    while (!exitPending()) {
        MsgHeader header;
        memset(&header, 0, sizeof(header));
        const ssize_t got = vorna::recvAll(als->mSocket, &header, sizeof(header));
        if (got != static_cast<ssize_t>(sizeof(header)) || header.magic != MSG_HEADER_MAGIC) {
            if (!isStalling(als))
                ERR(" disconnect return from recv failed(%d) magic=0x%x\n", static_cast<int>(got),
                    header.magic);
            break;
        }
        if (header.id == HEADER_ID_NOTIFY) {
            deliver(mCbk, mCbkCtx, header.msg, NULL, header.len);
        } else if (header.id == HEADER_ID_NOTIFY_DATA) {
            if (!receiveNotificationData(als, mCbk, mCbkCtx, header))
                break;
        } else if (header.id == HEADER_ID_RESPONSE) {
            handOverResponse(als, header.len);
        } else {
            ERR("unknown header id(%d)\n", header.id);
            break;
        }
    }
    markLost(als);
    return false;
}

namespace VORNA {

Connection::Connection(const char* name, int reserved, NotifyCbk cbk, void* ctx)
    : mName(name), mReserved(reserved), pSocket(NULL), mCbk(cbk), mCbkCtx(ctx) {
    connect();
}

Connection::~Connection() {
    disconnect();
}

int Connection::connect() {
    if (pSocket != NULL) {
        ERR("pSocket is not null\n");
        return -1;
    }
    ConnectionSocket* s = static_cast<ConnectionSocket*>(calloc(1, sizeof(ConnectionSocket)));
    if (s == NULL) {
        ERR("alloc socket memory failed\n");
        return -1;
    }
    s->mSocket = -1;
    if (mCbk != NULL) {
        s->mRespDone = new Semaphore();
        s->mRespReady = new Condition();
        s->mLock = new Mutex();
    }
    {
        LowDescriptorGuard guard;
        for (int countdown = kConnectAttempts - 1; countdown >= 0 && s->mSocket < 0; --countdown) {
            switch (attemptConnect(mName, &s->mSocket)) {
                case ATTEMPT_CONNECTED:
                    break;
                case ATTEMPT_NO_SOCKET:
                    ERR("create socket failed\n");
                    break;
                case ATTEMPT_BAD_NAME:
                    ERR("socket_make_sockaddr_un failed\n");
                    break;
                case ATTEMPT_REFUSED:
                    ERR("connect failed, retryCounter = %d\n", countdown);
                    Sleep::sleep(kConnectPauseMs);
                    break;
            }
        }
    }
    if (s->mSocket < 0) {
        releaseRecord(s);
        return -2;
    }
    s->mIsConnected = 1;
    if (!vorna::setSocketTimeout(s->mSocket, SO_SNDTIMEO, kSendTimeoutSeconds))
        WRN("set send timeout time failed\n");
    if (mCbk == NULL) {
        WRN("this connection has not a notifier.\n");
        pSocket = s;
        return 0;
    }
    s->mWorker = new ConnectionSktWorker(s, mCbk, mCbkCtx);
    if (s->mWorker->run("notifier listener", 50, -10) != 0) {
        releaseRecord(s);
        return -2;
    }
    pSocket = s;
    return 0;
}

int Connection::send(unsigned char* buf, int len) {
    if (pSocket == NULL) {
        ERR("pSocket is null\n");
        return -1;
    }
    if (len < 0 || (len > 0 && buf == NULL)) {
        ERR("bad request buf(%p) len(%d)\n", static_cast<void*>(buf), len);
        return -1;
    }
    const size_t length = static_cast<size_t>(len);
    size_t sent = 0;
    int failures = 0;
    // A zero-length request still makes its attempts: each send of 0 bytes counts as failed.
    do {
        const ssize_t result = vorna::sendOnce(pSocket->mSocket, buf + sent, length - sent);
        if (result > 0) {
            sent += static_cast<size_t>(result);
            continue;
        }
        const int error = errno;
        WRN("[SIW], send failed(%d) errno:%s %d, reTry=%d\n", static_cast<int>(result), strerror(error),
            error, failures);
        Sleep::sleep(kSendPauseMs);
        // EAGAIN: the 10-second send timeout ran out on a full socket.
        if ((result < 0 && error != EAGAIN) || ++failures == kSendAttempts)
            return sent > 0 ? static_cast<int>(sent) : static_cast<int>(result);
    } while (sent < length);
    return static_cast<int>(sent);
}

int Connection::recv(unsigned char* buf, int len) {
    std::unique_lock<std::mutex> entry(gSocketEntry);
    ConnectionSocket* s = pSocket;
    if (s == NULL) {
        entry.unlock();
        ERR("pSocket is null\n");
        return -1;
    }
    const int capacity = (buf == NULL || len < 0) ? 0 : len;
    if (mCbk == NULL) {
        entry.unlock();
        return receiveDirect(s->mSocket, buf, capacity);
    }
    __atomic_add_fetch(&s->mReaders, 1, __ATOMIC_RELAXED);
    entry.unlock();
    vorna::ScopedLock lock(*s->mLock);
    while (s->mPendingId == 0 && isConnected(s) && !isStalling(s))
        s->mRespReady->wait(s->mLock);
    int result = -1;
    if (s->mPendingId != 0) {
        s->mPendingId = 0;
        result = readResponseBody(s->mSocket, buf, capacity, s->mPendingLen);
        s->mRespDone->signal();
    }
    if (__atomic_sub_fetch(&s->mReaders, 1, __ATOMIC_RELAXED) == 0 && isStalling(s))
        s->mRespReady->broadcast();
    return result;
}

int Connection::peerCredentials(pid_t* pid, uid_t* uid, gid_t* gid) {
    // Held across the read: disconnect() detaches the record under it before it closes the socket.
    std::unique_lock<std::mutex> entry(gSocketEntry);
    if (pSocket == NULL) {
        entry.unlock();
        ERR("pSocket is null\n");
        return kNotConnected;
    }
    const bool known = vorna::readPeerCredentials(pSocket->mSocket, pid, uid, gid);
    const int error = errno;
    entry.unlock();
    if (!known) {
        ERR("get peer credentials failed: %s\n", strerror(error));
        return kNoCredentials;
    }
    return 0;
}

int Connection::disconnect() {
    ConnectionSocket* s;
    {
        // Detached first: a recv() that comes later finds no socket instead of a record being freed.
        std::lock_guard<std::mutex> entry(gSocketEntry);
        s = pSocket;
        pSocket = NULL;
    }
    if (s == NULL) {
        ERR("pSocket is null\n");
        return -1;
    }
    if (s->mSocket < 0) {
        BUG("0 <= pSocket->mSocket\n");
        exit(-1);
    }
    __atomic_store_n(&s->mIsStall, 1, __ATOMIC_RELEASE);
    if (s->mWorker != NULL)
        s->mWorker->requestExit();
    // Wakes the receive thread and any recv() caller blocked in a read: their reads return at once.
    shutdown(s->mSocket, SHUT_RDWR);
    if (s->mWorker != NULL) {
        {
            vorna::ScopedLock lock(*s->mLock);
            s->mRespReady->broadcast();
            s->mRespDone->signal();
        }
        s->mWorker->requestExitAndWait();
        vorna::ScopedLock lock(*s->mLock);
        while (__atomic_load_n(&s->mReaders, __ATOMIC_RELAXED) > 0)
            s->mRespReady->wait(s->mLock);
    }
    // releaseRecord closes the socket only now that the receive thread has ended and every woken recv()
    // caller has left: a read on a closed descriptor number could read from whatever the process opens
    // next.
    releaseRecord(s);
    return 0;
}

}  // namespace VORNA
