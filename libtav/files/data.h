// The data path of a file: write, read and space operations.
//
// A file is INLINE while its data fits in the 2048 bytes of its inode page;
// the first write beyond turns it into an extent file for good.  An extent
// file's logical space is cut into segments (1 MiB blocks, or 128 KiB slices
// for COMPRESSIBLE files), each mapped by a block map of an extent page to a
// physical block or slice allocated on first write.  Each map carries one
// written bit per 4 KiB page.
//
// What these functions guarantee:
//   - data reaches the device before the bits that expose it are set, and a
//     page with a clear bit reads as zeros, so a crash can lose a write but
//     never expose another file's or stale device contents;
//   - a block is on the device as allocated (zone map) before an extent page
//     that maps it, an extent block is formatted before the inode points to
//     it, inline data is in its extent block before the inode stops being
//     INLINE, and blocks are freed only after the maps that referenced them
//     are on the device;
//   - overwrites of written pages cost one device write per segment and no
//     metadata write; allocations and bit updates of concurrent requests on
//     one extent page are batched into one extent-page write per pass;
//   - the aligned path neither allocates nor copies: padding is added only
//     where a partial 4 KiB page has no data yet, from the 4 KiB I/O buffer
//     pool.
// Errors are negative errno values; the first error ends an operation and
// what was completed before it stays.
//
// Locks, in this order: the inode mutex (inline checks, the inline
// transform, extent-block allocation, the truncate shrink), then the range
// lock of the data (4 KiB pages, files/flock.h), then an extent page's batch
// runner.  Reads take the same exclusive range locks as writes.
//
// The data path knows nothing of requests: what it reports to the request it
// serves goes through tav_data_req, which the caller fills and hands down.
//
// Threading: the instance's I/O thread; everything marked TAV_COROUTINE_FN
// yields and runs in a coroutine.
#ifndef TAV_FILES_DATA_H
#define TAV_FILES_DATA_H

#include <stdint.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>

#include "extent.h"
#include "flock.h"
#include "inode.h"
#include "itable.h"

struct fiemap;

#define TAV_SEGMENT_BLOCK      TAV_BLOCK_SIZE
#define TAV_SEGMENT_SLICE      TAV_SLICE_SIZE
#define TAV_BLKMAP_SLICE_BITS  32 /* written bits of one slice */
#define TAV_DEFAULT_GOAL       33826
#define TAV_COMPRESSIBLE_MAX   (128ULL << 30) /* reach of SLICE_V2 maps */
#define TAV_EXTENT_PAGE_MAXBIG 65536          /* enlarged pages of a bulk fallocate */
#define TAV_SECTOR_UNITS       2048           /* 512-byte units of st_blocks per 1 MiB block */

/* Kinds of I/O-log records (the file format's op field). */
typedef enum iolog_type_t {
    TAV_READ = 0,
    TAV_READ_CBK = 1,
    TAV_WRITE = 2,
    TAV_WRITE_CBK = 3,
    TAV_FALLOC = 4,
    TAV_FALLOC_CBK = 5,
    TAV_DISCARD = 6,
    TAV_DISCARD_CBK = 7,
    TAV_ZEROFILL = 8,
    TAV_ZEROFILL_CBK = 9,
    TAV_MOVE = 10,
    TAV_ALLOC = 11,
    TAV_ALLOC_COM = 12,
    TAV_ALLOC_MOVE = 13,
    TAV_ALLOC_BLOCK = 14,
    TAV_ALLOC_BLOCK_COM = 15,
    TAV_FREE = 16,
    TAV_FREE_CBK = 17,
} iolog_type_t;

/* One request of an extent page's batch runner. */
enum { EXTPAGE_REQ_ALLOC_BLOCKS = 1, EXTPAGE_REQ_ALLOC_SLICES = 2, EXTPAGE_REQ_UPDATE_BITMAP = 3 };

typedef struct extent_page_request {
    req_t req;
    int type;
    uint64_t iblock;
    int32_t islice;  /* -1 for whole-block maps */
    uint64_t pblock; /* result of a slice allocation */
    int32_t pslice;
    int64_t offset; /* bit update: byte offset in the segment */
    uint64_t size;  /* bit update: byte count */
    int ret;
} extent_page_request;

/* What a data request hands down and gets back.  The vector is the
 * caller's; nothing here keeps it past the call. */
typedef struct tav_data_req {
    const struct iovec *iov;
    int iovcnt;
    uint64_t offset;
    uint64_t size;                   /* bytes of the vector */
    int flags;                       /* reads: TAV_FLAG_BD asks to report "no device data" */
    struct stat *prestat, *poststat; /* optional */
    /* Writes: write the inode before completing (the first write through a
     * handle). */
    int force_flush;
    /* 1 MiB blocks the mapping hooks have charged to the request so far;
     * prestat.st_blocks is corrected by what this write added. */
    const uint32_t *charged;
    /* Out: this write turned an inline file into an extent file. */
    int transformed;
} tav_data_req;

/* ---- the I/O-log hook ----------------------------------------------------- */

/* Records one entry for the inode's file through the instance's I/O-log hook;
 * nothing while the instance has none. */
void tav_file_iolog(tav_inode_info *inode, const struct iovec *iov, int iovcnt, int64_t offset, uint64_t size,
                    int64_t result, iolog_type_t op);

/* ---- the inode around data operations ------------------------------------------ */

/* Reads the inode: 0, or -EIO after logging "inode access failed". */
TAV_COROUTINE_FN int tav_file_read_inode(tav_inode_info *inode);
/* Writes the inode now (-EIO after logging "inode write failed"), or only
 * marks it dirty for the dirty timer. */
TAV_COROUTINE_FN int tav_file_store_inode(tav_inode_info *inode, bool now);
/* Takes the inode mutex and reads the inode: 1 when the file is still
 * INLINE (the caller then holds the mutex), 0 when it is not any more, or
 * -EIO; in both of these the mutex is released. */
TAV_COROUTINE_FN int tav_file_lock_inline(tav_inode_info *inode);

/* ---- geometry --------------------------------------------------------------- */

static inline bool tav_file_compressible(const tav_inode_info *inode) {
    return inode->ondisk.i_type & TAV_FILE_TYPE_COMPRESSIBLE;
}
static inline bool tav_file_inline(const tav_inode_info *inode) {
    return inode->ondisk.i_type & TAV_FILE_TYPE_INLINE;
}
/* 131072 for COMPRESSIBLE files, 1048576 otherwise. */
static inline uint64_t tav_file_segment(const tav_inode_info *inode) {
    return tav_file_compressible(inode) ? TAV_SEGMENT_SLICE : TAV_SEGMENT_BLOCK;
}
/* Bytes of file mapped by one 8 KiB extent page (128, 16 or 64 MiB). */
uint64_t tav_file_extent_span(tav_inode_info *inode);

/* ---- write ------------------------------------------------------------------- */

/* The whole write request: inline or extent write, the inode update, the
 * log lines and I/O-log records.  Bytes written or negative errno. */
TAV_COROUTINE_FN int64_t tav_file_pwritev(tav_inode_info *inode, tav_data_req *req);
/* The extent-file data write under a range lock: bytes or negative errno. */
TAV_COROUTINE_FN ssize_t tav_write_data(tav_inode_info *inode, const struct iovec *iov, int iovcnt,
                                        uint64_t offset);
/* Copies into the inline buffer.  REQUIRES: INLINE, offset + size <= 2048. */
ssize_t tav_write_inline_data(tav_inode_info *inode, const struct iovec *iov, int iovcnt, uint64_t offset);
/* Gives the file extent block `idx` (0..15) unless it has one: allocated
 * from the zone map, formatted with empty maps of the file's type, then
 * named in the inode, which is written.  REQUIRES: the inode mutex.  0 or
 * negative errno (a block nothing names yet is returned to the zone map). */
TAV_COROUTINE_FN int tav_inode_alloc_extent_block(tav_inode_info *inode, uint32_t idx);
/* Makes sure the extent blocks covering [offset, offset + size) exist. */
TAV_COROUTINE_FN int tav_prepare_extent_block(tav_inode_info *inode, uint64_t offset, uint64_t size);
/* Turns an INLINE file into an extent file.  REQUIRES: the inode mutex. */
TAV_COROUTINE_FN int tav_inline_transform(tav_inode_info *inode);

/* Segmented transfer shared by reads and writes: calls `fn` once per segment
 * of [offset, offset + size) with the part of the vector inside it; stops at
 * a result <= 0 or a short one.  Total bytes, or the first result when
 * nothing was transferred. */
typedef TAV_COROUTINE_FN ssize_t (*tav_segment_fn)(tav_inode_info *inode, uint64_t seg,
                                                   const struct iovec *iov, int iovcnt, uint64_t off,
                                                   uint64_t size, void *ctx);
TAV_COROUTINE_FN ssize_t tav_rw_data(tav_inode_info *inode, const struct iovec *iov, int iovcnt,
                                     uint64_t offset, uint64_t size, tav_segment_fn fn, void *ctx);

/* Batch processing of an extent page's queued requests (the page's batch
 * runner calls it; `data` is the inode). */
TAV_COROUTINE_FN int extent_page_batch_process(batch_t *runner, list_head *wait, list_head *out, void *data);

/* The segment's block map with its page pinned in *page; null (errno set)
 * when the page cannot be had. */
TAV_COROUTINE_FN blkmap_t *tav_segment_map(tav_inode_info *inode, uint64_t seg, ext_page_t **page);
/* Whether `pblock` lies in the device's data area; a map that names a block
 * outside it (a damaged extent page) is logged and never used for I/O or a
 * release, so that it cannot reach metadata or another device's bytes. */
bool tav_pblock_in_data_area(const tav_inode_info *inode, uint64_t pblock);

/* ---- read -------------------------------------------------------------------- */

/* The whole read request.  Bytes read or negative errno. */
TAV_COROUTINE_FN int64_t tav_file_preadv(tav_inode_info *inode, tav_data_req *req);
/* The extent read under a range lock; sets TAV_FLAG_BD in *flags (when
 * given) once a segment reads device data. */
TAV_COROUTINE_FN ssize_t tav_read_data(tav_inode_info *inode, const struct iovec *iov, int iovcnt,
                                       uint64_t offset, uint64_t size, int *flags);
/* REQUIRES: INLINE, offset + size <= i_size. */
ssize_t tav_read_inline_data(tav_inode_info *inode, const struct iovec *iov, int iovcnt, uint64_t offset,
                             uint64_t size);
/* A non-positive `addr` is a file offset given as its negation, a positive
 * one a device byte address; returns the other one, -1 when there is none,
 * -EIO when a block map cannot be had. */
TAV_COROUTINE_FN int64_t tav_inode_paddr(tav_inode_info *inode, int64_t addr);

/* ---- space operations ---------------------------------------------------------- */

typedef struct sparse_ctx {
    int mode;
    uint32_t blocks_allocated;
    uint32_t slices_allocated;
    uint32_t blocks_released;
    uint32_t slices_released;
    size_t ext_page_size;
} sparse_ctx;

/* Whole requests (log lines, I/O-log records, inode updates). */
TAV_COROUTINE_FN int tav_file_truncate(tav_inode_info *inode, uint64_t length, struct stat *prestat,
                                       struct stat *poststat);
TAV_COROUTINE_FN int tav_file_fallocate(tav_inode_info *inode, int mode, uint64_t offset, uint64_t length,
                                        struct stat *prestat, struct stat *poststat);
TAV_COROUTINE_FN int tav_file_discard(tav_inode_info *inode, uint64_t offset, uint64_t length,
                                      struct stat *prestat, struct stat *poststat);
TAV_COROUTINE_FN int tav_file_zerofill(tav_inode_info *inode, int mode, uint64_t offset, uint64_t length,
                                       struct stat *prestat, struct stat *poststat);
TAV_COROUTINE_FN int tav_file_fiemap(tav_inode_info *inode, struct fiemap *fm, struct stat *prestat,
                                     struct stat *poststat);

/* Building blocks, also used by compression and the unlink path. */
TAV_COROUTINE_FN int tav_fallocate(tav_inode_info *inode, int mode, uint64_t offset, uint64_t length,
                                   uint32_t *blocks_allocated);
TAV_COROUTINE_FN int tav_discard_ex(tav_inode_info *inode, uint64_t offset, uint64_t length,
                                    uint32_t *blocks_released);
TAV_COROUTINE_FN int tav_discard(tav_inode_info *inode, uint64_t offset, uint64_t length);
TAV_COROUTINE_FN int tav_zerofill(tav_inode_info *inode, int mode, uint64_t offset, uint64_t length);
TAV_COROUTINE_FN int tav_fiemap(tav_inode_info *inode, struct fiemap *fm, uint64_t *blocks);
TAV_COROUTINE_FN int tav_truncate_update_inode(tav_inode_info *inode, uint64_t length, struct stat *prestat,
                                               struct stat *poststat);

#endif
