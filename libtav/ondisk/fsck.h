// Consistency check of the space accounting at instance start.
//
// The check rebuilds, from every file's extent blocks and block maps, a
// reference map of the blocks and slices that files really use (one byte
// per block in the zone map's version-2 encoding), compares it with the zone
// map over the data area, and then:
//   - a block or slice used by a file but free in the zone map refuses the
//     start (-EFAULT), as does a file that maps a block outside the data
//     area: the allocator would hand such a block out again, or the data
//     path would write over metadata.  Nothing is freed and the superblock
//     is not stamped;
//   - a block or slice claimed by two owners is corruption the check cannot
//     repair (either owner's data may be the one that was overwritten): the
//     check stops at the first such block with -EFAULT, so the start is
//     refused, and nothing is changed.  The host process goes on serving
//     its other devices;
//   - blocks and slices marked in use that no file uses (leaks after a
//     crash) are freed in one batch: a block none of whose slices is used
//     becomes free as a whole;
//   - on success the superblock records the check time and a crash count of
//     0.
// Any other failure (a damaged extent page, a damaged inode, no memory)
// ends the check with its error, frees nothing and lets the start go on.
//
// The check knows files only through tav_fsck_files, a small table the
// inode table supplies: it visits every file whose blocks count as in use,
// handing each down as a tav_fsck_file.  Extent pages are read uncached (a
// whole extent block per read while the file has no cached pages), so the
// memory the check needs is the reference map (one byte per block of the
// zone map), one extent block of entries and the leak list.
//
// The decision (tav_fsck_decide) follows flag files in the configuration
// directory, the number of damaged inodes, a power-loss marker (a System V
// semaphore that exists until the machine restarts), the interval since the
// last check and the crash count.
//
// Threading: the instance's I/O thread, inside the start coroutine, before
// any request is accepted.  Functions marked TAV_COROUTINE_FN yield.
#ifndef TAV_ONDISK_FSCK_H
#define TAV_ONDISK_FSCK_H

#include <stdint.h>
#include <sys/types.h>

#include "extent.h"
#include "super.h"
#include "coroutine.h"
#include "zmap.h"

#define TAV_FSCK_DISABLE_FLAG  "tav_fsck_disable"
#define TAV_FSCK_FORCE_FLAG    "tav_fsck_force"
#define TAV_FSCK_LEAKS_INITIAL 1024

/* The key of the power-loss marker of a device: ftok(path, version); -1 when
 * the path cannot be looked up. */
key_t tav_fsck_marker_key(const char *device_path, uint64_t sb_version);

/* What the decision looks at. */
typedef struct tav_fsck_policy {
    int writable;            /* the instance's access mode is not read-only */
    uint32_t error_inodes;   /* inodes in error state in the inode table */
    tav_sb_info *sb;         /* re-read for the interval and crash count */
    const char *device_path; /* names the power-loss marker */
} tav_fsck_policy;

/* 1 when a check is due, else 0 (first rule that matches wins):
 * read-only, "tav_fsck_disable", "tav_fsck_force", damaged inodes, an
 * unreadable superblock, no power-loss marker, the interval
 * (s_fsck_interval, 30 days when 0), the crash count (s_crash_limit, 100
 * when 0). */
TAV_COROUTINE_FN int tav_fsck_decide(const tav_fsck_policy *policy);

/* One file as the check sees it. */
typedef struct tav_fsck_file {
    const unsigned char *gfid;
    uint64_t ino;
    const uint64_t *extents; /* TAV_EXTENT_BLOCKS_PER_FILE extent blocks, 0 = none */
    int compressible;
    ext_cache_t *cache; /* reads the file's extent pages */
} tav_fsck_file;

typedef TAV_COROUTINE_FN int (*tav_fsck_visit_fn)(void *ctx, const tav_fsck_file *file);

/* Supplied by the owner of the files. */
typedef struct tav_fsck_files {
    /* Calls `visit` for every file whose blocks are in use, in table order;
     * returns the first negative result (the visit's, or the walker's own,
     * e.g. for a damaged inode), else 0.  May yield. */
    TAV_COROUTINE_FN int (*foreach)(void *owner, tav_fsck_visit_fn visit, void *ctx);
    /* Files the walk will visit, for progress reports. */
    uint64_t (*count)(void *owner);
    void *owner;
} tav_fsck_files;

typedef struct tav_fsck_target {
    tav_sb_info *sb;
    zmap_t *zmap;
    tav_fsck_files files;
} tav_fsck_target;

/* The check; 0, -EFAULT (used but free, two owners, or a map outside the
 * data area: the start must fail) or another negative errno (nothing
 * changed). */
TAV_COROUTINE_FN int tav_fsck_run(const tav_fsck_target *target);

#endif
