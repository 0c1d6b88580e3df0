#include "progress.h"

#include "clock.h"
#include "logger.h"

namespace {

uint64_t g_interval_ns = TAV_PROGRESS_INTERVAL_MS * 1000000ull;
tav_progress_sink_fn g_sink;
void *g_sink_priv;

void report(tav_progress *p, uint64_t done, uint64_t now) {
    unsigned pct = p->total ? static_cast<unsigned>(done * 100 / p->total) : 100;
    log_info("%s progress: %lu/%lu (%u%%)", p->what, done, p->total, pct);
    if (g_sink)
        g_sink(g_sink_priv, p->what, done, p->total);
    p->last_ns = now;
    p->reported = 1;
}

} // namespace

void tav_progress_start(tav_progress *p, const char *what, uint64_t total) {
    p->what = what;
    p->total = total;
    p->last_ns = tav_monotonic_ns();
    p->reported = 0;
}

void tav_progress_update(tav_progress *p, uint64_t done) {
    uint64_t now = tav_monotonic_ns();
    if (now - p->last_ns >= g_interval_ns)
        report(p, done, now);
}

void tav_progress_end(tav_progress *p) {
    if (p->reported)
        report(p, p->total, tav_monotonic_ns());
}

void tav_progress_set_interval_ms(uint64_t ms) {
    g_interval_ns = ms * 1000000ull;
}

void tav_progress_set_sink(tav_progress_sink_fn fn, void *priv) {
    g_sink = fn;
    g_sink_priv = priv;
}
