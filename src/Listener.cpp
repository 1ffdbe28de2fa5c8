#define LOG_MODULE "src/Listener"

// The server. Each Listener owns one record, ListenerSkt, from its constructor to its destructor. run()
// and runInLoop() fill it (listening socket, epoll instance, the descriptors that wake the event loop,
// and in thread mode the event thread) and stall() empties it again. Nothing is shared between Listeners:
// two servers of one process never wait for each other.
//
// Lock order: a record's `lock`, then the log's locks (a failed epoll_ctl under it is logged). A client's
// `send_lock` is never held together with the record's lock, nor two records' locks together: servers
// never wait for each other. No lock is held while the application's callback runs.
//
// Lifetimes: client records (Conn) are counted. The record's client list holds one reference while the
// client is listed, and every thread that uses a client outside the lock holds one (the event loop
// around a callback, a sender, notifyAll); release() is the one path that frees a client, and freeing it
// closes its socket.
//
// One step function does the event loop's work: the event thread calls it blocking, dispatch() without
// blocking. Per request it makes three system calls (epoll_wait, recv, and the response's sendmsg) and
// takes two locks: the record's for the lookup of the client behind the event, and the client's send
// lock. A response from the callback finds its client in the thread's serving context, without a lookup.

#include <errno.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <new>
#include <vector>

#include "internal/leak_on_purpose.h"
#include "internal/log.h"
#include "internal/owner_process.h"
#include "internal/socket_activation.h"
#include "internal/socket_io.h"
#include "internal/thread_annotations.h"
#include "vorna/messaging.h"
#include "vorna/time.h"

namespace {

const int kNotRunning = -1;
const int kBadArgument = -2;
const int kSendFailed = -3;
const int kRunFailed = -3;
const int kNoCredentials = -3;

const int kReadBufferSize = 1024;
const int kMaxEvents = 128;
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

// Level-triggered: whatever one step leaves unread (pending clients, bytes beyond one read, the end of
// stream after the last bytes) makes the next wait return at once.
const uint32_t kListeningEvents = EPOLLIN | EPOLLERR | EPOLLHUP | EPOLLRDHUP;
const uint32_t kClientEvents = EPOLLIN | EPOLLRDHUP;

// Epoll keys hold a serial and a descriptor. The record's own descriptors have the serials below; clients
// have serials from kFirstClientSerial on.
const uint32_t kListeningSerial = 0;
const uint32_t kWakeSerial = 1;
const uint32_t kResumeSerial = 2;
const uint32_t kFirstClientSerial = 3;

// What a Listener does. Written under the record's lock; read without it where a stale value is harmless
// (setMsgCbk, fd(), the fork check) or ordered otherwise (dispatch()).
enum Mode : int { IDLE, THREAD, LOOP, STOPPING };

}  // namespace

// One accepted client. The application names it by its serial, never by its address.
struct Conn {
    explicit Conn(int socket) : fd(socket) {}
    // The last release of the record closes the socket: that is the end of the release step.
    ~Conn() {
        if (close(fd) != 0)
            VORNA_LOG_AS(VORNA_PREFIX_ERR, "destroyConn", "close failed\n");
    }
    Conn(const Conn&) = delete;
    Conn& operator=(const Conn&) = delete;

    const int fd;
    unsigned char buf[kReadBufferSize];  // the event loop's read buffer
    vorna::Lock send_lock;               // keeps each message whole on the stream
    std::atomic<int> refs{0};
    // A send failed: the stream may hold part of a message, so nothing more is sent or read.
    std::atomic<bool> broken{false};
    // Withdrawn by closeClient() or stall(): no callback starts for it any more.
    std::atomic<bool> closed{false};
    // The rest belongs to ClientList, whose methods alone touch it, under the record's lock.
    uint32_t serial = 0;
    Conn* next = nullptr;
    Conn* prev = nullptr;
    bool watched = false;    // registered in the epoll set
    bool announced = false;  // its MSG_CONNECTED callback has returned
};

namespace {

Conn* acquire(Conn* conn) {
    conn->refs.fetch_add(1, std::memory_order_relaxed);
    return conn;
}

void release(Conn* conn) {
    if (conn->refs.fetch_sub(1, std::memory_order_acq_rel) == 1)
        delete conn;
}

void* handleOf(const Conn* conn) {
    return reinterpret_cast<void*>(static_cast<uintptr_t>(conn->serial));
}

// 0 (no client) for a value that no serial can have.
uint32_t serialOf(const void* handle) {
    const uintptr_t value = reinterpret_cast<uintptr_t>(handle);
    return value <= UINT32_MAX ? static_cast<uint32_t>(value) : 0;
}

// The listed clients: in accept order, and by serial without probing. Each client sits in the slot that
// the low bits of its serial name, and a new client takes the next serial whose slot is free. The table
// stays at most half full, and doubling it keeps every client's slot distinct. Serials go on across
// run()/stall() cycles, so that a handle kept after closeClient() or stall() never names a later client
// (until the 32-bit count wraps, and even then never a live client's).
class ClientList {
  public:
    ClientList() : mSlots(16, nullptr) {}

    // Gives `conn` its serial and lists it; the list's reference comes from the caller.
    void add(Conn* conn) {
        if ((mCount + 1) * 2 > mSlots.size())
            grow();
        do {
            ++mLastSerial;
        } while (mLastSerial < kFirstClientSerial || mSlots[slotOf(mLastSerial)] != nullptr);
        conn->serial = mLastSerial;
        mSlots[slotOf(mLastSerial)] = conn;
        ++mCount;
        conn->prev = mTail;
        (mTail != nullptr ? mTail->next : mHead) = conn;
        mTail = conn;
        conn->watched = true;
    }

    // The listed client of `serial`, or null.
    Conn* find(uint32_t serial) const {
        Conn* conn = mSlots[slotOf(serial)];
        return conn != nullptr && conn->serial == serial ? conn : nullptr;
    }

    // Unlists `conn`; the list's reference passes to the caller. No callback starts for it afterwards.
    void remove(Conn* conn) {
        mSlots[slotOf(conn->serial)] = nullptr;
        --mCount;
        (conn->prev != nullptr ? conn->prev->next : mHead) = conn->next;
        (conn->next != nullptr ? conn->next->prev : mTail) = conn->prev;
        conn->next = conn->prev = nullptr;
        conn->closed.store(true, std::memory_order_release);
    }

    Conn* first() const { return mHead; }

    // True once: the caller takes `conn` out of the epoll set.
    bool unwatch(Conn* conn) {
        const bool was = conn->watched;
        conn->watched = false;
        return was;
    }

    void announce(Conn* conn) { conn->announced = true; }

    // Every announced client that is not broken, each with a reference for the caller.
    void acquireAnnounced(std::vector<Conn*>* clients) const {
        for (Conn* conn = mHead; conn != nullptr; conn = conn->next) {
            if (conn->announced && !conn->broken.load(std::memory_order_relaxed))
                clients->push_back(acquire(conn));
        }
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
    size_t mCount = 0;
    uint32_t mLastSerial = 0;
    Conn* mHead = nullptr;
    Conn* mTail = nullptr;
};

}  // namespace

struct ListenerSkt {
    vorna::Lock lock;
    std::atomic<int> mode{IDLE};  // Mode; written under `lock`
    ClientList clients GUARDED_BY(lock);

    // Set by run() before the mode leaves IDLE and fixed until stall() has ended the event loop: the loop
    // reads them without the lock.
    VORNA::Listener::MsgCbk cbk = nullptr;
    void* cbk_ctx = nullptr;
    int skt_fd = -1;           // listening socket
    bool skt_adopted = false;  // handed over by the service manager, which keeps listening on it
    int epoll_fd = -1;         // the loop's epoll instance: fd() in loop mode
    int wake_fd = -1;          // eventfd that stall() writes to end the event thread's wait
    // timerfd that ends the listening socket's rest after accept() ran out of descriptors
    int resume_fd = -1;
    vorna::OwnerProcess owner;            // the process that called run()
    ListenerSktWorker* worker = nullptr;  // the event thread, in thread mode

    // The event loop's own: only the thread, or the one dispatch() in progress, touches them.
    epoll_event events[kMaxEvents];

    // dispatch() calls in progress; stall() in loop mode waits for them to end.
    std::atomic<int> dispatchers{0};
    vorna::CondVar dispatchEnded;
};

namespace {

// The client whose callback runs on this thread, and its server: response(), notify() and
// peerCredentials() called from that callback reach the client without the record's lock. The event loop
// holds a reference to it meanwhile.
struct Serving {
    const ListenerSkt* server;
    Conn* conn;
};
thread_local Serving tServing = {nullptr, nullptr};

// Sets the serving context around one callback; restores the previous one (a callback may drive another
// server's loop).
class ServingScope {
  public:
    ServingScope(const ListenerSkt* server, Conn* conn) : mPrevious(tServing) { tServing = {server, conn}; }
    ~ServingScope() { tServing = mPrevious; }
    ServingScope(const ServingScope&) = delete;
    ServingScope& operator=(const ServingScope&) = delete;

  private:
    const Serving mPrevious;
};

bool inCallbackOf(const ListenerSkt* als) {
    return tServing.server == als;
}

bool isRunning(int mode) {
    return mode == THREAD || mode == LOOP;
}

bool isStopping(const ListenerSkt* als) {
    return als->mode.load(std::memory_order_acquire) == STOPPING;
}

uint64_t watchKey(uint32_t serial, int fd) {
    return (static_cast<uint64_t>(serial) << 32) | static_cast<uint32_t>(fd);
}

uint32_t serialOfKey(uint64_t key) {
    return static_cast<uint32_t>(key >> 32);
}

int descriptorOf(uint64_t key) {
    return static_cast<int>(static_cast<uint32_t>(key));
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

void unwatch(ListenerSkt* als, int fd) {
    if (epoll_ctl(als->epoll_fd, EPOLL_CTL_DEL, fd, NULL) != 0)
        VORNA_LOG_AS(VORNA_PREFIX_ERR, "destroyConn", "epoll_fd failed: %s\n", strerror(errno));
}

void closeSocket(int fd) {
    if (close(fd) != 0)
        ERR("close failed\n");
}

// ---- Client records ----

// The listed client of `serial`, with a reference for the caller; null when there is none.
Conn* acquireListed(ListenerSkt* als, uint32_t serial) {
    vorna::LockGuard guard(als->lock);
    Conn* conn = als->clients.find(serial);
    return conn != nullptr ? acquire(conn) : nullptr;
}

// Withdraws the client under the lock (out of the list and the epoll set together) and returns it with
// the list's reference; null when `serial` names no listed client.
Conn* unlistClient(ListenerSkt* als, uint32_t serial) {
    vorna::LockGuard guard(als->lock);
    Conn* conn = als->clients.find(serial);
    if (conn == nullptr)
        return nullptr;
    if (als->clients.unwatch(conn))
        unwatch(als, conn->fd);
    als->clients.remove(conn);
    return conn;
}

// The end of a withdrawn client: its socket shut down (the client sees its end, and a sender blocked on a
// full socket fails), the record freed by the last thread that uses it.
void shutDownAndRelease(Conn* conn) {
    shutdown(conn->fd, SHUT_RDWR);
    release(conn);
}

// closeClient's release. Returns false when the handle names no listed client.
bool destroyConn(ListenerSkt* als, uint32_t serial) {
    Conn* conn = unlistClient(als, serial);
    if (conn == nullptr) {
        VORNA_LOG_AS(VORNA_PREFIX_WRN, "destroyConn", "fd(%d) cant be found in Conn list\n", -1);
        return false;
    }
    shutDownAndRelease(conn);
    return true;
}

// Takes every listed client out for stall(), each with the list's reference.
std::vector<Conn*> unlistAll(ListenerSkt* als) {
    std::vector<Conn*> all;
    vorna::LockGuard guard(als->lock);
    while (Conn* conn = als->clients.first()) {
        als->clients.unwatch(conn);  // the epoll instance closes with the record's descriptors
        als->clients.remove(conn);
        all.push_back(conn);
    }
    return all;
}

// Wakes every sender blocked on a client's full socket, so that stall() does not wait for its timeout,
// and tells every client that the server ends.
void shutDownClients(ListenerSkt* als) REQUIRES(als->lock) {
    for (Conn* conn = als->clients.first(); conn != nullptr; conn = conn->next)
        shutdown(conn->fd, SHUT_RDWR);
}

// ---- The event loop ----

// A client that closeClient() has withdrawn gets no further callback, also when the event loop was
// already handling it.
void report(ListenerSkt* als, Conn* conn, int type, unsigned char* data, int len) {
    if (als->cbk == NULL || conn->closed.load(std::memory_order_acquire))
        return;
    ServingScope serving(als, conn);
    als->cbk(als->cbk_ctx, handleOf(conn), type, data, len);
}

// Reports each client's end once; its socket is no longer watched afterwards, so a hang-up that stays
// readable cannot wake the loop again. Without a callback nobody holds the handle: it is released here.
// stall() shuts every client down before the loop ends: those ends are not reported.
void reportDisconnect(ListenerSkt* als, Conn* conn) {
    bool wasWatched;
    {
        vorna::LockGuard guard(als->lock);
        wasWatched = als->clients.unwatch(conn);
        if (wasWatched)
            unwatch(als, conn->fd);
    }
    if (!wasWatched || isStopping(als))
        return;
    if (als->cbk != NULL)
        report(als, conn, MSG_DISCONNECTED, NULL, 0);
    else
        destroyConn(als, conn->serial);
}

// One read per step keeps clients fair; what is left wakes the next wait. MSG_DONTWAIT because the event
// loop must never block on one client. A broken client's requests are not read: nothing could answer
// them.
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
        VORNA_LOG_AS(VORNA_PREFIX_WRN, "threadLoop", "read data failed: %s\n", strerror(errno));
    reportDisconnect(als, conn);
}

bool isOutOfDescriptors(int error) {
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

// Pending clients stay in the backlog while the listening socket rests; the level-triggered wait would
// otherwise report them at once again and again, and starve the connected clients. The timer wakes the
// loop when the rest is over.
void pauseAccepting(ListenerSkt* als) {
    if (epoll_ctl(als->epoll_fd, EPOLL_CTL_DEL, als->skt_fd, NULL) != 0)
        VORNA_LOG_AS(VORNA_PREFIX_ERR, "createConn", "epoll_fd failed: %s\n", strerror(errno));
    itimerspec rest = {};
    rest.it_value.tv_sec = kAcceptPauseMs / 1000;
    rest.it_value.tv_nsec = (kAcceptPauseMs % 1000) * 1000000L;
    timerfd_settime(als->resume_fd, 0, &rest, NULL);
}

// The rest is over: the listening socket is watched again (or rests once more when that fails).
void resumeAccepting(ListenerSkt* als) {
    uint64_t expirations;
    if (read(als->resume_fd, &expirations, sizeof(expirations)) != sizeof(expirations))
        return;  // a stale wake-up: the timer was read already
    if (addToEpoll(als->epoll_fd, als->skt_fd, kListeningEvents, watchKey(kListeningSerial, als->skt_fd)))
        return;
    VORNA_LOG_AS(VORNA_PREFIX_ERR, "createConn", "epoll_fd failed: %s\n", strerror(errno));
    itimerspec rest = {};
    rest.it_value.tv_nsec = kRetryPauseMs * 1000000L;
    timerfd_settime(als->resume_fd, 0, &rest, NULL);
}

const int kAcceptFailed = -1;
const int kNothingPending = -2;

// Returns the accepted socket, kAcceptFailed (logged), or kNothingPending.
int acceptPending(ListenerSkt* als) {
    int fd;
    do {
        fd = accept4(als->skt_fd, NULL, NULL, kAcceptedSocketFlags);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0)
        return fd;
    const int error = errno;
    if (error == EAGAIN || error == EWOULDBLOCK)
        return kNothingPending;
    VORNA_LOG_AS(VORNA_PREFIX_ERR, "createConn", "accept error errno: %s\n", strerror(error));
    if (isOutOfDescriptors(error))
        pauseAccepting(als);
    return kAcceptFailed;
}

// A send to a client that stops reading then fails instead of holding the sender (and, from the
// callback, every other client) for good.
void limitClientSends(int fd) {
    if (!vorna::setSocketTimeoutMs(fd, SO_SNDTIMEO, kClientSendTimeoutMs))
        VORNA_LOG_AS(VORNA_PREFIX_WRN, "createConn", "set send timeout failed\n");
    if (kClientSendBufferBytes > 0)
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &kClientSendBufferBytes, sizeof(kClientSendBufferBytes));
}

// Accepts one pending client; further ones wake the next wait. Returns false when that failed.
bool createConn(ListenerSkt* als) {
    const int fd = acceptPending(als);
    if (fd == kNothingPending)
        return true;
    if (fd == kAcceptFailed)
        return false;
    Conn* conn = new (std::nothrow) Conn(fd);
    if (conn == nullptr) {
        VORNA_LOG_AS(VORNA_PREFIX_ERR, "createConn", "malloc per conn buffer failed\n");
        close(fd);
        return false;
    }
    limitClientSends(fd);
    // The loop's own reference, for the callback below: closeClient() may run meanwhile.
    acquire(conn);
    {
        vorna::LockGuard guard(als->lock);
        als->clients.add(acquire(conn));
    }
    // Registered after listing. A closeClient() in between (by a guessed handle) leaves a registration
    // that goes away by itself: the socket closes once the reference above is released.
    watchUntilDone("createConn", als->epoll_fd, fd, kClientEvents, watchKey(conn->serial, fd));
    report(als, conn, MSG_CONNECTED, NULL, 0);
    {
        vorna::LockGuard guard(als->lock);
        als->clients.announce(conn);
    }
    release(conn);
    return true;
}

void serveListeningSocket(ListenerSkt* als, uint32_t events) {
    if ((events & EPOLLIN) && !(events & (EPOLLERR | EPOLLHUP))) {
        if (!createConn(als))
            VORNA_LOG_AS(VORNA_PREFIX_ERR, "threadLoop", "create fd(%d) conn failed\n", als->skt_fd);
        return;
    }
    VORNA_LOG_AS(VORNA_PREFIX_ERR, "threadLoop", "found fd(%d) conn failed\n", als->skt_fd);
    // A broken listening socket would report itself at every wake-up.
    if (epoll_ctl(als->epoll_fd, EPOLL_CTL_DEL, als->skt_fd, NULL) != 0)
        VORNA_LOG_AS(VORNA_PREFIX_ERR, "threadLoop", "epoll_fd failed: %s\n", strerror(errno));
}

void handleClient(ListenerSkt* als, const epoll_event& event) {
    Conn* conn = acquireListed(als, serialOfKey(event.data.u64));
    if (conn == nullptr) {
        // closeClient() on another thread took the client after this batch was fetched.
        VORNA_LOG_AS(VORNA_PREFIX_ERR, "threadLoop", "found fd(%d) conn failed\n",
                     descriptorOf(event.data.u64));
        return;
    }
    // Readable also covers a hang-up or an error: the bytes that came before it are read first, and the
    // read that finds the end reports it.
    if (event.events & EPOLLIN) {
        readRequest(als, conn);
    } else {
        if (!(event.events & (EPOLLERR | EPOLLHUP)))
            VORNA_LOG_AS(VORNA_PREFIX_ERR, "getEvent", "epoll error curEvents:%u\n", event.events);
        reportDisconnect(als, conn);
    }
    release(conn);
}

void getEvent(ListenerSkt* als, const epoll_event& event) {
    switch (serialOfKey(event.data.u64)) {
        case kListeningSerial:
            serveListeningSocket(als, event.events);
            break;
        case kWakeSerial:
            break;  // stall() ends the loop: its caller looks at the mode
        case kResumeSerial:
            resumeAccepting(als);
            break;
        default:
            handleClient(als, event);
    }
}

// The event loop's one step, for the event thread (timeoutMs -1: wait for work) and for dispatch() (0):
// waits for what is ready and does it. Returns the number of events handled; -1 when the wait failed
// (interrupted by a signal, for instance).
int step(ListenerSkt* als, int timeoutMs) {
    const int count = epoll_wait(als->epoll_fd, als->events, kMaxEvents, timeoutMs);
    for (int index = 0; index < count && !isStopping(als); ++index)
        getEvent(als, als->events[index]);
    return count;
}

// Counts a dispatch() out; the last one out wakes a stall() that waits for it.
void leaveDispatch(ListenerSkt* als) {
    if (als->dispatchers.fetch_sub(1) == 1 && als->mode.load() == STOPPING) {
        vorna::LockGuard guard(als->lock);
        als->dispatchEnded.notifyAll();
    }
}

// Counts a dispatch() in, so that stall() waits for it; false (counted out again) when the server does
// not run in loop mode. The order of the counter and the mode (both sequentially consistent) makes
// either dispatch() see stall()'s mode or stall() see the counter.
bool enterDispatch(ListenerSkt* als) {
    als->dispatchers.fetch_add(1);
    if (als->mode.load() == LOOP && als->owner.isCurrent())
        return true;
    // Counted out as a dispatch() that ran: a stall() may already wait for this count to fall.
    leaveDispatch(als);
    return false;
}

void waitForDispatchers(ListenerSkt* als) {
    vorna::LockGuard guard(als->lock);
    while (als->dispatchers.load() != 0)
        als->dispatchEnded.wait(als->lock);
}

// Makes the epoll instance readable for good: the event thread, or the application's loop, wakes and
// sees the mode.
void wakeLoop(ListenerSkt* als) {
    const uint64_t one = 1;
    if (write(als->wake_fd, &one, sizeof(one)) != sizeof(one))
        ERR("wake failed: %s\n", strerror(errno));
}

// ---- Starting and stopping ----

bool socket_local_server_bind(int fd, const sockaddr_un& addr, socklen_t addrLen) {
    const int reuse = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof(reuse)) != 0) {
        ERR("set reuse address failed\n");
        return false;
    }
    return bind(fd, reinterpret_cast<const sockaddr*>(&addr), addrLen) == 0;
}

// Returns a new listening socket bound to `name`, or -1.
int bindListeningSocket(const char* name) {
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

// The socket a service manager handed over for `name` (socket activation), or a new one bound to it;
// with the timeouts of every listening socket. Returns -1 on failure.
int openListeningSocket(const char* name, bool* adopted) {
    int fd = name != NULL ? vorna::adoptActivatedSocket(name) : -1;
    *adopted = fd >= 0;
    if (fd < 0)
        fd = bindListeningSocket(name);
    if (fd < 0)
        return -1;
    if (!vorna::setSocketTimeout(fd, SO_RCVTIMEO, kSocketTimeoutSeconds))
        VORNA_LOG_AS(VORNA_PREFIX_WRN, "run", "set recive timeout failed\n");
    if (!vorna::setSocketTimeout(fd, SO_SNDTIMEO, kSocketTimeoutSeconds))
        VORNA_LOG_AS(VORNA_PREFIX_WRN, "run", "set send timeout failed\n");
    return fd;
}

void closeIfOpen(int* fd) {
    if (*fd >= 0)
        closeSocket(*fd);
    *fd = -1;
}

void closeDescriptors(ListenerSkt* als) {
    closeIfOpen(&als->skt_fd);
    closeIfOpen(&als->epoll_fd);
    closeIfOpen(&als->wake_fd);
    closeIfOpen(&als->resume_fd);
}

// The epoll instance (retried without limit, as a server without one cannot serve) with the listening
// socket, the wake-up and the resume timer in it. False when a descriptor cannot be had.
bool openEventLoop(ListenerSkt* als) {
    while ((als->epoll_fd = epoll_create1(EPOLL_CLOEXEC)) < 0) {
        VORNA_LOG_AS(VORNA_PREFIX_ERR, "ListenerSktWorker", "epoll_create failed: %s\n", strerror(errno));
        VORNA::Sleep::sleep(kRetryPauseMs);
    }
    als->wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    als->resume_fd = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    if (als->wake_fd < 0 || als->resume_fd < 0) {
        ERR("event descriptors failed: %s\n", strerror(errno));
        return false;
    }
    const int watched[][2] = {{als->skt_fd, static_cast<int>(kListeningSerial)},
                              {als->wake_fd, static_cast<int>(kWakeSerial)},
                              {als->resume_fd, static_cast<int>(kResumeSerial)}};
    for (const auto& entry : watched) {
        watchUntilDone("ListenerSktWorker", als->epoll_fd, entry[0], kListeningEvents,
                       watchKey(static_cast<uint32_t>(entry[1]), entry[0]));
    }
    return true;
}

void setMode(ListenerSkt* als, Mode mode) {
    vorna::LockGuard guard(als->lock);
    als->mode.store(mode);
}

// run() and runInLoop(): the same server, with or without the event thread.
int start(ListenerSkt* als, const char* name, VORNA::Listener::MsgCbk cbk, void* ctx, Mode mode) {
    if (als->mode.load() != IDLE) {
        VORNA_LOG_AS(VORNA_PREFIX_ERR, "run", "als is not null\n");
        return kRunFailed;
    }
    als->owner = vorna::OwnerProcess();
    als->cbk = cbk;
    als->cbk_ctx = ctx;
    als->skt_fd = openListeningSocket(name, &als->skt_adopted);
    if (als->skt_fd < 0)
        return kRunFailed;
    if (!openEventLoop(als)) {
        closeDescriptors(als);
        return kRunFailed;
    }
    // Published before the thread starts: its callbacks may call response() at once.
    setMode(als, mode);
    if (mode == LOOP)
        return 0;
    als->worker = new ListenerSktWorker(als);
    if (als->worker->run("listener", -1, -10) == 0)
        return 0;
    setMode(als, IDLE);
    delete als->worker;
    als->worker = nullptr;
    closeDescriptors(als);
    return kRunFailed;
}

// Reads the client list of a forked child's copy. No lock: a thread of the parent may have held it at the
// fork, and no thread of this process can touch the record.
void closeForkedCopies(ListenerSkt* als) NO_THREAD_SAFETY_ANALYSIS {
    for (Conn* conn = als->clients.first(); conn != nullptr; conn = conn->next)
        close(conn->fd);
    close(als->skt_fd);
    close(als->epoll_fd);
    close(als->wake_fd);
    close(als->resume_fd);
}

// In a process that fork() made, the record's sockets are shared with the parent, which still serves
// them, and its thread does not exist: only this process's copies of the descriptors are closed. Nothing
// is locked and nothing is freed (a lock may have been held by a thread of the parent at the fork), and
// the Listener gets a fresh, idle record.
void abandonForkedCopy(ListenerSkt** record) {
    ListenerSkt* als = *record;
    closeForkedCopies(als);
    vorna::leakOnPurpose(als);
    *record = new ListenerSkt;
}

// ---- Sending ----

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
// socket down tells the client, and wakes the event loop, which reports the end once. A client that has
// gone needs none of this: later sends fail at once by themselves, and the event loop sees the end.
void breakClientAfter(Conn* conn, int error) {
    if (error == EPIPE || error == ECONNRESET)
        return;
    conn->broken.store(true, std::memory_order_release);
    shutdown(conn->fd, SHUT_RDWR);
}

// Sends the header and the body in one write under the client's send lock, so that no other message to
// it can come between them. A failure leaves errno set for the caller's log line.
SendOutcome sendMessage(Conn* conn, const Message& message) {
    vorna::LockGuard guard(conn->send_lock);
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

// The client of the callback running on this thread, when `handle` names it: no lock, no lookup.
Conn* acquireServed(const ListenerSkt* als, const void* handle) {
    Conn* conn = tServing.conn;
    if (!inCallbackOf(als) || handle == NULL || handleOf(conn) != handle ||
        conn->closed.load(std::memory_order_acquire))
        return nullptr;
    return acquire(conn);
}

// The client a call is for, with a reference that the caller releases; or null with `*status` set to
// the call's result: -1 when the server does not run, -2 for a null handle or one that names no listed
// client (such a handle was closed, released by stall(), or never given out). `caller` names the call in
// the log line.
Conn* acquireTarget(ListenerSkt* als, const void* handle, const char* caller, int* status) {
    Conn* conn = acquireServed(als, handle);
    if (conn != nullptr)
        return conn;
    bool running;
    {
        vorna::LockGuard guard(als->lock);
        running = isRunning(als->mode.load(std::memory_order_relaxed));
        Conn* listed = running && handle != NULL ? als->clients.find(serialOf(handle)) : nullptr;
        conn = listed != nullptr ? acquire(listed) : nullptr;
    }
    if (conn != nullptr)
        return conn;
    *status = !running ? kNotRunning : kBadArgument;
    if (!running)
        VORNA_LOG_AS(VORNA_PREFIX_ERR, caller, "skt is null\n");
    else if (handle == NULL)
        VORNA_LOG_AS(VORNA_PREFIX_ERR, caller, "opaque is null\n");
    else
        VORNA_LOG_AS(VORNA_PREFIX_ERR, caller, "conn(%p) is not a client\n", handle);
    return nullptr;
}

// Sends one message to the client behind `handle`. Returns `success` when it all went out, otherwise
// the call's error code.
int sendToHandle(ListenerSkt* als, void* handle, const Message& message, const char* caller, int success) {
    int status = 0;
    Conn* conn = acquireTarget(als, handle, caller, &status);
    if (conn == nullptr)
        return status;
    status = message.check(message.body, message.len, caller);
    if (status == 0)
        status = sendReported(conn, message, caller) ? success : kSendFailed;
    release(conn);
    return status;
}

// Sends one message to every announced client; returns how many it reached, -1 when the server does not
// run, -2 for a refused body.
int sendToAll(ListenerSkt* als, const Message& message, const char* caller) {
    std::vector<Conn*> clients;
    bool running;
    {
        vorna::LockGuard guard(als->lock);
        running = isRunning(als->mode.load(std::memory_order_relaxed));
        if (running)
            als->clients.acquireAnnounced(&clients);
    }
    if (!running) {
        VORNA_LOG_AS(VORNA_PREFIX_ERR, caller, "skt is null\n");
        return kNotRunning;
    }
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

// The event thread of thread mode: the loop's step, blocking, until stall().
ListenerSktWorker::ListenerSktWorker(ListenerSkt* skt) : VORNA::Thread(NULL), als(skt), conn_list(NULL) {}

ListenerSktWorker::~ListenerSktWorker() {}

bool ListenerSktWorker::threadLoop() {
    if (als == NULL) {
        ERR("als is null\n");
        return false;
    }
    while (!isStopping(als))
        step(als, -1);
    return false;
}

namespace VORNA {

Listener::Listener(const char* name, int reserved)
    : mName(name), mReserved(reserved), m_priv(new (std::nothrow) ListenerSkt), mCbk(NULL), mCbkCtx(NULL) {
    VORNA_ASSERT(NULL != m_priv);
}

Listener::~Listener() {
    // A forked child that inherited a running server (a static or global Listener) may end normally.
    if (m_priv->mode.load() != IDLE && !m_priv->owner.isCurrent())
        abandonForkedCopy(&m_priv);
    if (m_priv->mode.load() != IDLE) {
        // The words applications have always seen for a server destroyed while it serves.
        BUG("NULL == m_priv\n");
        exit(-1);
    }
    delete m_priv;
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
    if (m_priv->mode.load() != IDLE) {
        ERR("als is not null\n");
        return;
    }
    mCbk = cbk;
    mCbkCtx = ctx;
}

int Listener::run() {
    return start(m_priv, mName, mCbk, mCbkCtx, THREAD);
}

int Listener::runInLoop() {
    return start(m_priv, mName, mCbk, mCbkCtx, LOOP);
}

int Listener::fd() const {
    return m_priv->mode.load() == LOOP ? m_priv->epoll_fd : -1;
}

int Listener::dispatch() {
    ListenerSkt* als = m_priv;
    if (inCallbackOf(als)) {
        ERR("called from the message callback\n");
        return -1;
    }
    // Quiet: a loop may call it once more after stall() on another thread, before it drops fd().
    if (!enterDispatch(als))
        return -1;
    const int count = step(als, 0);
    leaveDispatch(als);
    return count > 0 ? count : 0;
}

int Listener::stall() {
    ListenerSkt* als = m_priv;
    const int mode = als->mode.load();
    if (!isRunning(mode)) {
        ERR("skt is null\n");
        return -1;
    }
    if (!als->owner.isCurrent()) {
        abandonForkedCopy(&m_priv);
        return 0;
    }
    if (inCallbackOf(als)) {
        ERR("called from the message callback\n");
        return -1;
    }
    {
        vorna::LockGuard guard(als->lock);
        als->mode.store(STOPPING);
        // New clients are refused from now on, before the clients that are shut down try to come back:
        // they must not reach a server that is going away. A socket that the service manager handed over
        // stays its own to listen on.
        if (!als->skt_adopted)
            shutdown(als->skt_fd, SHUT_RDWR);
        shutDownClients(als);
    }
    // Also in loop mode: the application's poll wakes, and its dispatch() returns -1.
    wakeLoop(als);
    if (mode == THREAD) {
        als->worker->requestExitAndWait();
        delete als->worker;
        als->worker = nullptr;
    } else {
        waitForDispatchers(als);
    }
    // Closed only once the event loop has ended, so that it never serves a descriptor number that
    // meanwhile belongs to something else. A send still under way keeps its client's record (and socket)
    // until it returns; the shutdown above made it return at once.
    for (Conn* conn : unlistAll(als))
        shutDownAndRelease(conn);
    closeDescriptors(als);
    setMode(als, IDLE);
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
    if (conn == NULL || !isRunning(m_priv->mode.load())) {
        ERR("opaque is null\n");
        return kBadArgument;
    }
    destroyConn(m_priv, serialOf(conn));
    return 0;
}

}  // namespace VORNA
