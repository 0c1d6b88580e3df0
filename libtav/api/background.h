// The instance's background work: three periodic coroutine timers over the
// inode table — write-back of dirty inodes (3 s), the unlink reclaim (1 s)
// and compression (2 s, nothing to do until compression exists).
//
// A tick does nothing once the table is stopping; while it works it holds
// the table's background mutex and its timer is stopped, so one tick never
// overlaps the next however long it yields.  I/O thread only.
#ifndef TAV_API_BACKGROUND_H
#define TAV_API_BACKGROUND_H

#include "itable.h"
#include "tav.h"
#include "timer.h"

/* Started timers; null when one cannot be made.  The instance destroys them. */
tav_timer *tav_dirty_timer(tav_inode_table *itable, ev_driver *driver);
tav_timer *tav_unlink_timer(tav_inode_table *itable, ev_driver *driver);
tav_timer *tav_compress_timer(tav_inode_table *itable, ev_driver *driver);

#endif
