// Periodic timers on timerfd.
#include "timer.h"

#include <assert.h>
#include <errno.h>
#include <string.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include "coroutine.h"
#include "logger.h"
#include "memory.h"

namespace {

void timer_co_entry(void *arg) {
    tav_timer *timer = static_cast<tav_timer *>(arg);
    timer->handler(timer, timer->priv);
}

int tav_timer_event_handler(int fd, int, void *priv, int poll_in, int, int) {
    tav_timer *timer = static_cast<tav_timer *>(priv);
    if (!poll_in)
        return 0;
    uint64_t expirations;
    ssize_t rsize = read(fd, &expirations, sizeof(expirations));
    if (rsize != static_cast<ssize_t>(sizeof(expirations))) {
        log_warn("read timer fd failed, rsize:%ld, errno:%s", (long)rsize, strerror(errno));
        return 0;
    }
    if (timer->coroutine) {
        Coroutine *co = coroutine_create(timer_co_entry, timer);
        if (co == nullptr) {
            log_error("no memory to create tav_timer_co_create");
            return 0;
        }
        coroutine_enter(co);
    } else {
        timer->handler(timer, timer->priv);
    }
    return 0;
}

int settime(tav_timer *timer, const struct itimerspec *spec) {
    assert(timer && timer->fd >= 0);
    if (timerfd_settime(timer->fd, 0, spec, nullptr) < 0) {
        log_error("timerfd_settime failed: %s", strerror(errno));
        return -1;
    }
    return 0;
}

} // namespace

tav_timer *__tav_timer_create(ev_driver *driver, long seconds, long nanoseconds, int coroutine,
                              tav_timer_handler_fn handler, void *priv) {
    assert(driver && handler && (seconds || nanoseconds) && nanoseconds < 1000000000);
    tav_timer *timer = static_cast<tav_timer *>(tav_calloc(1, sizeof(tav_timer), TAV_MEM_TIMER));
    if (timer == nullptr) {
        log_error("calloc timer failed: %s", strerror(ENOMEM));
        return nullptr;
    }
    timer->driver = driver;
    timer->handler = handler;
    timer->coroutine = coroutine;
    timer->priv = priv;
    timer->timeout.it_interval.tv_sec = timer->timeout.it_value.tv_sec = seconds;
    timer->timeout.it_interval.tv_nsec = timer->timeout.it_value.tv_nsec = nanoseconds;
    timer->fd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (timer->fd < 0) {
        log_error("timerfd_create failed: %s", strerror(errno));
        tav_timer_destroy(timer);
        return nullptr;
    }
    int r = driver->ev_register(driver->handle, timer->fd, tav_timer_event_handler, timer, 1, 0);
    if (r < 0) {
        log_error("ev_register: %s", strerror(r < -1 ? -r : EIO));
        close(timer->fd);
        timer->fd = -1;
        tav_timer_destroy(timer);
        return nullptr;
    }
    return timer;
}

tav_timer *tav_timer_create(ev_driver *driver, long seconds, long nanoseconds, tav_timer_handler_fn handler,
                            void *priv) {
    return __tav_timer_create(driver, seconds, nanoseconds, 0, handler, priv);
}

tav_timer *tav_timer_co_create(ev_driver *driver, long seconds, long nanoseconds,
                               tav_timer_handler_fn handler, void *priv) {
    return __tav_timer_create(driver, seconds, nanoseconds, 1, handler, priv);
}

int tav_timer_start(tav_timer *timer) {
    return settime(timer, &timer->timeout);
}

int tav_timer_stop(tav_timer *timer) {
    struct itimerspec zero = {};
    return settime(timer, &zero);
}

void tav_timer_destroy(tav_timer *timer) {
    if (timer == nullptr)
        return;
    if (timer->fd >= 0) {
        tav_timer_stop(timer);
        if (timer->driver)
            timer->driver->ev_unregister(timer->driver->handle, timer->fd, 0);
        timer->driver = nullptr;
        close(timer->fd);
        timer->fd = -1;
    }
    tav_free(timer);
}
