#define LOG_MODULE "src/Listener"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "internal/log.h"
#include "internal/scoped_lock.h"
#include "internal/socket_io.h"
#include "vorna/messaging.h"
#include "vorna/sync.h"
#include "vorna/time.h"

namespace {

const int kNotRunning = -1;
const int kBadArgument = -2;
const int kSendFailed = -3;
const int kRunFailed = -3;
const int kNoCredentials = -3;

const int kReadBufferSize = 1024;
const int kMaxEvents = 128;
const int kWaitTimeoutMs = 50;
const int kBacklog = 4;
const int kSocketTimeoutSeconds = 10;
const int kRetryPauseMs = 50;

// Level-triggered: whatever one wake-up leaves unread (pending clients, bytes beyond one read, the end of
// stream after the last bytes) makes the next wait return at once.
const uint32_t kListeningEvents = EPOLLIN | EPOLLERR | EPOLLHUP | EPOLLRDHUP;
const uint32_t kClientEvents = EPOLLIN | EPOLLRDHUP;

// The listening socket's epoll key; clients have serials from 1 on.
const uint32_t kListeningSerial = 0;

}  // namespace

// One accepted client. The handle that the application sees is a pointer to this record.
struct Conn {
    int fd;
    sockaddr_un addr;
    socklen_t addr_len;
    unsigned char* buf;
    int buf_size;
    int data_len;
    VORNA::Mutex* send_lock;
    // The fields below are guarded by list_lock.
    Conn* next;
    // Kept in the epoll key beside the descriptor, so that an entry fetched for a socket that another
    // thread closed meanwhile never reaches a client accepted later on the same descriptor.
    uint32_t serial;
    // Threads using the record without list_lock (the event thread around a callback, senders,
    // closeClient). Whoever drops the last one after the record left the list frees it, so closeClient
    // never frees a record under another thread's feet.
    int refs;
    bool listed;
    bool watched;
};

struct ListenerSkt {
    int is_stall;  // atomic: written by stall(), read by the event thread
    void* cbk_ctx;
    VORNA::Listener::MsgCbk cbk;
    int skt_fd;
    int epoll_fd;
    epoll_event* events;
    ListenerSktWorker* worker;
    VORNA::Mutex* list_lock;
    uint32_t last_serial;  // event thread only
};

namespace {

uint64_t watchKey(uint32_t serial, int fd) {
    return (static_cast<uint64_t>(serial) << 32) | static_cast<uint32_t>(fd);
}

int descriptorOf(uint64_t key) {
    return static_cast<int>(static_cast<uint32_t>(key));
}

bool isStalling(const ListenerSkt* als) {
    return __atomic_load_n(&als->is_stall, __ATOMIC_ACQUIRE) != 0;
}

// A socket left out of the epoll set would never be served, so adding it is retried until it works.
// `caller` names the step in the log line.
void watchUntilDone(const char* caller, int epollFd, int fd, uint32_t events, uint64_t key) {
    epoll_event registration = {};
    registration.events = events;
    registration.data.u64 = key;
    while (epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &registration) != 0) {
        VORNA_LOG_AS(VORNA_PREFIX_ERR, caller, "epoll_fd failed: %s\n", strerror(errno));
        VORNA::Sleep::sleep(kRetryPauseMs);
    }
}

// A send to a client that stops reading then fails with EAGAIN instead of holding the sender (and, from
// the callback, every other client) for good. `caller` names the step in the log line.
void setSendTimeout(const char* caller, int fd) {
    if (!vorna::setSocketTimeout(fd, SO_SNDTIMEO, kSocketTimeoutSeconds))
        VORNA_LOG_AS(VORNA_PREFIX_WRN, caller, "set send timeout failed\n");
}

// Called with list_lock held.
void stopWatching(ListenerSkt* als, Conn* conn) {
    if (!conn->watched)
        return;
    conn->watched = false;
    if (epoll_ctl(als->epoll_fd, EPOLL_CTL_DEL, conn->fd, NULL) != 0)
        ERR("epoll_fd failed: %s\n", strerror(errno));
}

void freeConn(Conn* conn) {
    if (close(conn->fd) != 0)
        ERR("close failed\n");
    delete conn->send_lock;
    free(conn->buf);
    free(conn);
}

Conn*& connList(ListenerSkt* als) {
    return als->worker->conn_list;
}

// Called with list_lock held. Pointer comparison only: a handle that is not listed is never read.
Conn* findListed(ListenerSkt* als, const void* handle) {
    for (Conn* conn = connList(als); conn != NULL; conn = conn->next) {
        if (conn == handle)
            return conn;
    }
    return NULL;
}

// Called with list_lock held.
void unlink(ListenerSkt* als, Conn* target) {
    Conn** link = &connList(als);
    while (*link != target)
        link = &(*link)->next;
    *link = target->next;
    target->next = NULL;
    target->listed = false;
}

void append(ListenerSkt* als, Conn* conn) {
    vorna::ScopedLock lock(*als->list_lock);
    Conn** link = &connList(als);
    while (*link != NULL)
        link = &(*link)->next;
    *link = conn;
    conn->listed = true;
}

// The listed client behind `handle`, kept alive until releaseConn(); null when it is not listed.
Conn* acquireHandle(ListenerSkt* als, const void* handle) {
    vorna::ScopedLock lock(*als->list_lock);
    Conn* conn = findListed(als, handle);
    if (conn != NULL)
        ++conn->refs;
    return conn;
}

Conn* acquireByKey(ListenerSkt* als, uint64_t key) {
    vorna::ScopedLock lock(*als->list_lock);
    for (Conn* conn = connList(als); conn != NULL; conn = conn->next) {
        if (watchKey(conn->serial, conn->fd) == key) {
            ++conn->refs;
            return conn;
        }
    }
    return NULL;
}

void releaseConn(ListenerSkt* als, Conn* conn) {
    bool last;
    {
        vorna::ScopedLock lock(*als->list_lock);
        last = --conn->refs == 0 && !conn->listed;
    }
    if (last)
        freeConn(conn);
}

// closeClient's release: the handle leaves the list and the epoll set at once, its socket is shut down
// (the client sees its end, and a sender blocked on a full socket fails), and the record is freed by the
// last thread that still uses it.
void destroyConn(ListenerSkt* als, void* handle) {
    Conn* conn;
    {
        vorna::ScopedLock lock(*als->list_lock);
        conn = findListed(als, handle);
        if (conn != NULL) {
            ++conn->refs;
            unlink(als, conn);
            stopWatching(als, conn);
        }
    }
    if (conn == NULL) {
        WRN("fd(%d) cant be found in Conn list\n", -1);
        return;
    }
    shutdown(conn->fd, SHUT_RDWR);
    releaseConn(als, conn);
}

void report(ListenerSkt* als, Conn* conn, int type, unsigned char* data, int len) {
    if (als->cbk != NULL)
        als->cbk(als->cbk_ctx, conn, type, data, len);
}

// Reports each client's end once; its socket is no longer watched afterwards, so a hang-up that stays
// readable cannot wake the loop again. Without a callback nobody holds the handle: it is released here.
void reportDisconnect(ListenerSkt* als, Conn* conn) {
    bool wasWatched;
    {
        vorna::ScopedLock lock(*als->list_lock);
        wasWatched = conn->watched;
        stopWatching(als, conn);
    }
    if (!wasWatched)
        return;
    if (als->cbk != NULL)
        report(als, conn, MSG_DISCONNECTED, NULL, 0);
    else
        destroyConn(als, conn);
}

// One read per wake-up keeps clients fair; what is left wakes the next wait. MSG_DONTWAIT because the
// event thread must never block on one client.
void readRequest(ListenerSkt* als, Conn* conn) {
    const ssize_t count =
        vorna::recvOnce(conn->fd, conn->buf, static_cast<size_t>(conn->buf_size), MSG_DONTWAIT);
    if (count > 0) {
        conn->data_len = static_cast<int>(count);
        report(als, conn, MSG_RECV, conn->buf, conn->data_len);
        return;
    }
    if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return;
    if (count < 0)
        WRN("read data failed: %s\n", strerror(errno));
    reportDisconnect(als, conn);
}

Conn* newConn(ListenerSkt* als, int fd, const sockaddr_un& addr, socklen_t addrLen) {
    Conn* conn = static_cast<Conn*>(calloc(1, sizeof(Conn)));
    if (conn == NULL) {
        ERR("malloc per conn buffer failed\n");
        return NULL;
    }
    conn->buf = static_cast<unsigned char*>(malloc(kReadBufferSize));
    if (conn->buf == NULL) {
        ERR("alloc read buffer failed\n");
        free(conn);
        return NULL;
    }
    conn->fd = fd;
    conn->addr = addr;
    conn->addr_len = addrLen;
    conn->buf_size = kReadBufferSize;
    conn->data_len = 0;
    conn->send_lock = new VORNA::Mutex();
    if (++als->last_serial == kListeningSerial)
        ++als->last_serial;
    conn->serial = als->last_serial;
    return conn;
}

// Accepts one pending client; further ones wake the next wait.
bool createConn(ListenerSkt* als) {
    sockaddr_un addr = {};
    socklen_t addrLen = sizeof(addr);
    int fd;
    do {
        fd = accept4(als->skt_fd, reinterpret_cast<sockaddr*>(&addr), &addrLen, SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        ERR("accept error errno: %s\n", strerror(errno));
        // The client stays pending and the level-triggered wait reports it again: pause rather than spin
        // on a lasting failure such as a full descriptor table.
        VORNA::Sleep::sleep(kRetryPauseMs);
        return false;
    }
    Conn* conn = newConn(als, fd, addr, addrLen);
    if (conn == NULL) {
        close(fd);
        return false;
    }
    // An accepted socket does not inherit the listening socket's timeouts.
    setSendTimeout(__func__, fd);
    // The event thread's own reference, for the callback below: closeClient may run meanwhile.
    conn->refs = 1;
    conn->watched = true;
    watchUntilDone(__func__, als->epoll_fd, fd, kClientEvents, watchKey(conn->serial, fd));
    append(als, conn);
    report(als, conn, MSG_CONNECTED, NULL, 0);
    releaseConn(als, conn);
    return true;
}

void serveListeningSocket(ListenerSkt* als, uint32_t events) {
    if ((events & EPOLLIN) && !(events & (EPOLLERR | EPOLLHUP))) {
        if (!createConn(als))
            ERR("create fd(%d) conn failed\n", als->skt_fd);
        return;
    }
    // stall() shuts the socket down before the loop ends: that hang-up is expected.
    if (isStalling(als))
        return;
    ERR("found fd(%d) conn failed\n", als->skt_fd);
    // A broken listening socket would report itself at every wake-up.
    if (epoll_ctl(als->epoll_fd, EPOLL_CTL_DEL, als->skt_fd, NULL) != 0)
        ERR("epoll_fd failed: %s\n", strerror(errno));
}

void getEvent(ListenerSkt* als, const epoll_event& event) {
    const uint64_t key = event.data.u64;
    if (key == watchKey(kListeningSerial, als->skt_fd)) {
        serveListeningSocket(als, event.events);
        return;
    }
    // Not found: closeClient on another thread took the client after this batch was fetched.
    Conn* conn = acquireByKey(als, key);
    if (conn == NULL) {
        ERR("found fd(%d) conn failed\n", descriptorOf(key));
        return;
    }
    // Readable also covers a hang-up or an error: the bytes that came before it are read first, and the
    // read that finds the end reports it.
    if (event.events & EPOLLIN) {
        readRequest(als, conn);
    } else {
        if (!(event.events & (EPOLLERR | EPOLLHUP)))
            ERR("epoll error curEvents:%u\n", event.events);
        reportDisconnect(als, conn);
    }
    releaseConn(als, conn);
}

bool socket_local_server_bind(int fd, const sockaddr_un& addr, socklen_t addrLen) {
    const int reuse = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof(reuse)) != 0) {
        ERR("set reuse address failed\n");
        return false;
    }
    return bind(fd, reinterpret_cast<const sockaddr*>(&addr), addrLen) == 0;
}

void closeSocket(int fd) {
    if (close(fd) != 0)
        ERR("close failed\n");
}

// Returns the listening socket, or -1.
int openListeningSocket(const char* name) {
    const int fd = vorna::openLocalStreamSocket();
    if (fd < 0)
        return -1;
    sockaddr_un addr;
    socklen_t addrLen;
    if (!vorna::makeAbstractAddress(name, &addr, &addrLen) || !socket_local_server_bind(fd, addr, addrLen) ||
        listen(fd, kBacklog) != 0) {
        closeSocket(fd);
        return -1;
    }
    return fd;
}

MsgHeader makeHeader(int32_t id, uint32_t msg, int32_t len) {
    MsgHeader header;
    memset(&header, 0, sizeof(header));
    header.magic = MSG_HEADER_MAGIC;
    header.id = id;
    header.msg = msg;
    header.time_us = SystemTime::getUs();
    header.len = len;
    return header;
}

bool isValidBody(const void* data, int len) {
    return len >= 0 && (len == 0 || data != NULL);
}

enum SendOutcome { SENT, HEADER_FAILED, BODY_FAILED };

// Sends the header and the body under the client's send lock, so that no other message to it can come
// between them. A failure leaves errno set for the caller's log line; a handle that is no longer listed
// fails as a header send with ENOTCONN.
SendOutcome sendMessage(ListenerSkt* als, void* handle, const MsgHeader& header, const void* body,
                        size_t length) {
    Conn* conn = acquireHandle(als, handle);
    if (conn == NULL) {
        errno = ENOTCONN;
        return HEADER_FAILED;
    }
    SendOutcome outcome = SENT;
    {
        vorna::ScopedLock lock(*conn->send_lock);
        if (vorna::sendAll(conn->fd, &header, sizeof(header)) < 0)
            outcome = HEADER_FAILED;
        else if (vorna::sendAll(conn->fd, body, length) < 0)
            outcome = BODY_FAILED;
    }
    const int error = errno;
    releaseConn(als, conn);
    errno = error;
    return outcome;
}

// The checks every call on a client begins with: 0 when the listener runs and `conn` is given, or the
// error code to return. `caller` names the call in the log line.
int checkTarget(const ListenerSkt* als, const void* conn, const char* caller) {
    if (als == NULL) {
        VORNA_LOG_AS(VORNA_PREFIX_ERR, caller, "skt is null\n");
        return kNotRunning;
    }
    if (conn == NULL) {
        VORNA_LOG_AS(VORNA_PREFIX_ERR, caller, "opaque is null\n");
        return kBadArgument;
    }
    return 0;
}

// Sends one message and logs a failure as `caller`: `headerError` names a failed header (the calls word it
// differently), a failed body always logs the same line. Returns true when all went out.
bool sendReported(ListenerSkt* als, void* conn, const MsgHeader& header, const void* body, int len,
                  const char* headerError, const char* caller) {
    switch (sendMessage(als, conn, header, body, static_cast<size_t>(len))) {
        case HEADER_FAILED:
            VORNA_LOG_AS(VORNA_PREFIX_ERR, caller, "%s: %s\n", headerError, strerror(errno));
            return false;
        case BODY_FAILED:
            VORNA_LOG_AS(VORNA_PREFIX_ERR, caller, "send data error: %s\n", strerror(errno));
            return false;
        case SENT:
            break;
    }
    return true;
}

}  // namespace

ListenerSktWorker::ListenerSktWorker(ListenerSkt* skt) : VORNA::Thread(NULL), als(skt), conn_list(NULL) {
    als->epoll_fd = -1;
    while (als->epoll_fd < 0) {
        als->epoll_fd = epoll_create1(EPOLL_CLOEXEC);
        if (als->epoll_fd < 0) {
            ERR("epoll_create failed: %s\n", strerror(errno));
            VORNA::Sleep::sleep(kRetryPauseMs);
        }
    }
    watchUntilDone(__func__, als->epoll_fd, als->skt_fd, kListeningEvents,
                   watchKey(kListeningSerial, als->skt_fd));
    als->events = static_cast<epoll_event*>(calloc(kMaxEvents, sizeof(epoll_event)));
    VORNA_ASSERT(NULL != als->events);
}

ListenerSktWorker::~ListenerSktWorker() {
    while (conn_list != NULL) {
        Conn* conn = conn_list;
        conn_list = conn->next;
        if (conn->watched && epoll_ctl(als->epoll_fd, EPOLL_CTL_DEL, conn->fd, NULL) != 0)
            ERR("epoll_fd failed: %s\n", strerror(errno));
        freeConn(conn);
    }
    free(als->events);
    als->events = NULL;
    closeSocket(als->epoll_fd);
    als->epoll_fd = -1;
}

bool ListenerSktWorker::threadLoop() {
    if (als == NULL) {
        ERR("als is null\n");
        return false;
    }
    while (!isStalling(als)) {
        const int count = epoll_wait(als->epoll_fd, als->events, kMaxEvents, kWaitTimeoutMs);
        for (int index = 0; index < count; ++index)
            getEvent(als, als->events[index]);
    }
    return false;
}

namespace VORNA {

Listener::Listener(const char* name, int reserved)
    : mName(name), mReserved(reserved), m_priv(NULL), mCbk(NULL), mCbkCtx(NULL) {}

Listener::~Listener() {
    VORNA_ASSERT(NULL == m_priv);
}

const char* Listener::msgName(int type) {
    switch (type) {
        case MSG_CONNECTED:
            return "connected";
        case MSG_DISCONNECTED:
            return "disconnected";
        case MSG_RECV:
            return "recv";
        case MSG_SEND:
            return "send";
        default:
            return "unknown";
    }
}

void Listener::setMsgCbk(MsgCbk cbk, void* ctx) {
    if (m_priv != NULL) {
        ERR("als is not null\n");
        return;
    }
    mCbk = cbk;
    mCbkCtx = ctx;
}

int Listener::run() {
    if (m_priv != NULL) {
        ERR("als is not null\n");
        return kRunFailed;
    }
    ListenerSkt* als = static_cast<ListenerSkt*>(calloc(1, sizeof(ListenerSkt)));
    if (als == NULL) {
        ERR("Alloc Skt failed\n");
        return kRunFailed;
    }
    als->cbk = mCbk;
    als->cbk_ctx = mCbkCtx;
    als->epoll_fd = -1;
    als->skt_fd = openListeningSocket(mName);
    if (als->skt_fd < 0) {
        free(als);
        return kRunFailed;
    }
    if (!vorna::setSocketTimeout(als->skt_fd, SO_RCVTIMEO, kSocketTimeoutSeconds))
        WRN("set recive timeout failed\n");
    setSendTimeout(__func__, als->skt_fd);
    als->list_lock = new Mutex();
    als->worker = new ListenerSktWorker(als);
    // Published before the thread starts: its callbacks may call response() at once.
    m_priv = als;
    if (als->worker->run("listener", -1, -10) != 0) {
        m_priv = NULL;
        delete als->worker;
        closeSocket(als->skt_fd);
        delete als->list_lock;
        free(als);
        return kRunFailed;
    }
    return 0;
}

int Listener::stall() {
    ListenerSkt* als = m_priv;
    if (als == NULL) {
        ERR("skt is null\n");
        return -1;
    }
    __atomic_store_n(&als->is_stall, 1, __ATOMIC_RELEASE);
    als->worker->requestExit();
    VORNA_ASSERT(0 <= als->skt_fd);
    shutdown(als->skt_fd, SHUT_RDWR);
    als->worker->requestExitAndWait();
    // Closed only once the event thread has ended, so that it can never accept on a descriptor number that
    // meanwhile belongs to something else.
    if (close(als->skt_fd) != 0)
        ERR("close failed\n");
    delete als->worker;
    als->worker = NULL;
    delete als->list_lock;
    als->list_lock = NULL;
    free(als);
    m_priv = NULL;
    return 0;
}

int Listener::response(void* conn, unsigned char* data, int len) {
    const int target = checkTarget(m_priv, conn, __func__);
    if (target != 0)
        return target;
    if (!isValidBody(data, len)) {
        ERR("bad response data(%p) len(%d)\n", static_cast<void*>(data), len);
        return kBadArgument;
    }
    const MsgHeader header = makeHeader(HEADER_ID_RESPONSE, 0, len);
    if (!sendReported(m_priv, conn, header, data, len, "send header error", __func__))
        return kSendFailed;
    return len + static_cast<int>(sizeof(MsgHeader));
}

int Listener::notify(void* conn, unsigned int msg, unsigned int value) {
    const int target = checkTarget(m_priv, conn, __func__);
    if (target != 0)
        return target;
    const MsgHeader header = makeHeader(HEADER_ID_NOTIFY, msg, static_cast<int32_t>(value));
    if (!sendReported(m_priv, conn, header, NULL, 0, "send error", __func__))
        return kSendFailed;
    return static_cast<int>(sizeof(MsgHeader));
}

int Listener::notify(void* conn, unsigned int msg, void* data, int len) {
    const int target = checkTarget(m_priv, conn, __func__);
    if (target != 0)
        return target;
    if (len > vorna::kMaxNotifyDataLength) {
        ERR("notify data too large(%d), max is %d\n", len, vorna::kMaxNotifyDataLength + 1);
        return kBadArgument;
    }
    if (!isValidBody(data, len)) {
        ERR("bad notify data(%p) len(%d)\n", data, len);
        return kBadArgument;
    }
    const MsgHeader header = makeHeader(HEADER_ID_NOTIFY_DATA, msg, len);
    if (!sendReported(m_priv, conn, header, data, len, "send error", __func__))
        return kSendFailed;
    return len;
}

int Listener::peerCredentials(void* conn, pid_t* pid, uid_t* uid, gid_t* gid) {
    const int target = checkTarget(m_priv, conn, __func__);
    if (target != 0)
        return target;
    Conn* client = acquireHandle(m_priv, conn);
    if (client == NULL) {
        ERR("conn(%p) is not a client\n", conn);
        return kBadArgument;
    }
    const bool known = vorna::readPeerCredentials(client->fd, pid, uid, gid);
    const int error = errno;
    releaseConn(m_priv, client);
    if (!known) {
        ERR("get peer credentials failed: %s\n", strerror(error));
        return kNoCredentials;
    }
    return 0;
}

int Listener::closeClient(void* conn) {
    if (conn == NULL || m_priv == NULL) {
        ERR("opaque is null\n");
        return kBadArgument;
    }
    destroyConn(m_priv, conn);
    return 0;
}

}  // namespace VORNA
