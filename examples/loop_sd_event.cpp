// Event loop: a server and a client driven by systemd's sd-event loop, with no thread of the library's.
#include <stdio.h>
#include <sys/epoll.h>
#include <systemd/sd-event.h>
#include <unistd.h>

#include <vorna/vorna.h>

#include "loop_echo.h"

namespace {

int onServerReady(sd_event_source* source, int, uint32_t, void* data) {
    EchoPair* pair = static_cast<EchoPair*>(data);
    pair->server.dispatch();  // accepts, reads, calls onServerMessage(); never blocks
    if (pair->clientGone)
        sd_event_exit(sd_event_source_get_event(source), 0);
    return 0;
}

int onClientReady(sd_event_source* source, int, uint32_t, void* data) {
    EchoPair* pair = static_cast<EchoPair*>(data);
    pair->client->dispatch();  // delivers notifications (and the loss event) to onClientNotify()
    if (pair->echoed) {
        sd_event_source_set_enabled(source, SD_EVENT_OFF);  // out of the loop before the fd closes
        pair->client.reset();
    }
    return 0;
}

}  // namespace

int main() {
    char name[64];
    snprintf(name, sizeof name, "app.sd-event.%d", static_cast<int>(getpid()));
    EchoPair pair(name);
    if (!startEchoPair(&pair))
        return 1;

    sd_event* event = NULL;
    sd_event_source* server = NULL;
    sd_event_source* client = NULL;
    int result = sd_event_new(&event);
    if (result >= 0)
        result = sd_event_add_io(event, &server, pair.server.fd(), EPOLLIN, onServerReady, &pair);
    if (result >= 0)
        result = sd_event_add_io(event, &client, pair.client->fd(), EPOLLIN, onClientReady, &pair);
    if (result >= 0)
        result = sd_event_loop(event);  // until onServerReady() sees the client gone
    if (result < 0)
        fprintf(stderr, "sd-event: error %d\n", result);
    sd_event_source_disable_unref(client);
    sd_event_source_disable_unref(server);  // out of the loop before stall() closes the fd
    sd_event_unref(event);

    pair.server.stall();
    return pair.clientGone ? 0 : 1;
}
