#include "signals.h"

#include <errno.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

namespace {

constexpr int kWakeSignal = SIGUSR1;

sigset_t handledSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, kWakeSignal);
    return set;
}

}  // namespace

StopSignals::StopSignals() {
    const sigset_t set = handledSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

StopSignals::Event StopSignals::wait(int timeoutMs) {
    const sigset_t set = handledSignals();
    timespec timeout = {timeoutMs / 1000, (timeoutMs % 1000) * 1000000L};
    for (;;) {
        const int received =
            timeoutMs < 0 ? sigwaitinfo(&set, nullptr) : sigtimedwait(&set, nullptr, &timeout);
        if (received == kWakeSignal)
            return kWake;
        if (received >= 0)
            return kStop;
        if (errno == EAGAIN)
            return kTimeout;
        // EINTR (a stop of the debugger, for example): wait on; the timeout restarts, which only delays.
    }
}

void StopSignals::wake() {
    kill(getpid(), kWakeSignal);
}
