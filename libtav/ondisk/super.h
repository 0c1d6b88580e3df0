// Superblock and device layout.
//
// The superblock is the geometry of one instance: where the inode table, the
// zone map and the data area lie, how many inode groups exist and are
// formatted, the format version, the running state and the crash counter.
// It lives in block 0 as two 4096-byte copies (A at 0x10000, B at 0x12000)
// written alternately under an increasing generation, so that a torn write
// never destroys the last good copy; formatting also writes a backup of the
// whole block 0 in the block just before the data area.
//
// Ownership: a tav_sb_info belongs to its instance and to the instance's I/O
// thread.  The 216-byte record `tav_disk_sb` is authoritative in memory; its
// metadata buffer ties it to the copy chosen by generation:
//   - a write first increments the generation (unless the previous write
//     failed, in which case it retries the same copy) and goes to copy B for
//     odd generations, to copy A for even ones;
//   - a read goes to the copy of the current generation, or, after a failed
//     write, to the other copy (the last one written successfully).
// Writers call tav_sb_read, change the record and call tav_sb_write without
// yielding in between.
//
// Functions marked TAV_COROUTINE_FN may yield and must run in a coroutine of
// the I/O thread; device I/O goes through the thread's default engine.
// Errors are negative errno values.
#ifndef TAV_SUPER_H
#define TAV_SUPER_H

#include <stddef.h>
#include <stdint.h>
#include <sys/statvfs.h>

#include "ioengine.h"
#include "co_lock.h"
#include "format.h"
#include "coroutine.h"
#include "mbuf.h"

/* The record (tav_sb_ondisk) and the device layout are in format.h. */

/* In-memory superblock. */
typedef struct tav_sb_info {
    tav_sb_ondisk tav_disk_sb; /* authoritative in memory */
    int last_errno;            /* result of the last failed write; 0 after a good read or write */
    struct mbuf mbuf;
} tav_sb_info, tav_sb_t;

/* ---- layout and format --------------------------------------------------- */

/* What a format needs: the device size in blocks, the number of inode groups
 * the instance may ever format (1..8) and the path whose MD5 digest becomes
 * the instance identifier. */
typedef struct tav_sb_format_args {
    uint64_t blocks_count;
    uint64_t inode_max_group;
    const char *path;
} tav_sb_format_args;

/* The layout that follows from a device size and an inode-group count.
 * This one computation serves the format (which writes these figures) and
 * the load (which accepts only records that agree with them). */
typedef struct tav_sb_geometry {
    uint64_t inode_max_count;    /* s_inode_per_group x s_inode_max_group */
    uint64_t inode_blocks;       /* two 4096-byte copies per inode */
    uint64_t first_bitmap_block; /* right after the inode table */
    uint64_t bitmap_blocks;      /* max(32, zone-map pages for the blocks / 256) */
    uint64_t first_data_block;   /* after the zone map and the backup block */
} tav_sb_geometry;

/* REQUIRES: 1 <= inode_max_group <= TAV_SB_INODE_MAX_GROUPS. */
void tav_sb_geometry_of(uint64_t blocks_count, uint64_t inode_max_group, tav_sb_geometry *geo);

/* The most blocks the zone map of `bitmap_blocks` blocks can describe; an
 * expansion must stay within it. */
uint64_t tav_sb_blocks_covered(uint64_t bitmap_blocks);

/* 0 when a record's geometry is one the format and later expansions can
 * produce on a device of `device_blocks` whole blocks:
 *   - block size 1 MiB, inode table at block 1 with 4096-byte inodes in
 *     groups of 16384, 1..8 groups, of which 1..s_inode_max_group formatted;
 *   - s_inode_max_count, s_inode_blocks and s_first_bitmap_block as the
 *     format computes them from s_inode_max_group;
 *   - a zone map that covers s_blocks_count (s_bitmap_blocks at least the
 *     format's figure), followed by the backup block and the data area
 *     (s_first_data_block);
 *   - s_first_data_block < s_blocks_count <= device_blocks.
 * Else 1, after logging "tav_sb: invalid geometry: <field>=<value>,
 * expected <what>" at error level (the quiet form logs nothing). */
int tav_sb_check_layout(const tav_sb_ondisk *dsb, uint64_t device_blocks, bool verbose);

/* Fills the header and every derived field from s_blocks_count and
 * s_inode_max_group (both already set; s_blocks_count non-zero): version 2,
 * generation 0, state STOPPED, one active inode group, no crash.  Time stamps
 * and the identifier are left to the caller. */
void tav_sb_fill_default(tav_sb_ondisk *dsb);

/* 0 when the geometry of a filled record is one a format may write:
 * 1 <= s_inode_max_group <= 8 and at least one data block
 * (s_blocks_count > s_first_data_block); else logs why and returns -EINVAL. */
int tav_sb_check_geometry(const tav_sb_ondisk *dsb);

/* Builds the complete record a format writes (both copies are this record).
 * 0 or -EINVAL (bad arguments, logged). */
int tav_sb_build(const tav_sb_format_args *args, uint64_t now_ns, tav_sb_ondisk *dsb);

/* Lays the record out in a 4096-byte page: zeroes the page, copies the
 * record, stores the page checksum in the page and in `dsb`. */
void tav_sb_page_encode(tav_sb_ondisk *dsb, void *page);

/* Checks a 4096-byte page: magic, version, length, type, state, checksum, in
 * that order.  0 legal, 1 illegal.  tav_sb_is_legal logs the first failure
 * and dumps the record ("tav_sb check failed"); the quiet form logs nothing
 * (for probing a device that may hold anything). */
int tav_sb_is_legal(const void *page);
int tav_sb_is_legal_quiet(const void *page);

/* Writes block 0 (both copies identical, generation 0) and its backup in
 * block s_first_data_block - 1.  -EINVAL for bad arguments (nothing written),
 * -ENOMEM, or the engine's error. */
TAV_COROUTINE_FN int tav_sb_format(const tav_sb_format_args *args);
/* The same from a property dictionary with string values "s_blocks_count"
 * and "s_inode_max_group" (decimal) and "path"; a missing or unparsable
 * entry is -EINVAL. */
TAV_COROUTINE_FN int tav_sb_format(const xdict *dic);

/* Formats `count` inode blocks from block `ibegin` so that both copies of
 * every slot read as never used; supplied by the inode module. */
typedef TAV_COROUTINE_FN int (*tav_inode_format_fn)(void *priv, blkno_t ibegin, uint64_t count);

/* Makes a fresh instance: an empty zone map over every zone-map block, inode
 * group 0 through `inode_format`, then the superblock and its backup.  The
 * superblock is written last, so an interrupted format never leaves a legal
 * superblock over half-written metadata.  This is the one definition of a
 * fresh instance, shared by the format tool and the tests. */
TAV_COROUTINE_FN int tav_sb_format_instance(const tav_sb_format_args *args, tav_inode_format_fn inode_format,
                                            void *priv);

/* ---- the in-memory superblock -------------------------------------------- */

/* Reads both copies and keeps the legal one with the larger generation (A on
 * a tie); fails when either copy is unreadable or illegal, an impossible
 * geometry on this device (tav_sb_check_layout) counting as
 * illegal: -1 ("init super block A failed" / "... B failed"), so that no
 * such copy is ever the source of a later superblock write.  Every later
 * read of a copy is checked the same way.  On success the record is
 * attached to a stale buffer, so the next read goes to the device. */
TAV_COROUTINE_FN int tav_sb_load(tav_sb_info *sb);
/* Refreshes the record from the device (no I/O while up to date). */
TAV_COROUTINE_FN int tav_sb_read(tav_sb_info *sb);
/* Stamps s_ts_modify and writes the record to the next copy. */
TAV_COROUTINE_FN int tav_sb_write(tav_sb_info *sb);
/* Read and write twice, so that both copies hold the current record (with
 * consecutive generations).  0, or the error ("flush super failed"). */
TAV_COROUTINE_FN int tav_sb_flush(tav_sb_info *sb);
/* Sets RUNNING; a superblock found RUNNING counts a crash instead. */
TAV_COROUTINE_FN int tav_sb_mark_running(tav_sb_info *sb);
TAV_COROUTINE_FN int tav_sb_mark_stopped(tav_sb_info *sb);
void tav_sb_destroy(tav_sb_info *sb);
/* Logs every field at info level. */
void tav_sb_dump(const char *title, const tav_sb_info *sb);
void tav_sb_dump_record(const char *title, const tav_sb_ondisk *dsb);

/* The block range the zone map may hand out, from a freshly read record:
 * [s_first_data_block, s_blocks_count - 1].  "super access failed" and
 * -EIO when the superblock cannot be read. */
TAV_COROUTINE_FN int tav_sb_blkno_limit(tav_sb_info *sb, blkno_t *min, blkno_t *max);

/* statfs of an instance: block figures in 1 MiB units, `zmap_alloc_blocks`
 * from the zone map, `inode_count` from the inode table.  0 or the engine's
 * statdev error. */
int tav_sb_statfs(const tav_sb_info *sb, ioengine *engine, uint64_t zmap_alloc_blocks, uint64_t inode_count,
                  struct statvfs *st);

/* ---- inode numbers ------------------------------------------------------- */

/* What inode-number allocation works on; the instance owns every piece. */
typedef struct tav_ino_ctx {
    tav_sb_info *sb;
    uint8_t *imap;        /* one bit per inode number, set = in use or damaged */
    uint64_t imap_bits;   /* s_inode_max_count */
    uint64_t *last_ino;   /* where the next search starts */
    CoMutex *format_lock; /* serialises allocation and group formatting */
    tav_inode_format_fn inode_format;
    void *inode_format_priv;
} tav_ino_ctx;

/* Hands out a free inode number.  Numbers of the formatted groups are
 * searched first, from the last number handed out and then from 0; only when
 * they are all taken is the next group formatted (all of its inode blocks)
 * and counted in s_inode_active_group.  A number inside a formatted group is
 * never formatted again.  -ENOSPC when every number is taken, -EIO when the
 * group format or the superblock update fails (the group is then not
 * counted). */
TAV_COROUTINE_FN int tav_sb_get_ino(const tav_ino_ctx *ctx, uint64_t *ino);
/* Returns a number: 0, or -EINVAL (logged) when it is out of range or not in
 * use. */
int tav_sb_put_ino(const tav_ino_ctx *ctx, uint64_t ino);

#endif
