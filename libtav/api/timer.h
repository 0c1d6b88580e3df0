// Periodic timers on timerfd, watched through the caller's event driver.
//
// A timer is created disarmed; start arms it with its period (first expiry and
// interval), stop disarms it.  One handler run per wake-up however many
// periods elapsed, so a late loop never stacks runs.  A coroutine timer runs
// its handler in a fresh coroutine per tick and does not wait for the previous
// tick's coroutine: a handler that may yield longer than the period stops its
// own timer while it runs.  I/O thread only.
#ifndef TAV_TIMER_H
#define TAV_TIMER_H

#include <time.h>

#include "tav.h"

typedef struct tav_timer tav_timer;
/* A coroutine timer's handler runs in its own coroutine and may suspend
 * (those handlers are marked TAV_COROUTINE_FN); a plain timer's handler runs
 * in the event callback, outside any coroutine, and must not. */
typedef void (*tav_timer_handler_fn)(tav_timer *timer, void *priv);

struct tav_timer {
    ev_driver *driver;
    tav_timer_handler_fn handler;
    struct itimerspec timeout;
    int coroutine;
    int fd;
    void *priv;
};

tav_timer *__tav_timer_create(ev_driver *driver, long seconds, long nanoseconds, int coroutine,
                              tav_timer_handler_fn handler, void *priv);
/* Handler called directly in the event callback. */
tav_timer *tav_timer_create(ev_driver *driver, long seconds, long nanoseconds, tav_timer_handler_fn handler,
                            void *priv);
/* Handler run in a new coroutine per tick. */
tav_timer *tav_timer_co_create(ev_driver *driver, long seconds, long nanoseconds,
                               tav_timer_handler_fn handler, void *priv);
int tav_timer_start(tav_timer *timer);
int tav_timer_stop(tav_timer *timer);
void tav_timer_destroy(tav_timer *timer);

#endif
