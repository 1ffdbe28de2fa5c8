#pragma once

// Socket steps that the server and the client share: the abstract address, the timeouts, and whole-message
// reads and writes. Every call passes MSG_NOSIGNAL, so a peer that has gone yields an error, never SIGPIPE,
// and every call is resumed after EINTR.

#include <stddef.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <sys/un.h>

namespace vorna {

// Longest socket name: sun_path also holds the leading NUL that selects the abstract namespace.
const size_t kMaxSocketNameLength = sizeof(sockaddr_un::sun_path) - 1;
// The longest body of a data notification: servers refuse longer ones, clients take a longer length as a
// broken stream.
const int kMaxNotifyDataLength = 255;

// Fills `address` with the abstract name `name` and `length` with the name's length plus 3 (family and
// leading NUL). Returns false, touching nothing, for a null name or one longer than 107 bytes.
bool makeAbstractAddress(const char* name, sockaddr_un* address, socklen_t* length);

// A new local stream socket, close-on-exec. Returns -1 with errno set when none can be had.
int openLocalStreamSocket();

// Sets SO_RCVTIMEO or SO_SNDTIMEO to whole seconds. Returns false with errno set when refused.
bool setSocketTimeout(int fd, int option, int seconds);
// The same in milliseconds; 0 takes the timeout away.
bool setSocketTimeoutMs(int fd, int option, long long milliseconds);

// The peer's process, user and group ids (SO_PEERCRED), each stored only through a pointer that is not
// null. Returns false with errno set when the kernel refuses.
bool readPeerCredentials(int fd, pid_t* pid, uid_t* uid, gid_t* gid);

// One send of at most `length` bytes. Returns the count, or -1 with errno set.
ssize_t sendOnce(int fd, const void* data, size_t length);

// One receive of at most `length` bytes with the given extra flags. Returns the count, 0 at end of
// stream (or when `length` is 0), or -1 with errno set.
ssize_t recvOnce(int fd, void* data, size_t length, int flags = 0);

// Sends all `length` bytes, continuing short sends. Returns `length`, or -1 with errno set; part of the
// data may then have gone out. The socket's send timeout bounds the whole call (EAGAIN), also when a part
// went out or signals cut the sends short, so a peer that stops reading holds the caller for one
// timeout, not one per resumed send.
// `*sentOut`, when given, receives the count that went out, also on failure.
ssize_t sendAll(int fd, const void* data, size_t length, size_t* sentOut = NULL);

// sendAll for data in `count` parts, sent as one stream write where the socket takes it, so that the peer
// wakes once for a whole message. The parts are advanced in place as they go out.
ssize_t sendAllParts(int fd, iovec* parts, int count, size_t* sentOut = NULL);

// Receives exactly `length` bytes, continuing short reads. Returns `length`; fewer (0 included) when the
// stream ended first, with errno left 0 by a clean end; or -1 with errno set. A `length` of 0 reads
// nothing and returns 0.
ssize_t recvAll(int fd, void* data, size_t length);

// Reads `length` bytes off the stream and drops them, to keep the framing after a body that has nowhere
// to go. Returns true when all were read.
bool discardAll(int fd, size_t length);

// Milliseconds of CLOCK_MONOTONIC, the clock of every deadline below.
long long monotonicMs();

// A deadline `timeoutMs` from now; a negative timeout acts as 0.
long long deadlineAfterMs(int timeoutMs);

// Deadlines that never pass.
const long long kNoDeadline = -1;

// Waits until `fd` has data (or its end of stream, or an error) to read. Returns 1 when it has, 0 when
// `deadlineMs` passed first (kNoDeadline: waits without limit), -1 with errno set when poll fails.
int waitReadable(int fd, long long deadlineMs);

// As recvAll, but gives up at `deadlineMs`: the count then falls short with errno ETIMEDOUT. Never blocks
// past the deadline, also on a blocking socket.
ssize_t recvAllBefore(int fd, void* data, size_t length, long long deadlineMs);

// As discardAll, with the deadline of recvAllBefore.
bool discardAllBefore(int fd, size_t length, long long deadlineMs);

// Connects the local stream socket `fd` to `address` without blocking longer than until `deadlineMs`, and
// leaves the socket blocking. Returns 0, or -1 with errno set (EAGAIN when the server's backlog stayed
// full, ETIMEDOUT when the deadline passed).
int connectBefore(int fd, const sockaddr_un& address, socklen_t length, long long deadlineMs);

}  // namespace vorna
