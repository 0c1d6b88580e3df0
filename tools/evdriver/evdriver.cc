// libev adaptor of ev_driver.
#include "evdriver.h"

#include <errno.h>
#include <ev.h>
#include <stdlib.h>

namespace {

struct ev_ctx {
    ev_ctx *next, *prev;
    int evfd;
    ev_io watcher;
    void *priv;
    ev_handler_fn handler;
};

ev_ctx g_head = {&g_head, &g_head, -1, {}, nullptr, nullptr};

void watcher_cb(struct ev_loop *, ev_io *w, int revents) {
    ev_ctx *ctx = static_cast<ev_ctx *>(w->data);
    ctx->handler(ctx->evfd, 0, ctx->priv, (revents & EV_READ) ? 1 : 0, (revents & EV_WRITE) ? 1 : 0,
                 (revents & EV_ERROR) ? 1 : 0);
}

int evdriver_register(void *handle, int fd, ev_handler_fn handler, void *priv, int poll_in, int poll_out) {
    struct ev_loop *loop = static_cast<struct ev_loop *>(handle);
    ev_ctx *ctx = static_cast<ev_ctx *>(calloc(1, sizeof(ev_ctx)));
    if (ctx == nullptr)
        return -ENOMEM;
    ctx->evfd = fd;
    ctx->priv = priv;
    ctx->handler = handler;
    int events = (poll_in ? EV_READ : 0) | (poll_out ? EV_WRITE : 0);
    ev_io_init(&ctx->watcher, watcher_cb, fd, events);
    ctx->watcher.data = ctx;
    ev_io_start(loop, &ctx->watcher);
    ctx->prev = g_head.prev;
    ctx->next = &g_head;
    g_head.prev->next = ctx;
    g_head.prev = ctx;
    return 0;
}

int evdriver_unregister(void *handle, int fd, int) {
    struct ev_loop *loop = static_cast<struct ev_loop *>(handle);
    for (ev_ctx *ctx = g_head.next; ctx != &g_head; ctx = ctx->next) {
        if (ctx->evfd != fd)
            continue;
        ev_io_stop(loop, &ctx->watcher);
        ctx->prev->next = ctx->next;
        ctx->next->prev = ctx->prev;
        free(ctx);
        return 0;
    }
    return -1;
}

ev_driver g_driver;

} // namespace

extern "C" ev_driver *evdriver_env(void) {
    if (g_driver.handle == nullptr) {
        g_driver.ev_register = evdriver_register;
        g_driver.ev_unregister = evdriver_unregister;
        g_driver.handle = ev_default_loop(0);
    }
    return &g_driver;
}

extern "C" int evdriver_registered_count(void) {
    int n = 0;
    for (ev_ctx *ctx = g_head.next; ctx != &g_head; ctx = ctx->next)
        n++;
    return n;
}
