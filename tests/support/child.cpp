#include "support/child.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>

#include <gtest/gtest.h>

namespace testing_support {

ChildProcess::ChildProcess(const std::function<void()>& body, Output output) {
    for (int& fd : mFiles)
        fd = output == CAPTURE ? open("/tmp", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600) : -1;
    fflush(stdout);
    fflush(stderr);
    mPid = fork();
    if (mPid != 0)
        return;
    const int devNull = open("/dev/null", O_RDWR);
    dup2(devNull, STDIN_FILENO);
    dup2(output == CAPTURE ? mFiles[0] : devNull, STDOUT_FILENO);
    dup2(output == CAPTURE ? mFiles[1] : devNull, STDERR_FILENO);
    body();
    fflush(stdout);
    fflush(stderr);
    _exit(0);
}

ChildProcess::~ChildProcess() {
    if (mPid > 0) {
        ::kill(mPid, SIGKILL);
        waitpid(mPid, NULL, 0);
    }
    for (int fd : mFiles) {
        if (fd >= 0)
            close(fd);
    }
}

int ChildProcess::wait(int timeoutMs) {
    int status = 0;
    if (mPid <= 0 || !waitUntil([&] { return waitpid(mPid, &status, WNOHANG) == mPid; }, timeoutMs))
        return -1;
    mPid = -1;
    mEndedBySignal = WIFSIGNALED(status);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int ChildProcess::finish(int timeoutMs) {
    const pid_t pid = mPid;
    const int status = wait(timeoutMs);
    if (status == -1) {
        ADD_FAILURE() << "child " << pid << " did not end within " << timeoutMs << " ms; its output:\n"
                      << out() << err();
        kill(SIGKILL);
    }
    return status;
}

std::string ChildProcess::captured(int stream) const {
    return mFiles[stream] < 0 ? "" : readFile("/proc/self/fd/" + std::to_string(mFiles[stream]));
}

ChildResult runInChild(const std::function<void()>& body, int timeoutMs) {
    ChildProcess child(body, ChildProcess::CAPTURE);
    const int status = child.finish(timeoutMs);
    return {status, child.out(), child.err()};
}

bool readSomeBefore(int fd, std::string* text, long long deadlineMs) {
    char buffer[4096];
    const ssize_t count = raw_peer::waitReadable(fd, static_cast<int>(deadlineMs - nowMs()))
                              ? read(fd, buffer, sizeof(buffer))
                              : -1;
    if (count > 0)
        text->append(buffer, static_cast<size_t>(count));
    return count > 0;
}

bool waitUntil(const std::function<bool()>& condition, int timeoutMs) {
    const long long deadline = nowMs() + timeoutMs;
    while (!condition()) {
        if (nowMs() > deadline)
            return condition();
        usleep(1000);
    }
    return true;
}

std::string uniqueName(const char* tag) {
    static std::atomic<int> counter{0};
    return "vorna-test-" + std::to_string(getpid()) + "-" + std::to_string(counter++) + "-" + tag;
}

std::string readFile(const std::string& path) {
    // Plain reads: a /proc file of a task that ends meanwhile fails its read, which an ifstream would
    // turn into an exception.
    std::string text;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return text;
    char chunk[4096];
    ssize_t got;
    while ((got = read(fd, chunk, sizeof(chunk))) > 0 || (got < 0 && errno == EINTR))
        text.append(chunk, got > 0 ? static_cast<size_t>(got) : 0);
    close(fd);
    return text;
}

}  // namespace testing_support
