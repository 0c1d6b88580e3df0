// Extent pages and block maps: how a file's logical space maps onto device
// blocks.
//
// A file names up to 16 extent blocks (1 MiB each).  An extent block holds
// 128 extent pages of 8 KiB; a page is an array of fixed-size block-map
// entries.  Each entry maps one logical 1 MiB block (BLOCK maps) or one
// logical 128 KiB slice (SLICE and SLICE_V2 maps) to a physical block or
// slice, carries a state and a bitmap of the 4 KiB units written, so that
// never-written units read as zeros without touching the device.
//
// Ownership: the extent table (one per instance) owns every cached page and
// keeps them on one LRU list bounded by `max`; the extent cache (one per
// inode) indexes the inode's cached pages by page index in a red-black tree.
// A page handed out by ext_page_get* is pinned: it is never evicted or freed
// until the matching ext_page_put.  A page with unwritten changes (`dirty`)
// is never evicted either, so the table may stay above `max` while pages are
// pinned or dirty.  Uncached pages (ext_page_get_nocache when the page was
// not cached, ext_page_get_nostd) belong to their single user and are
// destroyed at its put.
//
// On-disk entries are checked one by one at load: an entry that fails its
// check is logged, keeps the in-memory state ERROR, and makes the whole page
// load fail with -EACCES (the page stays stale and is read again at its next
// access).  Mapping updates that break the entry state rules (SET on a mapped
// entry, DELETE of another block, ...) are programming errors and abort.
//
// Threading: everything runs on the instance's I/O thread.  Functions marked
// TAV_COROUTINE_FN may yield (device I/O, the metadata buffer's wait queue,
// the instance's get_extent_blkno); they must run inside a coroutine.  A
// pinned page stays valid across a yield; its entries may be changed by other
// coroutines meanwhile.
#ifndef TAV_EXTENT_H
#define TAV_EXTENT_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include "format.h"
#include "batch.h"
#include "co_lock.h"
#include "coroutine.h"
#include "list.h"
#include "mbuf.h"
#include "rbtree.h"

#define TAV_EXTENT_TABLE_MAX 16384

typedef enum blkmap_op_t {
    TAV_BLKMAP_OP_SET = 0,
    TAV_BLKMAP_OP_DELETE = 1,
    TAV_BLKMAP_OP_UNMAP = 2,
    TAV_BLKMAP_OP_REPLACE = 3,
} blkmap_op_t;

/* ---- in-memory records --------------------------------------------------- */

/* The on-disk entries (tav_block_map_ondisk, _v2), the map types and states
 * are in format.h. */

struct tav_extent_page;
struct tav_extent_cache;
struct tav_extent_table;

/* One in-memory entry: a 32-byte head followed by the written-unit bitmap
 * (32 bytes for BLOCK maps, 4 bytes for slice maps), so entries are 64 or 36
 * bytes apart in the page. */
typedef struct tav_block_map {
    struct tav_extent_page *page;
    uint64_t iblock; /* logical block */
    uint64_t pblock; /* physical block; 0 when never mapped or deleted */
    int8_t islice;   /* logical slice 0..7; -1 for BLOCK maps */
    int8_t pslice;   /* physical slice 0..7; -1 when not mapped or BLOCK */
    uint8_t state;
    uint8_t pad[5];
    uint8_t bitmaps[];
} __attribute__((packed, aligned(4))) blkmap_t;

static_assert(sizeof(blkmap_t) == 32);

typedef struct tav_extent_page {
    list_head entry; /* LRU link; empty when not cached */
    rb_node node;    /* cache tree link; unused when not cached */
    struct mbuf mbuf;
    batch_t runner;
    struct tav_extent_table *table;
    struct tav_extent_cache *cache;
    uint64_t phy_addr; /* byte address of the page on the device */
    size_t size;       /* 8192, or a multiple of it for bulk pages */
    uint32_t index;    /* page index within the file (in `size` units) */
    uint32_t in_use;   /* pin count */
    uint32_t dirty;    /* changes since the last write */
    ext_type_t type;
    uint32_t count;  /* entries */
    uint32_t stride; /* bytes between in-memory entries */
    int intree;      /* linked in the cache tree */
    alignas(8) unsigned char blkmaps[];
} ext_page_t;

typedef struct tav_extent_cache_status {
    uint32_t count; /* pages in the tree */
    uint64_t hit;
    uint64_t miss;
} tav_extent_cache_status;

typedef struct tav_extent_cache {
    struct tav_extent_table *table;
    rb_root root;
    tav_extent_cache_status status;
} ext_cache_t;

/* Supplied by the instance.  get_extent_blkno may yield (it may read the
 * inode).  The hooks run right after an entry becomes MAPPED and right before
 * a MAPPED entry is deleted or unmapped (the entry still shows the mapping). */
typedef struct tav_extent_fops {
    TAV_COROUTINE_FN int (*get_extent_blkno)(ext_cache_t *cache, uint32_t extent_no, uint64_t *pblk);
    ext_type_t (*get_extent_type)(ext_cache_t *cache);
    void (*block_map_hook)(ext_cache_t *cache, blkmap_t *map);
    void (*block_unmap_hook)(ext_cache_t *cache, blkmap_t *map);
} tav_extent_fops;

typedef struct tav_extent_table {
    list_head lru;  /* cached pages, most recent first */
    uint32_t max;   /* page limit */
    uint32_t count; /* cached pages */
    const tav_extent_fops *fops;
    int flushing_cache; /* non-zero: pruning suspended */
} ext_table_t;

/* Per-type description of the entries. */
typedef struct tav_extent_desc {
    const mbuf_fops_t *mbuf_fops;
    void (*blkmap_ondisk_format)(void *buf);
    size_t blkmap_ondisk_size;
    size_t blkmap_size;
} tav_extent_desc;

/* ---- formats -------------------------------------------------------------- */

/* Fills the 1 MiB extent block `pblock` with empty entries of `type`. */
TAV_COROUTINE_FN int ext_block_format(uint64_t pblock, ext_type_t type);
uint32_t ext_blkmaps_per_page(ext_type_t type, size_t page_size);
size_t ext_blkmap_ondisk_size(ext_type_t type);
size_t ext_blkmap_size(ext_type_t type);
const mbuf_fops_t *ext_mbuf_fops(ext_type_t type);
/* Writes one empty on-disk entry of `type` into `buf`. */
void ext_blkmap_ondisk_format(ext_type_t type, void *buf);
/* Logical 1 MiB blocks covered by one page of `page_size` bytes. */
uint32_t ext_iblocks_per_page(ext_type_t type, size_t page_size);

/* ---- table and cache ------------------------------------------------------ */

void ext_table_init(ext_table_t *table, const tav_extent_fops *fops, uint32_t max);
/* REQUIRES: no page pinned.  Destroys every remaining page. */
void ext_table_destroy(ext_table_t *table);
void ext_table_set_lru(ext_table_t *table, uint32_t max);
/* Evicts clean, unpinned pages from the least recent end until count <= max. */
void ext_table_prune(ext_table_t *table);
void ext_table_dump(ext_table_t *table);

void ext_cache_init(ext_cache_t *cache, ext_table_t *table);
/* REQUIRES: none of the inode's pages pinned.  Destroys them all (unwritten
 * changes are dropped; flush first to keep them). */
void ext_cache_cleanup(ext_cache_t *cache);
/* Writes the inode's dirty pages in index order: pages written, -EIO at the
 * first failure, -ENOMEM. */
TAV_COROUTINE_FN int ext_cache_flush(ext_cache_t *cache);
int ext_cache_is_empty(ext_cache_t *cache);
ext_type_t ext_cache_blkmap_type(ext_cache_t *cache);
/* Extent pages a file of `filesize` bytes needs, at most the pages its 16
 * extent blocks hold. */
uint32_t ext_cache_max_count(ext_cache_t *cache, uint64_t filesize);
void ext_cache_dump(ext_cache_t *cache);
/* Checks the cache tree (order, colours, parents, count): 0 or -1.  For
 * tests and the debug service. */
int ext_cache_verify(ext_cache_t *cache);
/* Text of the maps of logical block `iblk` (or of its whole page) for the
 * debug service; returns the length written (truncated to len - 1) or
 * -errno when the page cannot be had. */
TAV_COROUTINE_FN int ext_cache_dump_blkmaps(ext_cache_t *cache, uint64_t iblk, char *buf, size_t len,
                                            int whole_page);

/* ---- pages ---------------------------------------------------------------- */

/* Pinned page `index` (cached), loaded; null with errno set on failure. */
TAV_COROUTINE_FN ext_page_t *ext_page_get(ext_cache_t *cache, uint32_t index);
/* As ext_page_get, but a page that is not cached stays uncached and is
 * destroyed at its put. */
TAV_COROUTINE_FN ext_page_t *ext_page_get_nocache(ext_cache_t *cache, uint32_t index);
/* Uncached page of `page_size` bytes (a multiple of 8192, at most 1 MiB).
 * REQUIRES: the inode's cache is empty. */
TAV_COROUTINE_FN ext_page_t *ext_page_get_nostd(ext_cache_t *cache, size_t page_size, uint32_t page_index);
/* Loads the page if stale; 0 or negative errno. */
TAV_COROUTINE_FN int ext_page_access(ext_page_t *page);
/* 1 when the extent block holding the page exists, 0 when not, or -errno. */
TAV_COROUTINE_FN int ext_page_addressable(ext_cache_t *cache, size_t page_size, uint32_t page_index);
void ext_page_mark_dirty(ext_page_t *page);
/* Writes the page when dirty; 0 or negative errno (the page stays dirty). */
TAV_COROUTINE_FN int ext_page_write(ext_page_t *page);
void ext_page_put(ext_page_t *page);
ext_cache_t *ext_page_owner(ext_page_t *page);

/* ---- entries -------------------------------------------------------------- */

TAV_COROUTINE_FN blkmap_t *ext_blkmaps_get(ext_cache_t *cache, uint64_t iblock, ext_page_t **page);
TAV_COROUTINE_FN blkmap_t *ext_blkmap_get(ext_cache_t *cache, uint64_t iblock, int islice, ext_page_t **page);
blkmap_t *ext_page_blkmaps_get(ext_page_t *page, uint64_t iblock);
blkmap_t *ext_page_blkmap_get(ext_page_t *page, uint64_t iblock, int islice);
blkmap_t *ext_page_blkmap_get_index(ext_page_t *page, uint32_t index);
int ext_page_has_iblock(ext_page_t *page, uint64_t iblock);
uint64_t ext_page_find_goal(ext_page_t *page, uint64_t iblock);

uint64_t ext_blkmap_get_iblock(const blkmap_t *map);
int ext_blkmap_get_islice(const blkmap_t *map);
uint64_t ext_blkmap_get_pblock(const blkmap_t *map);
int ext_blkmap_get_pslice(const blkmap_t *map);
uint64_t ext_blkmap_get_lba(const blkmap_t *map);
int64_t ext_blkmap_get_pba(const blkmap_t *map);
blkmap_t *ext_blkmap_to_blkmaps(blkmap_t *map);
/* The i-th entry of the block whose first entry is `blkmaps`. */
blkmap_t *ext_blkmaps_at(blkmap_t *blkmaps, int islice);
uint64_t ext_blkmaps_get_pblock(blkmap_t *blkmaps, int islice);
int ext_blkmaps_get_pslice(blkmap_t *blkmaps, int islice);
uint64_t ext_blkmaps_first_pblock(blkmap_t *blkmaps);
int ext_blkmaps_pslice_count(blkmap_t *blkmaps);

void ext_blkmap_update_pblock(blkmap_t *map, uint64_t pblock, int pslice, blkmap_op_t op);
void ext_blkmap_set_pblock(blkmap_t *map, uint64_t pblock, int pslice);
void ext_blkmap_delete_pblock(blkmap_t *map, uint64_t pblock, int pslice);
void ext_blkmap_unmap_pblock(blkmap_t *map, uint64_t pblock, int pslice);
void ext_blkmap_replace_pblock(blkmap_t *map, uint64_t pblock, int pslice);
void ext_blkmaps_set_pblock(blkmap_t *blkmaps, int islice, uint64_t pblock, int pslice);
void ext_blkmaps_delete_pblock(blkmap_t *blkmaps, int islice, uint64_t pblock, int pslice);
void ext_blkmaps_replace_pblock(blkmap_t *blkmaps, int islice, uint64_t pblock, int pslice);

void ext_blkmap_set_bits(blkmap_t *map, uint32_t sbit, uint32_t bcnt);
void ext_blkmap_clr_bits(blkmap_t *map, uint32_t sbit, uint32_t bcnt);
void ext_blkmaps_set_bits(blkmap_t *blkmaps, int islice, uint32_t sbit, uint32_t bcnt);
void ext_blkmaps_clr_bits(blkmap_t *blkmaps, int islice, uint32_t sbit, uint32_t bcnt);
int ext_blkmap_is_bits_set(const blkmap_t *map, uint32_t sbit, uint32_t bcnt);
int ext_blkmap_is_bits_clr(const blkmap_t *map, uint32_t sbit, uint32_t bcnt);
int ext_blkmaps_is_bits_set(blkmap_t *blkmaps, int islice, uint32_t sbit, uint32_t bcnt);
int ext_blkmaps_is_bits_clr(blkmap_t *blkmaps, int islice, uint32_t sbit, uint32_t bcnt);
int ext_blkmaps_all_bits_clr(blkmap_t *blkmaps, int islice);

/* ---- request batching ----------------------------------------------------- */

TAV_COROUTINE_FN void ext_page_batch_run(ext_page_t *page, req_t *req, batch_process_fn batch_process,
                                         void *data);
ext_page_t *ext_page_from_batch(batch_t *runner);

#endif
