// Zone map: the block allocator.
//
// The zone map records which 1 MiB blocks of the device are in use and, in a
// slice block, which of its eight 128 KiB slices are.  It is a flat array of
// 4096-byte pages in the zone-map blocks named by the superblock; every page
// is loaded at start, changed in memory and written back page by page.
//
// Encoding (version 2, one byte per block; block p is byte p % 4080 of page
// p / 4080): 0 free, 0xFF whole block (also every block with a bad track),
// anything else a slice block whose bit s marks slice s in use.  Version 1
// (one bit per block, 32640 blocks per page) is only read, by the upgrade.
//
// Guarantees:
//   - only blocks inside the allowed range (get_blkno_limit, clipped to the
//     map) are handed out; blocks with a bad track are never handed out and
//     never freed;
//   - allocation prefers the caller's goal block, then an empty aligned
//     window, then any free block;
//   - `alloc_blocks` of a page and of the map is the number of non-zero
//     bytes (plus slice blocks just turned empty by zmap_page_slice_init);
//   - memory stays authoritative: a page whose write failed stays dirty and
//     is never re-read over its newer in-memory content.  Where the caller
//     cannot be told (zmap_page_put, zmap_free_blocks,
//     zmap_alloc_blocks_manual, zmap_flush without force) a failed write
//     terminates the process at once with the write's status, because memory
//     and device would otherwise disagree about which blocks are in use.
//
// Ownership: the map and its pages belong to the instance's I/O thread.  A
// caller that holds a page between zmap_page_get / zmap_page_from_* and
// zmap_page_put must not yield in between except inside those calls.
// Functions marked TAV_COROUTINE_FN may yield and need a coroutine; I/O and
// bad-track queries go through the thread's default engine.
#ifndef TAV_ZMAP_H
#define TAV_ZMAP_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include "format.h"
#include "coroutine.h"
#include "mbuf.h"

#define TAV_ZMAP_DEFAULT_WINDOW 8
#define TAV_ZMAP_RANGES_GROW    4096

/* The page record (tav_zmap_page_ondisk) and its constants are in format.h. */

typedef struct tav_block_bitmap zmap_t;
typedef struct tav_block_bitmap_page zmap_page_t;

/* Supplied by the owner of the map (the instance). */
typedef struct tav_zmap_fops {
    /* Required: the block range the map may hand out. */
    TAV_COROUTINE_FN int (*get_blkno_limit)(zmap_t *zmap, blkno_t *min, blkno_t *max);
    /* Optional: called after blocks were allocated / released. */
    void (*blocks_alloc_hook)(zmap_t *zmap, blkno_t pblock, uint64_t count);
    void (*blocks_free_hook)(zmap_t *zmap, blkno_t pblock, uint64_t count);
    /* Optional: the superblock's format version (2 when absent). */
    int (*get_sb_version)(zmap_t *zmap, uint64_t *version);
} tav_zmap_fops;

typedef struct tav_block_bitmap_status {
    uint64_t alloc_by_goal;   /* blocks handed out by the goal strategy */
    uint64_t alloc_by_window; /* blocks handed out by the window strategy */
} tav_block_bitmap_status;

struct tav_block_bitmap_page {
    uint32_t index;
    off_t phy_addr;
    int dirty;
    zmap_t *zmap;
    struct mbuf mbuf;
    uint32_t alloc_blocks;       /* blocks in use in the page */
    uint32_t alloc_slices;       /* slices in use; a whole block counts 8 */
    uint32_t capacity;           /* usable blocks after clipping to the allowed range */
    uint32_t boff_min, boff_max; /* usable block offsets (capacity 0: none) */
    uint8_t bitmaps[TAV_ZMAP_PAGE_BITMAP_SIZE];
};

struct tav_block_bitmap {
    blkno_t pblock; /* first zone-map block */
    const tav_zmap_fops *fops;
    tav_block_bitmap_status status;
    uint32_t window; /* default window in blocks */
    uint32_t page_count;
    uint64_t alloc_blocks;
    zmap_page_t *pages;
    uint64_t version; /* superblock version the map was loaded with */
    void *priv;       /* the owner's, untouched by the map */
};

/* Where the allowed range falls in page terms, computed per request. */
typedef struct tav_zmap_algo_args {
    int goal_legal;
    uint32_t pgoal, pgoal_boff;
    uint32_t pmin, pmin_boff;
    uint32_t pmax, pmax_boff;
} tav_zmap_algo_args;

typedef struct pblock_range_t {
    blkno_t start;
    uint32_t count;
} pblock_range_t;

typedef struct pblock_ranges_t {
    pblock_range_t *ranges;
    uint32_t size;  /* capacity */
    uint32_t count; /* used */
} pblock_ranges_t;

/* A whole block (pslice -1) or one slice of a block. */
typedef struct pslice_t {
    blkno_t pblock;
    int32_t pslice;
} pslice_t;

/* ---- life cycle ----------------------------------------------------------- */

void zmap_init(zmap_t *zmap, const tav_zmap_fops *fops, blkno_t pblock);
/* Loads all `page_cnt` pages (s_bitmap_blocks x 256), marking blocks with a
 * bad track in use.  -EACCES for an illegal page, the engine's error for a
 * failed read, -ENOMEM, -EINVAL for 0 pages or more than 32-bit page numbers
 * can name; nothing stays loaded on failure. */
TAV_COROUTINE_FN int zmap_load(zmap_t *zmap, uint64_t page_cnt);
void zmap_destroy(zmap_t *zmap);
/* Below 8 or above 4080: 8; else rounded down to a multiple of 8. */
void zmap_set_window(zmap_t *zmap, uint32_t window);
uint64_t zmap_blocks_allocated(const zmap_t *zmap);
/* Writes `count` blocks of empty pages from block `pblock`. */
TAV_COROUTINE_FN int zmap_blocks_format(blkno_t pblock, uint64_t count);

/* The allowed range clipped to the map: 0, or -EINVAL when empty. */
TAV_COROUTINE_FN int zmap_get_blkno_limit(zmap_t *zmap, blkno_t *min, blkno_t *max);
/* Page terms of the allowed range and of `goal`. */
void zmap_algo_args_init(const zmap_t *zmap, blkno_t min, blkno_t max, blkno_t goal,
                         tav_zmap_algo_args *args);
/* Sets the page's usable range from the allowed range. */
void zmap_page_set_range(zmap_page_t *page, const tav_zmap_algo_args *args);

/* Writes every dirty page (every page with `force`): pages written, or
 * negative errno (only with `force`; without it a failed write is fatal). */
TAV_COROUTINE_FN int zmap_flush(zmap_t *zmap, int force);
/* 0, -1 (the page could not be read), -2 (the write failed; still dirty). */
TAV_COROUTINE_FN int zmap_page_flush(zmap_t *zmap, uint32_t idx);

/* ---- whole blocks --------------------------------------------------------- */

/* In: *count >= 1 blocks wanted, `goal` any block (ignored when outside the
 * allowed range), `window` 0 for the map's default.  Out: *pblock the first of
 * *count contiguous blocks (1 .. wanted), written to disk; *count 0 on
 * failure (-ENOSPC when nothing is free). */
TAV_COROUTINE_FN int zmap_alloc_blocks(zmap_t *zmap, blkno_t goal, uint32_t window, blkno_t *pblock,
                                       uint32_t *count);
/* Frees [start, start + count): all in use and inside the allowed range
 * (programming error otherwise); bad-track blocks stay in use. */
TAV_COROUTINE_FN int zmap_free_blocks(zmap_t *zmap, blkno_t start, uint64_t count);
/* Allocates exactly [pblock, pblock + count): -EINVAL outside the allowed
 * range, -EFAULT when a block is already in use (unless the page's part of
 * the range holds a bad track); all or nothing. */
TAV_COROUTINE_FN int zmap_alloc_blocks_manual(zmap_t *zmap, blkno_t pblock, uint64_t count);
/* Marks every range in use (blocks already in use stay so), then writes each
 * touched page once; -EINVAL (nothing changed) when a range leaves the
 * allowed range, the write error otherwise. */
TAV_COROUTINE_FN int zmap_alloc_blocks_manual_batch(zmap_t *zmap, const pblock_ranges_t *ranges);
/* Frees whole blocks and single slices (the list is sorted in place); bad-
 * track blocks stay in use.  Returns the number of blocks that became free. */
TAV_COROUTINE_FN int zmap_batch_free_blocks(zmap_t *zmap, pslice_t *tofree, uint32_t count);
/* clear 0: marks [pblk, pblk + cnt) in use and records the bad track on the
 * device; clear != 0: only clears the device's record.  The engine's result. */
TAV_COROUTINE_FN int zmap_mark_badtrack(zmap_t *zmap, blkno_t pblk, uint64_t cnt, int clear);

int pblock_ranges_record(pblock_ranges_t *ranges, blkno_t start, uint32_t count);
void pblock_ranges_free(pblock_ranges_t *ranges);

/* ---- pages ---------------------------------------------------------------- */

/* Chooses a page with a free block (goal's page first, then one with
 * `count` free blocks, then any) and makes sure it is loaded. */
TAV_COROUTINE_FN int zmap_page_get(zmap_t *zmap, blkno_t goal, uint32_t count, zmap_page_t **page);
/* -EINVAL when the block is outside the allowed range. */
TAV_COROUTINE_FN int zmap_page_from_pblock(zmap_t *zmap, blkno_t pblock, zmap_page_t **page);
TAV_COROUTINE_FN int zmap_page_from_index(zmap_t *zmap, uint32_t index, zmap_page_t **page);
/* Writes the page if dirty (fatal on failure); 0. */
TAV_COROUTINE_FN int zmap_page_put(zmap_page_t *page);

/* Allocates inside the page (which must have a free block): goal strategy,
 * then the window strategy with `window` (0: the map's) and with window 1.
 * 0 or -ENOSPC (*count 0). */
int zmap_page_alloc_blocks(zmap_page_t *page, blkno_t goal, uint32_t window, blkno_t *pblock,
                           uint32_t *count);
uint32_t zmap_page_block_avail(const zmap_page_t *page);
bool zmap_page_has_pblock(const zmap_page_t *page, blkno_t pblock);
/* Turns a block just allocated whole into an empty slice block (still
 * counted as in use). */
void zmap_page_slice_init(zmap_page_t *page, blkno_t pblock);
/* Slice `goal` when free, else the lowest free slice; -ENOSPC when full. */
int zmap_page_alloc_slice(zmap_page_t *page, blkno_t pblock, int goal, int *pslice);
int zmap_page_slice_allocated(const zmap_page_t *page, blkno_t pblock, int pslice);
int zmap_page_slice_avail(const zmap_page_t *page, blkno_t pblock);
/* -EACCES for a bad-track block, else whether the slice (or, for pslice -1,
 * the block) is in use. */
int zmap_page_test_pblock(const zmap_page_t *page, blkno_t pblock, int pslice);
/* 1 when the block became free, else 0 (also when the slice was not in use). */
int zmap_page_free_slice(zmap_page_t *page, blkno_t pblock, int pslice);
/* 1 when the block was in use and is now free, else 0. */
int zmap_page_free_block(zmap_page_t *page, blkno_t pblock);
/* Version-1 walk: fn(page index, first bit, run length, priv) for each run of
 * set bits; stops at (and returns) the first negative result; else the
 * number of bits visited. */
typedef int (*zmap_traversal_fn)(uint32_t index, uint32_t start, uint32_t len, void *priv);
int zmap_page_bitmaps_traversal(const zmap_page_t *page, zmap_traversal_fn fn, void *priv);

/* Text dumps for the debug service, one line per call of `out`. */
typedef void (*zmap_print_fn)(void *ctx, const char *line);
void zmap_page_dump(const zmap_page_t *page, zmap_print_fn out, void *ctx);
void zmap_dump(const zmap_t *zmap, zmap_print_fn out, void *ctx);

/* ---- page record codec (used by the metadata buffer) ---------------------- */

/* 0 legal; else logs the reason and returns -EACCES. */
int zmap_page_check(const tav_zmap_page_ondisk *ondisk, uint32_t index, off_t phy_addr);
/* Fills a 4096-byte image from a map of 4080 bytes. */
void zmap_page_encode(const uint8_t *bitmaps, void *image);

#endif
