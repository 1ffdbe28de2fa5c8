#include "signals.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

namespace {

// Wake-ups go through an eventfd, not a signal: a process-directed signal may be handed to any thread
// that does not block it (a sanitizer's helper thread, for one), and its default action would end the
// process.
int gWakeFd = -1;

sigset_t stopSignalSet() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

int readStopStatus(int signalFd) {
    signalfd_siginfo info;
    if (read(signalFd, &info, sizeof(info)) != static_cast<ssize_t>(sizeof(info)))
        return 0;
    return 128 + static_cast<int>(info.ssi_signo);
}

bool takeWake() {
    uint64_t count;
    return read(gWakeFd, &count, sizeof(count)) == static_cast<ssize_t>(sizeof(count));
}

}  // namespace

StopSignals::StopSignals() {
    const sigset_t set = stopSignalSet();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    signal(SIGPIPE, SIG_IGN);
    mSignalFd = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
    gWakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (mSignalFd < 0 || gWakeFd < 0)
        perror("vorna-msg: cannot watch for Ctrl-C");
}

StopSignals::~StopSignals() {
    if (mSignalFd >= 0)
        close(mSignalFd);
    if (gWakeFd >= 0)
        close(gWakeFd);
    gWakeFd = -1;
}

StopSignals::Event StopSignals::wait(int timeoutMs) {
    pollfd fds[2] = {{mSignalFd, POLLIN, 0}, {gWakeFd, POLLIN, 0}};
    for (;;) {
        const int ready = poll(fds, 2, timeoutMs);
        if (ready < 0 && errno == EINTR)
            continue;  // a stop of the debugger, for example; the timeout restarts, which only delays
        if (ready <= 0)
            return kTimeout;
        if ((fds[0].revents & POLLIN) != 0) {
            const int status = readStopStatus(mSignalFd);
            if (status != 0) {
                mStopStatus = status;
                return kStop;
            }
        }
        if ((fds[1].revents & POLLIN) != 0 && takeWake())
            return kWake;
    }
}

void StopSignals::wake() {
    const uint64_t one = 1;
    if (gWakeFd >= 0 && write(gWakeFd, &one, sizeof(one)) < 0)
        perror("vorna-msg: wake-up lost");
}

void StopSignals::endProcessOnStop() {
    // The thread keeps a descriptor of its own: it outlives this object, up to the end of the process.
    const int fd = fcntl(mSignalFd, F_DUPFD_CLOEXEC, 0);
    std::thread([fd] {
        pollfd entry = {fd, POLLIN, 0};
        for (;;) {
            const int status = poll(&entry, 1, -1) > 0 ? readStopStatus(fd) : 0;
            // Every line of the command has been flushed as it was written; nothing else needs to run.
            if (status != 0)
                _exit(status);
        }
    }).detach();
}

int endByStopSignal(int status) {
    const int number = status - 128;
    if (number != SIGINT && number != SIGTERM)
        return status;
    fflush(nullptr);
    signal(number, SIG_DFL);
    // Still blocked since StopSignals: the signal waits for this thread, which then takes it alone.
    raise(number);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, number);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    return status;  // not reached: the default action has ended the process
}

long long monotonicMs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

int msUntil(long long deadlineMs) {
    const long long left = deadlineMs - monotonicMs();
    return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, INT32_MAX));
}
