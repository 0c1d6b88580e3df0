// Format upgrade: version 1 (zone map with one bit per block) to version 2
// (one byte per block with eight slice bits), in place, and its rollback.
//
// The upgrade collects the blocks in use from the old map, copies the
// zone-map blocks to a backup file and verifies the copy by reading it back,
// marks the superblock version -1 (in progress), formats the zone map empty,
// loads it as version 2 and marks the same blocks in use, then sets version
// 2.  Only the zone map changes.  A failure after the -1 mark leaves the
// device at -1 with the backup as the only copy of the old map; a restore
// writes the backup back (after checking its header, its geometry, its
// device identifier and its data checksum) and sets version 1.
//
// Guarantees:
//   - nothing on the device is changed before the backup is complete,
//     verified and flushed to stable storage;
//   - a device whose geometry the version-2 map cannot describe (2^35 blocks
//     or more, or fewer zone-map blocks than its block count needs) is
//     refused before anything is written;
//   - blocks the old map records outside the data area
//     [s_first_data_block, s_blocks_count - 1] (metadata blocks, the tail
//     bits of the last page, damage) are dropped, with a log line, before the
//     backup is taken, so that a device the guard accepts always completes;
//   - a restore never writes a backup that fails any of its checks.
//
// Backup file: a 1 MiB header block (backup_header_t, the rest zero) and a
// copy of the zone-map blocks s_first_bitmap_block .. + s_bitmap_blocks - 1;
// checksums are XXH64 with seed 1011.  The data is moved in chunks, so the
// memory needed does not grow with the device.
//
// Two variants share the steps: the command-line tool (explicit backup file,
// data-only read-back check) and the library's automatic upgrade at instance
// start (one file per device in a backup directory, header and data checked
// on read-back, the elapsed time logged).
//
// Threading: the I/O thread.  Functions marked TAV_COROUTINE_FN yield and
// must run in a coroutine; the device is the thread's default engine, the
// backup file gets a "libaio" engine of its own whose completions the given
// driver delivers.  Errors are negative errno values; -1 is the geometry
// refusal.
#ifndef TAV_ONDISK_UPGRADE_H
#define TAV_ONDISK_UPGRADE_H

#include <stddef.h>
#include <stdint.h>

#include "super.h"
#include "tav.h"
#include "coroutine.h"
#include "zmap.h"

#define TAV_UPGRADE_MAX_BLOCKS      0x800000000ULL /* 2^35: the version-2 map's limit */
#define TAV_UPGRADE_HEADER_SIZE     1048576ULL
#define TAV_UPGRADE_PATH_MAX        4096
#define TAV_UPGRADE_BACKUP_DIR_NAME "tav_upgrade" /* under the log directory */

/* Header record at byte 0 of a backup file. */
typedef struct __attribute__((packed)) backup_header_t {
    uint64_t cksum_header; /* XXH64 of bytes 8 .. 1048575 of the header block */
    uint64_t cksum_data;   /* XXH64 of the block_count MiB of data */
    uint8_t tav_uuid[16];  /* s_uuid of the device */
    char tav_path[TAV_UPGRADE_PATH_MAX];
    uint64_t timestamp; /* CLOCK_REALTIME at backup, ns */
    uint64_t block_start;
    uint64_t block_count;
} backup_header_t;

static_assert(sizeof(backup_header_t) == 4152);
static_assert(offsetof(backup_header_t, cksum_header) == 0);
static_assert(offsetof(backup_header_t, cksum_data) == 8);
static_assert(offsetof(backup_header_t, tav_uuid) == 16);
static_assert(offsetof(backup_header_t, tav_path) == 32);
static_assert(offsetof(backup_header_t, timestamp) == 4128);
static_assert(offsetof(backup_header_t, block_start) == 4136);
static_assert(offsetof(backup_header_t, block_count) == 4144);

typedef enum tav_upgrade_variant {
    TAV_UPGRADE_TOOL = 0,    /* tav_upgrade: explicit backup file */
    TAV_UPGRADE_LIBRARY = 1, /* instance start: backup directory */
} tav_upgrade_variant;

/* Records the run of `bcnt` blocks from bit `bstart` of version-1 page
 * `index` (block index * 32640 + bstart) in `ranges` (a pblock_ranges_t).
 * 0, or -ENOMEM ("no memory for pblock_range_t"). */
int tav_upgrade_gather_pblocks(uint32_t index, uint32_t bstart, uint32_t bcnt, void *ranges);

/* "<dir>/tav-zmap-<uuid text>.backup", allocated (free with free()); null
 * when it cannot be formatted ("asprintf failed: %s"). */
char *tav_upgrade_get_backup_path(const char *backup_dir, const uint8_t *uuid);

/* Copies the zone-map blocks of `dsb` from the device to `backup_path`,
 * reads the copy back and compares checksums, and flushes the file.  The
 * library variant also checks the header on read-back. */
TAV_COROUTINE_FN int tav_upgrade_backup_zmap(ev_driver *driver, const tav_sb_ondisk *dsb,
                                             const char *backup_path, tav_upgrade_variant variant);
/* Writes the zone map back from `backup_path` after checking the header
 * checksum, the block range (that of `dsb`), the device identifier and the
 * data checksum; then reads the device back and compares.  -EFAULT for a
 * backup that fails a check (nothing written), -EINVAL when the file cannot
 * be opened. */
TAV_COROUTINE_FN int tav_upgrade_restore_zmap(ev_driver *driver, const tav_sb_ondisk *dsb,
                                              const char *backup_path, tav_upgrade_variant variant);
/* Marks every range in use in a version-2 map, writing each touched page
 * once. */
TAV_COROUTINE_FN int tav_upgrade_allocate_pblocks(zmap_t *zmap, const pblock_ranges_t *ranges);
/* Sets the version in both superblock copies (read, set, write, twice). */
TAV_COROUTINE_FN int tav_upgrade_update_super(tav_sb_info *sb, uint64_t version);

/* The upgrade of a version-1 device (the tool's steps 3-11) into
 * `backup_path`.  REQUIRES: the superblock is loaded and at version 1. */
TAV_COROUTINE_FN int tav_upgrade_run(ev_driver *driver, tav_sb_info *sb, const char *backup_path,
                                     tav_upgrade_variant variant);

/* The automatic upgrade at instance start: nothing at version 2; at -1 the
 * zone map is restored from the backup in `backup_dir` and the version set
 * back to 1; at 1 the device is upgraded with its backup in `backup_dir`
 * (created with mode 0775 when missing). */
TAV_COROUTINE_FN int tav_upgrade(ev_driver *driver, tav_sb_info *sb, const char *backup_dir);

#endif
