// Messaging: an echo server and its client in two processes. On a device they are two programs; here the
// client runs in a forked child so that one program shows both ends.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vorna/vorna.h>

namespace {

// The server's side: the callback's context.
struct EchoService {
    explicit EchoService(const char* name) : server(name, 0) {}
    VORNA::Listener server;
    VORNA::Semaphore clientLeft;  // one count for every client released
};

// Releases a client's handle and socket. A server that skips this on MSG_DISCONNECTED keeps one
// descriptor and one record for every client that ever left.
void release(EchoService* service, void* conn) {
    service->server.closeClient(conn);  // 0; no further callback comes for it
    service->clientLeft.post();
}

void onMessage(void* ctx, void* conn, int type, unsigned char* data, int len) {
    EchoService* service = static_cast<EchoService*>(ctx);
    VORNA::Listener* server = &service->server;
    if (type == MSG_CONNECTED) {
        // A value notification and a data notification (a body of at most 255 bytes) to the new client.
        char welcome[] = "welcome";
        if (server->notify(conn, 7, 1234u) != 32 || server->notify(conn, 8, welcome, 7) != 7)
            release(service, conn);
    } else if (type == MSG_RECV) {
        // Every client whose connection is complete hears of the request (notifyAll returns how many).
        server->notifyAll(9, static_cast<unsigned int>(len));
        // An echo. A failed response may have left part of a message on the stream: drop the client.
        if (server->response(conn, data, len) != len + 32)  // returns len + 32
            release(service, conn);
    } else if (type == MSG_DISCONNECTED) {
        release(service, conn);
    }
}

bool writeByte(int fd) {
    const char byte = 1;
    ssize_t written;
    do {
        written = write(fd, &byte, 1);
    } while (written < 0 && errno == EINTR);
    return written == 1;
}

bool readByte(int fd) {
    char byte;
    ssize_t got;
    do {
        got = read(fd, &byte, 1);
    } while (got < 0 && errno == EINTR);
    return got == 1;
}

// Serves until the client has come and gone; `serving` is told once the name is bound.
int runServer(const char* name, int serving) {
    EchoService service(name);
    service.server.setMsgCbk(onMessage, &service);
    if (service.server.run() != 0) {  // 0, or -3 when the name is taken
        fprintf(stderr, "server: cannot serve on '%s'\n", name);
        return 1;
    }
    const bool told = writeByte(serving);
    const bool left = told && service.clientLeft.wait(10000) == 0;
    service.server.stall();  // before destroying it
    printf("server: %s\n", left ? "the client came and left" : "the client did not come and leave");
    return left ? 0 : 1;
}

// The client's side. A data notification's body is a malloc'ed buffer that belongs to the callback.
void onNotify(void*, unsigned int msg, void* data, int len) {
    if (data != NULL) {
        printf("client: notification %u, \"%.*s\"\n", msg, len, static_cast<char*>(data));
        free(data);
    } else {
        printf("client: notification %u, value %d\n", msg, len);
    }
}

const int kReplyTimeoutMs = 2000;  // a bound for every wait: a stopped server never holds the client

// Sends one request and reads its echo. Requests are unframed: the server may receive this one in
// pieces and answer each piece, so read until the whole echo is back.
bool echoes(VORNA::Connection& client, const char* text) {
    unsigned char request[64];
    unsigned char reply[256];
    const int requestLength = static_cast<int>(strlen(text));
    memcpy(request, text, requestLength);
    if (client.send(request, requestLength) != requestLength)
        return false;
    int received = 0;
    while (received < requestLength) {
        // The body length; TIMED_OUT when no response began in time, -1 when the connection is gone.
        int length = client.recv(reply + received, sizeof reply - received, kReplyTimeoutMs);
        if (length < 0) {
            fprintf(stderr, "client: %s\n", length == VORNA::Connection::TIMED_OUT ? "no answer in time" : "connection lost");
            return false;
        }
        received += length;
    }
    printf("client: \"%.*s\" came back\n", received, reinterpret_cast<char*>(reply));
    return memcmp(reply, request, requestLength) == 0;
}

// One request and its own response as one step: any thread may do this on a shared connection. A
// one-byte request cannot arrive in pieces, so its one response is the whole answer.
bool pings(VORNA::Connection& client) {
    const unsigned char ping[1] = {'!'};
    unsigned char reply[16];
    int length = client.call(ping, sizeof ping, reply, sizeof reply, kReplyTimeoutMs);  // or TIMED_OUT, RESPONSE_TOO_LONG, -1, -2
    if (length != 1 || reply[0] != '!') {
        fprintf(stderr, "client: call failed (%d)\n", length);
        return false;
    }
    printf("client: call answered\n");
    return true;
}

int runClient(const char* name, int serving) {
    if (!readByte(serving)) {
        fprintf(stderr, "client: no server\n");
        return 1;
    }
    // Connects, giving up after 2 s; VORNA::Connection::CONNECT_LATER would not connect at all.
    VORNA::Connection client(name, 0, onNotify, NULL, 2000);
    if (!client.isConnected()) {
        fprintf(stderr, "client: no connection to '%s'\n", name);
        return 1;
    }
    const bool ok = echoes(client, "hello") && echoes(client, "settings?") && pings(client);
    return ok ? 0 : 1;  // the destructor disconnects
}

}  // namespace

int main() {
    if (signal_proc_init() != 0)
        return 1;
    // Abstract names are seen by the whole device; the process id keeps this run's name its own.
    char name[64];
    snprintf(name, sizeof name, "app.echo.%d", static_cast<int>(getpid()));

    int serving[2];
    if (pipe(serving) != 0) {
        perror("pipe");
        return 1;
    }
    // Fork before any thread starts: the child inherits only the thread that forks.
    const pid_t child = fork();
    if (child < 0) {
        perror("fork");
        return 1;
    }
    if (child == 0) {
        close(serving[1]);
        const int status = runClient(name, serving[0]);
        close(serving[0]);
        exit(status);
    }
    close(serving[0]);
    const int status = runServer(name, serving[1]);
    close(serving[1]);  // a client still waiting to be told reads the end of the pipe and gives up

    int clientStatus = 0;
    pid_t waited;
    do {
        waited = waitpid(child, &clientStatus, 0);
    } while (waited < 0 && errno == EINTR);
    const bool clientOk = waited == child && WIFEXITED(clientStatus) && WEXITSTATUS(clientStatus) == 0;
    return status == 0 && clientOk ? 0 : 1;
}
