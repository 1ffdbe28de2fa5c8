#pragma once

// Protocol peers written from the wire format alone, so that each end of the library's messaging is
// checked against something that is not the library: a raw client for the server, a raw server for the
// client, the frames they exchange, and a forked process that plays either role from afar.

#include <stddef.h>
#include <stdint.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "support/child.h"

namespace testing_support {

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
std::string wireHeader(int32_t id, uint32_t msg, int32_t len, uint32_t magic = kWireMagic);
std::string responseFrame(const std::string& body);
std::string valueNotificationFrame(uint32_t code, uint32_t value);
std::string dataNotificationFrame(uint32_t code, const std::string& body);
// The first 32 bytes of `bytes` as a header (which must hold at least 32 bytes).
WireHeader parseWireHeader(const std::string& bytes);

// `count` bytes of a recognisable pattern that differs with `seed`.
std::string patternBytes(size_t count, unsigned seed = 0);

// Both ends build the abstract address the same way: a leading NUL, the name, and a length of name + 3.
// Returns false for a name too long for the address.
bool abstractAddress(const std::string& name, sockaddr_un* address, socklen_t* length);

// A stream socket end with whole-message reads and writes. Every read takes a deadline, so a peer that
// sends nothing fails the test instead of hanging it.
class RawStream {
  public:
    RawStream() = default;
    explicit RawStream(int fd) : mFd(fd) {}
    ~RawStream();
    RawStream(const RawStream&) = delete;
    RawStream& operator=(const RawStream&) = delete;
    RawStream(RawStream&& other) noexcept;
    RawStream& operator=(RawStream&& other) noexcept;

    bool isOpen() const { return mFd >= 0; }
    int fd() const { return mFd; }

    // Writes all bytes (blocking); false when the peer has gone.
    bool writeAll(const std::string& bytes);
    // Writes `bytes` in pieces of the given sizes, pausing `pauseMs` between pieces; whatever is left
    // after the listed pieces goes in one last piece.
    bool writeInPieces(const std::string& bytes, const std::vector<size_t>& pieces, int pauseMs);
    // Reads exactly `count` bytes, or what arrived before end of stream or the deadline.
    std::string readExactly(size_t count, int timeoutMs = 10000);
    // True when the peer's end of stream arrives within the deadline (any bytes before it are dropped).
    bool waitForEndOfStream(int timeoutMs = 10000);
    // Bytes the peer has written that this end has not read yet.
    int pendingBytes() const;
    void shutdownWrite();
    // Ends both directions; safe while another thread reads or writes this stream.
    void shutdown();
    void close();

  private:
    int mFd = -1;
};

// A client connected to the abstract name `name`; not open when nothing listens there.
RawStream connectRawClient(const std::string& name);

// A server listening on an abstract name, accepting one client at a time.
class RawServer {
  public:
    explicit RawServer(const std::string& name);
    ~RawServer();
    RawServer(const RawServer&) = delete;
    RawServer& operator=(const RawServer&) = delete;

    bool isListening() const { return mListenFd >= 0; }
    // Waits for the next client; the stream is not open when none came before the deadline.
    RawStream accept(int timeoutMs = 10000);
    // Closes the listening socket, which frees the name.
    void close();

  private:
    int mListenFd = -1;
};

// A forked process that runs `body` and then exits with status 0. The fork happens in the constructor,
// so create it before the test process starts threads that the child could inherit in a locked state.
// The child's standard output and error go to /dev/null unless `keepOutput` is set.
class ForkedProcess {
  public:
    explicit ForkedProcess(const std::function<void()>& body, bool keepOutput = false);
    ~ForkedProcess();  // kills and reaps the child if it still runs
    ForkedProcess(const ForkedProcess&) = delete;
    ForkedProcess& operator=(const ForkedProcess&) = delete;

    pid_t pid() const { return mPid; }
    void kill(int signal);
    // The exit status, or 128 + the signal that ended it; -1 if it did not end within the deadline.
    int wait(int timeoutMs = 10000);

  private:
    pid_t mPid = -1;
};

// A one-shot signal between two processes: the child calls `post`, the parent `waitFor`. Create it before
// the fork.
class ProcessSignal {
  public:
    ProcessSignal();
    ~ProcessSignal();
    ProcessSignal(const ProcessSignal&) = delete;
    ProcessSignal& operator=(const ProcessSignal&) = delete;

    void post();
    bool waitFor(int timeoutMs = 10000);

  private:
    int mPipe[2] = {-1, -1};
};

// Runs `body` in a child as runInChild does, with its GoogleTest checks: the status is 0 when every check
// in the child passed and 1 otherwise; the failure messages are in `out`.
ChildResult runCheckedInChild(const std::function<void()>& body, int timeoutMs = 20000);

// One line of the library's console log output: "[   vorna  ][ <module> <function> <n>] <LVL>: <text>".
struct LogLine {
    std::string module;    // "src/Listener"
    std::string function;  // "response"
    std::string level;     // "ERR", or as much of it as the prefix limit leaves ("ER" after a long name)
    std::string text;      // the message, without its newline
    bool operator==(const LogLine& other) const;
};
void PrintTo(const LogLine& line, std::ostream* out);
// The log lines in `output`, in order, keeping only those of `module` when it is not empty. Text that is
// not a log line is skipped.
std::vector<LogLine> parseLogLines(const std::string& output, const std::string& module = "");
std::string describe(const std::vector<LogLine>& lines);
size_t countLines(const std::vector<LogLine>& lines, const LogLine& wanted);
bool containsLine(const std::vector<LogLine>& lines, const LogLine& wanted);
// True when some line has this level and function, whatever its text.
bool hasLineOf(const std::vector<LogLine>& lines, const std::string& level, const std::string& function);

// Descriptors that are open in this process now.
std::vector<int> openDescriptors();
// Those of `after` that are not in `before` and lack the close-on-exec flag.
std::vector<int> newDescriptorsWithoutCloseOnExec(const std::vector<int>& before,
                                                  const std::vector<int>& after);

}  // namespace testing_support
