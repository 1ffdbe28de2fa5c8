#pragma once

// Protocol peers for the tests: the raw peer (support/raw_peer.h) under its usual names, a forked process
// that plays either role from afar, and readers of the library's log lines.

#include <stddef.h>
#include <sys/types.h>

#include <functional>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "support/child.h"
#include "support/raw_peer.h"

namespace testing_support {

// The raw peer's frames, address and sockets, under the names the tests use.
using namespace raw_peer;

// `count` bytes of a recognisable pattern that differs with `seed`.
std::string patternBytes(size_t count, unsigned seed = 0);

// The name the messaging tests know ChildProcess by.
using ForkedProcess = ChildProcess;

// A signal between processes: each post() lets one waitFor() pass, in this process or a forked one.
// Create it before the fork.
class ProcessSignal {
  public:
    ProcessSignal();
    void post() { mWrite.writeAll("!"); }
    bool waitFor(int timeoutMs = 10000) { return mRead.readExactly(1, timeoutMs).size() == 1; }

  private:
    RawStream mRead, mWrite;
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
    bool operator==(const LogLine& other) const {
        return std::tie(module, function, level, text) ==
               std::tie(other.module, other.function, other.level, other.text);
    }
};
void PrintTo(const LogLine& line, std::ostream* out);
// The log lines in `output`, in order, keeping only those of `module` when it is not empty. Text that is
// not a log line is skipped.
std::vector<LogLine> parseLogLines(const std::string& output, const std::string& module = "");

}  // namespace testing_support
