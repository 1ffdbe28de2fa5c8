#pragma once

#include <signal.h>
#include <sys/types.h>

#include <functional>
#include <string>

#include "support/raw_peer.h"
#include "support/sanitizers.h"

namespace testing_support {

using raw_peer::nowMs;
using raw_peer::openDescriptorCount;

struct ChildResult {
    // The exit status when the child exited, or 128 + the signal number when a signal ended it.
    int status;
    std::string out;  // everything the child wrote on standard output
    std::string err;  // everything the child wrote on standard error
};

// A forked process that runs `body` and then exits with status 0 (after flushing stdio) unless `body`
// ended it otherwise; its standard input is /dev/null. The fork happens in the constructor, so create it
// before the test process starts threads that the child could inherit in a locked state. With CAPTURE,
// the child's standard output and error go to files that out() and err() read at any time (a child that
// writes without end can fill no pipe and block); with DISCARD, to /dev/null.
class ChildProcess {
  public:
    enum Output { DISCARD, CAPTURE };
    explicit ChildProcess(const std::function<void()>& body, Output output = DISCARD);
    ~ChildProcess();  // kills and reaps the child if it still runs
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return mPid; }
    // Once the child is reaped, its pid is -1 and a signal 0 sends nothing anywhere.
    void kill(int signal) { ::kill(mPid, mPid > 0 ? signal : 0); }
    // The exit status, or 128 + the signal that ended it; -1 if it did not end within the deadline.
    int wait(int timeoutMs = 10000);
    // As wait(), but a child still running at the deadline fails the test (with its output) and is killed.
    int finish(int timeoutMs = 20000);
    // After wait() or finish(): whether a signal ended the child (an exit status of 128 + n tells the same
    // number either way).
    bool endedBySignal() const { return mEndedBySignal; }
    std::string out() const { return captured(0); }
    std::string err() const { return captured(1); }

  private:
    std::string captured(int stream) const;

    pid_t mPid = -1;
    bool mEndedBySignal = false;
    int mFiles[2] = {-1, -1};
};

// Runs `body` in a ChildProcess with its output captured, and waits for its end. Fails the test if the
// child does not end within `timeoutMs`.
ChildResult runInChild(const std::function<void()>& body, int timeoutMs = 20000);

// Polls `condition` until it holds or `timeoutMs` passes; returns its last value.
bool waitUntil(const std::function<bool()>& condition, int timeoutMs = 5000);

// Waits until `deadlineMs` (of nowMs()) for data on `fd` and appends one read of it to `text`.
// Returns false, having read nothing, when the deadline passes first or the stream has ended.
bool readSomeBefore(int fd, std::string* text, long long deadlineMs);

// An abstract socket name no other test process uses at the same time.
std::string uniqueName(const char* tag);

// The whole content of a file; empty when it cannot be read.
std::string readFile(const std::string& path);

}  // namespace testing_support
