// A service that stops cleanly on SIGINT and SIGTERM (Ctrl-C, systemd's stop) while the crash handler
// still reports real crashes; it logs with its own tag through the library's macros and keeps the log
// off standard output. Usage: example_service
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <unistd.h>

#include <vorna/vorna.h>

#define TAG "  service "

namespace {

// Standard output stays for what the service prints for its users: log lines, the library's and the
// service's own, go to standard error (without the level marker, which is for log files).
void toStderr(void*, int level, const char* line, int len) {
    const int skip = level > 0 ? 3 : 0;
    fprintf(stderr, "%.*s", len - skip, line + skip);
}

// Clients are released as they leave; no request gets an answer in this sketch.
void onMessage(void* ctx, void* conn, int type, unsigned char*, int) {
    if (type == MSG_DISCONNECTED)
        static_cast<VORNA::Listener*>(ctx)->closeClient(conn);
}

}  // namespace

int main() {
    if (signal_proc_init() != 0)  // crash reports; by default SIGINT too prints one
        return 1;
    LogSetWriter(toStderr, nullptr);

    // Before any thread starts: SIGINT and SIGTERM stay pending instead of reaching the crash handler (the
    // mask is inherited by every thread created later), until main() takes them with sigwait().
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    if (pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr) != 0)
        return 1;

    char name[64];
    snprintf(name, sizeof name, "app.service.%d", static_cast<int>(getpid()));
    VORNA::Listener server(name, 0);
    server.setMsgCbk(onMessage, &server);
    if (server.run() != 0) {
        VORNA_LOG_ERR(TAG, "cannot serve on %s\n", name);
        return 1;
    }
    VORNA_LOG_INF(TAG, "serving on %s\n", name);

    kill(getpid(), SIGTERM);  // stands in for Ctrl-C or `systemctl stop`
    int stopSignal = 0;
    if (sigwait(&stopSignals, &stopSignal) != 0)
        return 1;
    VORNA_LOG_INF(TAG, "stopping on %s\n", stopSignal == SIGTERM ? "SIGTERM" : "SIGINT");
    server.stall();
    printf("stopped cleanly\n");
    return 0;
}
