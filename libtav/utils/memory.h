// Memory accounting and page-aligned I/O buffers.
//
// Every allocation of the library goes through the tav_malloc family with a
// memory tag.  While accounting is on (switched on once, never off) each live
// block is recorded in a process-wide tree by address and per-tag totals are
// kept; blocks allocated before accounting was switched on are ignored when
// freed.  Failures log "failed to allocate %lu bytes for %s: Out of memory".
//
// I/O buffers: three process-wide pools (128 x 4 KiB, 16 x 8 KiB, 1 x 1 MiB),
// set up at every instance init and released at fini.  tav_iobuf_get serves a
// request from the pool of exactly that size, else falls back to an accounted
// 4096-aligned allocation under the caller's tag; tav_iobuf_put returns either
// kind.  All of this is unlocked and meant for the I/O thread.
#ifndef TAV_UTILS_MEMORY_H
#define TAV_UTILS_MEMORY_H

#include <stddef.h>
#include <stdint.h>

typedef enum tav_mem_type_t {
    TAV_MEM_IOBUF_POOL = 0,
    TAV_MEM_MBUF_ALIGNED_BUFFER = 1,
    TAV_MEM_IO_ALIGNED_BUFFER = 2,
    TAV_MEM_IOENGINE_ALIGNED_BUFFER = 3,
    TAV_MEM_IOENGINE = 4,
    TAV_MEM_ZMAP_PAGE = 5,
    TAV_MEM_EXTENT_PAGE = 6,
    TAV_MEM_IMAP_BUFFER = 7,
    TAV_MEM_TAV = 8,
    TAV_MEM_TIMER = 9,
    TAV_MEM_INODE = 10,
    TAV_MEM_INODE_INLINE_BUFFER = 11,
    TAV_MEM_FD = 12,
    TAV_MEM_STUB = 13,
    TAV_MEM_IOVEC = 14,
    TAV_MEM_OTHER = 15,
    TAV_MEM_IOLOG = 16,
    TAV_MEM_TYPE_COUNT = 17,
} tav_mem_type_t;

typedef struct tav_mem_info {
    const char *name;
    uint64_t total_alloc_size;
    uint64_t max_alloc_size;
    uint64_t total_alloc_count;
    uint64_t total_free_count;
} tav_mem_info;

void tav_acct_toggle(int onoff);
int tav_acct_enabled(void);
/* Calls fn for tags 0..16 in order; stops at and returns the first non-zero
 * result; -ENODATA while accounting is off. */
int tav_mem_info_foreach(int (*fn)(const tav_mem_info *info, void *priv), void *priv);

/* Null (-ENOMEM for tav_memalign) and the log line on failure.  Blocks are
 * released with tav_free.  tav_realloc forgets the old block first, so after
 * a failure it stays valid but unaccounted; a size of 0 frees the block and
 * returns null.  With accounting on, a zero-byte allocation is a fatal
 * assertion, as is an address recorded while already live. */
void *tav_malloc(size_t size, tav_mem_type_t type);
void *tav_calloc(size_t nmemb, size_t size, tav_mem_type_t type);
void *tav_realloc(void *ptr, size_t size, tav_mem_type_t type);
int tav_memalign(void **memptr, size_t alignment, size_t size, tav_mem_type_t type);
void tav_free(void *ptr);

/* Sets up the pools not already set up; a failed allocation leaves that pool
 * and the following ones unset (their sizes fall back to allocation). */
void tav_iobuf_pool_init(void);
/* Releases every pool none of whose buffers is in use. */
void tav_iobuf_pool_fini(void);
/* A 4096-aligned buffer of `size` bytes, or null. */
void *tav_iobuf_get(size_t size, tav_mem_type_t type);
/* Returns a buffer from tav_iobuf_get; putting a pool buffer that is not in
 * use (a double put) is a fatal assertion. */
void tav_iobuf_put(void *ptr);

#endif
