#define LOG_MODULE "src/Listener"

// Lock order: gGate (shared, by the application's calls; exclusive only to publish or withdraw a
// Listener's record) before list_lock. A client's send_lock is never held together with either, and no
// lock is held while the application's callback runs.
//
// Lifetimes: a Listener owns its ListenerSkt record from run() until stall(). Each client record (Conn)
// is reference-counted: the client list holds one reference while the client is listed, and every thread
// that uses the record without list_lock (the event thread around a callback, a sender, closeClient,
// notifyAll) holds one; the last release closes the socket and frees the record. A Conn needs nothing
// from the ListenerSkt, so a send still under way when stall() frees the record stays sound.

#include <errno.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <new>
#include <vector>

#include "internal/log.h"
#include "internal/owner_process.h"
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

// The fuzzing build shortens these so that a client that stops reading fills its socket and breaks within
// a few replies, and a full descriptor table costs a millisecond, instead of holding the fuzzer for
// seconds.
#ifdef VORNA_FUZZ_SHORT_SOCKET_LIMITS
const int kClientSendBufferBytes = 4096;
const int kAcceptPauseMs = 1;
// Even a 2 ms send timeout waits for the next clock tick, the bulk of a fuzz input's time. So accepted
// sockets do not block at all and have no send timeout to wait out: a send to a full one fails at once
// with EAGAIN, just as after the timeout.
const int kAcceptedSocketFlags = SOCK_CLOEXEC | SOCK_NONBLOCK;
const int kClientSendTimeoutMs = 0;
#else
const int kAcceptedSocketFlags = SOCK_CLOEXEC;
const int kClientSendTimeoutMs = kSocketTimeoutSeconds * 1000;
const int kClientSendBufferBytes = 0;  // the system's default
// How long the listening socket goes unwatched after accept() ran out of descriptors: the connected
// clients are served meanwhile, and a pending client is accepted this long at most after a descriptor
// frees up.
const int kAcceptPauseMs = 50;
#endif

// Level-triggered: whatever one wake-up leaves unread (pending clients, bytes beyond one read, the end of
// stream after the last bytes) makes the next wait return at once.
const uint32_t kListeningEvents = EPOLLIN | EPOLLERR | EPOLLHUP | EPOLLRDHUP;
const uint32_t kClientEvents = EPOLLIN | EPOLLRDHUP;

// The listening socket's epoll key; clients have serials from 1 on.
const uint32_t kListeningSerial = 0;

// Publishing and withdrawing a Listener's record (run, stall) takes it exclusively; every call that looks
// a client up holds it shared until it holds a reference to the client. So stall() never frees a record
// that another thread is searching. Writers first, so that a stream of sends cannot hold stall() off.
pthread_rwlock_t gGate = PTHREAD_RWLOCK_WRITER_NONRECURSIVE_INITIALIZER_NP;

class SharedGate {
  public:
    SharedGate() { pthread_rwlock_rdlock(&gGate); }
    ~SharedGate() { pthread_rwlock_unlock(&gGate); }
    SharedGate(const SharedGate&) = delete;
    SharedGate& operator=(const SharedGate&) = delete;
};

class ExclusiveGate {
  public:
    ExclusiveGate() { pthread_rwlock_wrlock(&gGate); }
    ~ExclusiveGate() { pthread_rwlock_unlock(&gGate); }
    ExclusiveGate(const ExclusiveGate&) = delete;
    ExclusiveGate& operator=(const ExclusiveGate&) = delete;
};

// Handles are serials, unique in the process until the 32-bit count wraps (and even then never equal to
// a live client's), so that a handle kept after closeClient() or stall() never names a later client.
std::atomic<uint32_t> gLastSerial(0);

long long monotonicMs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

}  // namespace

// One accepted client. The application names it by its serial, never by its address.
struct Conn {
    Conn(int socket, const sockaddr_un& address, socklen_t addressLength)
        : fd(socket), addr(address), addr_len(addressLength), refs(0), broken(false) {}
    // The last release of the record closes the socket: that is the end of the release step.
    ~Conn() {
        if (close(fd) != 0)
            VORNA_LOG_AS(VORNA_PREFIX_ERR, "destroyConn", "close failed\n");
    }
    Conn(const Conn&) = delete;
    Conn& operator=(const Conn&) = delete;

    const int fd;
    const sockaddr_un addr;
    const socklen_t addr_len;
    unsigned char buf[kReadBufferSize];  // the event thread's read buffer
    VORNA::Mutex send_lock;              // keeps each message whole on the stream
    std::atomic<int> refs;
    // A send failed: the stream may hold part of a message, so nothing more is sent or read.
    std::atomic<bool> broken;
    uint32_t serial = 0;  // set once, before the record is listed
    // Guarded by list_lock.
    Conn* next = nullptr;
    Conn* prev = nullptr;
    bool listed = false;
    bool watched = false;
    bool announced = false;  // its MSG_CONNECTED callback has returned
};

namespace {

void* handleOf(const Conn* conn) {
    return reinterpret_cast<void*>(static_cast<uintptr_t>(conn->serial));
}

// 0 (no client) for a value that no serial can have.
uint32_t serialOf(const void* handle) {
    const uintptr_t value = reinterpret_cast<uintptr_t>(handle);
    return value <= UINT32_MAX ? static_cast<uint32_t>(value) : 0;
}

// Finds a client by serial without probing: each client sits in the slot that the low bits of its serial
// name, and a new client takes the next serial whose slot is free. The table stays at most half full, and
// doubling it keeps every client's slot distinct (serials that differ in their low bits still do).
class ClientTable {
  public:
    ClientTable() : mSlots(16, nullptr), mCount(0) {}

    // Gives `conn` its serial and stores it.
    void insert(Conn* conn) {
        if ((mCount + 1) * 2 > mSlots.size())
            grow();
        uint32_t serial;
        do {
            serial = gLastSerial.fetch_add(1, std::memory_order_relaxed) + 1;
        } while (serial == kListeningSerial || mSlots[slotOf(serial)] != nullptr);
        conn->serial = serial;
        mSlots[slotOf(serial)] = conn;
        ++mCount;
    }

    Conn* find(uint32_t serial) const {
        Conn* conn = mSlots[slotOf(serial)];
        return conn != nullptr && conn->serial == serial ? conn : nullptr;
    }

    void remove(const Conn* conn) {
        mSlots[slotOf(conn->serial)] = nullptr;
        --mCount;
    }

  private:
    size_t slotOf(uint32_t serial) const { return serial & (mSlots.size() - 1); }

    void grow() {
        std::vector<Conn*> old(mSlots.size() * 2, nullptr);
        old.swap(mSlots);
        for (Conn* conn : old) {
            if (conn != nullptr)
                mSlots[slotOf(conn->serial)] = conn;
        }
    }

    std::vector<Conn*> mSlots;
    size_t mCount;
};

}  // namespace

struct ListenerSkt {
    ListenerSkt(VORNA::Listener::MsgCbk callback, void* context)
        : is_stall(0), cbk_ctx(context), cbk(callback) {}

    std::atomic<int> is_stall;
    void* const cbk_ctx;
    const VORNA::Listener::MsgCbk cbk;
    int skt_fd = -1;
    int epoll_fd = -1;
    epoll_event* events = nullptr;
    ListenerSktWorker* worker = nullptr;
    VORNA::Mutex list_lock;
    const vorna::OwnerProcess owner;
    // Guarded by list_lock; the list head itself is worker->conn_list.
    ClientTable clients;
    Conn* last = nullptr;
    // Event thread only: accept() ran out of descriptors and the listening socket rests until then.
    bool accept_paused = false;
    long long accept_resume_ms = 0;
    // A forked child's copies, kept reachable (never freed: their thread exists only in the parent).
    ListenerSkt* next_orphan = nullptr;
};

namespace {

std::atomic<ListenerSkt*> gOrphans(nullptr);

uint64_t watchKey(uint32_t serial, int fd) {
    return (static_cast<uint64_t>(serial) << 32) | static_cast<uint32_t>(fd);
}

uint32_t serialOfKey(uint64_t key) {
    return static_cast<uint32_t>(key >> 32);
}

int descriptorOf(uint64_t key) {
    return static_cast<int>(static_cast<uint32_t>(key));
}

bool isStalling(const ListenerSkt* als) {
    return als->is_stall.load(std::memory_order_acquire) != 0;
}

bool addToEpoll(int epollFd, int fd, uint32_t events, uint64_t key) {
    epoll_event registration = {};
    registration.events = events;
    registration.data.u64 = key;
    return epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &registration) == 0;
}

// A socket left out of the epoll set would never be served, so adding it is retried until it works.
// `caller` names the step in the log line.
void watchUntilDone(const char* caller, int epollFd, int fd, uint32_t events, uint64_t key) {
    while (!addToEpoll(epollFd, fd, events, key)) {
        VORNA_LOG_AS(VORNA_PREFIX_ERR, caller, "epoll_fd failed: %s\n", strerror(errno));
        VORNA::Sleep::sleep(kRetryPauseMs);
    }
}

// A send to a client that stops reading then fails instead of holding the sender (and, from the
// callback, every other client) for good.
void limitClientSends(int fd) {
    if (!vorna::setSocketTimeoutMs(fd, SO_SNDTIMEO, kClientSendTimeoutMs))
        VORNA_LOG_AS(VORNA_PREFIX_WRN, "createConn", "set send timeout failed\n");
    if (kClientSendBufferBytes > 0)
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &kClientSendBufferBytes, sizeof(kClientSendBufferBytes));
}

Conn* acquire(Conn* conn) {
    conn->refs.fetch_add(1, std::memory_order_relaxed);
    return conn;
}

void release(Conn* conn) {
    if (conn->refs.fetch_sub(1, std::memory_order_acq_rel) == 1)
        delete conn;
}

// Called with list_lock held.
void stopWatching(ListenerSkt* als, Conn* conn) {
    if (!conn->watched)
        return;
    conn->watched = false;
    if (epoll_ctl(als->epoll_fd, EPOLL_CTL_DEL, conn->fd, NULL) != 0)
        ERR("epoll_fd failed: %s\n", strerror(errno));
}

Conn*& listHead(ListenerSkt* als) {
    return als->worker->conn_list;
}

// Called with list_lock held. The list's reference passes to the caller.
void list(ListenerSkt* als, Conn* conn) {
    als->clients.insert(conn);
    conn->prev = als->last;
    if (als->last != nullptr)
        als->last->next = conn;
    else
        listHead(als) = conn;
    als->last = conn;
    conn->listed = true;
    acquire(conn);
}

// Called with list_lock held. The list's reference passes to the caller, who releases it.
void unlist(ListenerSkt* als, Conn* conn) {
    als->clients.remove(conn);
    (conn->prev != nullptr ? conn->prev->next : listHead(als)) = conn->next;
    (conn->next != nullptr ? conn->next->prev : als->last) = conn->prev;
    conn->next = conn->prev = nullptr;
    conn->listed = false;
}

// The listed client of `serial`, with a reference for the caller; null when there is none.
Conn* acquireListed(ListenerSkt* als, uint32_t serial) {
    vorna::ScopedLock lock(als->list_lock);
    Conn* conn = als->clients.find(serial);
    return conn != nullptr ? acquire(conn) : nullptr;
}

// Withdraws a client: out of the list and the epoll set at once, its socket shut down (the client sees
// its end, and a sender blocked on a full socket fails), the record freed by the last thread using it.
// The listed reference passes to the caller.
void shutDownAndRelease(Conn* conn) {
    shutdown(conn->fd, SHUT_RDWR);
    release(conn);
}

// closeClient's release. Returns false when the handle names no listed client.
bool destroyConn(ListenerSkt* als, uint32_t serial) {
    Conn* conn;
    {
        vorna::ScopedLock lock(als->list_lock);
        conn = als->clients.find(serial);
        if (conn != nullptr) {
            stopWatching(als, conn);
            unlist(als, conn);
        }
    }
    if (conn == nullptr) {
        WRN("fd(%d) cant be found in Conn list\n", -1);
        return false;
    }
    shutDownAndRelease(conn);
    return true;
}

bool isListed(ListenerSkt* als, Conn* conn) {
    vorna::ScopedLock lock(als->list_lock);
    return conn->listed;
}

// A client that closeClient() has withdrawn gets no further callback, also when the event thread was
// already handling it.
void report(ListenerSkt* als, Conn* conn, int type, unsigned char* data, int len) {
    if (als->cbk != NULL && isListed(als, conn))
        als->cbk(als->cbk_ctx, handleOf(conn), type, data, len);
}

// Reports each client's end once; its socket is no longer watched afterwards, so a hang-up that stays
// readable cannot wake the loop again. Without a callback nobody holds the handle: it is released here.
// stall() shuts every client down before the loop ends: those ends are not reported.
void reportDisconnect(ListenerSkt* als, Conn* conn) {
    bool wasWatched;
    {
        vorna::ScopedLock lock(als->list_lock);
        wasWatched = conn->watched;
        stopWatching(als, conn);
    }
    if (!wasWatched || isStalling(als))
        return;
    if (als->cbk != NULL)
        report(als, conn, MSG_DISCONNECTED, NULL, 0);
    else
        destroyConn(als, conn->serial);
}

// One read per wake-up keeps clients fair; what is left wakes the next wait. MSG_DONTWAIT because the
// event thread must never block on one client. A broken client's requests are not read: nothing could
// answer them.
void readRequest(ListenerSkt* als, Conn* conn) {
    if (conn->broken.load(std::memory_order_acquire)) {
        reportDisconnect(als, conn);
        return;
    }
    const ssize_t count = vorna::recvOnce(conn->fd, conn->buf, sizeof(conn->buf), MSG_DONTWAIT);
    if (count > 0) {
        report(als, conn, MSG_RECV, conn->buf, static_cast<int>(count));
        return;
    }
    if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return;
    if (count < 0)
        WRN("read data failed: %s\n", strerror(errno));
    reportDisconnect(als, conn);
}

bool isOutOfDescriptors(int error) {
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

// Pending clients stay in the backlog while the listening socket rests; the level-triggered wait would
// otherwise report them at every wake-up and starve the connected clients.
void pauseAccepting(ListenerSkt* als) {
    if (epoll_ctl(als->epoll_fd, EPOLL_CTL_DEL, als->skt_fd, NULL) != 0)
        ERR("epoll_fd failed: %s\n", strerror(errno));
    als->accept_paused = true;
    als->accept_resume_ms = monotonicMs() + kAcceptPauseMs;
}

// Watches the listening socket again once its rest is over; otherwise shortens `timeoutMs` to the rest
// left.
void resumeAcceptingWhenDue(ListenerSkt* als, int* timeoutMs) {
    if (!als->accept_paused)
        return;
    const long long left = als->accept_resume_ms - monotonicMs();
    if (left > 0) {
        if (left < *timeoutMs)
            *timeoutMs = static_cast<int>(left);
        return;
    }
    if (addToEpoll(als->epoll_fd, als->skt_fd, kListeningEvents, watchKey(kListeningSerial, als->skt_fd)))
        als->accept_paused = false;
    else
        ERR("epoll_fd failed: %s\n", strerror(errno));
}

const int kAcceptFailed = -1;
const int kNothingPending = -2;

// Returns the accepted socket, kAcceptFailed (logged), or kNothingPending.
int acceptPending(ListenerSkt* als, sockaddr_un* addr, socklen_t* addrLen) {
    int fd;
    do {
        fd = accept4(als->skt_fd, reinterpret_cast<sockaddr*>(addr), addrLen, kAcceptedSocketFlags);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0)
        return fd;
    const int error = errno;
    if (error == EAGAIN || error == EWOULDBLOCK)
        return kNothingPending;
    ERR("accept error errno: %s\n", strerror(error));
    if (isOutOfDescriptors(error))
        pauseAccepting(als);
    return kAcceptFailed;
}

// Accepts one pending client; further ones wake the next wait. Returns false when that failed.
bool createConn(ListenerSkt* als) {
    sockaddr_un addr = {};
    socklen_t addrLen = sizeof(addr);
    const int fd = acceptPending(als, &addr, &addrLen);
    if (fd == kNothingPending)
        return true;
    if (fd == kAcceptFailed)
        return false;
    Conn* conn = new (std::nothrow) Conn(fd, addr, addrLen);
    if (conn == nullptr) {
        ERR("malloc per conn buffer failed\n");
        close(fd);
        return false;
    }
    limitClientSends(fd);
    // The event thread's own reference, for the callback below: closeClient() may run meanwhile.
    acquire(conn);
    {
        vorna::ScopedLock lock(als->list_lock);
        list(als, conn);
        conn->watched = true;
    }
    watchUntilDone(__func__, als->epoll_fd, fd, kClientEvents, watchKey(conn->serial, fd));
    report(als, conn, MSG_CONNECTED, NULL, 0);
    {
        vorna::ScopedLock lock(als->list_lock);
        conn->announced = true;
    }
    release(conn);
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
    // Not found: closeClient() on another thread took the client after this batch was fetched.
    Conn* conn = acquireListed(als, serialOfKey(key));
    if (conn == nullptr) {
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
    release(conn);
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
    if (!vorna::setSocketTimeout(fd, SO_RCVTIMEO, kSocketTimeoutSeconds))
        VORNA_LOG_AS(VORNA_PREFIX_WRN, "run", "set recive timeout failed\n");
    if (!vorna::setSocketTimeout(fd, SO_SNDTIMEO, kSocketTimeoutSeconds))
        VORNA_LOG_AS(VORNA_PREFIX_WRN, "run", "set send timeout failed\n");
    return fd;
}

// In a process that fork() made, the record's sockets are shared with the parent, which still serves
// them, and its thread does not exist: only this process's copies of the descriptors are closed. Nothing
// is locked (a lock may have been held by a thread of the parent when it forked) and nothing is freed
// (the thread object cannot be reclaimed here); the record stays reachable for leak checkers.
void abandonForkedCopy(ListenerSkt* als) {
    close(als->skt_fd);
    close(als->epoll_fd);
    for (Conn* conn = als->worker->conn_list; conn != nullptr; conn = conn->next)
        close(conn->fd);
    als->next_orphan = gOrphans.load(std::memory_order_relaxed);
    while (!gOrphans.compare_exchange_weak(als->next_orphan, als, std::memory_order_release,
                                           std::memory_order_relaxed)) {
    }
}

// Wakes every sender blocked on a client's full socket, so that stall() does not wait for its timeout.
void shutDownClients(ListenerSkt* als) {
    vorna::ScopedLock lock(als->list_lock);
    for (Conn* conn = listHead(als); conn != nullptr; conn = conn->next)
        shutdown(conn->fd, SHUT_RDWR);
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

// A body check returns 0, or -2 after logging why the body is refused as `caller`.
typedef int (*BodyCheck)(const void* data, int len, const char* caller);

int checkResponseBody(const void* data, int len, const char* caller) {
    if (isValidBody(data, len))
        return 0;
    VORNA_LOG_AS(VORNA_PREFIX_ERR, caller, "bad response data(%p) len(%d)\n", data, len);
    return kBadArgument;
}

int checkNotifyBody(const void* data, int len, const char* caller) {
    if (len > vorna::kMaxNotifyDataLength) {
        VORNA_LOG_AS(VORNA_PREFIX_ERR, caller, "notify data too large(%d), max is %d\n", len,
                     vorna::kMaxNotifyDataLength + 1);
        return kBadArgument;
    }
    if (!isValidBody(data, len)) {
        VORNA_LOG_AS(VORNA_PREFIX_ERR, caller, "bad notify data(%p) len(%d)\n", data, len);
        return kBadArgument;
    }
    return 0;
}

int acceptAnyBody(const void*, int, const char*) {
    return 0;
}

// One message as a call sends it.
struct Message {
    MsgHeader header;
    const void* body;
    int len;
    BodyCheck check;
    const char* headerError;  // how the call words a failed header send in its log line
};

enum SendOutcome { SENT, HEADER_FAILED, BODY_FAILED, ALREADY_BROKEN };

// A client that let its socket stay full for the send timeout would cost every later sender that timeout
// again, and a failed send may leave part of a message on the stream: the client is done. Shutting its
// socket down tells the client, and wakes the event thread, which reports the end once. A client that
// has gone needs none of this: later sends fail at once by themselves, and the event thread sees the end.
void breakClientAfter(Conn* conn, int error) {
    if (error == EPIPE || error == ECONNRESET)
        return;
    conn->broken.store(true, std::memory_order_release);
    shutdown(conn->fd, SHUT_RDWR);
}

// Sends the header and the body in one write under the client's send lock, so that no other message to
// it can come between them. A failure leaves errno set for the caller's log line.
SendOutcome sendMessage(Conn* conn, const Message& message) {
    vorna::ScopedLock lock(conn->send_lock);
    if (conn->broken.load(std::memory_order_acquire))
        return ALREADY_BROKEN;
    iovec parts[2] = {{const_cast<MsgHeader*>(&message.header), sizeof(message.header)},
                      {const_cast<void*>(message.body), static_cast<size_t>(message.len)}};
    size_t sent = 0;
    if (vorna::sendAllParts(conn->fd, parts, message.len > 0 ? 2 : 1, &sent) >= 0)
        return SENT;
    const int error = errno;
    breakClientAfter(conn, error);
    errno = error;
    return sent < sizeof(message.header) ? HEADER_FAILED : BODY_FAILED;
}

// Sends one message and logs a failure as `caller`. Returns true when it all went out.
bool sendReported(Conn* conn, const Message& message, const char* caller) {
    switch (sendMessage(conn, message)) {
        case HEADER_FAILED:
            VORNA_LOG_AS(VORNA_PREFIX_ERR, caller, "%s: %s\n", message.headerError, strerror(errno));
            return false;
        case BODY_FAILED:
            VORNA_LOG_AS(VORNA_PREFIX_ERR, caller, "send data error: %s\n", strerror(errno));
            return false;
        case ALREADY_BROKEN:
            VORNA_LOG_AS(VORNA_PREFIX_ERR, caller, "conn(%p) is broken\n", handleOf(conn));
            return false;
        case SENT:
            break;
    }
    return true;
}

// The client a call is for, with a reference that the caller releases; or null with `*status` set to
// the call's result: -1 when the server does not run, -2 for a null handle or one that names no listed
// client (such a handle was closed, released by stall(), or never given out). `caller` names the call in
// the log line.
Conn* acquireTarget(ListenerSkt* const& priv, const void* handle, const char* caller, int* status) {
    SharedGate gate;
    if (priv == NULL) {
        VORNA_LOG_AS(VORNA_PREFIX_ERR, caller, "skt is null\n");
        *status = kNotRunning;
        return nullptr;
    }
    if (handle == NULL) {
        VORNA_LOG_AS(VORNA_PREFIX_ERR, caller, "opaque is null\n");
        *status = kBadArgument;
        return nullptr;
    }
    Conn* conn = acquireListed(priv, serialOf(handle));
    if (conn == nullptr) {
        VORNA_LOG_AS(VORNA_PREFIX_ERR, caller, "conn(%p) is not a client\n", handle);
        *status = kBadArgument;
    }
    return conn;
}

// Sends one message to the client behind `handle`. Returns `success` when it all went out, otherwise
// the call's error code.
int sendToHandle(ListenerSkt* const& priv, void* handle, const Message& message, const char* caller,
                 int success) {
    int status = 0;
    Conn* conn = acquireTarget(priv, handle, caller, &status);
    if (conn == nullptr)
        return status;
    status = message.check(message.body, message.len, caller);
    if (status == 0)
        status = sendReported(conn, message, caller) ? success : kSendFailed;
    release(conn);
    return status;
}

// Every client whose MSG_CONNECTED callback has returned and that is not broken, each with a reference
// for the caller. False when the server does not run.
bool acquireAnnounced(ListenerSkt* const& priv, std::vector<Conn*>* clients, const char* caller) {
    SharedGate gate;
    if (priv == NULL) {
        VORNA_LOG_AS(VORNA_PREFIX_ERR, caller, "skt is null\n");
        return false;
    }
    vorna::ScopedLock lock(priv->list_lock);
    for (Conn* conn = listHead(priv); conn != nullptr; conn = conn->next) {
        if (conn->announced && !conn->broken.load(std::memory_order_relaxed))
            clients->push_back(acquire(conn));
    }
    return true;
}

// Sends one message to every announced client; returns how many it reached, -1 when the server does not
// run, -2 for a refused body.
int sendToAll(ListenerSkt* const& priv, const Message& message, const char* caller) {
    std::vector<Conn*> clients;
    if (!acquireAnnounced(priv, &clients, caller))
        return kNotRunning;
    const int refused = message.check(message.body, message.len, caller);
    int reached = 0;
    for (Conn* conn : clients) {
        if (refused == 0 && sendReported(conn, message, caller))
            ++reached;
        release(conn);
    }
    return refused != 0 ? refused : reached;
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

// Runs once the event thread has ended and no call can reach the record any more. A send still under way
// keeps its client's record (and socket) until it returns; the shutdown makes it return at once.
ListenerSktWorker::~ListenerSktWorker() {
    while (conn_list != NULL) {
        Conn* conn = conn_list;
        stopWatching(als, conn);
        unlist(als, conn);
        shutDownAndRelease(conn);
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
        int timeoutMs = kWaitTimeoutMs;
        resumeAcceptingWhenDue(als, &timeoutMs);
        const int count = epoll_wait(als->epoll_fd, als->events, kMaxEvents, timeoutMs);
        for (int index = 0; index < count; ++index)
            getEvent(als, als->events[index]);
    }
    return false;
}

namespace VORNA {

Listener::Listener(const char* name, int reserved)
    : mName(name), mReserved(reserved), m_priv(NULL), mCbk(NULL), mCbkCtx(NULL) {}

Listener::~Listener() {
    // A forked child that inherited a running server (a static or global Listener) may end normally.
    if (m_priv != NULL && !m_priv->owner.isCurrent()) {
        abandonForkedCopy(m_priv);
        m_priv = NULL;
    }
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
    ListenerSkt* als = new (std::nothrow) ListenerSkt(mCbk, mCbkCtx);
    if (als == NULL) {
        ERR("Alloc Skt failed\n");
        return kRunFailed;
    }
    als->skt_fd = openListeningSocket(mName);
    if (als->skt_fd < 0) {
        delete als;
        return kRunFailed;
    }
    als->worker = new ListenerSktWorker(als);
    // Published before the thread starts: its callbacks may call response() at once.
    {
        ExclusiveGate gate;
        m_priv = als;
    }
    if (als->worker->run("listener", -1, -10) != 0) {
        {
            ExclusiveGate gate;
            m_priv = NULL;
        }
        delete als->worker;
        closeSocket(als->skt_fd);
        delete als;
        return kRunFailed;
    }
    return 0;
}

int Listener::stall() {
    // Only run() and stall() write m_priv, on the application's controlling thread: it reads it unguarded.
    ListenerSkt* als = m_priv;
    if (als == NULL) {
        ERR("skt is null\n");
        return -1;
    }
    if (!als->owner.isCurrent()) {
        abandonForkedCopy(als);
        m_priv = NULL;
        return 0;
    }
    {
        ExclusiveGate gate;
        m_priv = NULL;
    }
    als->is_stall.store(1, std::memory_order_release);
    als->worker->requestExit();
    VORNA_ASSERT(0 <= als->skt_fd);
    shutdown(als->skt_fd, SHUT_RDWR);
    shutDownClients(als);
    als->worker->requestExitAndWait();
    // Closed only once the event thread has ended, so that it can never accept on a descriptor number that
    // meanwhile belongs to something else.
    closeSocket(als->skt_fd);
    delete als->worker;
    delete als;
    return 0;
}

int Listener::response(void* conn, unsigned char* data, int len) {
    const Message message = {makeHeader(HEADER_ID_RESPONSE, 0, len), data, len, checkResponseBody,
                             "send header error"};
    return sendToHandle(m_priv, conn, message, __func__, len + static_cast<int>(sizeof(MsgHeader)));
}

int Listener::notify(void* conn, unsigned int msg, unsigned int value) {
    const Message message = {makeHeader(HEADER_ID_NOTIFY, msg, static_cast<int32_t>(value)), NULL, 0,
                             acceptAnyBody, "send error"};
    return sendToHandle(m_priv, conn, message, __func__, static_cast<int>(sizeof(MsgHeader)));
}

int Listener::notify(void* conn, unsigned int msg, void* data, int len) {
    const Message message = {makeHeader(HEADER_ID_NOTIFY_DATA, msg, len), data, len, checkNotifyBody,
                             "send error"};
    return sendToHandle(m_priv, conn, message, __func__, len);
}

int Listener::notifyAll(unsigned int msg, unsigned int value) {
    const Message message = {makeHeader(HEADER_ID_NOTIFY, msg, static_cast<int32_t>(value)), NULL, 0,
                             acceptAnyBody, "send error"};
    return sendToAll(m_priv, message, __func__);
}

int Listener::notifyAll(unsigned int msg, void* data, int len) {
    const Message message = {makeHeader(HEADER_ID_NOTIFY_DATA, msg, len), data, len, checkNotifyBody,
                             "send error"};
    return sendToAll(m_priv, message, __func__);
}

int Listener::peerCredentials(void* conn, pid_t* pid, uid_t* uid, gid_t* gid) {
    int status = 0;
    Conn* client = acquireTarget(m_priv, conn, __func__, &status);
    if (client == nullptr)
        return status;
    const bool known = vorna::readPeerCredentials(client->fd, pid, uid, gid);
    const int error = errno;
    release(client);
    if (!known) {
        ERR("get peer credentials failed: %s\n", strerror(error));
        return kNoCredentials;
    }
    return 0;
}

int Listener::closeClient(void* conn) {
    SharedGate gate;
    if (conn == NULL || m_priv == NULL) {
        ERR("opaque is null\n");
        return kBadArgument;
    }
    destroyConn(m_priv, serialOf(conn));
    return 0;
}

}  // namespace VORNA
