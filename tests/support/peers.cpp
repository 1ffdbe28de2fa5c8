#include "support/peers.h"

#include <stdio.h>
#include <sys/socket.h>
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
    int ends[2] = {-1, -1};
    socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends);
    mRead = RawStream(ends[0]);
    mWrite = RawStream(ends[1]);
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
