#pragma once

// Messaging between the processes of one device over local stream sockets named in the Linux abstract
// namespace. One server (VORNA::Listener) serves any number of clients (VORNA::Connection).
//
// On the stream, a client writes its request bytes as they are, with no header. The server answers with
// framed messages: a 32-byte MsgHeader, then, for responses and data notifications, `len` body bytes.
// Other programs on the device speak this format: it must not change.

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include "vorna/export.h"
#include "vorna/thread.h"

// The header in front of every message from server to client, in host byte order. The sender zero-fills
// it first, so both reserved words are 0 on the stream.
struct MsgHeader {
    uint32_t magic;      // always MSG_HEADER_MAGIC (bytes 33 22 11 00 on the stream)
    int32_t id;          // HEADER_ID_*
    uint32_t msg;        // notification code chosen by the server application; 0 in a response
    uint32_t reserved0;  // 0
    int64_t time_us;     // sender's wall-clock time in microseconds since the epoch; no receiver reads it
    int32_t len;         // body length for HEADER_ID_RESPONSE and HEADER_ID_NOTIFY_DATA; the value for
                         // HEADER_ID_NOTIFY, which has no body
    uint32_t reserved1;  // 0
};

static_assert(sizeof(MsgHeader) == 32, "the header is 32 bytes on the stream");
static_assert(offsetof(MsgHeader, magic) == 0 && offsetof(MsgHeader, id) == 4 &&
                  offsetof(MsgHeader, msg) == 8,
              "header words 0 to 2");
static_assert(offsetof(MsgHeader, reserved0) == 12 && offsetof(MsgHeader, time_us) == 16,
              "header words 3 to 5");
static_assert(offsetof(MsgHeader, len) == 24 && offsetof(MsgHeader, reserved1) == 28, "header words 6 and 7");

// The first word of every MsgHeader.
const uint32_t MSG_HEADER_MAGIC = 0x00112233u;

// Header ids.
enum {
    HEADER_ID_NOTIFY = 0,       // a notification value in `len`; no body
    HEADER_ID_RESPONSE = 1,     // a response of `len` body bytes
    HEADER_ID_NOTIFY_DATA = 2,  // a notification with `len` body bytes (0 to 255)
};

// What the server reports to its application's message callback (its third argument).
enum {
    MSG_CONNECTED = 0,     // a client was accepted; no data
    MSG_DISCONNECTED = 1,  // the client hung up, or its socket failed; no data
    MSG_RECV = 2,          // request bytes arrived: data and count given
    MSG_SEND = 3,          // has a name only; never reported
};

// A client's notification callback: `msg` is the server's code. For a value notification `data` is null
// and `len` is the value. For a data notification `data` is a malloc'ed buffer of `len` bytes (never
// null, also for 0 bytes) that now belongs to the callback, which releases it with free().
typedef void (*NotifyCbk)(void* ctx, unsigned int msg, void* data, int len);

struct Conn;
struct ListenerSkt;
struct ConnectionSocket;

namespace VORNA {

// The server end. Construct, setMsgCbk(), run(); answer through response() and notify(), push to every
// client with notifyAll(), drop clients with closeClient(); stall() before destroying it. Any number of
// run()/stall() cycles are allowed.
//
// Clients are named by handles that the message callback receives: opaque values, not addresses. A
// handle stays valid from MSG_CONNECTED until closeClient() or stall(), also after MSG_DISCONNECTED.
// Afterwards it never names another client, however many come and go: response(), notify() and
// peerCredentials() then return -2 and write nothing, and closeClient() returns 0 with a warning.
//
// A client that does not read cannot hold the server: once a send to it fails (its socket stayed full for
// the 10-second send timeout, or it has gone), the client is broken. Its socket is shut down, its requests
// are no longer read, the callback gets MSG_DISCONNECTED for it once, and every later response() or
// notify() to it returns -3 at once with nothing written. Its handle stays valid until closeClient(). So
// one such client costs the others at most one send timeout.
//
// When accept() runs out of descriptors, the listening socket rests for 50 ms at a time while the
// connected clients are served as usual; pending clients wait in the backlog and are accepted within
// about 50 ms once a descriptor is free.
//
// After fork(), the child holds copies of a running server's sockets but not its thread: stall() and the
// destructor in the child only close the child's copies (the parent keeps serving) and return at once.
// The library tells a child by its pthread_atfork handler: a child made by a raw clone() or _Fork(), which
// skip the fork handlers, counts as the parent and must not touch the parent's servers or clients.
class VORNA_API Listener {
  public:
    // ctx: the context given to setMsgCbk(); conn: the client's handle; type: MSG_CONNECTED,
    // MSG_DISCONNECTED or MSG_RECV; data and len: for MSG_RECV the bytes just read (1 to 1024, valid only
    // during the call), otherwise null and 0. Called on the event thread with no lock held, one call at a
    // time. It may call response(), notify(), notifyAll() and closeClient() (also for its own client),
    // never stall(). After closeClient() returns, no callback starts for that client; one that the event
    // thread had already begun on another thread may still be running.
    typedef void (*MsgCbk)(void* ctx, void* conn, int type, unsigned char* data, int len);

    // Keeps the name pointer (the text is not copied: it must outlive every run()). Opens nothing.
    Listener(const char* name, int reserved);
    // Ends the process (BUG line and exit(-1)) when the server still runs: call stall() first. In a
    // process forked from the one that called run(), it only closes that process's copies instead.
    ~Listener();
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    // "connected", "disconnected", "recv", "send", or "unknown" for any other value. Never null.
    static const char* msgName(int type);

    // Sets the callback that the next run() takes over. Refused with an ERR line while the server runs.
    void setMsgCbk(MsgCbk cbk, void* ctx);

    // Opens the listening socket and starts the event thread "listener". Returns 0, or -3 when the name is
    // taken or longer than 107 bytes, a resource cannot be had, the thread cannot start, or the server
    // already runs (then nothing changes). Without a callback the server accepts, reads and releases
    // clients and reports nothing. Socket activation: when LISTEN_PID names this process and one of the
    // LISTEN_FDS descriptors (from 3 on) is a listening stream socket on this abstract name, the server
    // takes it over (close-on-exec) instead of binding; once every handed descriptor has been taken,
    // LISTEN_PID, LISTEN_FDS and LISTEN_FDNAMES are removed from the environment. An idle server makes no
    // system call and never wakes.
    int run();

    // Stops the event thread (at once, after the callback in progress) or waits for a dispatch() in
    // progress on another thread, closes every client socket without a callback, and frees everything.
    // Returns 0, or -1 when the server does not run, and -1 with an ERR line, changing nothing, when
    // called from the message callback. Other threads may be inside response(), notify(),
    // notifyAll(), peerCredentials() or closeClient() meanwhile: each either completes or returns -1, -2
    // or -3, and a send blocked on a full socket fails at once. In a forked child it only closes the
    // child's copies of the sockets, returns 0 and waits for nothing.
    int stall();

    // Event-loop mode: for an application that runs its own loop (poll, GLib, libuv, sd-event...). Starts
    // the server as run() does, with the same results, but without the event thread: the application
    // watches fd() for readability and calls dispatch() on its loop's thread whenever it is readable. The
    // message callback then runs inside dispatch(), on that thread. Every other rule of this class holds
    // as in thread mode: handles, broken clients, closeClient() and notifyAll() from any thread, stall()
    // from any thread but never from the callback, fork.
    int runInLoop();

    // The descriptor that becomes readable whenever the server has work for dispatch(); the same from
    // runInLoop() until stall(), which makes it readable (a loop blocked on it wakes, and dispatch() then
    // returns -1) and closes it: take it out of the loop then. -1 when the server does not run in loop
    // mode.
    int fd() const;

    // Does the work that is ready (accepting clients, reading requests with their callbacks, reporting
    // ends, resuming accept() after the descriptor-exhaustion pause) and returns without blocking. Returns
    // the number of events handled (0 when nothing was ready); -1 when the server does not run in loop
    // mode (no log line: a loop may call it once more after stall() on another thread), and -1 with an
    // ERR line from the message callback. Call it from one thread at a time.
    int dispatch();

    // Sends a response header (HEADER_ID_RESPONSE) and `len` body bytes, as one message that no other
    // message to this client can split. Returns len + 32; -1 when the server does not run; -2 for a null
    // handle, one that names no current client, a negative len, or a null body with a positive len
    // (nothing written); -3 when a send failed or the client is broken (see above; part of the message
    // may then be on the stream, and the client's socket is shut down). Blocks while the client's socket
    // buffer is full, for at most the 10-second send timeout. Any thread may call it.
    int response(void* conn, unsigned char* data, int len);

    // Sends a value notification (HEADER_ID_NOTIFY, code `msg`, value `value`; no body). Returns 32, or
    // -1, -2, -3 as response().
    int notify(void* conn, unsigned int msg, unsigned int value);

    // Sends a data notification (HEADER_ID_NOTIFY_DATA) with a body of 0 to 255 bytes. Returns len; -2
    // also for a body longer than 255 bytes (nothing written); otherwise -1, -2, -3 as response().
    int notify(void* conn, unsigned int msg, void* data, int len);

    // Sends a value notification to every client whose MSG_CONNECTED callback has returned (so that the
    // application can vet a client there before anything reaches it). Returns how many clients it
    // reached (0 when none is connected), or -1 when the server does not run. A client whose send fails
    // is skipped and becomes broken as described above; a broken client is skipped with nothing written.
    // Any thread may call it, also the message callback, while clients connect, hang up or are closed; a
    // client that connects meanwhile may or may not be reached.
    int notifyAll(unsigned int msg, unsigned int value);

    // As notifyAll() above with a data notification of 0 to 255 bytes. Returns the clients reached; -1
    // when the server does not run; -2, with nothing written, for a body longer than 255 bytes, a negative
    // len, or a null body with a positive len.
    int notifyAll(unsigned int msg, void* data, int len);

    // Closes the client's socket and releases its handle; no callback follows for it. Safe from the
    // callback and from other threads, also while the event thread serves that client or another thread
    // sends to it (such a send completes or fails with -3). Returns 0 (also, with a warning, for a handle
    // that names no current client), or -2 for a null handle or when the server does not run.
    int closeClient(void* conn);

    // The identity of the client's process, as the kernel recorded it when the client connected: abstract
    // names carry no permissions, so a server that must trust its clients checks them here. Stores the
    // process id, user id and group id through the pointers that are not null (a null pointer skips its
    // value). Returns 0; -1 when the server does not run; -2 for a null handle or one that names no
    // current client; -3 when the kernel does not tell. Any thread may call it, the message callback
    // included, also while another thread closes the client.
    int peerCredentials(void* conn, pid_t* pid, uid_t* uid, gid_t* gid);

  private:
    friend struct vorna::AbiCheck;
    const char* mName;
    [[maybe_unused]] int mReserved;  // stored; read by no operation
    ListenerSkt* m_priv;
    MsgCbk mCbk;
    void* mCbkCtx;
};

// The client end. The constructor connects; with a callback (notifier mode) a receive thread "notifier
// listener" delivers notifications, without one (direct mode) recv() reads the stream itself and the
// connection takes responses only.
//
// Waits are bounded where a bound is given: once a message from the server has begun, the rest of it must
// arrive within 3 s, or the connection counts as lost (a peer that stops in the middle of a message has
// broken the framing).
//
// After fork(), the child's copy of a Connection is not connected: its calls return -1 (logged as
// "pSocket is null"), and its destructor and disconnect() only close the child's copy of the socket; they
// never touch the parent's connection or wait for its receive thread. As for the server, a child made by a
// raw clone() or _Fork() (which skip the fork handlers) is not told apart from its parent.
class VORNA_API Connection {
  public:
    // Told once, on the receive thread, when a notifier-mode connection ends other than through
    // disconnect(): the server closed it or went away, or the stream broke. The handler may call
    // disconnect() (or destroy the Connection), but not connect(): see README for the reconnect recipe.
    typedef void (*LossCbk)(void* ctx);

    // For the connectTimeoutMs of the second constructor: construct without connecting.
    enum { CONNECT_LATER = -1 };

    // Results that recv() with a timeout and call() return besides -1 and -2.
    enum {
        TIMED_OUT = -110,          // no response began within the timeout
        RESPONSE_TOO_LONG = -90,   // call(): the body was longer than respCap and was dropped
    };

    // Keeps the name pointer (the text is not copied) and calls connect(), which may take about 10 s when
    // no server listens; a failed connection shows as -1 from every operation.
    Connection(const char* name, int reserved, NotifyCbk cbk, void* ctx);
    // As above, but calls connect(connectTimeoutMs) instead; CONNECT_LATER does not connect at all, so that
    // an application can start before its server and connect later.
    Connection(const char* name, int reserved, NotifyCbk cbk, void* ctx, int connectTimeoutMs);
    // Calls disconnect(). May run on the connection's own receive thread, from its notification or loss
    // callback: see disconnect().
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Connects, trying up to 501 times 20 ms apart (about 10 s in all, also against a server that stopped
    // with a full backlog: no attempt blocks), and logs every failed attempt. Returns 0; -1 when already
    // connected (the live connection is untouched) or the private record cannot be had; -2 when every
    // attempt failed or the receive thread cannot start.
    int connect();

    // As connect(), but gives up once timeoutMs have passed (0, or a negative value: a single attempt)
    // and logs one line for the failure, not one per attempt. A name longer than 107 bytes fails at once.
    // Returns 0, -1 or -2 as connect().
    int connect(int timeoutMs);

    // True while connected. False once the library knows that the connection is gone: after
    // disconnect(); in notifier mode as soon as the receive thread has seen the end (the event of
    // setLossCbk() comes at the same time); in direct mode after a failed read or write, or when the
    // server has closed its end (checked without consuming data). Any thread may call it.
    bool isConnected();

    // Sets the handler of the loss event (null: none) for this connection and every later one of this
    // object. Any thread may call it, also before connect(). Direct mode has no loss event: use
    // isConnected().
    void setLossCbk(LossCbk cbk, void* ctx);

    // Writes the request bytes, completing short writes. Returns the bytes written (fewer than len only
    // when the socket stayed full for 11 attempts of 10 s, or failed after a part went out); -1 when not
    // connected, for a negative len or a null buffer with a positive len, or when the socket failed. A len
    // of 0 makes 11 logged attempts 10 ms apart and returns 0.
    int send(unsigned char* buf, int len);

    // Reads the next response body into buf. Returns the body length (0 for an empty body); -1 when not
    // connected, the stream ended or failed, the next message is not a response (direct mode), or the body
    // is longer than len (it is then read off the stream and dropped, and nothing is written past len).
    // In notifier mode it waits for the receive thread to hand a response over, and returns -1 at once
    // once the connection is lost or when disconnect() runs; concurrent callers take responses in turn.
    // Never from the notification callback (it returns -1 there).
    int recv(unsigned char* buf, int len);

    // As recv(buf, len), but returns -110 when no response has begun within timeoutMs, counted from the
    // call (waiting for the turn behind other recv() and call() callers included; 0, or a negative
    // value: do not wait, though in direct mode a response already on the socket is still read). A response
    // that has begun is read whole, within 3 s. A response that arrives after its caller gave up stays on the
    // connection for the next recv().
    int recv(unsigned char* buf, int len, int timeoutMs);

    // Sends the request and waits for its response, as one transaction. Any number of threads may call it
    // at once on one connection: the calls take turns, and each caller gets the response to its own
    // request. Returns the body length; -110 when the response did not begin within timeoutMs (a negative
    // timeout acts as 0), counted from the call (the turn included): the connection then owes that
    // response, and drops it when it comes, never giving it to another call; -90 when the body is longer
    // than respCap (it is read off the stream and dropped; the connection stays usable); -1 when not
    // connected, the request could not be sent, or the connection is lost; -2 for a null or empty request,
    // a negative respCap, or a null resp with a positive respCap. In notifier mode notifications keep
    // flowing to the callback meanwhile. The wire carries no request ids, so do not mix call() with
    // send()/recv() on one connection while a call may be in progress: a response that a timed-out recv()
    // left behind would go to the next call. Never from the notification callback (it returns -1 there).
    int call(const unsigned char* req, int reqLen, unsigned char* resp, int respCap, int timeoutMs);

    // Event-loop mode: connects as connect(timeoutMs) does, in notifier mode (the callback given to the
    // constructor must not be null: -1 otherwise), but without the receive thread. The application
    // watches fd() for readability and calls dispatch() on its loop's thread, where notifications and the
    // loss event are then delivered. send(), recv() and call() work from any thread, the loop's own
    // included: a caller waiting for its response reads the stream itself, and keeps the notifications
    // that arrive meanwhile for the next dispatch() (fd() stays readable until they are delivered).
    // Returns 0, -1 or -2 as connect(timeoutMs).
    int connectInLoop(int timeoutMs);

    // The descriptor that is readable while dispatch() has something to do; the same from connectInLoop()
    // until disconnect(), which closes it (take it out of the loop first). Once the loss event has been
    // delivered it stays quiet. -1 when not connected in loop mode.
    int fd() const;

    // Delivers the notifications that have arrived, in order, and the loss event when the connection has
    // ended, without blocking. Returns the number of notifications delivered (the loss event counts as
    // one); -1 when not connected in loop mode. Call it from one thread at a time, never from the
    // notification callback.
    int dispatch();

    // Stops the receive thread, wakes every recv() and call() caller (who returns -1), closes the socket
    // and frees everything. Returns 0, or -1 when not connected. Calls still inside send() or a direct-mode
    // recv() on other threads return -1 and the socket closes when the last of them has left.
    // From the connection's own notification or loss callback (also through the destructor) it returns 0
    // at once without waiting: the receive thread ends and releases the connection's resources when the
    // callback returns. No notification is delivered after that callback.
    int disconnect();

    // The identity of the server's process (the one that called run()), as the kernel recorded it when
    // this connection was made: any process can bind a free abstract name, so a client that must trust
    // its server checks it here. Stores the process id, user id and group id through the pointers that
    // are not null (a null pointer skips its value). Returns 0; -1 when not connected; -3 when the kernel
    // does not tell. The identity stays readable after the server has gone, until disconnect().
    int peerCredentials(pid_t* pid, uid_t* uid, gid_t* gid);

  private:
    friend struct vorna::AbiCheck;
    const char* mName;
    [[maybe_unused]] int mReserved;  // stored; read by no operation
    ConnectionSocket* pSocket;
    NotifyCbk mCbk;
    void* mCbkCtx;
};

}  // namespace VORNA

// The server's event thread. Only the library creates it; its members are the event loop's state.
class VORNA_API ListenerSktWorker : public VORNA::Thread {
  public:
    // Runs the server's event loop until stall(); the record holds the loop's descriptors and clients.
    explicit ListenerSktWorker(ListenerSkt* als);
    // Releases nothing: the thread must have ended, and the record keeps what the loop used.
    ~ListenerSktWorker() override;

    ListenerSkt* als;  // the server's record (not owned)
    Conn* conn_list;   // always null: kept for the layout; the record lists the clients

  protected:
    bool threadLoop() override;
};

// A client's receive thread in notifier mode. Only the library creates it.
class VORNA_API ConnectionSktWorker : public VORNA::Thread {
  public:
    // Receives for the client `als` and hands each notification to `cbk` with `ctx`.
    ConnectionSktWorker(ConnectionSocket* als, NotifyCbk cbk, void* ctx);
    ~ConnectionSktWorker() override;

  protected:
    bool threadLoop() override;

  private:
    friend struct vorna::AbiCheck;
    ConnectionSocket* als;
    NotifyCbk mCbk;
    void* mCbkCtx;
};
