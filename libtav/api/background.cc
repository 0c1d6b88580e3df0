#include "background.h"

#include "clock.h"
#include "co_lock.h"
#include "instance.h"

namespace {

uint64_t now_ns() {
    return tav_realtime_ns();
}

/* Runs one tick of background work unless the table is stopping; the
 * timer is restarted only while it is not. */
TAV_COROUTINE_FN void background_tick(tav_timer *timer, tav_inode_table *itable,
                                      TAV_COROUTINE_FN void (*work)(tav_inode_table *itable, uint64_t now)) {
    if (itable->stopping)
        return;
    tav *fs = itable->host.fs;
    if (fs)
        tav_ref(fs);
    uint64_t now = now_ns();
    tav_timer_stop(timer);
    {
        CoMutexGuard guard(&itable->background);
        if (!itable->stopping)
            work(itable, now);
    }
    if (!itable->stopping)
        tav_timer_start(timer);
    if (fs)
        tav_unref(fs);
}

TAV_COROUTINE_FN void dirty_timer_handler(tav_timer *timer, void *priv) {
    background_tick(timer, static_cast<tav_inode_table *>(priv),
                    [](tav_inode_table *itable, uint64_t) { tav_itable_dirty_tick(itable); });
}

TAV_COROUTINE_FN void unlink_timer_handler(tav_timer *timer, void *priv) {
    background_tick(timer, static_cast<tav_inode_table *>(priv),
                    [](tav_inode_table *itable, uint64_t now) { tav_itable_unlink_tick(itable, now); });
}

void compress_timer_handler(tav_timer *, void *) {
    // Background compression consumes the compress list; until it exists a
    // tick has nothing to do.
}

tav_timer *start_timer(ev_driver *driver, long seconds, tav_timer_handler_fn fn, void *priv) {
    tav_timer *t = tav_timer_co_create(driver, seconds, 0, fn, priv);
    if (!t)
        return nullptr;
    if (tav_timer_start(t) < 0) {
        tav_timer_destroy(t);
        return nullptr;
    }
    return t;
}

} // namespace

tav_timer *tav_dirty_timer(tav_inode_table *itable, ev_driver *driver) {
    return start_timer(driver, TAV_DIRTY_TIMER_PERIOD, dirty_timer_handler, itable);
}

tav_timer *tav_unlink_timer(tav_inode_table *itable, ev_driver *driver) {
    return start_timer(driver, TAV_UNLINK_TIMER_PERIOD, unlink_timer_handler, itable);
}

tav_timer *tav_compress_timer(tav_inode_table *itable, ev_driver *driver) {
    return start_timer(driver, TAV_COMPRESS_TIMER_PERIOD, compress_timer_handler, itable);
}
