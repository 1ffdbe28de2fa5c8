// Event loop: a server and a client driven by a plain poll() loop, with no thread of the library's.
#include <dirent.h>
#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <unistd.h>

#include <vorna/vorna.h>

#include "loop_echo.h"

namespace {

// The threads of this process, as the kernel lists them.
int threadCount() {
    DIR* tasks = opendir("/proc/self/task");
    if (tasks == NULL)
        return -1;
    int count = 0;
    while (const dirent* entry = readdir(tasks))
        count += entry->d_name[0] != '.';
    closedir(tasks);
    return count;
}

}  // namespace

int main() {
    char name[64];
    snprintf(name, sizeof name, "app.loop.%d", static_cast<int>(getpid()));
    const int threadsBefore = threadCount();

    EchoPair pair(name);
    if (!startEchoPair(&pair))
        return 1;
    printf("threads the library started: %d\n", threadCount() - threadsBefore);

    pollfd watched[2] = {{pair.server.fd(), POLLIN, 0}, {pair.client->fd(), POLLIN, 0}};
    while (!pair.clientGone) {
        const int ready = poll(watched, 2, 5000);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0) {
            fprintf(stderr, "nothing happened for 5 s\n");
            break;
        }
        if (watched[0].revents != 0)
            pair.server.dispatch();  // accepts, reads, calls onServerMessage(); never blocks
        if (watched[1].revents != 0)
            pair.client->dispatch();  // delivers notifications (and the loss event) to onClientNotify()
        if (pair.echoed && pair.client) {
            watched[1].fd = -1;  // out of the loop before the client's descriptor closes
            pair.client.reset();
        }
    }
    pair.server.stall();  // closes server.fd(); from any thread, never from the callback
    return pair.clientGone ? 0 : 1;
}
