#pragma once

// The far end of the library's messaging written from the wire format alone, so that tests, benchmarks
// and fuzzers check each end against something that is not the library: the frames a server sends, the
// abstract address, and raw stream sockets. Free of GoogleTest: fuzzers and benchmarks link it too.

#include <stddef.h>
#include <stdint.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>

#include <string>
#include <utility>
#include <vector>

namespace raw_peer {

// The 32-byte header that starts every message from server to client, in host byte order.
struct WireHeader {
    uint32_t magic;
    int32_t id;
    uint32_t msg;
    uint32_t reserved0;
    int64_t timeUs;
    int32_t len;
    uint32_t reserved1;
};
static_assert(sizeof(WireHeader) == 32, "the header is 32 bytes on the stream");

const uint32_t kWireMagic = 0x00112233;
const int32_t kWireIdNotify = 0;
const int32_t kWireIdResponse = 1;
const int32_t kWireIdNotifyData = 2;
const size_t kWireHeaderSize = sizeof(WireHeader);

// The header as a server writes it: zero-filled, then the given fields; `timeUs` is left 0.
WireHeader makeWireHeader(int32_t id, uint32_t msg, int32_t len, uint32_t magic = kWireMagic);
std::string wireHeader(int32_t id, uint32_t msg, int32_t len, uint32_t magic = kWireMagic);
std::string responseFrame(const std::string& body);
std::string valueNotificationFrame(uint32_t code, uint32_t value);
std::string dataNotificationFrame(uint32_t code, const std::string& body);
// The first 32 bytes of `bytes` as a header; missing bytes read as 0.
WireHeader parseWireHeader(const std::string& bytes);

// Both ends build the abstract address the same way: a leading NUL, the name, and a length of name + 3.
// Returns false for a name too long for the address.
bool abstractAddress(const std::string& name, sockaddr_un* address, socklen_t* length);

// A stream socket (close-on-exec, plus `flags` such as SOCK_NONBLOCK) connected to `name`, or -1. A
// non-blocking socket fails at once against a full backlog instead of waiting.
int connectTo(const std::string& name, int flags = 0);
// A stream socket listening on `name`, or -1.
int listenOn(const std::string& name, int backlog = 16);

// Blocking whole writes and reads on a descriptor, resumed after EINTR; false when the peer has gone (or
// the stream ended first).
bool sendAll(int fd, const void* data, size_t size);
bool recvAll(int fd, void* data, size_t size);

// Pauses `us` microseconds, also when signals cut into the pause.
void pauseUs(long us);

// Milliseconds of the monotonic clock, for deadlines.
long long nowMs();

// Waits until `fd` is readable (data, end of stream or error), resuming after signals; false when
// `timeoutMs` passed first.
bool waitReadable(int fd, int timeoutMs);

// The descriptors open in this process now, in increasing order, and how many there are.
std::vector<int> openDescriptors();
int openDescriptorCount();

// A stream socket end with whole-message reads and writes. Every read takes a deadline, so a peer that
// sends nothing fails the caller instead of hanging it.
class RawStream {
  public:
    RawStream() = default;
    explicit RawStream(int fd) : mFd(fd) {}
    ~RawStream() { close(); }
    RawStream(const RawStream&) = delete;
    RawStream& operator=(const RawStream&) = delete;
    RawStream(RawStream&& other) noexcept : mFd(other.mFd) { other.mFd = -1; }
    // The stream given up goes to `other`, which closes it.
    RawStream& operator=(RawStream&& other) noexcept {
        std::swap(mFd, other.mFd);
        return *this;
    }

    bool isOpen() const { return mFd >= 0; }
    int fd() const { return mFd; }

    // Writes all bytes (blocking); false when the peer has gone.
    bool writeAll(const std::string& bytes) { return sendAll(mFd, bytes.data(), bytes.size()); }
    // Writes `bytes` in pieces of the given sizes, pausing `pauseMs` between pieces; whatever is left
    // after the listed pieces goes in one last piece.
    bool writeInPieces(const std::string& bytes, const std::vector<size_t>& pieces, int pauseMs);
    // Reads exactly `count` bytes, or what arrived before end of stream or the deadline.
    std::string readExactly(size_t count, int timeoutMs = 10000);
    // True when the peer's end of stream arrives within the deadline (any bytes before it are dropped).
    bool waitForEndOfStream(int timeoutMs = 10000);
    // Bytes the peer has written that this end has not read yet.
    int pendingBytes() const;
    void shutdownWrite() { ::shutdown(mFd, SHUT_WR); }
    // Ends both directions; safe while another thread reads or writes this stream.
    void shutdown() { ::shutdown(mFd, SHUT_RDWR); }
    void close();

  private:
    int mFd = -1;
};

// A client connected to the abstract name `name`; not open when nothing listens there.
inline RawStream connectRawClient(const std::string& name) {
    return RawStream(connectTo(name));
}

// A server listening on an abstract name, accepting one client at a time.
class RawServer {
  public:
    explicit RawServer(const std::string& name) : mListening(listenOn(name)) {}

    bool isListening() const { return mListening.isOpen(); }
    // Waits for the next client; the stream is not open when none came before the deadline.
    RawStream accept(int timeoutMs = 10000);
    // Closes the listening socket, which frees the name.
    void close() { mListening.close(); }

  private:
    RawStream mListening;
};

}  // namespace raw_peer
