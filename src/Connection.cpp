#define LOG_MODULE "src/Connection"

// A Connection's record (ConnectionSocket) lives as long as the object. Each connect() gives it a Link: the
// socket and everything that reads or writes it. A Link is counted: the record holds one reference while
// the connection is current, the receive thread one while it runs. Calls borrow the record's reference:
// they count themselves in the record's mUsers, and disconnect() releases the reference only once they
// have all left, after waking every one of them. The last release closes the socket, so no call or
// thread ever reads a descriptor number that may already belong to something else.
//
// Who reads the stream: in thread mode the receive thread, which hands each response to the caller that
// waits for it; in direct and loop mode the caller holding the turn reads its own response, and in loop
// mode dispatch() reads the notifications while no caller reads.
//
// Lock order: a record's mControl, then a Link's mStream, then the Link's mLock (the turn's); the record's
// mLossLock and mDrainLock are taken alone. No lock is held while an application callback runs, except
// mStream by dispatch(), which the notification callback cannot reach (recv() and call() refuse to run
// there).

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <semaphore.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <new>
#include <vector>

#include "internal/deadline.h"
#include "internal/leak_on_purpose.h"
#include "internal/log.h"
#include "internal/owner_process.h"
#include "internal/socket_io.h"
#include "internal/thread_annotations.h"
#include "internal/thread_detach.h"
#include "vorna/messaging.h"
#include "vorna/sync.h"
#include "vorna/time.h"

namespace {

const int kConnectAttempts = 501;
const int kConnectPauseMs = 20;
// One attempt of a bounded connect never waits longer than this for the server to take it.
const int kConnectAttemptMs = 1000;
const int kSendAttempts = 11;
const int kSendPauseMs = 10;
const int kSendTimeoutSeconds = 10;
const int kGuardDescriptors = 3;
const int kNotConnected = -1;
const int kBadArgument = -2;
const int kNoCredentials = -3;
const int kTooLong = VORNA::Connection::RESPONSE_TOO_LONG;
const int kTimedOut = VORNA::Connection::TIMED_OUT;
// Once a message has begun, the rest of it must arrive within this time. The server writes a header and
// its body back to back, so a peer that stops in the middle has broken the framing for good; waiting
// longer would only hold the callers.
const int kMessageCompletionMs = 3000;
// A deadline for reads that must not wait at all (dispatch()).
const long long kDontWait = -2;
// dispatch() delivers at most this many notifications per call, so that a busy server cannot hold the
// application's loop; the descriptor stays readable for the rest.
const int kDispatchBatch = 64;

const char kRecv[] = "recv";
const char kCall[] = "call";
const char kThreadLoop[] = "threadLoop";

// Kept near the top of the file: the log prefix has a fixed width, so this long step name leaves room only
// for "ER" of the level word, and a line number of three digits would cut it to "E".
int socket_make_sockaddr_un(const char* name, sockaddr_un* addr, socklen_t* addrLen) {
    if (!vorna::makeAbstractAddress(name, addr, addrLen)) {
        ERR("namelen > sun_path's size\n");
        return -1;
    }
    return 0;
}

void closeSocket(int fd) {
    if (close(fd) != 0)
        ERR("close failed\n");
}

// A descriptor with one owner.
class UniqueFd {
  public:
    UniqueFd() = default;
    ~UniqueFd() { reset(); }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return mFd; }
    void adopt(int fd) {
        reset();
        mFd = fd;
    }
    void reset() {
        if (mFd >= 0)
            closeSocket(mFd);
        mFd = -1;
    }
    // A forked child's copy: closed, whatever happens to the rest of its owner.
    void closeCopy() {
        if (mFd >= 0)
            close(mFd);
        mFd = -1;
    }

  private:
    int mFd = -1;
};

enum HeaderRead { HEADER_READ, HEADER_NOT_BEGUN, HEADER_FAILED };

// Reads the messages of one connection's stream, reading ahead: one recv takes in whatever the server has
// written (a header with its body, or several notifications), where reading each header and body apart
// would cost a system call each. Used by one reader at a time (see the Link).
class StreamReader {
  public:
    StreamReader() : mAhead(new unsigned char[kAheadCapacity]) {}
    StreamReader(const StreamReader&) = delete;
    StreamReader& operator=(const StreamReader&) = delete;

    size_t buffered() const { return mEnd - mStart; }

    // Reads one whole header, waiting for its first byte until `deadlineMs` (kNoDeadline: without limit;
    // kDontWait: not at all); the rest must follow within kMessageCompletionMs. `*got` is the byte count
    // read (or the failed read's result).
    HeaderRead readHeader(int fd, MsgHeader* header, long long deadlineMs, ssize_t* got) {
        memset(header, 0, sizeof(*header));
        errno = 0;
        bool timedOut = false;
        const ssize_t first = readSome(fd, header, sizeof(*header), deadlineMs, &timedOut);
        *got = first;
        if (timedOut)
            return HEADER_NOT_BEGUN;
        if (first <= 0)
            return HEADER_FAILED;
        if (first < static_cast<ssize_t>(sizeof(*header))) {
            const ssize_t rest = readAll(fd, reinterpret_cast<char*>(header) + first,
                                         sizeof(*header) - static_cast<size_t>(first),
                                         vorna::deadlineAfterMs(kMessageCompletionMs));
            *got = rest < 0 ? rest : first + rest;
            if (*got != static_cast<ssize_t>(sizeof(*header)))
                return HEADER_FAILED;
        }
        return HEADER_READ;
    }

    // Reads exactly `length` bytes before `deadlineMs`, as vorna::recvAllBefore does.
    ssize_t readAll(int fd, void* data, size_t length, long long deadlineMs) {
        const size_t taken = take(data, length);
        if (taken == length)
            return static_cast<ssize_t>(length);
        char* rest = static_cast<char*>(data) + taken;
        const size_t missing = length - taken;
        ssize_t got;
        if (missing < kAheadCapacity / 2)
            got = fillAndTake(fd, rest, missing, deadlineMs);
        else  // a large body goes straight to its place
            got = vorna::recvAllBefore(fd, rest, missing, deadlineMs);
        return got < 0 ? got : static_cast<ssize_t>(taken) + got;
    }

    // Reads `length` bytes off the stream and drops them. Returns true when all were read.
    bool discardAll(int fd, size_t length, long long deadlineMs) {
        char scratch[512];
        while (length > 0) {
            const size_t chunk = std::min(length, sizeof(scratch));
            if (readAll(fd, scratch, chunk, deadlineMs) != static_cast<ssize_t>(chunk))
                return false;
            length -= chunk;
        }
        return true;
    }

  private:
    static const size_t kAheadCapacity = 4096;

    size_t take(void* data, size_t length) {
        const size_t count = std::min(length, buffered());
        if (count > 0)
            memcpy(data, mAhead.get() + mStart, count);
        mStart += count;
        if (mStart == mEnd)
            mStart = mEnd = 0;
        return count;
    }

    // At most `length` bytes, from the buffer or else from one read of whatever is there.
    ssize_t readSome(int fd, void* data, size_t length, long long deadlineMs, bool* timedOut) {
        if (buffered() == 0) {
            const ssize_t got = recvFirstBefore(fd, mAhead.get(), kAheadCapacity, deadlineMs, timedOut);
            if (got <= 0)
                return got;
            mEnd = static_cast<size_t>(got);
        }
        return static_cast<ssize_t>(take(data, length));
    }

    // One recv whose wait for the first byte ends at `deadlineMs`. The socket's receive timeout bounds it,
    // rather than a poll() before the recv: one system call less for each response. `*timedOut` tells
    // that nothing came in time.
    ssize_t recvFirstBefore(int fd, void* data, size_t length, long long deadlineMs, bool* timedOut) {
        const bool unbounded = deadlineMs == vorna::kNoDeadline;
        for (;;) {
            const long long leftMs =
                unbounded || deadlineMs == kDontWait ? 0 : deadlineMs - vorna::monotonicMs();
            const bool waits = unbounded || leftMs > 0;
            if (waits && !boundWait(fd, leftMs))
                return -1;
            const ssize_t got = ::recv(fd, data, length, waits ? MSG_NOSIGNAL : MSG_NOSIGNAL | MSG_DONTWAIT);
            if (got >= 0 || (errno != EINTR && errno != EAGAIN))
                return got;
            if (errno == EAGAIN && !waits) {
                *timedOut = true;
                return got;
            }
            // Interrupted, or the timeout ran out: the deadline decides.
        }
    }

    // Sets the socket's receive timeout to end a wait `boundMs` from now (0: no timeout). A timeout set
    // before that ends no earlier and only a little later is kept: repeated calls with one timeout set
    // it once.
    bool boundWait(int fd, long long boundMs) {
        if (boundMs == 0 ? mWaitBoundMs == 0
                         : mWaitBoundMs >= boundMs && mWaitBoundMs <= boundMs + boundMs / 64 + 2)
            return true;
        if (!vorna::setSocketTimeoutMs(fd, SO_RCVTIMEO, boundMs))
            return false;
        mWaitBoundMs = boundMs;
        return true;
    }

    // With the buffer empty: reads ahead until `length` bytes have come, and takes them.
    ssize_t fillAndTake(int fd, char* data, size_t length, long long deadlineMs) {
        while (mEnd < length) {
            errno = 0;
            const ssize_t got = vorna::recvOnce(fd, mAhead.get() + mEnd, kAheadCapacity - mEnd, MSG_DONTWAIT);
            if (got > 0) {
                mEnd += static_cast<size_t>(got);
                continue;
            }
            if (got < 0 && errno == EAGAIN) {
                const int ready = vorna::waitReadable(fd, deadlineMs);
                if (ready > 0)
                    continue;
                if (ready == 0)
                    errno = ETIMEDOUT;
                else
                    return -1;
            } else if (got < 0) {
                return -1;
            }
            // The stream ended or the time ran out: the caller gets what came.
            return static_cast<ssize_t>(take(data, mEnd));
        }
        return static_cast<ssize_t>(take(data, length));
    }

    const std::unique_ptr<unsigned char[]> mAhead;
    size_t mStart = 0;
    size_t mEnd = 0;
    long long mWaitBoundMs = 0;  // the socket's receive timeout, 0 for none
};

// Takes a broken or unfinished read as the end of the stream: from now on the connection is lost.
void logReadFailure(const char* operation, ssize_t result) {
    const int error = errno;
    VORNA_LOG_AS(VORNA_PREFIX_WRN, operation, "recv failed(%d) errno:%s %d, reTry=%d\n",
                 static_cast<int>(result), strerror(error), error, 0);
}

// A caller's claim on the next response: the buffer it lends, and the result. In thread mode the receive
// thread fills it and posts `done`.
class Taker {
  public:
    Taker(unsigned char* buf, int capacity, int tooLongResult, const char* operation)
        : buf(buf), capacity(capacity), tooLongResult(tooLongResult), operation(operation) {
        sem_init(&mDone, 0, 0);
    }
    ~Taker() { sem_destroy(&mDone); }
    Taker(const Taker&) = delete;
    Taker& operator=(const Taker&) = delete;

    void finish(int value) {
        result = value;
        sem_post(&mDone);
    }

    // Waits for finish() until `deadlineMs` (kNoDeadline: without limit). False when the deadline came
    // first.
    bool waitUntil(long long deadlineMs) {
        for (;;) {
            int waited;
            if (deadlineMs == vorna::kNoDeadline) {
                waited = sem_wait(&mDone);
            } else {
                const long long leftMs = deadlineMs - vorna::monotonicMs();
                if (leftMs <= 0)
                    return sem_trywait(&mDone) == 0;
                // sem_timedwait takes the wall clock; the monotonic deadline above decides when to stop.
                timespec until;
                if (!vorna::deadlineAfter(static_cast<long>(leftMs), CLOCK_REALTIME, &until))
                    return false;
                waited = sem_timedwait(&mDone, &until);
            }
            if (waited == 0)
                return true;
        }
    }

    unsigned char* const buf;
    const int capacity;
    const int tooLongResult;  // what a body longer than `capacity` gives
    const char* const operation;
    int result = kNotConnected;  // valid once done is posted

  private:
    sem_t mDone;
};

// Reads a response body of `bodyLen` bytes into `taker`'s buffer (or drops it for a null taker). A body
// that does not fit is read off the stream and dropped, so that the next message still starts at a
// header. Returns the length, taker->tooLongResult, 0 for a dropped body, or -1 when the stream broke
// (`*broken` set).
int readResponseBody(StreamReader& reader, int fd, const Taker* taker, int32_t bodyLen, bool* broken) {
    const long long deadline = vorna::deadlineAfterMs(kMessageCompletionMs);
    *broken = false;
    if (taker == NULL && bodyLen >= 0) {
        *broken = !reader.discardAll(fd, static_cast<size_t>(bodyLen), deadline);
        return *broken ? kNotConnected : 0;
    }
    const char* operation = taker != NULL ? taker->operation : kRecv;
    if (bodyLen < 0 || bodyLen > taker->capacity) {
        VORNA_LOG_AS(VORNA_PREFIX_ERR, operation, "response len(%d) larger than buffer len(%d)\n", bodyLen,
                     taker->capacity);
        // A negative length leaves no way to find the next header.
        *broken = bodyLen < 0 || !reader.discardAll(fd, static_cast<size_t>(bodyLen), deadline);
        return *broken ? kNotConnected : taker->tooLongResult;
    }
    const ssize_t got = reader.readAll(fd, taker->buf, static_cast<size_t>(bodyLen), deadline);
    if (got == bodyLen)
        return bodyLen;
    *broken = true;
    logReadFailure(operation, got);
    const int error = errno;
    VORNA_LOG_AS(VORNA_PREFIX_ERR, operation, "recv failed(%d) %s %d\n", static_cast<int>(got),
                 strerror(error), error);
    return kNotConnected;
}

// One caller at a time reads responses: the turn orders recv() and call() callers. Taken with one lock;
// given back without one unless somebody waits.
class Turn {
  public:
    enum Entry { ENTERED, TIMED_OUT, CLOSED };

    // Waits for the turn until `deadlineMs` (kNoDeadline: without limit).
    Entry enter(long long deadlineMs) {
        vorna::LockGuard guard(mLock);
        while (mBusy.load() && !mClosed) {
            ++mWaiters;
            const bool inTime = !mBusy.load() || mFree.waitUntil(mLock, deadlineMs);
            --mWaiters;
            if (!inTime && mBusy.load() && !mClosed)
                return TIMED_OUT;
        }
        if (mClosed)
            return CLOSED;
        mBusy.store(true);
        return ENTERED;
    }

    void leave() {
        mBusy.store(false, std::memory_order_seq_cst);
        if (mWaiters.load(std::memory_order_seq_cst) > 0) {
            vorna::LockGuard guard(mLock);
            mFree.notifyOne();
        }
    }

    // Every caller waiting for the turn, and every later one, gets CLOSED.
    void close() {
        vorna::LockGuard guard(mLock);
        mClosed = true;
        mFree.notifyAll();
    }

  private:
    vorna::Lock mLock;
    vorna::CondVar mFree;
    // Set under mLock; cleared by leave() without it, which then wakes a waiter under mLock. A waiter
    // counts itself before it looks at mBusy again, so leave() sees it or it sees the turn free.
    std::atomic<bool> mBusy{false};
    std::atomic<int> mWaiters{0};  // changed under mLock
    bool mClosed GUARDED_BY(mLock) = false;
};

// Holds the turn for one scope.
class TurnHeld {
  public:
    TurnHeld(Turn& turn, long long deadlineMs) : mTurn(turn), mEntry(turn.enter(deadlineMs)) {}
    ~TurnHeld() {
        if (mEntry == Turn::ENTERED)
            mTurn.leave();
    }
    TurnHeld(const TurnHeld&) = delete;
    TurnHeld& operator=(const TurnHeld&) = delete;

    Turn::Entry entry() const { return mEntry; }

  private:
    Turn& mTurn;
    const Turn::Entry mEntry;
};

// Thread mode: hands each response from the receive thread to the caller holding the turn. The slot says
// who takes the next response: nobody yet (EMPTY), a caller that lent its buffer and waits (a Taker), a
// caller still to come while the receive thread holds the response's header and waits (PARKED), or
// nobody any more (CLOSED). Every change is a compare-and-swap, so a round trip takes no lock here.
class ResponseHandoff {
  public:
    enum Lend { LENT, TAKE_PARKED, LOST };
    enum Claim { CLAIM_TAKER, CLAIM_DROP, CLAIM_HANDED, CLAIM_STOP };

    ResponseHandoff() { sem_init(&mResume, 0, 0); }
    ~ResponseHandoff() { sem_destroy(&mResume); }
    ResponseHandoff(const ResponseHandoff&) = delete;
    ResponseHandoff& operator=(const ResponseHandoff&) = delete;

    // Caller: lends `taker` for the next response; or, when the receive thread waits with a response
    // header, takes that response over (read it with parkedLength(), then resume()).
    Lend lend(Taker* taker) {
        uintptr_t expected = EMPTY;
        if (mSlot.compare_exchange_strong(expected, slotOf(taker)))
            return LENT;
        if (expected == PARKED && mSlot.compare_exchange_strong(expected, EMPTY))
            return TAKE_PARKED;
        return LOST;
    }

    // Caller: takes its loan back. False when the receive thread has claimed it already: its result then
    // comes within kMessageCompletionMs.
    bool withdraw(Taker* taker) {
        uintptr_t expected = slotOf(taker);
        return mSlot.compare_exchange_strong(expected, EMPTY);
    }

    // Caller: the connection owes the next response to a caller that gave up; it is dropped.
    void owe() { mOwed.fetch_add(1); }

    // Either side: drops a response owed to a caller that gave up. True when one was owed.
    bool takeOwed() {
        int owed = mOwed.load();
        while (owed > 0 && !mOwed.compare_exchange_weak(owed, owed - 1)) {
        }
        return owed > 0;
    }

    int32_t parkedLength() const { return mParkedLength; }

    // Caller, after taking a parked response over: the receive thread reads on.
    void resume() { sem_post(&mResume); }

    // Receive thread, after a response header of `length` bytes: drops an owed response, or claims the
    // waiting caller's taker, or waits until a caller has taken the response over.
    Claim claim(int32_t length, Taker** taker) {
        if (takeOwed())
            return CLAIM_DROP;
        for (;;) {
            uintptr_t slot = mSlot.load();
            if (slot == CLOSED)
                return CLAIM_STOP;
            if (slot != EMPTY) {
                if (mSlot.compare_exchange_strong(slot, EMPTY)) {
                    *taker = reinterpret_cast<Taker*>(slot);
                    return CLAIM_TAKER;
                }
                continue;
            }
            mParkedLength = length;  // published by the swap below
            if (mSlot.compare_exchange_strong(slot, PARKED)) {
                while (sem_wait(&mResume) != 0) {
                }
                return mSlot.load() == CLOSED ? CLAIM_STOP : CLAIM_HANDED;
            }
        }
    }

    // No response will be handed over any more: a waiting caller gets -1, a waiting receive thread ends.
    void close() {
        const uintptr_t slot = mSlot.exchange(CLOSED);
        if (slot == PARKED)
            resume();
        else if (slot != EMPTY && slot != CLOSED)
            reinterpret_cast<Taker*>(slot)->finish(kNotConnected);
    }

  private:
    // Takers are aligned, so these values never name one.
    static const uintptr_t EMPTY = 0;
    static const uintptr_t PARKED = 1;
    static const uintptr_t CLOSED = 2;

    static uintptr_t slotOf(Taker* taker) { return reinterpret_cast<uintptr_t>(taker); }

    std::atomic<uintptr_t> mSlot{EMPTY};
    std::atomic<int> mOwed{0};
    int32_t mParkedLength = 0;
    sem_t mResume;
};

// A notification read off the stream: `data` is its malloc'ed body (null for a value notification).
struct Notification {
    unsigned int msg;
    void* data;
    int len;
};

enum Step { STEP_NOTIFICATION, STEP_RESPONSE, STEP_SKIPPED, STEP_IDLE, STEP_ENDED };

struct LossHandler {
    VORNA::Connection::LossCbk cbk;
    void* ctx;
};

enum Mode { MODE_DIRECT, MODE_THREAD, MODE_LOOP };

}  // namespace

// The private record of a Connection, from its constructor to its destructor.
struct ConnectionSocket {
    const vorna::OwnerProcess owner;
    vorna::Lock control;                   // connect() and disconnect(), one at a time
    std::atomic<struct Link*> link{NULL};  // the current connection, or null
    // Calls in progress, each borrowing the record's reference to `link`.
    std::atomic<int> users{0};
    std::atomic<bool> draining{false};  // disconnect() waits for the users to leave
    vorna::Lock drainLock;
    vorna::CondVar drained;
    vorna::Lock lossLock;
    LossHandler loss GUARDED_BY(lossLock) = {NULL, NULL};

    LossHandler lossHandler() {
        vorna::LockGuard guard(lossLock);
        return loss;
    }
};

namespace {

class ReceiveThread;

}  // namespace

// One connection: its socket and everything that reads or writes it. Counted (see the top of the file).
struct Link {
    Link(int fd, Mode linkMode, NotifyCbk callback, void* context, ConnectionSocket* owner)
        : mode(linkMode), cbk(callback), ctx(context), record(owner) {
        socket.adopt(fd);
    }
    ~Link();
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    int fd() const { return socket.get(); }
    bool isStopping() const { return stopped.load(std::memory_order_acquire); }
    bool isConnected() const { return connected.load(std::memory_order_acquire); }
    void hold() { refs.fetch_add(1, std::memory_order_relaxed); }
    void release() {
        if (refs.fetch_sub(1, std::memory_order_acq_rel) == 1)
            delete this;
    }
    // True on the thread that runs this connection's notification callbacks, while it runs them.
    bool onCallbackThread() const {
        return callbackThreadSet.load(std::memory_order_acquire) &&
               pthread_equal(callbackThread.load(std::memory_order_relaxed), pthread_self());
    }

    std::atomic<int> refs{1};  // the record's
    UniqueFd socket;
    const Mode mode;
    const NotifyCbk cbk;
    void* const ctx;
    // For the loss handler; valid while the connection is not stopping.
    ConnectionSocket* const record;
    const vorna::OwnerProcess owner;
    std::atomic<bool> stopped{false};         // disconnect() has begun
    std::atomic<bool> connected{true};        // false once the stream is known to have ended or broken
    std::atomic<bool> directBuffered{false};  // direct mode: a message was read ahead, still unread
    std::atomic<pthread_t> callbackThread{pthread_t()};
    std::atomic<bool> callbackThreadSet{false};
    Turn turn;
    // Direct and loop mode: responses owed to calls that gave up; changed with the turn held.
    int owedToCallers = 0;
    // Read by the receive thread (thread mode); with the turn (direct mode); under `stream` (loop mode).
    StreamReader reader;

    // Thread mode.
    ResponseHandoff handoff;
    std::unique_ptr<ReceiveThread> worker;

    // Loop mode: whoever holds `stream` reads the socket, a caller waiting for its response or dispatch().
    vorna::Lock stream;
    bool parked GUARDED_BY(stream) = false;  // dispatch() met a response header; its body is next
    int32_t parkedLength GUARDED_BY(stream) = 0;
    std::vector<Notification> queued GUARDED_BY(stream);  // read by callers, for the next dispatch()
    bool lossPending GUARDED_BY(stream) = false;          // the end was seen; dispatch() tells it
    bool woken GUARDED_BY(stream) = false;                // `wake` holds a count
    UniqueFd pollSet;                                     // epoll instance: the socket and `wake`
    UniqueFd wake;  // eventfd: readable while dispatch() has something read already
};

namespace {

// The receive thread of one Link in thread mode. ConnectionSktWorker is its exported face, whose layout is
// fixed; this adds the Link it serves.
class ReceiveThread final : public ConnectionSktWorker {
  public:
    explicit ReceiveThread(Link* link)
        : ConnectionSktWorker(link->record, link->cbk, link->ctx), mLink(link) {}

  protected:
    bool threadLoop() override;

  private:
    Link* const mLink;
};

// Ends the life of a receive thread's object that nobody will join (its connection was ended from its own
// callback): the thread detaches itself, and the object goes when the thread exits, after the base class
// has finished with it.
void retireOnExit(ReceiveThread* worker) {
    static thread_local std::unique_ptr<ReceiveThread> retired;
    vorna::detachSelf(*worker);
    retired.reset(worker);
}

}  // namespace

Link::~Link() {
    for (const Notification& note : queued)
        free(note.data);
    if (worker && onCallbackThread())
        retireOnExit(worker.release());
    // Otherwise the worker's destructor joins a thread that has ended or is about to.
}

namespace {

// A forked child holds copies of the parent's descriptors but none of its threads, and the socket is shared
// with the parent: the child closes its copies and leaves the rest alone. The Link's locks and thread
// object may be in any state, so it is deliberately not destroyed.
void abandonInChild(Link* link) {
    link->socket.closeCopy();
    link->pollSet.closeCopy();
    link->wake.closeCopy();
    vorna::leakOnPurpose(link);
    vorna::leakOnPurpose(link->worker.get());
}

// The current Link of a record for the length of one call, borrowing the record's reference: disconnect()
// releases it only when every call has left. Null when not connected, or in a process that fork() made
// after the connection.
class CallScope {
  public:
    explicit CallScope(ConnectionSocket* record) : mRecord(record) {
        if (mRecord == NULL)
            return;
        mRecord->users.fetch_add(1);
        Link* link = mRecord->link.load();
        if (link != NULL && link->owner.isCurrent())
            mLink = link;
    }
    ~CallScope() {
        if (mRecord != NULL && mRecord->users.fetch_sub(1) == 1 && mRecord->draining.load()) {
            vorna::LockGuard guard(mRecord->drainLock);
            mRecord->drained.notifyAll();
        }
    }
    CallScope(const CallScope&) = delete;
    CallScope& operator=(const CallScope&) = delete;

    Link* get() const { return mLink; }
    Link* operator->() const { return mLink; }

  private:
    ConnectionSocket* const mRecord;
    Link* mLink = NULL;
};

// disconnect(): waits until every call has left the record (they were all woken first).
void drainUsers(ConnectionSocket* record) {
    record->draining.store(true);
    {
        vorna::LockGuard guard(record->drainLock);
        while (record->users.load() != 0)
            record->drained.wait(record->drainLock);
    }
    record->draining.store(false);
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

// One connection attempt, which never blocks past `deadlineMs`, also against a server that has stopped
// with a full backlog. On success `*fd` is the connected socket; otherwise the socket is closed.
Attempt attemptConnect(const char* name, long long deadlineMs, int* fd, bool logBadName) {
    *fd = vorna::openLocalStreamSocket();
    if (*fd < 0)
        return ATTEMPT_NO_SOCKET;
    sockaddr_un addr;
    socklen_t addrLen;
    Attempt attempt = ATTEMPT_CONNECTED;
    if (logBadName ? socket_make_sockaddr_un(name, &addr, &addrLen) != 0
                   : !vorna::makeAbstractAddress(name, &addr, &addrLen))
        attempt = ATTEMPT_BAD_NAME;
    else if (vorna::connectBefore(*fd, addr, addrLen, deadlineMs) != 0)
        attempt = ATTEMPT_REFUSED;
    if (attempt != ATTEMPT_CONNECTED) {
        const int error = errno;
        closeSocket(*fd);
        *fd = -1;
        errno = error;
    }
    return attempt;
}

// The attempts of connect(): 501 of them, each failure logged, as connect() always did. The pauses end
// with the 10 s that they add up to, so that a loaded machine's late wake-ups do not stretch the bound.
int connectLogged(const char* name) {
    const long long pausesEnd = vorna::deadlineAfterMs(kConnectAttempts * kConnectPauseMs);
    for (int countdown = kConnectAttempts - 1; countdown >= 0; --countdown) {
        int fd;
        switch (attemptConnect(name, vorna::deadlineAfterMs(kConnectAttemptMs), &fd, true)) {
            case ATTEMPT_CONNECTED:
                return fd;
            case ATTEMPT_NO_SOCKET:
                ERR("create socket failed\n");
                break;
            case ATTEMPT_BAD_NAME:
                VORNA_LOG_AS(VORNA_PREFIX_ERR, "connect", "socket_make_sockaddr_un failed\n");
                break;
            case ATTEMPT_REFUSED:
                VORNA_LOG_AS(VORNA_PREFIX_ERR, "connect", "connect failed, retryCounter = %d\n", countdown);
                VORNA::Sleep::sleep(
                    static_cast<int>(std::min<long long>(kConnectPauseMs, pausesEnd - vorna::monotonicMs())));
                break;
        }
    }
    return -1;
}

// The attempts of connect(timeoutMs): until the deadline, with one line for the whole failure.
int connectBounded(const char* name, int timeoutMs) {
    const long long deadline = vorna::deadlineAfterMs(timeoutMs);
    int attempts = 0;
    for (;;) {
        const long long attemptDeadline = std::min(deadline, vorna::deadlineAfterMs(kConnectAttemptMs));
        int fd;
        const Attempt attempt = attemptConnect(name, attemptDeadline, &fd, false);
        const int error = errno;
        ++attempts;
        if (attempt == ATTEMPT_CONNECTED)
            return fd;
        if (attempt == ATTEMPT_BAD_NAME) {
            VORNA_LOG_AS(VORNA_PREFIX_ERR, "connect", "namelen > sun_path's size\n");
            return -1;
        }
        const long long left = deadline - vorna::monotonicMs();
        if (left <= 0) {
            VORNA_LOG_AS(VORNA_PREFIX_ERR, "connect", "connect failed after %d attempts in %d ms: %s\n",
                         attempts, timeoutMs > 0 ? timeoutMs : 0, strerror(error));
            return -1;
        }
        VORNA::Sleep::sleep(static_cast<int>(std::min<long long>(left, kConnectPauseMs)));
    }
}

// Writes a request whole. Returns true when it all went out; otherwise logs why and `*sent` tells how much
// went out all the same.
bool sendRequest(int fd, const unsigned char* request, int requestLen, size_t* sent) {
    if (vorna::sendAll(fd, request, static_cast<size_t>(requestLen), sent) ==
        static_cast<ssize_t>(requestLen))
        return true;
    const int error = errno;
    VORNA_LOG_AS(VORNA_PREFIX_ERR, kCall, "send failed: %s\n", strerror(error));
    errno = error;
    return false;
}

// A data notification's body, into a buffer of its own that is never null (also for 0 bytes). Returns
// STEP_NOTIFICATION, STEP_SKIPPED (no memory: the body was dropped) or STEP_ENDED: a length no server sends
// (at most 255 bytes) would otherwise let the peer make this process allocate and read up to 2 GiB.
Step readNotificationData(Link& link, const MsgHeader& header, const char* operation, Notification* note) {
    const int32_t len = header.len;
    if (len < 0 || len > vorna::kMaxNotifyDataLength) {
        VORNA_LOG_AS(VORNA_PREFIX_ERR, operation, "bad notify data len(%d)\n", len);
        return STEP_ENDED;
    }
    const long long deadline = vorna::deadlineAfterMs(kMessageCompletionMs);
    void* data = malloc(len > 0 ? static_cast<size_t>(len) : 1);
    if (data == NULL) {
        VORNA_LOG_AS(VORNA_PREFIX_ERR, operation, "recv notify data failed\n");
        return link.reader.discardAll(link.fd(), static_cast<size_t>(len), deadline) ? STEP_SKIPPED
                                                                                     : STEP_ENDED;
    }
    const ssize_t got = link.reader.readAll(link.fd(), data, static_cast<size_t>(len), deadline);
    if (got != len) {
        logReadFailure(operation, got);
        free(data);
        VORNA_LOG_AS(VORNA_PREFIX_ERR, operation, "recv notify data failed\n");
        return STEP_ENDED;
    }
    *note = Notification{header.msg, data, len};
    return STEP_NOTIFICATION;
}

// The receive step: reads the next message off the stream as its reader (the receive thread, dispatch(),
// or a loop-mode caller). A notification is read whole into `*note`; of a response only the header is
// read, and `*responseLen` is its body's length, which whoever takes the response reads.
Step receiveStep(Link& link, long long deadlineMs, const char* operation, Notification* note,
                 int32_t* responseLen) {
    MsgHeader header;
    ssize_t got;
    const HeaderRead read = link.reader.readHeader(link.fd(), &header, deadlineMs, &got);
    if (read == HEADER_NOT_BEGUN)
        return STEP_IDLE;
    if (read == HEADER_FAILED || header.magic != MSG_HEADER_MAGIC) {
        if (!link.isStopping())
            VORNA_LOG_AS(VORNA_PREFIX_ERR, operation, " disconnect return from recv failed(%d) magic=0x%x\n",
                         static_cast<int>(got), header.magic);
        return STEP_ENDED;
    }
    switch (header.id) {
        case HEADER_ID_NOTIFY:
            *note = Notification{header.msg, NULL, header.len};
            return STEP_NOTIFICATION;
        case HEADER_ID_NOTIFY_DATA:
            return readNotificationData(link, header, operation, note);
        case HEADER_ID_RESPONSE:
            *responseLen = header.len;
            return STEP_RESPONSE;
        default:
            VORNA_LOG_AS(VORNA_PREFIX_ERR, operation, "unknown header id(%d)\n", header.id);
            return STEP_ENDED;
    }
}

// Runs the notification callback with no lock held.
void deliver(const Link& link, const Notification& note, const char* operation) {
    if (link.cbk == NULL) {
        free(note.data);
        VORNA_LOG_AS(VORNA_PREFIX_WRN, operation, "connection cbk is null\n");
        return;
    }
    link.cbk(link.ctx, note.msg, note.data, note.len);
}

// The stream has ended or broken: marked before any caller hears of it, so that isConnected() never lags
// a -1. Every caller waiting for the turn, and every later one, gets -1.
void markLost(Link& link) {
    link.connected.store(false, std::memory_order_release);
    link.turn.close();
}

// The loss event, unless disconnect() caused the end. The record lives while the connection is not
// stopping: a destructor stops the connection before it frees the record.
void reportLoss(Link& link) {
    if (link.isStopping())
        return;
    const LossHandler loss = link.record->lossHandler();
    if (loss.cbk != NULL)
        loss.cbk(loss.ctx);
}

// Thread mode, after a response header: the body goes straight into the buffer of the caller that waits
// for it. Returns false when the stream broke or disconnect() closed the hand-off.
bool handOverResponse(Link& link, int32_t length) {
    Taker* taker = NULL;
    switch (link.handoff.claim(length, &taker)) {
        case ResponseHandoff::CLAIM_STOP:
            return false;
        case ResponseHandoff::CLAIM_HANDED:
            return true;
        case ResponseHandoff::CLAIM_DROP:
            break;
        case ResponseHandoff::CLAIM_TAKER:
            break;
    }
    bool broken;
    const int result = readResponseBody(link.reader, link.fd(), taker, length, &broken);
    if (taker != NULL)
        taker->finish(result);
    return !broken;
}

bool ReceiveThread::threadLoop() {
    Link& link = *mLink;
    link.callbackThread.store(pthread_self());
    link.callbackThreadSet.store(true, std::memory_order_release);
    bool intact = true;
    while (intact && !link.isStopping()) {
        Notification note;
        int32_t length = 0;
        switch (receiveStep(link, vorna::kNoDeadline, kThreadLoop, &note, &length)) {
            case STEP_NOTIFICATION:
                deliver(link, note, kThreadLoop);
                break;
            case STEP_RESPONSE:
                intact = handOverResponse(link, length);
                break;
            case STEP_SKIPPED:
            case STEP_IDLE:
                break;
            case STEP_ENDED:
                intact = false;
                break;
        }
    }
    markLost(link);
    link.handoff.close();
    reportLoss(link);
    // The Link may go with this reference (when disconnect() ran from a callback): nothing of it is
    // touched afterwards.
    link.release();
    return false;
}

// Loop mode: makes the poll set readable while dispatch() has something that is no longer in the socket
// (notifications a caller read, bytes read ahead, the end of the stream), and quiet otherwise.
void refreshReadiness(Link& link) REQUIRES(link.stream) {
    const bool pending =
        !link.queued.empty() || link.lossPending || (!link.parked && link.reader.buffered() > 0);
    // The eventfd is touched only when the answer changes: a round trip with nothing kept costs no call.
    if (pending == link.woken)
        return;
    uint64_t count = 1;
    if (pending) {
        if (write(link.wake.get(), &count, sizeof(count)) < 0 && errno != EAGAIN)
            ERR("wake dispatch failed: %s\n", strerror(errno));
    } else if (read(link.wake.get(), &count, sizeof(count)) < 0 && errno != EAGAIN) {
        ERR("quiet dispatch failed: %s\n", strerror(errno));
    }
    link.woken = pending;
}

// Loop mode: the socket stays out of the poll set while a parked response waits for its caller (the loop
// would otherwise wake for bytes only that caller may read) and once the stream has ended.
void watchSocket(Link& link, bool watch) {
    epoll_event event = {};
    event.events = watch ? static_cast<uint32_t>(EPOLLIN) : 0u;
    if (epoll_ctl(link.pollSet.get(), EPOLL_CTL_MOD, link.fd(), &event) != 0)
        ERR("epoll_ctl failed: %s\n", strerror(errno));
}

// Loop mode: the end of the stream, seen by the stream's reader; dispatch() reports it.
void noteEnd(Link& link) REQUIRES(link.stream) {
    if (!link.isConnected())
        return;
    markLost(link);
    link.lossPending = true;
    watchSocket(link, false);
}

// Loop mode: takes what is ready for dispatch() into `batch`: first what callers kept, then what the
// socket holds, up to a response header (parked for the caller that will take it) or the end. Sets
// `*tellLoss` when the loss event is due after the batch.
int collectReady(Link& link, Notification* batch, bool* tellLoss) REQUIRES(link.stream) {
    int count = 0;
    size_t kept = 0;
    while (kept < link.queued.size() && count < kDispatchBatch)
        batch[count++] = link.queued[kept++];
    link.queued.erase(link.queued.begin(), link.queued.begin() + static_cast<long>(kept));
    while (count < kDispatchBatch && link.queued.empty() && !link.parked && link.isConnected()) {
        int32_t length = 0;
        const Step step = receiveStep(link, kDontWait, "dispatch", &batch[count], &length);
        if (step == STEP_NOTIFICATION) {
            ++count;
        } else if (step == STEP_RESPONSE) {
            link.parked = true;
            link.parkedLength = length;
            watchSocket(link, false);
        } else if (step == STEP_ENDED) {
            noteEnd(link);
        } else if (step == STEP_IDLE) {
            break;
        }
    }
    *tellLoss = link.lossPending && link.queued.empty() && count < kDispatchBatch;
    if (*tellLoss)
        link.lossPending = false;
    refreshReadiness(link);
    return count;
}

// Loop mode: delivers what is ready, the loss event last. A callback that ends the connection ends the
// delivery too: the rest is released unseen.
int dispatchReady(Link& link) {
    Notification batch[kDispatchBatch];
    bool tellLoss = false;
    // A caller that reads the stream meanwhile keeps what it meets for the next dispatch(), and makes the
    // descriptor readable for it.
    if (!link.stream.tryLock())
        return 0;
    const int count = collectReady(link, batch, &tellLoss);
    link.stream.unlock();

    link.callbackThread.store(pthread_self());
    link.callbackThreadSet.store(true, std::memory_order_release);
    int delivered = 0;
    for (int index = 0; index < count; ++index) {
        if (link.isStopping()) {
            free(batch[index].data);
            continue;
        }
        deliver(link, batch[index], "dispatch");
        ++delivered;
    }
    if (tellLoss && !link.isStopping()) {
        reportLoss(link);
        ++delivered;
    }
    link.callbackThreadSet.store(false, std::memory_order_release);
    return delivered;
}

// Loop mode, with the turn and the stream held: reads on until the caller's own response, keeping the
// notifications met on the way. Owed responses are dropped first.
int readOwnResponseInLoop(Link& link, Taker& taker, long long deadlineMs) REQUIRES(link.stream) {
    for (;;) {
        int32_t length = 0;
        if (link.parked) {
            link.parked = false;
            length = link.parkedLength;
            watchSocket(link, true);
        } else {
            if (!link.isConnected())
                return kNotConnected;
            Notification note;
            const Step step = receiveStep(link, deadlineMs, taker.operation, &note, &length);
            if (step == STEP_NOTIFICATION)
                link.queued.push_back(note);
            if (step == STEP_IDLE)
                return kTimedOut;
            if (step == STEP_ENDED) {
                noteEnd(link);
                return kNotConnected;
            }
            if (step != STEP_RESPONSE)
                continue;
        }
        const bool owed = link.owedToCallers > 0;
        if (owed)
            --link.owedToCallers;
        bool broken;
        const int result = readResponseBody(link.reader, link.fd(), owed ? NULL : &taker, length, &broken);
        if (broken) {
            noteEnd(link);
            return kNotConnected;
        }
        if (!owed)
            return result;
    }
}

int receiveInLoop(Link& link, Taker& taker, long long deadlineMs) {
    vorna::LockGuard guard(link.stream);
    const int result = readOwnResponseInLoop(link, taker, deadlineMs);
    refreshReadiness(link);
    return result;
}

// Direct mode: reads the next message, which must be a response, into `taker`'s buffer (null: drop it).
// Returns its result, -110 when none began before `deadlineMs`, or -1.
int readDirectResponse(Link& link, Taker* taker, const char* operation, long long deadlineMs) {
    MsgHeader header;
    ssize_t got;
    switch (link.reader.readHeader(link.fd(), &header, deadlineMs, &got)) {
        case HEADER_NOT_BEGUN:
            return kTimedOut;
        case HEADER_FAILED:
            markLost(link);
            logReadFailure(operation, got);
            VORNA_LOG_AS(VORNA_PREFIX_ERR, operation, "bad header id(%d)\n", header.id);
            return kNotConnected;
        case HEADER_READ:
            break;
    }
    if (header.magic != MSG_HEADER_MAGIC) {
        markLost(link);
        VORNA_LOG_AS(VORNA_PREFIX_ERR, operation, "bad header magic(0x%x)\n", header.magic);
        return kNotConnected;
    }
    if (header.id != HEADER_ID_RESPONSE) {
        VORNA_LOG_AS(VORNA_PREFIX_ERR, operation, "bad header id(%d)\n", header.id);
        // A data notification is framed: reading its body keeps the next header in place. A longer body
        // than any server sends means the stream is broken already: it is not read.
        const bool framed = header.id == HEADER_ID_NOTIFY ||
                            (header.id == HEADER_ID_NOTIFY_DATA && header.len >= 0 &&
                             header.len <= vorna::kMaxNotifyDataLength &&
                             link.reader.discardAll(link.fd(), static_cast<size_t>(header.len),
                                                    vorna::deadlineAfterMs(kMessageCompletionMs)));
        if (!framed)
            markLost(link);
        return kNotConnected;
    }
    bool broken;
    const int result = readResponseBody(link.reader, link.fd(), taker, header.len, &broken);
    if (broken)
        markLost(link);
    return result;
}

// Direct mode, with the turn held: first drops the responses owed to calls that gave up, then reads the
// caller's own.
int receiveDirect(Link& link, Taker& taker, long long deadlineMs) {
    while (link.owedToCallers > 0) {
        const int result = readDirectResponse(link, NULL, taker.operation, deadlineMs);
        if (result == kTimedOut || !link.isConnected())
            return result;
        --link.owedToCallers;
    }
    return readDirectResponse(link, &taker, taker.operation, deadlineMs);
}

// Thread mode, with the turn held: lends the caller's buffer and waits for the receive thread to fill it.
// `request` is sent once the buffer is lent, so that its response cannot come before anyone waits for it.
int receiveHandedOver(Link& link, Taker& taker, long long deadlineMs, const unsigned char* request,
                      int requestLen) {
    ResponseHandoff& handoff = link.handoff;
    for (;;) {
        const ResponseHandoff::Lend lend = handoff.lend(&taker);
        if (lend == ResponseHandoff::LOST)
            return kNotConnected;
        if (lend == ResponseHandoff::LENT)
            break;
        // The receive thread met a response before anyone waited: it is read here, and goes to this
        // caller unless a caller that gave up is owed it.
        const bool owed = handoff.takeOwed();
        size_t sent = 0;
        if (!owed && request != NULL && !sendRequest(link.fd(), request, requestLen, &sent))
            request = NULL;
        bool broken;
        const int result =
            readResponseBody(link.reader, link.fd(), owed ? NULL : &taker, handoff.parkedLength(), &broken);
        handoff.resume();
        if (!owed)
            return broken ? kNotConnected : result;
    }
    size_t sent = 0;
    if (request != NULL && !sendRequest(link.fd(), request, requestLen, &sent)) {
        if (!handoff.withdraw(&taker)) {
            taker.waitUntil(vorna::kNoDeadline);
            return taker.result;
        }
        if (sent > 0)
            handoff.owe();  // part of the request went out: the server may still answer it
        return kNotConnected;
    }
    if (taker.waitUntil(deadlineMs))
        return taker.result;
    if (handoff.withdraw(&taker)) {
        if (request != NULL)
            handoff.owe();
        return kTimedOut;
    }
    // The receive thread has begun the response: it completes within kMessageCompletionMs.
    taker.waitUntil(vorna::kNoDeadline);
    return taker.result;
}

// Direct and loop mode, with the turn held: sends the request, then reads the response itself.
int receiveOwn(Link& link, Taker& taker, long long deadlineMs, const unsigned char* request, int requestLen) {
    if (request != NULL) {
        size_t sent = 0;
        if (!sendRequest(link.fd(), request, requestLen, &sent)) {
            if (errno != EAGAIN && link.mode == MODE_DIRECT)
                markLost(link);
            else if (sent > 0)
                ++link.owedToCallers;  // part of the request went out: the server may still answer it
            return kNotConnected;
        }
    }
    int result;
    if (link.mode == MODE_LOOP) {
        result = receiveInLoop(link, taker, deadlineMs);
    } else {
        result = receiveDirect(link, taker, deadlineMs);
        link.directBuffered.store(link.reader.buffered() > 0, std::memory_order_release);
    }
    if (result == kTimedOut && request != NULL)
        ++link.owedToCallers;
    return result;
}

// recv() and call(): one transaction with the turn held.
int transact(Link& link, Taker& taker, long long deadlineMs, const unsigned char* request, int requestLen) {
    // Only this thread could hand the response over, and another caller may hold the turn meanwhile.
    if (link.onCallbackThread()) {
        VORNA_LOG_AS(VORNA_PREFIX_ERR, taker.operation, "called from the notification callback\n");
        return kNotConnected;
    }
    TurnHeld turn(link.turn, deadlineMs);
    if (turn.entry() == Turn::TIMED_OUT)
        return kTimedOut;
    if (turn.entry() == Turn::CLOSED || !link.isConnected())
        return kNotConnected;
    if (link.mode == MODE_THREAD)
        return receiveHandedOver(link, taker, deadlineMs, request, requestLen);
    return receiveOwn(link, taker, deadlineMs, request, requestLen);
}

// recv() with or without a deadline.
int receive(ConnectionSocket* record, unsigned char* buf, int len, long long deadlineMs) {
    CallScope link(record);
    if (link.get() == NULL) {
        VORNA_LOG_AS(VORNA_PREFIX_ERR, kRecv, "pSocket is null\n");
        return kNotConnected;
    }
    Taker taker(buf, (buf == NULL || len < 0) ? 0 : len, kNotConnected, kRecv);
    return transact(*link.get(), taker, deadlineMs, NULL, 0);
}

// Loop mode: the poll set that fd() gives the application: the socket, and the eventfd that stands for
// what has been read off it already.
bool openPollSet(Link& link) {
    link.pollSet.adopt(epoll_create1(EPOLL_CLOEXEC));
    link.wake.adopt(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    epoll_event event = {};
    event.events = EPOLLIN;
    if (link.pollSet.get() < 0 || link.wake.get() < 0 ||
        epoll_ctl(link.pollSet.get(), EPOLL_CTL_ADD, link.fd(), &event) != 0 ||
        epoll_ctl(link.pollSet.get(), EPOLL_CTL_ADD, link.wake.get(), &event) != 0) {
        VORNA_LOG_AS(VORNA_PREFIX_ERR, "connectInLoop", "poll set failed: %s\n", strerror(errno));
        return false;
    }
    return true;
}

// connect(), connect(timeoutMs) and connectInLoop(): a negative timeout selects the 501 logged attempts.
int openConnection(ConnectionSocket* record, const char* name, NotifyCbk cbk, void* ctx, int timeoutMs,
                   Mode mode) {
    vorna::LockGuard control(record->control);
    if (record->link.load() != NULL) {
        VORNA_LOG_AS(VORNA_PREFIX_ERR, "connect", "pSocket is not null\n");
        return -1;
    }
    int fd;
    {
        LowDescriptorGuard guard;
        fd = timeoutMs < 0 ? connectLogged(name) : connectBounded(name, timeoutMs);
    }
    if (fd < 0)
        return -2;
    if (!vorna::setSocketTimeout(fd, SO_SNDTIMEO, kSendTimeoutSeconds))
        VORNA_LOG_AS(VORNA_PREFIX_WRN, "connect", "set send timeout time failed\n");
    std::unique_ptr<Link> link(new (std::nothrow) Link(fd, mode, cbk, ctx, record));
    if (!link) {
        closeSocket(fd);
        VORNA_LOG_AS(VORNA_PREFIX_ERR, "connect", "alloc socket memory failed\n");
        return -1;
    }
    if (mode == MODE_DIRECT)
        VORNA_LOG_AS(VORNA_PREFIX_WRN, "connect", "this connection has not a notifier.\n");
    if (mode == MODE_LOOP && !openPollSet(*link))
        return -2;
    if (mode == MODE_THREAD) {
        link->worker.reset(new ReceiveThread(link.get()));
        link->hold();  // the receive thread's
        if (link->worker->run("notifier listener", 50, -10) != 0) {
            link->refs.fetch_sub(1);  // it never ran
            return -2;
        }
    }
    record->link.store(link.release());
    return 0;
}

// Wakes everything that uses the connection: the receive thread, and every caller blocked in a read, a send
// or a wait for its turn or its response returns at once. The socket closes with the Link's last reference.
void stopLink(Link& link) {
    link.stopped.store(true, std::memory_order_release);
    shutdown(link.fd(), SHUT_RDWR);
    link.turn.close();
    link.handoff.close();
}

}  // namespace

ConnectionSktWorker::ConnectionSktWorker(ConnectionSocket* record, NotifyCbk cbk, void* ctx)
    : VORNA::Thread(NULL), als(record), mCbk(cbk), mCbkCtx(ctx) {}

ConnectionSktWorker::~ConnectionSktWorker() {}

// The library runs its receive threads as ReceiveThread, which knows the connection it serves; a worker
// made any other way has nothing to read.
bool ConnectionSktWorker::threadLoop() {
    ERR("als is null\n");
    return false;
}

namespace VORNA {

Connection::Connection(const char* name, int reserved, NotifyCbk cbk, void* ctx)
    : Connection(name, reserved, cbk, ctx, CONNECT_LATER) {
    connect();
}

Connection::Connection(const char* name, int reserved, NotifyCbk cbk, void* ctx, int connectTimeoutMs)
    : mName(name),
      mReserved(reserved),
      pSocket(new (std::nothrow) ConnectionSocket()),
      mCbk(cbk),
      mCbkCtx(ctx) {
    VORNA_ASSERT(NULL != pSocket);
    if (connectTimeoutMs != CONNECT_LATER)
        connect(connectTimeoutMs);
}

Connection::~Connection() {
    disconnect();
    ConnectionSocket* record = pSocket;
    pSocket = NULL;
    // In a process that fork() made, the record's locks may be in any state: it is left alone.
    if (record->owner.isCurrent())
        delete record;
    else
        vorna::leakOnPurpose(record);
}

int Connection::connect() {
    return openConnection(pSocket, mName, mCbk, mCbkCtx, -1, mCbk != NULL ? MODE_THREAD : MODE_DIRECT);
}

int Connection::connect(int timeoutMs) {
    return openConnection(pSocket, mName, mCbk, mCbkCtx, timeoutMs < 0 ? 0 : timeoutMs,
                          mCbk != NULL ? MODE_THREAD : MODE_DIRECT);
}

int Connection::connectInLoop(int timeoutMs) {
    if (mCbk == NULL) {
        ERR("no notification callback\n");
        return -1;
    }
    return openConnection(pSocket, mName, mCbk, mCbkCtx, timeoutMs < 0 ? 0 : timeoutMs, MODE_LOOP);
}

int Connection::fd() const {
    CallScope link(pSocket);
    return link.get() != NULL && link->mode == MODE_LOOP ? link->pollSet.get() : -1;
}

int Connection::dispatch() {
    Link* link;
    {
        // Holds a reference of its own rather than borrowing the record's: a callback may disconnect().
        CallScope scope(pSocket);
        link = scope.get();
        if (link == NULL || link->mode != MODE_LOOP)
            return -1;
        link->hold();
    }
    const int delivered = dispatchReady(*link);
    link->release();
    return delivered;
}

int Connection::send(unsigned char* buf, int len) {
    CallScope link(pSocket);
    if (link.get() == NULL) {
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
        const ssize_t result = vorna::sendOnce(link->fd(), buf + sent, length - sent);
        if (result > 0) {
            sent += static_cast<size_t>(result);
            continue;
        }
        const int error = errno;
        WRN("[SIW], send failed(%d) errno:%s %d, reTry=%d\n", static_cast<int>(result), strerror(error),
            error, failures);
        if (result < 0 && error != EAGAIN && link->mode == MODE_DIRECT)
            markLost(*link.get());
        Sleep::sleep(kSendPauseMs);
        // EAGAIN: the 10-second send timeout ran out on a full socket.
        if ((result < 0 && error != EAGAIN) || ++failures == kSendAttempts)
            return sent > 0 ? static_cast<int>(sent) : static_cast<int>(result);
    } while (sent < length);
    return static_cast<int>(sent);
}

int Connection::recv(unsigned char* buf, int len) {
    return receive(pSocket, buf, len, vorna::kNoDeadline);
}

int Connection::recv(unsigned char* buf, int len, int timeoutMs) {
    return receive(pSocket, buf, len, vorna::deadlineAfterMs(timeoutMs));
}

int Connection::call(const unsigned char* req, int reqLen, unsigned char* resp, int respCap, int timeoutMs) {
    if (reqLen <= 0 || req == NULL || respCap < 0 || (respCap > 0 && resp == NULL)) {
        ERR("bad arguments req(%p) reqLen(%d) resp(%p) respCap(%d)\n", static_cast<const void*>(req), reqLen,
            static_cast<void*>(resp), respCap);
        return kBadArgument;
    }
    CallScope link(pSocket);
    if (link.get() == NULL) {
        ERR("pSocket is null\n");
        return kNotConnected;
    }
    Taker taker(resp, respCap, kTooLong, kCall);
    return transact(*link.get(), taker, vorna::deadlineAfterMs(timeoutMs), req, reqLen);
}

bool Connection::isConnected() {
    CallScope link(pSocket);
    if (link.get() == NULL || !link->isConnected())
        return false;
    if (link->mode != MODE_DIRECT || link->directBuffered.load(std::memory_order_acquire))
        return true;
    // Direct mode: a peer that has closed shows as the end of the stream, seen without consuming data.
    char probe;
    const ssize_t peeked = vorna::recvOnce(link->fd(), &probe, 1, MSG_PEEK | MSG_DONTWAIT);
    if (peeked == 0 || (peeked < 0 && errno != EAGAIN)) {
        markLost(*link.get());
        return false;
    }
    return true;
}

void Connection::setLossCbk(LossCbk cbk, void* ctx) {
    vorna::LockGuard guard(pSocket->lossLock);
    pSocket->loss = LossHandler{cbk, ctx};
}

int Connection::peerCredentials(pid_t* pid, uid_t* uid, gid_t* gid) {
    CallScope link(pSocket);
    if (link.get() == NULL) {
        ERR("pSocket is null\n");
        return kNotConnected;
    }
    if (!vorna::readPeerCredentials(link->fd(), pid, uid, gid)) {
        const int error = errno;
        ERR("get peer credentials failed: %s\n", strerror(error));
        return kNoCredentials;
    }
    return 0;
}

int Connection::disconnect() {
    ConnectionSocket* record = pSocket;
    // Another disconnect() (which may be waiting for this very callback's thread) or a connect() under way:
    // there is nothing connected to end here.
    if (record == NULL || !record->control.tryLock()) {
        ERR("pSocket is null\n");
        return -1;
    }
    Link* link = record->link.exchange(NULL);
    if (link == NULL) {
        record->control.unlock();
        ERR("pSocket is null\n");
        return -1;
    }
    if (!link->owner.isCurrent()) {
        abandonInChild(link);
        record->control.unlock();
        return 0;
    }
    stopLink(*link);
    // The receive thread ends by itself once it sees the stop: it always enters its loop (no exit is
    // requested of it), so it always drops its reference. From the connection's own callback the thread
    // cannot wait for itself: it drops its reference when the callback returns.
    if (link->worker && !link->onCallbackThread())
        link->worker->join();
    drainUsers(record);
    link->release();
    record->control.unlock();
    return 0;
}

}  // namespace VORNA
