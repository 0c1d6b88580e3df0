/*
 * tav_format: making, inspecting and converting the on-disk format of an
 * instance, for the programs that work on a device while no instance runs
 * on it (the format tool and the upgrade tool).
 *
 * The rules of tav.h hold: the calls are made on the thread that runs the
 * caller's event loop, and every callback arrives on it.  The asynchronous
 * calls below check their arguments and either return a negative errno (no
 * callback follows) or return 0, after which exactly one callback follows
 * with (op_ret, op_errno, data): op_ret 0 on success, op_ret -1 with a
 * positive op_errno on failure.  Each one opens the device through this
 * thread's default I/O engine for its own duration and closes it before the
 * callback, so it returns -EBUSY while that engine is in use (an instance
 * runs on this thread, or another of these calls has not called back yet).
 * The engine's completions are delivered through `driver`, which must stay
 * valid until the callback.  Failures are also logged, with the messages
 * the tools document.
 *
 * Version values of a superblock: 1 (zone map with one bit per block),
 * 2 (the current format), 0xFFFFFFFFFFFFFFFF (an upgrade from 1 to 2 was
 * interrupted; a restore from its backup brings version 1 back).
 */
#ifndef TAV_FORMAT_H
#define TAV_FORMAT_H

#include <stdint.h>

#include "tav.h"

#ifdef __cplusplus
extern "C" {
#endif

#define TAV_FORMAT_MAX_INODE_GROUPS 8 /* an instance uses 1..8 inode groups of 16384 files */

/* The layout a format writes, in 1 MiB blocks. */
typedef struct tav_format_layout {
    uint64_t blocks_count;      /* device blocks the instance spans */
    uint64_t inode_groups;      /* inode groups the instance may use */
    uint64_t inode_per_group;   /* files per inode group */
    uint64_t first_inode_block; /* the inode table: inode_blocks blocks from here */
    uint64_t inode_blocks;
    uint64_t first_bitmap_block; /* the zone map: bitmap_blocks blocks from here */
    uint64_t bitmap_blocks;
    uint64_t zmap_pages;       /* pages of the zone map */
    uint64_t first_data_block; /* the backup superblock is the block before it */
    unsigned char uuid[16];    /* the instance identifier a format of the path writes */
} tav_format_layout;

/* How the library logs for the calls below (an instance start sets the log
 * up again from the environment). */
#define TAV_FORMAT_LOG_ENV    0 /* as an instance start: syslog at INFO, then TAV_LOG_TARGET, TAV_LOG_LEVEL */
#define TAV_FORMAT_LOG_ERRORS 1 /* errors only, to standard error */
#define TAV_FORMAT_LOG_DEBUG  2 /* as TAV_FORMAT_LOG_ENV, then every level to standard output */

/* Progress of long steps (the upgrade's scan, backup and refill, a
 * restore): `what` names the step, `done` of `total` items are through.
 * Called on the loop's thread, whenever the step logs its progress. */
typedef void (*tav_format_progress_fn)(void *priv, const char *what, uint64_t done, uint64_t total);

/* 0, or -EINVAL for another mode. */
TAV_API int tav_format_set_log(int mode);
/* Installs the progress function for every later step of this process;
 * null removes it. */
TAV_API void tav_format_set_progress(tav_format_progress_fn fn, void *priv);

/* 1 when an I/O engine of that name is available ("libaio", "kvol"), else
 * 0 (also for null). */
TAV_API int tav_ioengine_available(const char *name);

/* The layout of a format of `path` over `blocks` blocks with
 * `inode_groups` inode groups, without touching the device; the identifier
 * follows from the path.  0; -EINVAL for a null argument, no blocks, a group
 * count outside 1..TAV_FORMAT_MAX_INODE_GROUPS or a layout an instance start
 * would refuse; -ENOSPC when the blocks hold no data block after the
 * metadata (the figures are filled all the same, the identifier is not, so
 * that first_data_block + 1 is the least size that fits). */
TAV_API int tav_format_layout_of(const char *path, uint64_t blocks, uint64_t inode_groups,
                                 tav_format_layout *layout);

/* Whether the file or device at `path` holds an instance: 1 when either
 * superblock copy is legal, 0 when neither is, or the negative errno of
 * opening it.  Reads the raw bytes; logs nothing. */
TAV_API int tav_format_probe(const char *path);

/* Formats `path` through the engine `ioengine` as a fresh instance of the
 * layout tav_format_layout_of gives: an empty zone map, inode group 0, then
 * both superblock copies and the backup superblock, so that an interrupted
 * format never leaves a legal superblock over half-written metadata.  The
 * device must already span the blocks (a volume must already exist for
 * "kvol").  Returns -EINVAL for a null argument or a layout that
 * tav_format_layout_of refuses, -EBUSY (see above), -ENOMEM.  The callback
 * reports EINVAL when the engine cannot open the device ("cannot open %s
 * with ioengine %s"), or the error of a write. */
TAV_API int tav_format_async(ev_driver *driver, const char *ioengine, const char *path, uint64_t blocks,
                             uint64_t inode_groups, tav_common_cbk_fn cbk, void *data);

/* Reads the superblock of `path` read-only and stores its version in
 * *version before the callback; logs "tav has been upgraded, do nothing"
 * for version 2.  Takes no lock.  The callback reports EINVAL when the
 * device cannot be opened ("invalid source path: %s") or the superblock's
 * error ("load super block failed: %d"). */
TAV_API int tav_upgrade_get_version_async(ev_driver *driver, const char *ioengine, const char *path,
                                          uint64_t *version, tav_common_cbk_fn cbk, void *data);

/* Upgrades the device at `path` from version 1 to 2 in place, after saving
 * its zone map to the file `backup_path` and checking the copy, under the
 * device's lock (the one a writable instance takes; released before the
 * callback).  Version 2: nothing to do, success.  The callback reports
 * EAGAIN for an interrupted upgrade (restore it first), EPERM (op_errno 1)
 * for a device the current format cannot describe, EWOULDBLOCK while the
 * lock is held elsewhere, or the error of the step that failed; a failure
 * after the backup was taken leaves the device at the interrupted version
 * with the backup as the only copy of the old map. */
TAV_API int tav_upgrade_async(ev_driver *driver, const char *ioengine, const char *path,
                              const char *backup_path, tav_common_cbk_fn cbk, void *data);

/* Writes the zone map saved in `backup_path` back to the device at `path`
 * and sets version 1, under the device's lock, whatever the version was.
 * The callback reports EFAULT for a backup that fails its checks (another
 * device, altered data; nothing written), EINVAL when it cannot be opened,
 * EWOULDBLOCK while the lock is held elsewhere, or the error of the step
 * that failed. */
TAV_API int tav_upgrade_restore_async(ev_driver *driver, const char *ioengine, const char *path,
                                      const char *backup_path, tav_common_cbk_fn cbk, void *data);

#ifdef __cplusplus
}
#endif

#endif /* TAV_FORMAT_H */
