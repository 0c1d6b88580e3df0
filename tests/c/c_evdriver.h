// The event driver of the C tests: libev watchers behind the library's
// ev_driver functions (register, unregister), for a program in C that links
// only a public header's library.
#ifndef TAV_TEST_C_EVDRIVER_H
#define TAV_TEST_C_EVDRIVER_H

#include <ev.h>
#include <stdlib.h>

#include "tav.h"

struct watch {
    ev_io io;
    ev_handler_fn handler;
    void *priv;
    struct watch *next;
};

static struct watch *watches;

static void on_io(struct ev_loop *loop, ev_io *w, int revents) {
    (void)loop;
    struct watch *x = (struct watch *)w;
    x->handler(w->fd, 0, x->priv, !!(revents & EV_READ), !!(revents & EV_WRITE), !!(revents & EV_ERROR));
}

static int reg(void *handle, int fd, ev_handler_fn handler, void *priv, int poll_in, int poll_out) {
    struct watch *x = calloc(1, sizeof(*x));
    if (x == NULL)
        return -1;
    x->handler = handler;
    x->priv = priv;
    ev_io_init(&x->io, on_io, fd, (poll_in ? EV_READ : 0) | (poll_out ? EV_WRITE : 0));
    ev_io_start((struct ev_loop *)handle, &x->io);
    x->next = watches;
    watches = x;
    return 0;
}

static int unreg(void *handle, int fd, int idx) {
    (void)idx;
    for (struct watch **p = &watches; *p; p = &(*p)->next) {
        if ((*p)->io.fd == fd) {
            struct watch *x = *p;
            ev_io_stop((struct ev_loop *)handle, &x->io);
            *p = x->next;
            free(x);
            return 0;
        }
    }
    return -1;
}

#endif /* TAV_TEST_C_EVDRIVER_H */
