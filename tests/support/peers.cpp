#include "support/peers.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <regex>
#include <sstream>

#include <gtest/gtest.h>

namespace testing_support {

std::string patternBytes(size_t count, unsigned seed) {
    std::string bytes(count, '\0');
    for (size_t i = 0; i < count; ++i)
        bytes[i] = static_cast<char>((i * 31 + seed * 7 + i / 251) & 0xff);
    return bytes;
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
    char token = 0;
    return raw_peer::waitReadable(mPipe[0], timeoutMs) && read(mPipe[0], &token, 1) == 1;
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

}  // namespace testing_support
