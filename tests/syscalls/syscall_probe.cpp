// Runs the messaging in one of its modes so that the system calls and the mutex locks it costs can be
// counted from outside (tests/syscalls/count.cmake runs it under strace or qemu's -strace). Counts are
// compared between a run that does N round trips (or idles N seconds) and one that does none, so that
// start-up and teardown cancel out.
//
//   syscall_probe serve NAME            echo server; says "ready" on stdout, ends when stdout is closed
//   syscall_probe MODE NAME N           N round trips; MODE: direct-call, direct-sendrecv, notifier-call,
//                                       notifier-sendrecv, loop-call
//   syscall_probe idle SECONDS          a server and a client of each mode in this process, left idle
// Each prints "<role>-locks <count>" on stderr: the mutex locks its process took.

#include <dlfcn.h>
#include <poll.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>

#include "vorna/messaging.h"

namespace {

std::atomic<long> gLocks{0};

template <typename Function>
Function next(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

void echo(void* ctx, void* conn, int type, unsigned char* data, int len) {
    if (type == MSG_RECV)
        static_cast<VORNA::Listener*>(ctx)->response(conn, data, len);
}

void ignore(void*, unsigned int, void* data, int) {
    free(data);
}

// Waits until the reader of stdout (the client of a pipeline) has gone.
void waitForReaderToGo() {
    pollfd out = {STDOUT_FILENO, 0, 0};
    while (poll(&out, 1, -1) < 0) {
    }
}

int serve(const char* name) {
    VORNA::Listener server(name, 0);
    server.setMsgCbk(echo, &server);
    if (server.run() != 0)
        return 1;
    printf("ready\n");
    fflush(stdout);
    waitForReaderToGo();
    server.stall();
    fprintf(stderr, "serve-locks %ld\n", gLocks.load());
    return 0;
}

bool roundTrip(VORNA::Connection& client, bool sendRecv) {
    unsigned char request[64] = {1};
    unsigned char response[64];
    if (sendRecv)
        return client.send(request, sizeof(request)) == 64 && client.recv(response, sizeof(response)) == 64;
    return client.call(request, sizeof(request), response, sizeof(response), 10000) == 64;
}

int call(const std::string& mode, const char* name, int count) {
    char ready[16];
    if (fgets(ready, sizeof(ready), stdin) == NULL)  // the server of the pipeline listens
        return 1;
    const bool notifier = mode.rfind("direct", 0) != 0;
    VORNA::Connection client(name, 0, notifier ? ignore : NULL, NULL, VORNA::Connection::CONNECT_LATER);
    const int connected = mode == "loop-call" ? client.connectInLoop(5000) : client.connect(5000);
    if (connected != 0 || !roundTrip(client, false))  // the first round trip warms up
        return 1;
    const bool sendRecv = mode.find("sendrecv") != std::string::npos;
    for (int i = 0; i < count; ++i)
        if (!roundTrip(client, sendRecv))
            return 1;
    fprintf(stderr, "call-locks %ld\n", gLocks.load());
    return 0;
}

// True when every thread but the caller sleeps in the kernel, as an idle thread does.
bool othersAsleep() {
    const std::string self = std::to_string(syscall(SYS_gettid));
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::string stat;  // "<tid> (<name>) <state> ...", where the name may hold ") " too
        std::getline(std::ifstream(task.path() / "stat"), stat);
        if (task.path().filename() != self && stat.find(") S ", stat.rfind(')')) == std::string::npos)
            return false;
    }
    return true;
}

int idle(int seconds) {
    const std::string name = "vorna-idle-probe-" + std::to_string(getpid());
    const std::string loopName = name + "-loop";
    VORNA::Listener server(name.c_str(), 0), loopServer(loopName.c_str(), 0);
    server.setMsgCbk(echo, &server);
    if (server.run() != 0 || loopServer.runInLoop() != 0)
        return 1;
    VORNA::Connection notified(name.c_str(), 0, ignore, NULL, 5000);
    VORNA::Connection direct(name.c_str(), 0, NULL, NULL, 5000);
    VORNA::Connection looped(loopName.c_str(), 0, ignore, NULL, VORNA::Connection::CONNECT_LATER);
    if (looped.connectInLoop(5000) != 0 || !roundTrip(notified, false) || !roundTrip(direct, false))
        return 1;
    loopServer.dispatch();  // accepts the loop client
    // The idle time begins once every thread has gone to sleep after the round trips above; threads that
    // never settle within 10 s would make the count meaningless.
    for (int checks = 0; !othersAsleep(); ++checks) {
        if (checks == 10000) {
            fprintf(stderr, "the library's threads did not go to sleep\n");
            return 1;
        }
        poll(NULL, 0, 1);
    }
    syscall(SYS_getppid);  // marks the start of the idle time for the counter
    poll(NULL, 0, seconds * 1000);
    syscall(SYS_getppid);
    fprintf(stderr, "idle-locks %ld\n", gLocks.load());
    looped.disconnect();
    loopServer.stall();
    server.stall();
    return 0;
}

}  // namespace

// Counted for every caller in the process, the library included (this program exports its symbols).
extern "C" int pthread_mutex_lock(pthread_mutex_t* mutex) {
    static const auto real = next<int (*)(pthread_mutex_t*)>("pthread_mutex_lock");
    ++gLocks;
    return real(mutex);
}

extern "C" int pthread_mutex_trylock(pthread_mutex_t* mutex) {
    static const auto real = next<int (*)(pthread_mutex_t*)>("pthread_mutex_trylock");
    ++gLocks;
    return real(mutex);
}

int main(int argc, char** argv) {
    if (argc == 3 && strcmp(argv[1], "serve") == 0)
        return serve(argv[2]);
    if (argc == 3 && strcmp(argv[1], "idle") == 0)
        return idle(atoi(argv[2]));
    if (argc == 4)
        return call(argv[1], argv[2], atoi(argv[3]));
    fprintf(stderr, "usage: see the top of tests/syscalls/syscall_probe.cpp\n");
    return 2;
}
