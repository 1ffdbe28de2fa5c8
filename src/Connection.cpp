#define LOG_MODULE "src/Connection"

// Lock order: the gSocketEntry stripes in index order, then the side tables' mutex; they are held together
// only by the fork handlers, and none is held while any other lock is taken. Within a record, the CallGate's
// lock, the ResponseHandoff's lock and mLossLock are never held together: a caller passes the gate first and
// then works with the hand-off. No lock is held while an application callback runs.

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "internal/log.h"
#include "internal/owner_process.h"
#include "internal/socket_io.h"
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
const int kTooLong = -90;
const int kTimedOut = -110;
// Once a message has begun, the rest of it must arrive within this time. The server writes a header and
// its body back to back, so a peer that stops in the middle has broken the framing for good; waiting
// longer would only hold the callers.
const int kMessageCompletionMs = 3000;

const char kRecv[] = "recv";
const char kCall[] = "call";
const char kThreadLoop[] = "threadLoop";

// Guard the Connections' pSocket while a caller takes a reference to the record and while disconnect()
// detaches it, one lock for each slot address's stripe so that busy connections do not contend. Held for
// a few instructions only; fork handlers keep them usable in a child.
const unsigned kEntryStripeBits = 4;  // the fork handlers hold them all: few enough for TSan
std::mutex gSocketEntry[1u << kEntryStripeBits];

std::mutex& socketEntry(ConnectionSocket* const* slot) {
    // Objects of different threads' heaps often share their low address bits: a multiplicative hash
    // spreads them over the stripes.
    const uint64_t mixed = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(slot)) * 0x9E3779B97F4A7C15ull;
    return gSocketEntry[mixed >> (64 - kEntryStripeBits)];
}

std::mutex& sideTablesMutex();

void lockAll() {
    for (std::mutex& entry : gSocketEntry)
        entry.lock();
    sideTablesMutex().lock();
}

void unlockAll() {
    sideTablesMutex().unlock();
    for (std::mutex& entry : gSocketEntry)
        entry.unlock();
}

// Parks a fork between complete critical sections of the process-wide locks, so that a child never
// inherits one of them locked.
struct ForkSafety {
    ForkSafety() { pthread_atfork(lockAll, unlockAll, unlockAll); }
} gForkSafety;

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

// One caller at a time reads responses: the gate orders recv() and call() callers, and in direct mode it
// is also what keeps two threads from reading the stream at once.
class CallGate {
  public:
    enum Entry { ENTERED, TIMED_OUT, CLOSED };

    // Waits for the turn until `deadlineMs` (vorna::kNoDeadline: without limit).
    Entry enter(long long deadlineMs) {
        std::unique_lock<std::mutex> lock(mMutex);
        while (mBusy && !mClosed) {
            if (deadlineMs == vorna::kNoDeadline)
                mFree.wait(lock);
            else if (mFree.wait_until(lock, steadyTime(deadlineMs)) == std::cv_status::timeout && mBusy)
                return mClosed ? CLOSED : TIMED_OUT;
        }
        if (mClosed)
            return CLOSED;
        mBusy = true;
        return ENTERED;
    }

    void leave() {
        {
            std::lock_guard<std::mutex> lock(mMutex);
            mBusy = false;
        }
        mFree.notify_one();
    }

    // Every caller waiting for the turn, and every later one, gets CLOSED.
    void close() {
        {
            std::lock_guard<std::mutex> lock(mMutex);
            mClosed = true;
        }
        mFree.notify_all();
    }

    static std::chrono::steady_clock::time_point steadyTime(long long monotonicMs) {
        // libstdc++'s steady_clock is CLOCK_MONOTONIC, the clock of vorna::monotonicMs.
        return std::chrono::steady_clock::time_point(std::chrono::milliseconds(monotonicMs));
    }

  private:
    std::mutex mMutex;
    std::condition_variable mFree;
    bool mBusy = false;    // guarded by mMutex
    bool mClosed = false;  // guarded by mMutex
};

// Holds the turn of a CallGate for one scope.
class GateTurn {
  public:
    GateTurn(CallGate& gate, long long deadlineMs) : mGate(gate), mEntry(gate.enter(deadlineMs)) {}
    ~GateTurn() {
        if (mEntry == CallGate::ENTERED)
            mGate.leave();
    }
    GateTurn(const GateTurn&) = delete;
    GateTurn& operator=(const GateTurn&) = delete;

    CallGate::Entry entry() const { return mEntry; }

  private:
    CallGate& mGate;
    const CallGate::Entry mEntry;
};

// A caller's claim on the next response: the buffer it lends, and what became of it.
struct Taker {
    enum State { WAITING, READING, DONE };

    unsigned char* buf;
    int capacity;
    int tooLongResult;      // what a body longer than `capacity` gives
    bool discard;           // the body is owed to a caller that gave up: drop it quietly
    const char* operation;  // names the caller in log lines
    State state;            // guarded by the hand-off's mutex
    int result;             // guarded by the hand-off's mutex; valid once DONE
};

// Notifier mode: hands responses from the receive thread to the caller that waits for one. The caller
// lends its buffer before it waits; the receive thread reads the body straight into it and wakes the
// caller once. Owned by the connection's record, which outlives both sides.
class ResponseHandoff {
  public:
    enum Claim { CLAIM_TAKER, CLAIM_DROP, CLAIM_STOP };

    // Caller: lends `taker` for the next response. False when no response will come any more.
    bool lend(Taker* taker) {
        bool receiverWaits;
        {
            std::lock_guard<std::mutex> lock(mMutex);
            if (mLost)
                return false;
            taker->state = Taker::WAITING;
            mTaker = taker;
            receiverWaits = mReceiverWaits;
        }
        if (receiverWaits)
            mTakerCame.notify_one();
        return true;
    }

    // Caller: takes the loan back when its request failed to go out whole; with `owes` (part of it went
    // out, so the server may still answer) the connection owes that answer. Waits for the response
    // instead if one has begun.
    int withdraw(Taker* taker, bool owes) {
        std::unique_lock<std::mutex> lock(mMutex);
        if (taker->state == Taker::WAITING) {
            mTaker = NULL;
            if (owes)
                owe();
            return kNotConnected;
        }
        return awaitDone(lock, taker);
    }

    // Caller: waits for the response until `deadlineMs`; a response that has begun is always waited for,
    // since the receive thread completes it within kMessageCompletionMs. Returns its result; -110 when
    // none began in time (with `owes`, the connection then owes that response, and the receive thread
    // drops it when it comes); -1 when the connection is lost.
    int await(Taker* taker, long long deadlineMs, bool owes) {
        std::unique_lock<std::mutex> lock(mMutex);
        while (taker->state == Taker::WAITING) {
            if (mLost) {
                mTaker = NULL;
                return kNotConnected;
            }
            // A response header already read and not owed to anyone goes to this caller: it has begun.
            const bool responseWaiting = mReceiverWaits && mOwed == 0;
            if (!responseWaiting && deadlineMs != vorna::kNoDeadline && vorna::monotonicMs() >= deadlineMs) {
                mTaker = NULL;
                if (owes)
                    owe();
                return kTimedOut;
            }
            if (deadlineMs == vorna::kNoDeadline || responseWaiting)
                mResponseIn.wait(lock);
            else
                mResponseIn.wait_until(lock, CallGate::steadyTime(deadlineMs));
        }
        return awaitDone(lock, taker);
    }

    // Receive thread, after a response header: drops a response owed to a caller that gave up, or waits
    // for a caller to lend a buffer.
    Claim claim(Taker** taker) {
        std::unique_lock<std::mutex> lock(mMutex);
        for (;;) {
            if (mStopped)
                return CLAIM_STOP;
            if (mOwed > 0) {
                --mOwed;
                return CLAIM_DROP;
            }
            if (mTaker != NULL)
                break;
            mReceiverWaits = true;
            mTakerCame.wait(lock);
            mReceiverWaits = false;
        }
        mTaker->state = Taker::READING;
        *taker = mTaker;
        return CLAIM_TAKER;
    }

    // Receive thread: the body is in (or failed); wakes its caller.
    void finish(Taker* taker, int result) {
        {
            std::lock_guard<std::mutex> lock(mMutex);
            taker->result = result;
            taker->state = Taker::DONE;
            mTaker = NULL;
        }
        mResponseIn.notify_one();
    }

    // No response will come any more: every waiting caller returns -1, and so does every later one.
    void markLost() {
        {
            std::lock_guard<std::mutex> lock(mMutex);
            mLost = true;
        }
        mResponseIn.notify_all();
    }

    // disconnect(): as markLost, and a receive thread that waits for a caller gives up too.
    void stop() {
        {
            std::lock_guard<std::mutex> lock(mMutex);
            mLost = true;
            mStopped = true;
        }
        mResponseIn.notify_all();
        mTakerCame.notify_all();
    }

  private:
    void owe() {
        ++mOwed;
        if (mReceiverWaits)
            mTakerCame.notify_one();
    }

    int awaitDone(std::unique_lock<std::mutex>& lock, Taker* taker) {
        while (taker->state != Taker::DONE)
            mResponseIn.wait(lock);
        return taker->result;
    }

    std::mutex mMutex;
    std::condition_variable mTakerCame;   // the receive thread waits here for a caller
    std::condition_variable mResponseIn;  // the caller waits here for its response
    Taker* mTaker = NULL;                 // guarded by mMutex
    int mOwed = 0;                        // guarded by mMutex: responses to drop
    bool mReceiverWaits = false;          // guarded by mMutex
    bool mLost = false;                   // guarded by mMutex
    bool mStopped = false;                // guarded by mMutex
};

enum HeaderRead { HEADER_READ, HEADER_NOT_BEGUN, HEADER_FAILED };

// Reads the messages of one connection's stream. In notifier mode the receive thread, the stream's only
// reader, reads ahead: one recv takes in whatever the server has written (a header with its body, or
// several notifications), where reading each header and body apart would cost a system call each. Direct
// mode reads only what it asks for, so that unread data stays in the socket, where isConnected() looks.
// Used by one thread at a time: the receive thread, or the caller holding the gate's turn.
class StreamReader {
  public:
    explicit StreamReader(bool readAhead) : mAhead(readAhead ? new unsigned char[kAheadCapacity] : NULL) {}
    StreamReader(const StreamReader&) = delete;
    StreamReader& operator=(const StreamReader&) = delete;

    // Reads one whole header, waiting for its first byte until `deadlineMs` (the receive thread, which
    // reads ahead, always waits without limit); the rest must follow within kMessageCompletionMs. `*got` is
    // the byte count read (or the failed read's result).
    HeaderRead readHeader(int fd, MsgHeader* header, long long deadlineMs, ssize_t* got) {
        memset(header, 0, sizeof(*header));
        *got = 0;
        errno = 0;
        bool timedOut = false;
        const ssize_t first = mAhead ? readSome(fd, header, sizeof(*header))
                                     : recvFirstBefore(fd, header, sizeof(*header), deadlineMs, &timedOut);
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
        if (mAhead && missing < kAheadCapacity / 2)
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

    size_t buffered() const { return mEnd - mStart; }

    size_t take(void* data, size_t length) {
        const size_t count = std::min(length, buffered());
        if (count > 0)
            memcpy(data, mAhead.get() + mStart, count);
        mStart += count;
        if (mStart == mEnd)
            mStart = mEnd = 0;
        return count;
    }

    // Read-ahead mode: at most `length` bytes for the caller, from the buffer or else from one blocking
    // read of whatever is there.
    ssize_t readSome(int fd, void* data, size_t length) {
        if (buffered() == 0) {
            const ssize_t got = vorna::recvOnce(fd, mAhead.get(), kAheadCapacity);
            if (got <= 0)
                return got;
            mEnd = static_cast<size_t>(got);
        }
        return static_cast<ssize_t>(take(data, length));
    }

    // Direct mode: one recv whose wait for the first byte ends at `deadlineMs` (kNoDeadline: without
    // limit). The socket's receive timeout bounds it, rather than a poll() before the recv: one system
    // call less for each response. `*timedOut` tells that nothing came in time.
    ssize_t recvFirstBefore(int fd, void* data, size_t length, long long deadlineMs, bool* timedOut) {
        const bool unbounded = deadlineMs == vorna::kNoDeadline;
        for (;;) {
            const long long leftMs = unbounded ? 0 : deadlineMs - vorna::monotonicMs();
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

    const std::unique_ptr<unsigned char[]> mAhead;  // null in direct mode
    size_t mStart = 0;
    size_t mEnd = 0;
    long long mWaitBoundMs = 0;  // direct mode: the socket's receive timeout, 0 for none
};

struct LossHandler {
    VORNA::Connection::LossCbk cbk;
    void* ctx;
};

// A socket descriptor with one owner.
class UniqueSocket {
  public:
    UniqueSocket() = default;
    ~UniqueSocket() { reset(); }
    UniqueSocket(const UniqueSocket&) = delete;
    UniqueSocket& operator=(const UniqueSocket&) = delete;

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

  private:
    int mFd = -1;
};

}  // namespace

// The private record of a live connection. References: one for the Connection, one for the receive
// thread, one for each call in progress; the last one released destroys it, so the socket is closed only
// once nobody can read it any more.
struct ConnectionSocket {
    UniqueSocket mSocket;
    vorna::OwnerProcess mOwner;
    std::atomic<int> mRefs{1};
    std::atomic<bool> mIsStall{false};     // disconnect() has begun
    std::atomic<bool> mIsConnected{true};  // false once the stream is known to have ended or broken
    // The receive thread's reference, still held: the thread drops it when it ends, or disconnect() does
    // for a thread that was stopped before it began its loop.
    std::atomic<bool> mReceiverHolds{false};
    CallGate mGate;
    int mDirectOwed = 0;                        // direct mode, guarded by mGate's turn: responses to drop
    std::unique_ptr<ResponseHandoff> mHandoff;  // notifier mode
    std::unique_ptr<StreamReader> mReader;      // read by the receive thread, or with mGate's turn
    std::unique_ptr<ConnectionSktWorker> mWorker;
    std::mutex mLossLock;
    LossHandler mLoss = {NULL, NULL};  // guarded by mLossLock
    ConnectionSocket* mNextAbandoned = NULL;

    int fd() const { return mSocket.get(); }
    bool isStalling() const { return mIsStall.load(std::memory_order_acquire); }
    bool isConnected() const { return mIsConnected.load(std::memory_order_acquire); }
    void markLost() { mIsConnected.store(false, std::memory_order_release); }
};

namespace {

// The record that the receive thread running on this thread serves; lets disconnect() know that it was
// called from that record's own callback.
thread_local const ConnectionSocket* tServing = NULL;

// A file-local wrapper keeps the container's code out of the library's exports.
struct EndedWorker {
    ConnectionSktWorker* worker;
};

// State kept beside each Connection because its layout is fixed: loss handlers, and the receive threads
// whose connection was ended from their own callback (they cannot reclaim themselves). Never destroyed:
// connections may outlive static destruction.
struct SideTables {
    std::mutex mutex;
    std::map<const VORNA::Connection*, LossHandler> loss;
    std::vector<EndedWorker> endedWorkers;
    ConnectionSocket* abandoned = NULL;  // records left behind in a forked child
    vorna::OwnerProcess owner;
};

SideTables& sideTables() {
    static SideTables* tables = new SideTables();
    return *tables;
}

std::mutex& sideTablesMutex() {
    return sideTables().mutex;
}

// Worker objects of receive threads that ended on their own are deleted here, by the next connect() or
// disconnect(); deleting waits for the thread's last instructions.
void reclaimEndedWorkers() {
    SideTables& tables = sideTables();
    std::vector<EndedWorker> ended;
    {
        std::lock_guard<std::mutex> lock(tables.mutex);
        if (!tables.owner.isCurrent())
            return;  // a child has none of these threads
        ended.swap(tables.endedWorkers);
    }
    for (const EndedWorker& entry : ended)
        delete entry.worker;
}

// At exit, the threads that ended on their own are joined, so that none is left unreclaimed.
struct EndedWorkerReaper {
    ~EndedWorkerReaper() { reclaimEndedWorkers(); }
} gEndedWorkerReaper;

void destroyRecord(ConnectionSocket* s) {
    if (s->mWorker && tServing == s) {
        SideTables& tables = sideTables();
        std::lock_guard<std::mutex> lock(tables.mutex);
        tables.endedWorkers.push_back(EndedWorker{s->mWorker.release()});
    }
    delete s;
}

void releaseRecord(ConnectionSocket* s) {
    if (s->mRefs.fetch_sub(1, std::memory_order_acq_rel) == 1)
        destroyRecord(s);
}

void releaseReceiverReference(ConnectionSocket* s) {
    if (s->mReceiverHolds.exchange(false, std::memory_order_acq_rel))
        releaseRecord(s);
}

// A forked child holds copies of the parent's descriptors but none of its threads, and the socket is
// shared with the parent: the child closes its copy and leaves the rest alone. The record stays
// reachable, since its locks and thread object may be in any state.
void abandonInChild(ConnectionSocket* s) {
    s->mSocket.reset();
    SideTables& tables = sideTables();
    std::lock_guard<std::mutex> lock(tables.mutex);
    s->mNextAbandoned = tables.abandoned;
    tables.abandoned = s;
}

// A counted reference to a Connection's live record for the length of one call.
class RecordRef {
  public:
    explicit RecordRef(ConnectionSocket* const& slot) {
        std::lock_guard<std::mutex> entry(socketEntry(&slot));
        if (slot != NULL && slot->mOwner.isCurrent()) {
            slot->mRefs.fetch_add(1, std::memory_order_relaxed);
            mRecord = slot;
        }
    }
    ~RecordRef() {
        if (mRecord != NULL)
            releaseRecord(mRecord);
    }
    RecordRef(const RecordRef&) = delete;
    RecordRef& operator=(const RecordRef&) = delete;

    ConnectionSocket* get() const { return mRecord; }
    ConnectionSocket* operator->() const { return mRecord; }

  private:
    ConnectionSocket* mRecord = NULL;
};

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

// Takes a broken or unfinished read as the end of the stream: from now on the connection is lost.
void logReadFailure(const char* operation, ssize_t result) {
    const int error = errno;
    VORNA_LOG_AS(VORNA_PREFIX_WRN, operation, "recv failed(%d) errno:%s %d, reTry=%d\n",
                 static_cast<int>(result), strerror(error), error, 0);
}

// Reads a response body of `bodyLen` bytes into `taker`'s buffer. A body that does not fit is read off the
// stream and dropped, so that the next message still starts at a header. Returns the length,
// taker.tooLongResult, or -1 when the stream broke (`*broken` set).
int readResponseBody(StreamReader& reader, int fd, const Taker& taker, int32_t bodyLen, bool* broken) {
    const long long deadline = vorna::deadlineAfterMs(kMessageCompletionMs);
    *broken = false;
    if (taker.discard && bodyLen >= 0) {
        *broken = !reader.discardAll(fd, static_cast<size_t>(bodyLen), deadline);
        return *broken ? kNotConnected : 0;
    }
    if (bodyLen < 0 || bodyLen > taker.capacity) {
        VORNA_LOG_AS(VORNA_PREFIX_ERR, taker.operation, "response len(%d) larger than buffer len(%d)\n",
                     bodyLen, taker.capacity);
        // A negative length leaves no way to find the next header.
        *broken = bodyLen < 0 || !reader.discardAll(fd, static_cast<size_t>(bodyLen), deadline);
        return *broken ? kNotConnected : taker.tooLongResult;
    }
    const ssize_t got = reader.readAll(fd, taker.buf, static_cast<size_t>(bodyLen), deadline);
    if (got == bodyLen)
        return bodyLen;
    *broken = true;
    logReadFailure(taker.operation, got);
    const int error = errno;
    VORNA_LOG_AS(VORNA_PREFIX_ERR, taker.operation, "recv failed(%d) %s %d\n", static_cast<int>(got),
                 strerror(error), error);
    return kNotConnected;
}

// Direct mode: reads the next message, which must be a response, into `taker`'s buffer. Returns its
// result, -110 when none began before `deadlineMs`, or -1.
int readDirectResponse(ConnectionSocket* s, const Taker& taker, long long deadlineMs) {
    MsgHeader header;
    ssize_t got;
    switch (s->mReader->readHeader(s->fd(), &header, deadlineMs, &got)) {
        case HEADER_NOT_BEGUN:
            return kTimedOut;
        case HEADER_FAILED:
            s->markLost();
            logReadFailure(taker.operation, got);
            VORNA_LOG_AS(VORNA_PREFIX_ERR, taker.operation, "bad header id(%d)\n", header.id);
            return kNotConnected;
        case HEADER_READ:
            break;
    }
    if (header.magic != MSG_HEADER_MAGIC) {
        s->markLost();
        VORNA_LOG_AS(VORNA_PREFIX_ERR, taker.operation, "bad header magic(0x%x)\n", header.magic);
        return kNotConnected;
    }
    if (header.id != HEADER_ID_RESPONSE) {
        VORNA_LOG_AS(VORNA_PREFIX_ERR, taker.operation, "bad header id(%d)\n", header.id);
        // A data notification is framed: reading its body keeps the next header in place. A longer body
        // than any server sends means the stream is broken already: it is not read.
        const bool framed = header.id == HEADER_ID_NOTIFY ||
                            (header.id == HEADER_ID_NOTIFY_DATA && header.len >= 0 &&
                             header.len <= vorna::kMaxNotifyDataLength &&
                             s->mReader->discardAll(s->fd(), static_cast<size_t>(header.len),
                                                    vorna::deadlineAfterMs(kMessageCompletionMs)));
        if (!framed)
            s->markLost();
        return kNotConnected;
    }
    bool broken;
    const int result = readResponseBody(*s->mReader, s->fd(), taker, header.len, &broken);
    if (broken)
        s->markLost();
    return result;
}

// Direct mode, with the gate's turn held: first drops the responses owed to calls that gave up, then
// reads the caller's own.
int receiveDirect(ConnectionSocket* s, const Taker& taker, long long deadlineMs) {
    if (!s->isConnected())
        return kNotConnected;
    while (s->mDirectOwed > 0) {
        Taker drop = {NULL, 0, 0, true, taker.operation, Taker::WAITING, 0};
        const int result = readDirectResponse(s, drop, deadlineMs);
        if (result == kTimedOut || !s->isConnected())
            return result;
        --s->mDirectOwed;
    }
    return readDirectResponse(s, taker, deadlineMs);
}

// A call's request, whole. On failure errno tells why and `*sent` how much went out all the same.
bool sendRequest(int fd, const unsigned char* request, int requestLen, size_t* sent) {
    if (vorna::sendAll(fd, request, static_cast<size_t>(requestLen), sent) ==
        static_cast<ssize_t>(requestLen))
        return true;
    const int error = errno;
    VORNA_LOG_AS(VORNA_PREFIX_ERR, kCall, "send failed: %s\n", strerror(error));
    errno = error;
    return false;
}

// Notifier mode: lends the caller's buffer and waits for the receive thread to fill it. `request` is sent
// once the buffer is lent, so that its response cannot come before anyone waits for it.
int receiveHandedOver(ConnectionSocket* s, Taker* taker, long long deadlineMs, const unsigned char* request,
                      int requestLen) {
    ResponseHandoff& handoff = *s->mHandoff;
    if (!s->isConnected() || !handoff.lend(taker))
        return kNotConnected;
    size_t sent = 0;
    if (request != NULL && !sendRequest(s->fd(), request, requestLen, &sent))
        return handoff.withdraw(taker, sent > 0);
    return handoff.await(taker, deadlineMs, request != NULL);
}

// recv() and call(): one transaction with the gate's turn held.
int transact(ConnectionSocket* s, bool notifier, Taker* taker, long long deadlineMs,
             const unsigned char* request, int requestLen) {
    // Only this thread could hand the response over, and another caller may hold the turn meanwhile.
    if (tServing == s) {
        VORNA_LOG_AS(VORNA_PREFIX_ERR, taker->operation, "called from the notification callback\n");
        return kNotConnected;
    }
    GateTurn turn(s->mGate, deadlineMs);
    if (turn.entry() == CallGate::TIMED_OUT)
        return kTimedOut;
    if (turn.entry() == CallGate::CLOSED)
        return kNotConnected;
    if (notifier)
        return receiveHandedOver(s, taker, deadlineMs, request, requestLen);
    if (request != NULL) {
        if (!s->isConnected())
            return kNotConnected;
        size_t sent = 0;
        if (!sendRequest(s->fd(), request, requestLen, &sent)) {
            if (errno != EAGAIN)
                s->markLost();
            else if (sent > 0)
                ++s->mDirectOwed;  // part of the request went out: the server may still answer it
            return kNotConnected;
        }
    }
    const int result = receiveDirect(s, *taker, deadlineMs);
    if (result == kTimedOut && request != NULL)
        ++s->mDirectOwed;
    return result;
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
    const long long deadline = vorna::deadlineAfterMs(kMessageCompletionMs);
    void* data = malloc(len > 0 ? static_cast<size_t>(len) : 1);
    if (data == NULL) {
        VORNA_LOG_AS(VORNA_PREFIX_ERR, kThreadLoop, "recv notify data failed\n");
        return s->mReader->discardAll(s->fd(), static_cast<size_t>(len), deadline);
    }
    const ssize_t got = s->mReader->readAll(s->fd(), data, static_cast<size_t>(len), deadline);
    if (got != len) {
        logReadFailure(kThreadLoop, got);
        free(data);
        VORNA_LOG_AS(VORNA_PREFIX_ERR, kThreadLoop, "recv notify data failed\n");
        return false;
    }
    deliver(cbk, ctx, header.msg, data, len);
    return true;
}

// The body goes straight into the buffer of the caller that waits for it. Returns false when the stream
// broke or disconnect() stopped the hand-off.
bool receiveResponse(ConnectionSocket* s, int32_t len) {
    Taker* taker = NULL;
    switch (s->mHandoff->claim(&taker)) {
        case ResponseHandoff::CLAIM_STOP:
            return false;
        case ResponseHandoff::CLAIM_DROP:
            return len >= 0 && s->mReader->discardAll(s->fd(), static_cast<size_t>(len),
                                                      vorna::deadlineAfterMs(kMessageCompletionMs));
        case ResponseHandoff::CLAIM_TAKER:
            break;
    }
    bool broken;
    const int result = readResponseBody(*s->mReader, s->fd(), *taker, len, &broken);
    s->mHandoff->finish(taker, result);
    return !broken;
}

// The receive thread's last step: no response will come any more, and the application hears of a loss
// that disconnect() did not cause.
void endReceiving(ConnectionSocket* s) {
    s->markLost();
    s->mHandoff->markLost();
    if (s->isStalling())
        return;
    LossHandler loss;
    {
        std::lock_guard<std::mutex> lock(s->mLossLock);
        loss = s->mLoss;
    }
    if (loss.cbk != NULL)
        loss.cbk(loss.ctx);
}

// connect() and connect(timeoutMs): a negative timeout selects the 501 logged attempts.
int openConnection(const VORNA::Connection* self, const char* name, NotifyCbk cbk, void* ctx, int timeoutMs,
                   ConnectionSocket** slot) {
    if (*slot != NULL) {
        VORNA_LOG_AS(VORNA_PREFIX_ERR, "connect", "pSocket is not null\n");
        return -1;
    }
    reclaimEndedWorkers();
    std::unique_ptr<ConnectionSocket> s(new (std::nothrow) ConnectionSocket());
    if (!s) {
        VORNA_LOG_AS(VORNA_PREFIX_ERR, "connect", "alloc socket memory failed\n");
        return -1;
    }
    int fd;
    {
        LowDescriptorGuard guard;
        fd = timeoutMs < 0 ? connectLogged(name) : connectBounded(name, timeoutMs);
    }
    if (fd < 0)
        return -2;
    s->mSocket.adopt(fd);
    s->mReader.reset(new StreamReader(cbk != NULL));
    if (!vorna::setSocketTimeout(fd, SO_SNDTIMEO, kSendTimeoutSeconds))
        VORNA_LOG_AS(VORNA_PREFIX_WRN, "connect", "set send timeout time failed\n");
    {
        SideTables& tables = sideTables();
        std::lock_guard<std::mutex> lock(tables.mutex);
        auto found = tables.loss.find(self);
        if (found != tables.loss.end())
            s->mLoss = found->second;
    }
    if (cbk == NULL) {
        VORNA_LOG_AS(VORNA_PREFIX_WRN, "connect", "this connection has not a notifier.\n");
    } else {
        s->mHandoff.reset(new ResponseHandoff());
        s->mWorker.reset(new ConnectionSktWorker(s.get(), cbk, ctx));
        s->mRefs.fetch_add(1, std::memory_order_relaxed);  // the receive thread's
        s->mReceiverHolds.store(true, std::memory_order_relaxed);
        if (s->mWorker->run("notifier listener", 50, -10) != 0)
            return -2;  // the thread never ran: its reference goes with the record
    }
    std::lock_guard<std::mutex> entry(socketEntry(slot));
    *slot = s.release();
    return 0;
}

// recv() with or without a deadline.
int receive(ConnectionSocket* const& slot, bool notifier, unsigned char* buf, int len, long long deadlineMs) {
    RecordRef s(slot);
    if (s.get() == NULL) {
        VORNA_LOG_AS(VORNA_PREFIX_ERR, kRecv, "pSocket is null\n");
        return kNotConnected;
    }
    Taker taker = {buf, (buf == NULL || len < 0) ? 0 : len, kNotConnected, false, kRecv, Taker::WAITING, 0};
    return transact(s.get(), notifier, &taker, deadlineMs, NULL, 0);
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
    ConnectionSocket* const s = als;
    tServing = s;
    while (!exitPending() && !s->isStalling()) {
        MsgHeader header;
        ssize_t got;
        if (s->mReader->readHeader(s->fd(), &header, vorna::kNoDeadline, &got) != HEADER_READ ||
            header.magic != MSG_HEADER_MAGIC) {
            if (!s->isStalling())
                ERR(" disconnect return from recv failed(%d) magic=0x%x\n", static_cast<int>(got),
                    header.magic);
            break;
        }
        bool intact = true;
        if (header.id == HEADER_ID_NOTIFY) {
            deliver(mCbk, mCbkCtx, header.msg, NULL, header.len);
        } else if (header.id == HEADER_ID_NOTIFY_DATA) {
            intact = receiveNotificationData(s, mCbk, mCbkCtx, header);
        } else if (header.id == HEADER_ID_RESPONSE) {
            intact = receiveResponse(s, header.len);
        } else {
            ERR("unknown header id(%d)\n", header.id);
            intact = false;
        }
        if (!intact)
            break;
    }
    endReceiving(s);
    // The record may go with this reference (when disconnect() ran from a callback): nothing of it is
    // touched afterwards.
    releaseReceiverReference(s);
    tServing = NULL;
    return false;
}

namespace VORNA {

Connection::Connection(const char* name, int reserved, NotifyCbk cbk, void* ctx)
    : mName(name), mReserved(reserved), pSocket(NULL), mCbk(cbk), mCbkCtx(ctx) {
    connect();
}

Connection::Connection(const char* name, int reserved, NotifyCbk cbk, void* ctx, int connectTimeoutMs)
    : mName(name), mReserved(reserved), pSocket(NULL), mCbk(cbk), mCbkCtx(ctx) {
    if (connectTimeoutMs != CONNECT_LATER)
        connect(connectTimeoutMs);
}

Connection::~Connection() {
    disconnect();
    SideTables& tables = sideTables();
    std::lock_guard<std::mutex> lock(tables.mutex);
    tables.loss.erase(this);
}

int Connection::connect() {
    return openConnection(this, mName, mCbk, mCbkCtx, -1, &pSocket);
}

int Connection::connect(int timeoutMs) {
    return openConnection(this, mName, mCbk, mCbkCtx, timeoutMs < 0 ? 0 : timeoutMs, &pSocket);
}

int Connection::send(unsigned char* buf, int len) {
    RecordRef s(pSocket);
    if (s.get() == NULL) {
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
        const ssize_t result = vorna::sendOnce(s->fd(), buf + sent, length - sent);
        if (result > 0) {
            sent += static_cast<size_t>(result);
            continue;
        }
        const int error = errno;
        WRN("[SIW], send failed(%d) errno:%s %d, reTry=%d\n", static_cast<int>(result), strerror(error),
            error, failures);
        if (result < 0 && error != EAGAIN && !s->mHandoff)
            s->markLost();
        Sleep::sleep(kSendPauseMs);
        // EAGAIN: the 10-second send timeout ran out on a full socket.
        if ((result < 0 && error != EAGAIN) || ++failures == kSendAttempts)
            return sent > 0 ? static_cast<int>(sent) : static_cast<int>(result);
    } while (sent < length);
    return static_cast<int>(sent);
}

int Connection::recv(unsigned char* buf, int len) {
    return receive(pSocket, mCbk != NULL, buf, len, vorna::kNoDeadline);
}

int Connection::recv(unsigned char* buf, int len, int timeoutMs) {
    return receive(pSocket, mCbk != NULL, buf, len, vorna::deadlineAfterMs(timeoutMs));
}

int Connection::call(const unsigned char* req, int reqLen, unsigned char* resp, int respCap, int timeoutMs) {
    if (reqLen <= 0 || req == NULL || respCap < 0 || (respCap > 0 && resp == NULL)) {
        ERR("bad arguments req(%p) reqLen(%d) resp(%p) respCap(%d)\n", static_cast<const void*>(req), reqLen,
            static_cast<void*>(resp), respCap);
        return kBadArgument;
    }
    RecordRef s(pSocket);
    if (s.get() == NULL) {
        ERR("pSocket is null\n");
        return kNotConnected;
    }
    Taker taker = {resp, respCap, kTooLong, false, kCall, Taker::WAITING, 0};
    return transact(s.get(), mCbk != NULL, &taker, vorna::deadlineAfterMs(timeoutMs), req, reqLen);
}

bool Connection::isConnected() {
    RecordRef s(pSocket);
    if (s.get() == NULL || !s->isConnected())
        return false;
    if (s->mHandoff)
        return true;
    // Direct mode: a peer that has closed shows as the end of the stream, seen without consuming data.
    char probe;
    const ssize_t peeked = vorna::recvOnce(s->fd(), &probe, 1, MSG_PEEK | MSG_DONTWAIT);
    if (peeked == 0 || (peeked < 0 && errno != EAGAIN)) {
        s->markLost();
        return false;
    }
    return true;
}

void Connection::setLossCbk(LossCbk cbk, void* ctx) {
    const LossHandler handler = {cbk, ctx};
    {
        SideTables& tables = sideTables();
        std::lock_guard<std::mutex> lock(tables.mutex);
        if (cbk != NULL)
            tables.loss[this] = handler;
        else
            tables.loss.erase(this);
    }
    RecordRef s(pSocket);
    if (s.get() != NULL) {
        std::lock_guard<std::mutex> lock(s->mLossLock);
        s->mLoss = handler;
    }
}

int Connection::peerCredentials(pid_t* pid, uid_t* uid, gid_t* gid) {
    RecordRef s(pSocket);
    if (s.get() == NULL) {
        ERR("pSocket is null\n");
        return kNotConnected;
    }
    if (!vorna::readPeerCredentials(s->fd(), pid, uid, gid)) {
        const int error = errno;
        ERR("get peer credentials failed: %s\n", strerror(error));
        return kNoCredentials;
    }
    return 0;
}

int Connection::disconnect() {
    ConnectionSocket* s;
    {
        // Detached first: a call that comes later finds no socket instead of a record being freed.
        std::lock_guard<std::mutex> entry(socketEntry(&pSocket));
        s = pSocket;
        pSocket = NULL;
    }
    if (s == NULL) {
        ERR("pSocket is null\n");
        return -1;
    }
    if (!s->mOwner.isCurrent()) {
        abandonInChild(s);
        return 0;
    }
    reclaimEndedWorkers();
    s->mIsStall.store(true, std::memory_order_release);
    if (s->mWorker)
        s->mWorker->requestExit();
    // Wakes the receive thread and every caller blocked in a read: their reads return at once. The socket
    // is closed only with the record's last reference, when nobody reads it any more.
    shutdown(s->fd(), SHUT_RDWR);
    s->mGate.close();
    if (s->mHandoff)
        s->mHandoff->stop();
    // From the connection's own callback the thread cannot wait for itself: it releases the record when
    // the callback returns.
    if (s->mWorker && tServing != s) {
        s->mWorker->requestExitAndWait();
        releaseReceiverReference(s);
    }
    releaseRecord(s);
    return 0;
}

}  // namespace VORNA
