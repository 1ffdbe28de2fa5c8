// Event loop: a server and a client driven by a GLib main loop, with no thread of the library's.
#include <glib-unix.h>
#include <glib.h>
#include <stdio.h>
#include <unistd.h>

#include <vorna/vorna.h>

#include "loop_echo.h"

namespace {

struct App {
    explicit App(const char* name) : pair(name) {}
    EchoPair pair;
    GMainLoop* loop = NULL;
};

gboolean onServerReady(gint, GIOCondition, gpointer data) {
    App* app = static_cast<App*>(data);
    app->pair.server.dispatch();  // accepts, reads, calls onServerMessage(); never blocks
    if (app->pair.clientGone)
        g_main_loop_quit(app->loop);
    return G_SOURCE_CONTINUE;
}

gboolean onClientReady(gint, GIOCondition, gpointer data) {
    App* app = static_cast<App*>(data);
    app->pair.client->dispatch();  // delivers notifications (and the loss event) to onClientNotify()
    if (!app->pair.echoed)
        return G_SOURCE_CONTINUE;
    app->pair.client.reset();  // GLib drops the source on G_SOURCE_REMOVE, polling the fd no more
    return G_SOURCE_REMOVE;
}

// What g_unix_fd_add() does, on a context of the program's own rather than the default one, which keeps
// a descriptor open for the life of the process.
void watch(GMainContext* context, int fd, GUnixFDSourceFunc ready, App* app) {
    GSource* source = g_unix_fd_source_new(fd, G_IO_IN);
    g_source_set_callback(source, G_SOURCE_FUNC(ready), app, NULL);
    g_source_attach(source, context);
    g_source_unref(source);  // the context holds it until the callback returns G_SOURCE_REMOVE
}

}  // namespace

int main() {
    char name[64];
    snprintf(name, sizeof name, "app.glib.%d", static_cast<int>(getpid()));
    App app(name);
    if (!startEchoPair(&app.pair))
        return 1;

    GMainContext* context = g_main_context_new();
    app.loop = g_main_loop_new(context, FALSE);
    watch(context, app.pair.server.fd(), onServerReady, &app);
    watch(context, app.pair.client->fd(), onClientReady, &app);
    g_main_loop_run(app.loop);  // until onServerReady() sees the client gone
    g_main_loop_unref(app.loop);
    g_main_context_unref(context);  // destroys the server's source before stall() closes its fd

    app.pair.server.stall();
    return app.pair.clientGone ? 0 : 1;
}
