// The inode table and the inode cache: where in-memory inodes live, how
// references move them between lists, and how their changes reach the
// device.
//
// Residence.  A live file is in the hash table (4096 buckets by gfid), which
// holds one reference on it.  Unlinking takes it out of the hash table; while
// references remain it waits on the vacant list, and at its last reference an
// UNLINK or PBLOCK_FREE inode moves to the unlink list, where the unlink
// timer destroys it (data blocks, then extent blocks, then the slot) in an
// order that a crash at any point leaves resumable.  An inode is on at most
// one of hash table, vacant list and unlink list (`entry`), and independently
// on the dirty list (unwritten changes, no reference held) and the compress
// list (holds a reference).
//
// Write-back.  tav_inode_mark_dirty queues an inode; the dirty timer writes
// at most 32 queued inodes per tick, skipping those with `dirty_hold`; a
// failed write leaves the inode dirty at the tail for the next tick.  Syncs
// write one inode at once.
//
// Space accounting.  The extent layer reports every mapping and unmapping
// through tav_inode_extent_fops; the hooks keep i_blocks and i_slices and
// charge newly mapped blocks to the charge record of the running work
// (coroutine_charge), so every hook must run in a coroutine that carries
// one: the request layer installs the request's, timer work the table's
// own.
//
// Wiring.  The table never sees the instance record: the instance hands it
// the pieces it needs (tav_itable_host) at init and the inode bitmap at
// tav_inode_load.
//
// Threading: the instance's I/O thread; the lists take no locks.  Functions
// marked TAV_COROUTINE_FN may yield; after they return, lists and counters
// may have changed, which is why walkers and timers hold references across
// their I/O.
#ifndef TAV_ITABLE_H
#define TAV_ITABLE_H

#include <stdint.h>

#include "extent.h"
#include "inode.h"
#include "fsck.h"
#include "super.h"
#include "tav.h"
#include "list.h"
#include "zmap.h"

#define INODE_HASHTABLE_LEN       4096
#define TAV_ITABLE_INITED         1
#define TAV_DIRTY_BATCH           32
#define TAV_DESTROY_RETRY_NS      3599999999999ULL /* retry a failed destroy after an hour */
#define TAV_PRELOAD_WINDOW_NS     (86401ULL * 1000000000ULL)
#define TAV_XATTR_SYNC_RESUME     5
#define TAV_DIRTY_TIMER_PERIOD    3
#define TAV_UNLINK_TIMER_PERIOD   1
#define TAV_COMPRESS_TIMER_PERIOD 2

/* What the table needs from its instance. */
typedef struct tav_itable_host {
    struct tav *fs;
    ext_table_t *etable;
    zmap_t *zmap;
    tav_sb_info *sb;
    /* Sends one notification record (only when the instance has a
     * descriptor; otherwise logs that it does not). */
    void (*notify)(struct tav *fs, const unsigned char *gfid, int64_t size, uint32_t type);
    /* Returns an inode number to the instance's bitmap; 0 or negative errno. */
    int (*put_ino)(struct tav *fs, uint64_t ino);
    /* Records one I/O-log entry of the data path (null: no I/O log). */
    void (*iolog)(struct tav *fs, const unsigned char *gfid, const struct iovec *iov, int iovcnt,
                  int64_t offset, uint64_t size, int64_t result, int op);
    /* Coroutine argument that timer work runs under, so that its log lines
     * name it as such (null: none). */
    void *timer_arg;
    /* Holds (pause 1) and releases (pause 0) the periodic write-back while
     * an inode is written outside it (null: there is none). */
    void (*writeback_pause)(struct tav *fs, int pause);
} tav_itable_host;

typedef struct tav_inode_table {
    list_head hash_table[INODE_HASHTABLE_LEN];
    list_head unlink_list;
    list_head dirty_list; /* FIFO: appended at the tail */
    list_head compress_list;
    list_head vacant_inode_list;
    uint32_t inode_count; /* inodes in the hash table */
    uint32_t vacant_inode_count;
    uint32_t error_inode_count; /* damaged slots and one-copy-damaged inodes */
    uint32_t init_flags;
    tav_itable_host host;
    uint8_t *imap; /* the instance's inode-number bitmap */
    uint64_t imap_bits;
    tav_charge timer_charge; /* what timer work maps is charged here */
    int stopping;            /* set by tav_itable_stop_background: timers do no more work */
    CoMutex background;      /* held by a timer tick while it works */
} tav_inode_table;

/* ---- table -------------------------------------------------------------------- */

/* REQUIRES: a zeroed table (a second init is a programming error). */
void tav_itable_init(tav_inode_table *itable, const tav_itable_host *host);
/* Frees every inode.  REQUIRES: the vacant list is empty and no handle is
 * open. */
void tav_itable_fini(tav_inode_table *itable);

uint32_t tav_gfid_hash(const unsigned char *gfid);

void tav_itable_insert_htable(tav_inode_table *itable, tav_inode_info *inode);
void tav_itable_delele_htable(tav_inode_table *itable, tav_inode_info *inode);
void tav_itable_insert_unlink(tav_inode_table *itable, tav_inode_info *inode);
void tav_itable_delete_unlink(tav_inode_table *itable, tav_inode_info *inode);
void tav_itable_insert_vacant(tav_inode_table *itable, tav_inode_info *inode);
void tav_itable_delete_vacant(tav_inode_table *itable, tav_inode_info *inode);
void tav_itable_insert_dirty(tav_inode_table *itable, tav_inode_info *inode);
void tav_itable_delete_dirty(tav_inode_table *itable, tav_inode_info *inode);

/* Hash-table membership: link takes the table's reference, unlink drops it.
 * tav_inode_unlink also parks a still-referenced inode on the vacant list. */
void tav_inode_link(tav_inode_info *inode);
void __tav_inode_unlink(tav_inode_info *inode);
void tav_inode_unlink(tav_inode_info *inode);
/* Links `curr` unless a sound inode with its gfid is linked; the loser of the
 * two is reset on the device.  Returns the linked inode with a reference
 * (`curr`'s own when it won). */
TAV_COROUTINE_FN tav_inode_info *tav_inode_link_ex(tav_inode_table *itable, tav_inode_info *curr);
/* The linked inode with `gfid`, with a new reference; INIT inodes count only
 * with `ignore_initializing`. */
tav_inode_info *tav_inode_find_get(tav_inode_table *itable, const unsigned char *gfid,
                                   int ignore_initializing);
/* Takes the first inode off the unlink list (null when empty). */
tav_inode_info *tav_inode_get_unlink(tav_inode_table *itable);

/* Walkers: stop at and return the first negative result; the callback may
 * remove the inode it is given. */
typedef int (*tav_itable_fn)(tav_inode_info *inode, void *data);
int tav_itable_hash_foreach(tav_inode_table *itable, tav_itable_fn fn, void *data);
int tav_itable_unlink_foreach(tav_inode_table *itable, tav_itable_fn fn, void *data);
int tav_itable_vacant_foreach(tav_inode_table *itable, tav_itable_fn fn, void *data);
int tav_itable_foreach(tav_inode_table *itable, tav_itable_fn fn, void *data);
int tav_itable_badinode_foreach(tav_inode_table *itable, tav_itable_fn fn, void *data);
/* Calls `fn` with (instance, a copy of the gfid, data) for every hashed
 * inode that is neither INIT nor ERROR, and with TAV_LIST_UNOPEN only for
 * those without open handles.  `fn` may yield: the walk holds a reference on
 * every inode it will visit and rechecks each before its call.  The first
 * negative result, -ENOMEM, or 0. */
typedef TAV_COROUTINE_FN int (*tav_itable_opened_fn)(struct tav *fs, unsigned char *gfid, void *data);
TAV_COROUTINE_FN int tav_itable_for_each_opened(tav_inode_table *itable, tav_itable_opened_fn fn, int flag,
                                                void *data);

/* Resets a damaged or duplicate inode's slot to INIT on both copies and frees
 * its number; 0 or -1 (the number then stays taken). */
TAV_COROUTINE_FN int tav_inode_reset(tav_inode_table *itable, tav_inode_info *inode);

/* Start-up scan of `count` inode blocks from `first_inode_block`: links every
 * live inode, queues UNLINK and PBLOCK_FREE ones for destruction, marks used
 * and damaged numbers in `imap` and leaves in *last_ino where the next number
 * search should start.  The table keeps `imap` for later resets.
 * An extent block that a queued inode shares with any other loaded inode is
 * taken out of the queued inode's record (logged), so that its destruction
 * never frees what another file maps; the block stays allocated for the
 * consistency check. */
TAV_COROUTINE_FN int tav_inode_load(tav_inode_table *itable, uint8_t *imap, uint64_t imap_bits,
                                    uint64_t *last_ino, uint64_t first_inode_block, uint64_t count);
/* The scan's last step (described above), over the loaded table. */
void tav_itable_guard_unlinked(tav_inode_table *itable);

/* ---- references and dirty tracking ----------------------------------------------- */

tav_inode_info *tav_inode_ref(tav_inode_info *inode, const char *caller);
void tav_inode_unref(tav_inode_info *inode, const char *caller);
void tav_inode_mark_dirty(tav_inode_info *inode);
/* Queues the inode for compression, taking a reference. */
void tav_inode_mark_compress(tav_inode_info *inode);

/* ---- write-back --------------------------------------------------------------------- */

/* One dirty-timer tick: writes up to 32 queued inodes without dirty_hold. */
TAV_COROUTINE_FN void tav_itable_dirty_tick(tav_inode_table *itable);
/* One unlink-timer tick at time `now` (ns): destroys the inodes waiting on
 * the unlink list, retrying a failed one only an hour after its failure, and
 * notifies the blocks freed.  Returns the blocks released. */
TAV_COROUTINE_FN uint64_t tav_itable_unlink_tick(tav_inode_table *itable, uint64_t now);
/* Sync of one inode (flags: TAV_XATTR_SYNC_RESUME releases dirty_hold and
 * leaves the write to the dirty timer): 0 or -EIO. */
TAV_COROUTINE_FN int tav_inode_sync(tav_inode_info *inode, int flags);
/* Flushes the zone map and the file's extent cache under the inode's flush
 * lock: 0 or -EIO. */
TAV_COROUTINE_FN int flush_zmap_and_cache(tav_inode_table *itable, tav_inode_info *inode);
/* Flushes the zone map and the extent cache of every inode (hashed, vacant,
 * or waiting on the unlink list): 0 or -(inodes whose flush failed). */
TAV_COROUTINE_FN int tav_itable_flush_caches(tav_inode_table *itable);
/* Ends background work for good: no timer tick starts work after this, and
 * a tick that is working finishes the inode it holds and returns before
 * this does.  Inodes still waiting on the unlink list stay there (on the
 * device they keep their UNLINK or PBLOCK_FREE state for the next start). */
TAV_COROUTINE_FN void tav_itable_stop_background(tav_inode_table *itable);
/* Writes every inode twice (both copies current): 0 or -(failed inodes). */
TAV_COROUTINE_FN int tav_itable_flush(tav_inode_table *itable);
/* The same for the first inode numbered `ino`: 0, -ENOENT or -EIO. */
TAV_COROUTINE_FN int tav_itable_flush_by_ino(tav_inode_table *itable, uint64_t ino);

/* ---- destruction -------------------------------------------------------------------- */

/* Destroys an unlinked file's blocks and slot; *blocks_released counts the
 * blocks returned to the zone map. */
TAV_COROUTINE_FN int tav_inode_destroy(tav_inode_info *inode, uint64_t *blocks_released);
/* Releases the data blocks mapped by the file's extent pages, one zone-map
 * batch per extent page. */
TAV_COROUTINE_FN int tav_inode_free_blocks(tav_inode_info *inode, uint64_t *blocks_released);

/* ---- start-up preload ------------------------------------------------------------------ */

TAV_COROUTINE_FN void tav_itable_preload_extent(tav_inode_table *itable, ext_table_t *etable);

/* ---- consistency check ------------------------------------------------------------------ */

/* The files whose blocks count as in use, for the consistency check: every
 * inode of the hash table (an inode in error state ends the walk with -305,
 * its blocks cannot be known), then those waiting for destruction except
 * FREE and PBLOCK_FREE ones (their data is released; the extent blocks a
 * PBLOCK_FREE inode still names are never freed by its destruction, which
 * resumes at the last step, so the check reclaims them), then the vacant
 * list.  Inodes are referenced while visited. */
tav_fsck_files tav_itable_fsck_files(tav_inode_table *itable);

/* ---- extent layer callbacks ------------------------------------------------------------- */

extern const tav_extent_fops tav_inode_extent_fops;

/* ---- notifications ------------------------------------------------------------------------ */

void notify_free_blocks(tav_inode_table *itable, int64_t bytes);
void notify_compress_finish(tav_inode_table *itable, tav_inode_info *inode);
void notify_alloc_extent(tav_inode_table *itable, int64_t bytes);
void notify_inline_transform(tav_inode_table *itable, int64_t bytes);

#endif
