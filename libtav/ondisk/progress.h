// Progress of long on-disk work (the format upgrade, the consistency check).
//
// A long step counts its items (pages, blocks, inodes) through a
// tav_progress record; the record logs "<what> progress: <done>/<total>
// (<percent>%)" at INFO whenever the reporting interval has passed since its
// last line, so that an operator watching a large device sees the work move
// at least every few seconds, and a closing line when the step ends after it
// had reported.  A process-wide sink (the upgrade tool's terminal) receives
// the same reports.
//
// Threading: the I/O thread; nothing here yields.
#ifndef TAV_ONDISK_PROGRESS_H
#define TAV_ONDISK_PROGRESS_H

#include <stdint.h>

#define TAV_PROGRESS_INTERVAL_MS 2000

/* Called with every report that is logged. */
typedef void (*tav_progress_sink_fn)(void *priv, const char *what, uint64_t done, uint64_t total);

typedef struct tav_progress {
    const char *what;
    uint64_t total;
    uint64_t last_ns; /* monotonic time of the last report, or of the start */
    int reported;     /* a line was written */
} tav_progress;

void tav_progress_start(tav_progress *p, const char *what, uint64_t total);
/* Reports `done` when the interval has passed since the last report. */
void tav_progress_update(tav_progress *p, uint64_t done);
/* Reports completion when anything was reported before. */
void tav_progress_end(tav_progress *p);

/* The interval between reports; 0 reports every update (tests, tools that
 * want every step). */
void tav_progress_set_interval_ms(uint64_t ms);
/* Installs the process-wide sink (null removes it). */
void tav_progress_set_sink(tav_progress_sink_fn fn, void *priv);

#endif
