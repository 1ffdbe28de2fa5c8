#include "support/child.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include <gtest/gtest.h>

namespace testing_support {

namespace {

// Waits until `deadlineMs` for output on a child's standard output and standard error pipes, then
// appends what each holds to `out` and `err`. A pipe at its end is closed and its descriptor set to -1.
// Returns false once both are closed or the deadline has passed.
bool readChildPipes(int* outFd, int* errFd, std::string* out, std::string* err, long long deadlineMs) {
    const long long left = deadlineMs - nowMs();
    if ((*outFd < 0 && *errFd < 0) || left <= 0)
        return false;
    pollfd fds[2] = {{*outFd, POLLIN, 0}, {*errFd, POLLIN, 0}};
    if (poll(fds, 2, static_cast<int>(left)) <= 0)
        return nowMs() < deadlineMs;
    int* ownFds[2] = {outFd, errFd};
    std::string* sinks[2] = {out, err};
    for (int i = 0; i < 2; ++i) {
        // A pipe at its end (or failing) is closed; the other may still have data.
        if (fds[i].fd >= 0 && fds[i].revents != 0 && !readSomeBefore(fds[i].fd, sinks[i], deadlineMs)) {
            close(*ownFds[i]);
            *ownFds[i] = -1;
        }
    }
    return true;
}

// How many entries a directory holds, "." and ".." left out; -1 when it cannot be read.
int directoryEntryCount(const char* path) {
    DIR* dir = opendir(path);
    if (dir == NULL)
        return -1;
    int count = -2;  // "." and ".."
    while (readdir(dir) != NULL)
        ++count;
    closedir(dir);
    return count;
}

}  // namespace

long long nowMs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

bool readSomeBefore(int fd, std::string* text, long long deadlineMs) {
    const long long left = deadlineMs - nowMs();
    pollfd entry = {fd, POLLIN, 0};
    if (left <= 0 || poll(&entry, 1, static_cast<int>(left)) <= 0)
        return false;
    char buffer[4096];
    const ssize_t count = read(fd, buffer, sizeof(buffer));
    if (count > 0)
        text->append(buffer, static_cast<size_t>(count));
    return count > 0;
}

ChildResult runInChild(const std::function<void()>& body, int timeoutMs) {
    int outPipe[2];
    int errPipe[2];
    if (pipe(outPipe) != 0 || pipe(errPipe) != 0) {
        ADD_FAILURE() << "pipe failed";
        return {-1, "", ""};
    }
    fflush(stdout);
    fflush(stderr);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(outPipe[1], STDOUT_FILENO);
        dup2(errPipe[1], STDERR_FILENO);
        for (int fd : {outPipe[0], errPipe[0], outPipe[1], errPipe[1]})
            close(fd);
        body();
        fflush(stdout);
        fflush(stderr);
        _exit(0);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    // Both pipes are read until the child closes them, so that neither can fill up and block it.
    ChildResult result{-1, "", ""};
    const long long deadline = nowMs() + timeoutMs;
    while (readChildPipes(&outPipe[0], &errPipe[0], &result.out, &result.err, deadline)) {
    }
    for (int fd : {outPipe[0], errPipe[0]}) {
        if (fd >= 0)
            close(fd);
    }
    int status = 0;
    if (!waitUntil([&] { return waitpid(pid, &status, WNOHANG) != 0; }, timeoutMs)) {
        ADD_FAILURE() << "child " << pid << " did not end within " << timeoutMs << " ms";
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return result;
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
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

int openDescriptorCount() {
    const int entries = directoryEntryCount("/proc/self/fd");
    return entries < 0 ? -1 : entries - 1;  // the directory's own descriptor
}

}  // namespace testing_support
