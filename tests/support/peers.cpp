#include "support/peers.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <regex>
#include <sstream>

#include <gtest/gtest.h>

namespace testing_support {

namespace {

// Waits until `fd` is readable (data, end of stream or error); false when the deadline passed first.
bool waitReadable(int fd, long long deadline) {
    for (;;) {
        const long long left = deadline - nowMs();
        if (left <= 0)
            return false;
        pollfd entry = {fd, POLLIN, 0};
        const int ready = poll(&entry, 1, static_cast<int>(left));
        if (ready > 0)
            return true;
        if (ready < 0 && errno != EINTR)
            return false;
    }
}

void pauseMs(int ms) {
    timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
}

}  // namespace

std::string wireHeader(int32_t id, uint32_t msg, int32_t len, uint32_t magic) {
    WireHeader header;
    memset(&header, 0, sizeof(header));
    header.magic = magic;
    header.id = id;
    header.msg = msg;
    header.len = len;
    return std::string(reinterpret_cast<const char*>(&header), sizeof(header));
}

std::string responseFrame(const std::string& body) {
    return wireHeader(kWireIdResponse, 0, static_cast<int32_t>(body.size())) + body;
}

std::string valueNotificationFrame(uint32_t code, uint32_t value) {
    return wireHeader(kWireIdNotify, code, static_cast<int32_t>(value));
}

std::string dataNotificationFrame(uint32_t code, const std::string& body) {
    return wireHeader(kWireIdNotifyData, code, static_cast<int32_t>(body.size())) + body;
}

WireHeader parseWireHeader(const std::string& bytes) {
    WireHeader header;
    memset(&header, 0, sizeof(header));
    memcpy(&header, bytes.data(), std::min(bytes.size(), sizeof(header)));
    return header;
}

std::string patternBytes(size_t count, unsigned seed) {
    std::string bytes(count, '\0');
    for (size_t i = 0; i < count; ++i)
        bytes[i] = static_cast<char>((i * 31 + seed * 7 + i / 251) & 0xff);
    return bytes;
}

bool abstractAddress(const std::string& name, sockaddr_un* address, socklen_t* length) {
    memset(address, 0, sizeof(*address));
    if (name.size() + 1 > sizeof(address->sun_path))
        return false;
    address->sun_family = AF_UNIX;
    memcpy(address->sun_path + 1, name.data(), name.size());
    *length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    return true;
}

RawStream::~RawStream() {
    close();
}

RawStream::RawStream(RawStream&& other) noexcept : mFd(other.mFd) {
    other.mFd = -1;
}

RawStream& RawStream::operator=(RawStream&& other) noexcept {
    if (this != &other) {
        close();
        mFd = other.mFd;
        other.mFd = -1;
    }
    return *this;
}

bool RawStream::writeAll(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(mFd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool RawStream::writeInPieces(const std::string& bytes, const std::vector<size_t>& pieces, int pauseMs) {
    size_t offset = 0;
    for (size_t piece : pieces) {
        const size_t size = std::min(piece, bytes.size() - offset);
        if (!writeAll(bytes.substr(offset, size)))
            return false;
        offset += size;
        testing_support::pauseMs(pauseMs);
    }
    return writeAll(bytes.substr(offset));
}

std::string RawStream::readExactly(size_t count, int timeoutMs) {
    std::string bytes;
    const long long deadline = nowMs() + timeoutMs;
    char buffer[65536];
    while (bytes.size() < count && waitReadable(mFd, deadline)) {
        const ssize_t n = ::recv(mFd, buffer, std::min(sizeof(buffer), count - bytes.size()), MSG_DONTWAIT);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            break;
        bytes.append(buffer, static_cast<size_t>(n));
    }
    return bytes;
}

bool RawStream::waitForEndOfStream(int timeoutMs) {
    const long long deadline = nowMs() + timeoutMs;
    char buffer[4096];
    while (waitReadable(mFd, deadline)) {
        const ssize_t n = ::recv(mFd, buffer, sizeof(buffer), MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno == ECONNRESET))
            return true;
        if (n < 0 && errno != EINTR && errno != EAGAIN)
            return false;
    }
    return false;
}

int RawStream::pendingBytes() const {
    int count = 0;
    return ioctl(mFd, FIONREAD, &count) == 0 ? count : -1;
}

void RawStream::shutdownWrite() {
    ::shutdown(mFd, SHUT_WR);
}

void RawStream::shutdown() {
    ::shutdown(mFd, SHUT_RDWR);
}

void RawStream::close() {
    if (mFd >= 0)
        ::close(mFd);
    mFd = -1;
}

RawStream connectRawClient(const std::string& name) {
    sockaddr_un address;
    socklen_t length = 0;
    if (!abstractAddress(name, &address, &length))
        return RawStream();
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return RawStream();
    RawStream stream(fd);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), length) != 0)
        stream.close();
    return stream;
}

RawServer::RawServer(const std::string& name) {
    sockaddr_un address;
    socklen_t length = 0;
    if (!abstractAddress(name, &address, &length))
        return;
    mListenFd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (mListenFd < 0)
        return;
    if (bind(mListenFd, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(mListenFd, 16) != 0)
        close();
}

RawServer::~RawServer() {
    close();
}

RawStream RawServer::accept(int timeoutMs) {
    if (mListenFd < 0 || !waitReadable(mListenFd, nowMs() + timeoutMs))
        return RawStream();
    return RawStream(accept4(mListenFd, NULL, NULL, SOCK_CLOEXEC));
}

void RawServer::close() {
    if (mListenFd >= 0)
        ::close(mListenFd);
    mListenFd = -1;
}

ForkedProcess::ForkedProcess(const std::function<void()>& body, bool keepOutput) {
    fflush(stdout);
    fflush(stderr);
    mPid = fork();
    if (mPid != 0)
        return;
    if (!keepOutput) {
        const int devNull = open("/dev/null", O_WRONLY);
        dup2(devNull, STDOUT_FILENO);
        dup2(devNull, STDERR_FILENO);
    }
    body();
    fflush(stdout);
    _exit(0);
}

ForkedProcess::~ForkedProcess() {
    if (mPid > 0) {
        ::kill(mPid, SIGKILL);
        waitpid(mPid, NULL, 0);
    }
}

void ForkedProcess::kill(int signal) {
    if (mPid > 0)
        ::kill(mPid, signal);
}

int ForkedProcess::wait(int timeoutMs) {
    int status = 0;
    const bool ended = waitUntil([&] { return waitpid(mPid, &status, WNOHANG) == mPid; }, timeoutMs);
    if (!ended)
        return -1;
    mPid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

ProcessSignal::ProcessSignal() {
    if (pipe2(mPipe, O_CLOEXEC) != 0)
        mPipe[0] = mPipe[1] = -1;
}

ProcessSignal::~ProcessSignal() {
    for (int fd : mPipe) {
        if (fd >= 0)
            ::close(fd);
    }
}

void ProcessSignal::post() {
    const char token = 1;
    while (write(mPipe[1], &token, 1) < 0 && errno == EINTR) {
    }
}

bool ProcessSignal::waitFor(int timeoutMs) {
    if (!waitReadable(mPipe[0], nowMs() + timeoutMs))
        return false;
    char token = 0;
    return read(mPipe[0], &token, 1) == 1;
}

ChildResult runCheckedInChild(const std::function<void()>& body, int timeoutMs) {
    return runInChild(
        [&body] {
            body();
            fflush(stdout);
            _exit(::testing::Test::HasFailure() ? 1 : 0);
        },
        timeoutMs);
}

bool LogLine::operator==(const LogLine& other) const {
    return module == other.module && function == other.function && level == other.level && text == other.text;
}

std::vector<LogLine> parseLogLines(const std::string& output, const std::string& module) {
    // The console shows at most 59 characters of prefix: 62 less the dropped level marker. A long
    // function name and line number cut into the level word, and the message follows right after.
    const size_t kVisiblePrefix = 59;
    static const std::regex kLine(R"(\[   vorna  \]\[ (\S+) (\S+) \d+\] )");
    std::vector<LogLine> lines;
    std::istringstream stream(output);
    std::string text;
    while (std::getline(stream, text)) {
        std::smatch match;
        if (!std::regex_search(text, match, kLine))
            continue;
        const size_t levelStart = match.position(0) + match.length(0);
        const size_t levelLength = std::min<size_t>(5, kVisiblePrefix - std::min(kVisiblePrefix, levelStart));
        std::string level = text.substr(levelStart, levelLength);
        level.erase(level.find_last_not_of(": ") + 1);
        LogLine line{match[1], match[2], level, text.substr(levelStart + levelLength)};
        if (module.empty() || line.module == module)
            lines.push_back(line);
    }
    return lines;
}

void PrintTo(const LogLine& line, std::ostream* out) {
    *out << line.module << " " << line.function << " " << line.level << ": " << line.text;
}

std::string describe(const std::vector<LogLine>& lines) {
    std::string text;
    for (const LogLine& line : lines)
        text += line.module + " " + line.function + " " + line.level + ": " + line.text + "\n";
    return text.empty() ? "(no lines)\n" : text;
}

size_t countLines(const std::vector<LogLine>& lines, const LogLine& wanted) {
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), wanted));
}

bool containsLine(const std::vector<LogLine>& lines, const LogLine& wanted) {
    return countLines(lines, wanted) > 0;
}

bool hasLineOf(const std::vector<LogLine>& lines, const std::string& level, const std::string& function) {
    return std::any_of(lines.begin(), lines.end(),
                       [&](const LogLine& line) { return line.level == level && line.function == function; });
}

std::vector<int> openDescriptors() {
    std::vector<int> descriptors;
    for (int fd = 0; fd < 1024; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0)
            descriptors.push_back(fd);
    }
    return descriptors;
}

std::vector<int> newDescriptorsWithoutCloseOnExec(const std::vector<int>& before,
                                                  const std::vector<int>& after) {
    std::vector<int> found;
    for (int fd : after) {
        const bool isNew = std::find(before.begin(), before.end(), fd) == before.end();
        if (isNew && (fcntl(fd, F_GETFD) & FD_CLOEXEC) == 0)
            found.push_back(fd);
    }
    return found;
}

}  // namespace testing_support
