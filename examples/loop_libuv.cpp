// Event loop: a server and a client driven by a libuv loop, with no thread of the library's.
#include <stdio.h>
#include <unistd.h>
#include <uv.h>

#include <vorna/vorna.h>

#include "loop_echo.h"

namespace {

struct App {
    explicit App(const char* name) : pair(name) {}
    EchoPair pair;
    uv_poll_t server;
    uv_poll_t client;
};

void onServerReady(uv_poll_t* handle, int, int) {
    App* app = static_cast<App*>(handle->data);
    app->pair.server.dispatch();  // accepts, reads, calls onServerMessage(); never blocks
    if (app->pair.clientGone)
        uv_close(reinterpret_cast<uv_handle_t*>(handle), NULL);  // the last handle: uv_run() returns
}

void onClientReady(uv_poll_t* handle, int, int) {
    App* app = static_cast<App*>(handle->data);
    app->pair.client->dispatch();  // delivers notifications (and the loss event) to onClientNotify()
    if (app->pair.echoed) {
        uv_close(reinterpret_cast<uv_handle_t*>(handle), NULL);  // stops polling before the fd closes
        app->pair.client.reset();
    }
}

void watch(uv_loop_t* loop, uv_poll_t* handle, int fd, uv_poll_cb ready, App* app) {
    uv_poll_init(loop, handle, fd);
    handle->data = app;
    uv_poll_start(handle, UV_READABLE, ready);
}

}  // namespace

int main() {
    char name[64];
    snprintf(name, sizeof name, "app.libuv.%d", static_cast<int>(getpid()));
    App app(name);
    if (!startEchoPair(&app.pair))
        return 1;

    uv_loop_t loop;
    uv_loop_init(&loop);
    watch(&loop, &app.server, app.pair.server.fd(), onServerReady, &app);
    watch(&loop, &app.client, app.pair.client->fd(), onClientReady, &app);
    uv_run(&loop, UV_RUN_DEFAULT);  // until both handles are closed
    uv_loop_close(&loop);
    uv_library_shutdown();  // libuv's process-wide resources (a pipe for its signal handling) are gone

    app.pair.server.stall();  // its handle is closed: stall() may close the fd
    return app.pair.clientGone ? 0 : 1;
}
