// Space operations: truncate, fallocate (all modes), discard, zero-fill and
// fiemap.  All per-range work goes through one walker that cuts the range at
// extent-page boundaries, under the file's range locks.
#include <assert.h>

#include <errno.h>
#include <linux/fiemap.h>
#include <string.h>
#include <uuid/uuid.h>

#include <algorithm>

#include "data.h"
#include "segment.h"
#include "ioengine.h"
#include "logger.h"
#include "zmap.h"

using namespace tavfiles;

namespace {

constexpr uint64_t kBlock = TAV_BLOCK_SIZE;
constexpr uint64_t kSlice = TAV_SLICE_SIZE;

inline zmap_t *zmap_of(tav_inode_info *inode) {
    return inode->itable->host.zmap;
}

inline ext_type_t type_of(tav_inode_info *inode) {
    return tav_inode_blkmap_type(&inode->ondisk);
}

// Bytes of file mapped by one extent page of `page_size` bytes.
uint64_t span_of(tav_inode_info *inode, size_t page_size) {
    return static_cast<uint64_t>(ext_iblocks_per_page(type_of(inode), page_size)) * kBlock;
}

typedef TAV_COROUTINE_FN int (*sparse_fn)(tav_inode_info *inode, uint64_t offset, uint32_t index,
                                          uint64_t off_in_page, uint64_t piece, sparse_ctx *ctx);

// Cuts [offset, offset + length) at the boundaries of the extent pages of
// ctx->ext_page_size and calls fn per piece, stopping at the first error.
TAV_COROUTINE_FN int sparse_common(tav_inode_info *inode, uint64_t offset, uint64_t length, sparse_fn fn,
                                   sparse_ctx *ctx) {
    const uint64_t span = span_of(inode, ctx->ext_page_size);
    int ret = 0;
    while (length && ret == 0) {
        uint64_t piece = std::min(length, span - offset % span);
        ret = fn(inode, offset, static_cast<uint32_t>(offset / span), offset % span, piece, ctx);
        offset += piece;
        length -= piece;
    }
    return ret;
}

// The extent page for a walker: the cached 8 KiB page, or an uncached page
// of the enlarged size.  Null (errno set) on failure.
TAV_COROUTINE_FN ext_page_t *walker_page(tav_inode_info *inode, uint32_t index, const sparse_ctx *ctx) {
    if (ctx->ext_page_size == TAV_EXTENT_PAGE_SIZE)
        return ext_page_get(&inode->extent_cache, index);
    // Enlarged pages and cached ones must not overlap: an enlarged page is
    // only used while the file has no cached page.
    if (!ext_cache_is_empty(&inode->extent_cache)) {
        errno = EBUSY;
        return nullptr;
    }
    return ext_page_get_nostd(&inode->extent_cache, ctx->ext_page_size, index);
}

TAV_COROUTINE_FN int addressable(tav_inode_info *inode, uint32_t index, const sparse_ctx *ctx) {
    return ext_page_addressable(&inode->extent_cache, ctx->ext_page_size, index);
}

// Written bits of the whole 4 KiB pages of [s, e) (offsets in a segment).
void set_whole_pages(blkmap_t *map, uint64_t s, uint64_t e) {
    uint64_t a = round_up(s, kGran), b = round_down(e, kGran);
    if (b > a)
        ext_blkmap_set_bits(map, static_cast<uint32_t>(a / kGran), static_cast<uint32_t>((b - a) / kGran));
}

void clear_whole_pages(blkmap_t *map, uint64_t s, uint64_t e) {
    uint64_t a = round_up(s, kGran), b = round_down(e, kGran);
    if (b > a)
        ext_blkmap_clr_bits(map, static_cast<uint32_t>(a / kGran), static_cast<uint32_t>((b - a) / kGran));
}

bool any_written(const blkmap_t *map, uint64_t s, uint64_t e) {
    uint32_t a = static_cast<uint32_t>(s / kGran), b = static_cast<uint32_t>((e - 1) / kGran);
    return !ext_blkmap_is_bits_clr(map, a, b - a + 1);
}

bool all_clear(const blkmap_t *map, uint32_t bits) {
    return ext_blkmap_is_bits_clr(map, 0, bits);
}

inline bool valid_falloc_mode(int mode) {
    return mode == TAV_FALLOC_DEFAULT || mode == TAV_FALLOC_HARD || mode == TAV_FALLOC_TEST ||
           mode == TAV_FALLOC_HARD_CACHED;
}
inline bool hard_mode(int mode) {
    return mode == TAV_FALLOC_HARD || mode == TAV_FALLOC_HARD_CACHED;
}

TAV_COROUTINE_FN int flush_if_cacheing(tav_inode_info *inode) {
    if (inode->cacheing && flush_zmap_and_cache(inode->itable, inode) < 0) {
        log_error("inode flush cache failed, return -EIO");
        return -EIO;
    }
    return 0;
}

// Before a walk that changes maps: the inode read, cached allocations on the
// device.
TAV_COROUTINE_FN int read_and_flush(tav_inode_info *inode) {
    int ret = tav_file_read_inode(inode);
    return ret < 0 ? ret : flush_if_cacheing(inode);
}

// mtime and ctime now, marked dirty; poststat filled.
TAV_COROUTINE_FN int touch_inode(tav_inode_info *inode, struct stat *poststat) {
    int ret = tav_file_read_inode(inode);
    if (ret < 0) {
        log_error("update inode failed: %d(%s)", ret, strerror(-ret));
        return ret;
    }
    tav_inode_update_amctime(inode, TAV_INODE_MTIME | TAV_INODE_CTIME, nullptr);
    tav_inode_mark_dirty(inode);
    if (poststat)
        tav_inode_get_stat(inode, poststat);
    return 0;
}

void log_result(const char *what, int ret) {
    if (ret < 0)
        log_error("%s: %d(%s)", what, ret, strerror(-ret));
    else
        log_trace("%s: %d(%s)", what, ret, strerror(-ret));
}

// The end of a request that changed the file: the inode's times, the
// I/O-log record and the log line.
TAV_COROUTINE_FN int finish_request(tav_inode_info *inode, int ret, struct stat *poststat, uint64_t offset,
                                    uint64_t length, iolog_type_t cbk, const char *what) {
    if (ret == 0)
        ret = touch_inode(inode, poststat);
    tav_file_iolog(inode, nullptr, 0, static_cast<int64_t>(offset), length, ret, cbk);
    log_result(what, ret);
    return ret;
}

// ---- fallocate -------------------------------------------------------------------

// Maps run [first, first + count) of unmapped logical blocks of the page to
// newly allocated blocks, as contiguous as the zone map allows.
TAV_COROUTINE_FN int alloc_block_run(tav_inode_info *inode, ext_page_t *page, uint64_t first, uint32_t count,
                                     sparse_ctx *ctx) {
    uint64_t goal = ext_page_find_goal(page, first);
    if (!goal)
        goal = TAV_DEFAULT_GOAL;
    while (count) {
        blkno_t pb = 0;
        uint32_t got = count;
        int ret = zmap_alloc_blocks(zmap_of(inode), goal, 0, &pb, &got);
        if (ret < 0) {
            log_error("blocks allocation failed, iblk: %lu, cnt: %u, err: %s", (unsigned long)first, count,
                      strerror(-ret));
            return ret;
        }
        for (uint32_t i = 0; i < got; i++)
            ext_blkmaps_set_pblock(ext_page_blkmaps_get(page, first + i), -1, pb + i, -1);
        log_trace("alloc blocks: iblock: [%lu-%lu], pblock: [%lu-%lu], goal: %lu, count: %u",
                  (unsigned long)first, (unsigned long)(first + got - 1), (unsigned long)pb,
                  (unsigned long)(pb + got - 1), (unsigned long)goal, got);
        ctx->blocks_allocated += got;
        ctx->slices_allocated += got * TAV_SLICES_PER_BLOCK;
        first += got;
        count -= got;
        goal = pb + got;
    }
    return 0;
}

TAV_COROUTINE_FN int fallocate_blocks(tav_inode_info *inode, uint64_t offset, uint32_t index, uint64_t,
                                      uint64_t piece, sparse_ctx *ctx) {
    ext_page_t *page = walker_page(inode, index, ctx);
    if (!page) {
        log_error("can't get extent page with index %u", index);
        return -EIO;
    }
    const uint64_t end = offset + piece;
    const uint64_t ib0 = offset / kBlock, ib1 = (end - 1) / kBlock;
    int ret = 0;
    for (uint64_t ib = ib0; ib <= ib1 && ret == 0;) {
        if (ext_blkmap_get_pblock(ext_page_blkmaps_get(page, ib))) {
            ib++;
            continue;
        }
        uint64_t run = ib;
        while (run <= ib1 && !ext_blkmap_get_pblock(ext_page_blkmaps_get(page, run)))
            run++;
        ret = alloc_block_run(inode, page, ib, static_cast<uint32_t>(run - ib), ctx);
        ib = run;
    }
    if (ret == 0 && hard_mode(ctx->mode)) {
        for (uint64_t ib = ib0; ib <= ib1; ib++) {
            blkmap_t *map = ext_page_blkmaps_get(page, ib);
            if (!ext_blkmap_get_pblock(map))
                continue;
            uint64_t bs = ib * kBlock;
            set_whole_pages(map, std::max(offset, bs) - bs, std::min(end, bs + kBlock) - bs);
        }
    }
    // Written even after a failure: what was allocated stays mapped.
    if (ctx->mode != TAV_FALLOC_HARD_CACHED && ext_page_write(page) < 0) {
        log_error("write extent page with index %u failed", index);
        ret = -EIO;
    }
    ext_page_put(page);
    return ret;
}

struct ToMap {
    uint32_t index;
    uint64_t iblock, pblock;
    int islice, pslice;
};

// A block for the slices of a logical block: in the held zone-map page when
// it has room, else in the page chosen for `goal`.
TAV_COROUTINE_FN int slice_block(tav_inode_info *inode, zmap_page_t **zp, uint64_t goal, uint64_t *pblock) {
    zmap_t *zmap = zmap_of(inode);
    if (*zp && (!zmap_page_has_pblock(*zp, goal) || zmap_page_block_avail(*zp) == 0)) {
        zmap_page_put(*zp);
        *zp = nullptr;
    }
    if (!*zp) {
        int ret = zmap_page_get(zmap, goal, 1, zp);
        if (ret < 0) {
            *zp = nullptr;
            log_error("get zmap page failed: %d, goal: %lu", ret, (unsigned long)goal);
            return ret;
        }
    }
    blkno_t pb = 0;
    uint32_t count = 1;
    int ret = zmap_page_alloc_blocks(*zp, goal, 1, &pb, &count);
    if (ret < 0)
        return ret;
    zmap_page_slice_init(*zp, pb);
    *pblock = pb;
    return 0;
}

// The zone-map page of a known block, replacing the held one if needed.
TAV_COROUTINE_FN int slice_page_of(tav_inode_info *inode, zmap_page_t **zp, uint64_t pblock) {
    if (*zp && zmap_page_has_pblock(*zp, pblock))
        return 0;
    if (*zp) {
        int ret = zmap_page_put(*zp);
        *zp = nullptr;
        if (ret < 0) {
            log_error("put zmap page failed: %d", ret);
            return ret;
        }
    }
    int ret = zmap_page_from_pblock(zmap_of(inode), pblock, zp);
    if (ret < 0) {
        *zp = nullptr;
        log_error("get zmap page from pblock(%lu) failed: %d", (unsigned long)pblock, ret);
    }
    return ret;
}

TAV_COROUTINE_FN int fallocate_slices(tav_inode_info *inode, uint64_t offset, uint32_t index, uint64_t,
                                      uint64_t piece, sparse_ctx *ctx) {
    assert(inode->blkmap_mode == TAV_BLKMAP_MODE_NORMAL || inode->blkmap_mode == TAV_BLKMAP_MODE_COMPACT);
    const bool cached = ctx->mode == TAV_FALLOC_HARD_CACHED;
    ext_page_t *page = walker_page(inode, index, ctx);
    if (!page) {
        log_error("can't get extent page with index %u", index);
        return -EIO;
    }
    const uint64_t end = offset + piece;
    const uint64_t s0 = offset / kSlice, s1 = (end - 1) / kSlice;
    ToMap *tomap =
        static_cast<ToMap *>(tav_malloc(sizeof(ToMap) * static_cast<size_t>(s1 - s0 + 1), TAV_MEM_OTHER));
    if (!tomap) {
        ext_page_put(page);
        return -ENOMEM;
    }
    tav_disk_inode *d = &inode->ondisk;
    zmap_page_t *zp = nullptr;
    uint32_t n = 0, new_blocks = 0;
    uint64_t prev_new = 0;
    int ret = 0;
    for (uint64_t s = s0; s <= s1 && ret == 0; s++) {
        const uint64_t ib = s / TAV_SLICES_PER_BLOCK;
        const int is = static_cast<int>(s % TAV_SLICES_PER_BLOCK);
        blkmap_t *first = ext_page_blkmaps_get(page, ib);
        if (ext_blkmaps_get_pblock(first, is))
            continue;
        uint64_t pb = 0;
        int ps = -1;
        if (inode->blkmap_mode == TAV_BLKMAP_MODE_NORMAL) {
            pb = ext_blkmaps_first_pblock(first);
            for (uint32_t k = 0; !pb && k < n; k++) // chosen earlier in this walk
                if (tomap[k].iblock == ib)
                    pb = tomap[k].pblock;
            if (!pb) {
                uint64_t goal = prev_new ? prev_new + 1 : ext_page_find_goal(page, ib);
                if (!goal)
                    goal = TAV_DEFAULT_GOAL;
                ret = slice_block(inode, &zp, goal, &pb);
                if (ret < 0)
                    break;
                prev_new = pb;
                new_blocks++;
            } else if ((ret = slice_page_of(inode, &zp, pb)) < 0) {
                break;
            }
            ps = is;
            if (zmap_page_slice_allocated(zp, pb, ps))
                log_info("conflict iblock:%lu, islice:%d, pblock:%lu(goal:%lu), pslice:%d", (unsigned long)ib,
                         is, (unsigned long)pb, (unsigned long)pb, ps);
            else
                zmap_page_alloc_slice(zp, pb, ps, &ps);
        } else {
            for (;;) {
                uint64_t cur = d->i_cur_pblk;
                if (cur && (ret = slice_page_of(inode, &zp, cur)) < 0) {
                    d->i_cur_pblk = 0; // no longer a block of the map
                    ret = 0;
                    continue;
                }
                if (cur && d->i_cur_pblk != cur) {
                    log_debug("i_cur_pblk changed: %lu -> %lu", (unsigned long)cur,
                              (unsigned long)d->i_cur_pblk);
                    continue;
                }
                int avail = cur ? zmap_page_slice_avail(zp, cur) : 0;
                if (!cur || avail == 0 || avail == TAV_SLICES_PER_BLOCK) {
                    ret = slice_block(inode, &zp, cur ? cur + 1 : TAV_DEFAULT_GOAL, &cur);
                    if (ret < 0)
                        break;
                    d->i_cur_pblk = cur;
                    new_blocks++;
                }
                pb = cur;
                break;
            }
            if (ret < 0)
                break;
            ret = zmap_page_alloc_slice(zp, pb, 0, &ps);
            if (ret < 0)
                break;
            log_trace("alloc iblock:%lu, islice:%d, pblock:%lu, pslice:%d", (unsigned long)ib, is,
                      (unsigned long)pb, ps);
        }
        tomap[n++] = {index, ib, pb, is, ps};
    }
    // Even in the cached mode: another request's pass may write this extent
    // page at any time, and the zone map must hold the slices first.
    if (zp) {
        int r = zmap_page_put(zp);
        if (r < 0) {
            log_error("put zmap page failed: %d", r);
            ret = ret ? ret : r;
        }
    }
    // The zone map holds every chosen slice before a map names it.
    if (ext_page_access(page) < 0) {
        log_error("access extent page failed: %d", -EIO);
        ret = -EIO;
    } else {
        for (uint32_t k = 0; k < n; k++)
            ext_blkmaps_set_pblock(ext_page_blkmaps_get(page, tomap[k].iblock), tomap[k].islice,
                                   tomap[k].pblock, tomap[k].pslice);
        if (hard_mode(ctx->mode)) {
            for (uint64_t s = s0; s <= s1; s++) {
                blkmap_t *map = ext_blkmaps_at(ext_page_blkmaps_get(page, s / TAV_SLICES_PER_BLOCK),
                                               static_cast<int>(s % 8));
                if (!ext_blkmap_get_pblock(map))
                    continue;
                uint64_t ss = s * kSlice;
                set_whole_pages(map, std::max(offset, ss) - ss, std::min(end, ss + kSlice) - ss);
            }
        }
        if (!cached && ext_page_write(page) < 0) {
            log_error("write extent page with index %u failed", index);
            ret = -EIO;
        }
    }
    ctx->blocks_allocated += new_blocks;
    ctx->slices_allocated += n;
    tav_free(tomap);
    ext_page_put(page);
    return ret;
}

// Exact space check: blocks the range still needs.
TAV_COROUTINE_FN int count_needed(tav_inode_info *inode, uint64_t offset, uint32_t index, uint64_t,
                                  uint64_t piece, sparse_ctx *ctx) {
    const uint64_t ib0 = offset / kBlock, ib1 = (offset + piece - 1) / kBlock;
    int ok = addressable(inode, index, ctx);
    if (ok < 0)
        return ok;
    if (ok == 0) { // no extent block yet: nothing is mapped
        ctx->blocks_allocated += static_cast<uint32_t>(ib1 - ib0 + 1);
        ctx->slices_allocated += static_cast<uint32_t>(ib1 - ib0 + 1) * TAV_SLICES_PER_BLOCK;
        return 0;
    }
    ext_page_t *page = walker_page(inode, index, ctx);
    if (!page) {
        log_error("can't get extent page with index %u", index);
        return -EIO;
    }
    for (uint64_t ib = ib0; ib <= ib1; ib++) {
        blkmap_t *first = ext_page_blkmaps_get(page, ib);
        if (!ext_blkmaps_first_pblock(first)) {
            ctx->blocks_allocated++;
            ctx->slices_allocated += TAV_SLICES_PER_BLOCK;
        } else if (tav_file_compressible(inode)) {
            ctx->slices_allocated +=
                static_cast<uint32_t>(TAV_SLICES_PER_BLOCK - ext_blkmaps_pslice_count(first));
        }
    }
    ext_page_put(page);
    return 0;
}

TAV_COROUTINE_FN int free_blocks(tav_inode_info *inode, uint64_t *free) {
    tav_sb_info *sb = inode->itable->host.sb;
    if (tav_sb_read(sb) < 0) {
        log_error("super access failed, return -EIO");
        return -EIO;
    }
    const tav_sb_ondisk *s = &sb->tav_disk_sb;
    uint64_t used = s->s_first_data_block + zmap_blocks_allocated(zmap_of(inode));
    *free = s->s_blocks_count > used ? s->s_blocks_count - used : 0;
    return 0;
}

// ---- discard ------------------------------------------------------------------------

struct Freed {
    pslice_t *items = nullptr;
    uint32_t count = 0;
    ~Freed() { tav_free(items); }
};

// Writes the page (the maps no longer name the blocks), then frees them.
TAV_COROUTINE_FN int write_then_free(tav_inode_info *inode, ext_page_t *page, uint32_t index, Freed *fr,
                                     uint32_t *blocks) {
    if (ext_page_write(page) < 0) {
        log_error("write extent page with index %u failed", index);
        return -EIO;
    }
    if (fr->count == 0)
        return 0;
    int ret = zmap_batch_free_blocks(zmap_of(inode), fr->items, fr->count);
    if (ret < 0) {
        log_error("free pblocks in extent page %d failed: %d(%s)", (int)index, ret, strerror(-ret));
        return ret;
    }
    *blocks = static_cast<uint32_t>(ret);
    tav_file_iolog(inode, nullptr, 0, static_cast<int64_t>(index), fr->count, ret, TAV_FREE_CBK);
    return 0;
}

// Clears the bits of [s, e) of a mapped segment; true when it must go (no
// written page left, or covered whole).
bool discard_segment(blkmap_t *map, uint64_t s, uint64_t e, uint64_t segsize, uint32_t bits) {
    if (s == 0 && e == segsize)
        return true;
    ext_blkmap_clr_bits(map, static_cast<uint32_t>(s / kGran), static_cast<uint32_t>((e - s) / kGran));
    return all_clear(map, bits);
}

TAV_COROUTINE_FN int discard_page(tav_inode_info *inode, uint64_t offset, uint32_t index,
                                  uint64_t off_in_page, uint64_t piece, sparse_ctx *ctx) {
    const bool slices = tav_file_compressible(inode);
    const uint64_t segsize = tav_file_segment(inode), end = offset + piece;
    const uint64_t s0 = offset / segsize, s1 = (end - 1) / segsize;
    if (slices)
        log_trace(
            "discard slices: index[%u], idx_start[%lu], idx_end[%lu], first_blkoff[%ld], last_blkoff[%d]",
            index, (unsigned long)s0, (unsigned long)s1, (long)(off_in_page % segsize), (int)(end % segsize));
    else
        log_trace("discard blocks: index[%u], iblk_start[%lu], iblk_end[%lu], first_blkoff[%ld], "
                  "last_blkoff[%d]",
                  index, (unsigned long)s0, (unsigned long)s1, (long)(off_in_page % segsize),
                  (int)(end % segsize));
    int ok = addressable(inode, index, ctx);
    if (ok <= 0)
        return ok < 0 ? -EIO : 0;
    ext_page_t *page = walker_page(inode, index, ctx);
    if (!page) {
        log_error("can't get extent page with index %u", index);
        return -EIO;
    }
    Freed fr;
    fr.items = static_cast<pslice_t *>(
        tav_malloc(sizeof(pslice_t) * static_cast<size_t>(s1 - s0 + 1), TAV_MEM_OTHER));
    if (!fr.items) {
        log_error("out of memory");
        ext_page_put(page);
        return -ENOMEM;
    }
    bool damaged = false; // a map names a block outside the data area: left alone
    for (uint64_t seg = s0; seg <= s1; seg++) {
        const Segment sg = segment_of(inode, seg);
        blkmap_t *map = segment_map_in(page, sg);
        uint64_t pb = ext_blkmap_get_pblock(map);
        if (!pb)
            continue;
        if (!tav_pblock_in_data_area(inode, pb)) {
            damaged = true;
            continue;
        }
        uint64_t ss = seg * segsize;
        uint64_t a = std::max(offset, ss) - ss, b = std::min(end, ss + segsize) - ss;
        if (!discard_segment(map, a, b, segsize, sg.bits))
            continue;
        int ps = slices ? ext_blkmap_get_pslice(map) : -1;
        assert(!slices || (ps >= 0 && ps < TAV_SLICES_PER_BLOCK));
        ext_blkmap_unmap_pblock(map, pb, ps);
        fr.items[fr.count++] = {pb, ps};
        tav_file_iolog(inode, nullptr, 0, static_cast<int64_t>(pb), slices ? static_cast<uint64_t>(ps) : 1, 0,
                       TAV_FREE);
    }
    if (slices)
        log_trace("discard islice index [%lu-%lu] in extent page %u, free %u slices", (unsigned long)s0,
                  (unsigned long)s1, index, fr.count);
    else
        log_trace("discard iblocks [%lu-%lu] in extent page %u, free %u pblocks", (unsigned long)s0,
                  (unsigned long)s1, index, fr.count);
    uint32_t items = fr.count, blocks = 0;
    int ret = write_then_free(inode, page, index, &fr, &blocks);
    ext_page_put(page);
    if (ret == 0) {
        // The zone map says how many blocks became free: a slice block goes
        // with its last slice.
        ctx->blocks_released += blocks;
        ctx->slices_released += slices ? items : blocks * TAV_SLICES_PER_BLOCK;
    }
    return ret == 0 && damaged ? -EIO : ret;
}

// ---- zero-fill ----------------------------------------------------------------------------

// Writes `len` zero bytes at device address `pba`.
TAV_COROUTINE_FN ssize_t write_zeros(uint64_t pba, uint64_t len, void *zeros) {
    struct iovec v = {zeros, len};
    return ioengine_co_pwritev(ioengine_get_default(), &v, 1, static_cast<off_t>(pba));
}

TAV_COROUTINE_FN int zerofill_default(tav_inode_info *inode, uint64_t offset, uint32_t index, uint64_t,
                                      uint64_t piece, sparse_ctx *ctx) {
    int ok = addressable(inode, index, ctx);
    if (ok <= 0)
        return ok < 0 ? -EIO : 0;
    ext_page_t *page = walker_page(inode, index, ctx);
    if (!page) {
        log_error("can't get extent page with index %u", index);
        return -EIO;
    }
    const uint64_t segsize = tav_file_segment(inode), end = offset + piece;
    // The partial pages at either end of the range keep their other bytes:
    // zeros are written over their part, after the whole pages are cleared.
    struct Partial {
        uint64_t pba, len;
    } part[2] = {};
    int nparts = 0;
    bool damaged = false; // a map names a block outside the data area: left alone
    for (uint64_t seg = offset / segsize; seg * segsize < end; seg++) {
        const Segment sg = segment_of(inode, seg);
        blkmap_t *map = segment_map_in(page, sg);
        if (!ext_blkmap_get_pblock(map))
            continue;
        if (!tav_pblock_in_data_area(inode, ext_blkmap_get_pblock(map))) {
            damaged = true;
            continue;
        }
        uint64_t ss = seg * segsize;
        uint64_t s = std::max(offset, ss) - ss, e = std::min(end, ss + segsize) - ss;
        clear_whole_pages(map, s, e);
        // Partial pages that hold data get zeros over their covered part;
        // two partial ends in one page are written once.
        auto note = [&](uint64_t a, uint64_t b) {
            if (ext_blkmap_is_bits_set(map, static_cast<uint32_t>(a / kGran), 1)) {
                assert(nparts < 2);
                part[nparts++] = {segment_pba(map) + a, b - a};
            }
        };
        if (s % kGran && e % kGran && s / kGran == (e - 1) / kGran) {
            note(s, e);
        } else {
            if (s % kGran)
                note(s, std::min(e, round_up(s, kGran)));
            if (e % kGran)
                note(std::max(s, round_down(e, kGran)), e);
        }
    }
    int ret = 0;
    if (ext_page_write(page) < 0) {
        log_error("write extent page with index %u failed", index);
        ret = -EIO;
    }
    ext_page_put(page);
    if (ret == 0 && damaged)
        ret = -EIO;
    if (ret < 0 || nparts == 0)
        return ret;
    void *zeros = tav_iobuf_get(kGran, TAV_MEM_IO_ALIGNED_BUFFER);
    if (!zeros)
        return -ENOMEM;
    memset(zeros, 0, kGran);
    for (int i = 0; i < nparts && ret == 0; i++) {
        ssize_t r = write_zeros(part[i].pba, part[i].len, zeros);
        log_trace("unaligned[%d]: offset:%lu, length:%lu, ret:%d", i, (unsigned long)part[i].pba,
                  (unsigned long)part[i].len, (int)r);
        if (r < 0)
            ret = static_cast<int>(r);
        else if (static_cast<uint64_t>(r) != part[i].len)
            ret = -EIO;
    }
    tav_iobuf_put(zeros);
    (void)ctx;
    return ret;
}

TAV_COROUTINE_FN int zerofill_hard(tav_inode_info *inode, uint64_t offset, uint32_t index, uint64_t,
                                   uint64_t piece, sparse_ctx *ctx) {
    int ok = addressable(inode, index, ctx);
    if (ok <= 0)
        return ok < 0 ? -EIO : 0;
    const uint64_t segsize = tav_file_segment(inode), end = offset + piece;
    void *zeros = tav_iobuf_get(segsize, TAV_MEM_IO_ALIGNED_BUFFER);
    if (!zeros) {
        log_error("get iobuf failed");
        return -ENOMEM;
    }
    memset(zeros, 0, segsize);
    ext_page_t *page = walker_page(inode, index, ctx);
    if (!page) {
        tav_iobuf_put(zeros);
        log_error("can't get extent page with index %u", index);
        return -EIO;
    }
    int ret = 0;
    for (uint64_t seg = offset / segsize; seg * segsize < end && ret == 0; seg++) {
        const Segment sg = segment_of(inode, seg);
        blkmap_t *map = segment_map_in(page, sg);
        if (!ext_blkmap_get_pblock(map))
            continue;
        if (!tav_pblock_in_data_area(inode, ext_blkmap_get_pblock(map))) {
            ret = -EIO;
            continue;
        }
        uint64_t ss = seg * segsize;
        uint64_t s = std::max(offset, ss) - ss, e = std::min(end, ss + segsize) - ss;
        if (!any_written(map, s, e))
            continue;
        ssize_t r = write_zeros(segment_pba(map) + s, e - s, zeros);
        if (r < 0)
            ret = static_cast<int>(r);
        else if (static_cast<uint64_t>(r) != e - s)
            ret = -EIO;
    }
    ext_page_put(page);
    tav_iobuf_put(zeros);
    return ret;
}

// ---- fiemap ---------------------------------------------------------------------------------

constexpr uint32_t kFeMerged = FIEMAP_EXTENT_MERGED;       // 0x1000
constexpr uint32_t kFeLast = FIEMAP_EXTENT_LAST;           // 0x1
constexpr uint32_t kFeUnwritten = FIEMAP_EXTENT_UNWRITTEN; // 0x800
static_assert(kFeMerged == 0x1000 && kFeLast == 0x1 && kFeUnwritten == 0x800);

struct FiemapRec {
    struct fiemap *fieinfo;
    bool recording;
    bool ext_writen;
    uint64_t blocks;
    uint64_t *pblks;
    uint64_t pblk_max, pblk_cnt;
    uint64_t open_at;
    int err;
};

void fiemap_open(FiemapRec *r, uint64_t at) {
    if (r->recording || r->err)
        return;
    struct fiemap *fm = r->fieinfo;
    if (fm->fm_extent_count && fm->fm_mapped_extents >= fm->fm_extent_count) {
        log_error("no space for fm_mapped_extents, fm_extent_count: %u", fm->fm_extent_count);
        r->err = -ENOSPC;
        return;
    }
    if (fm->fm_extent_count) {
        struct fiemap_extent *fe = &fm->fm_extents[fm->fm_mapped_extents];
        memset(fe, 0, sizeof(*fe));
        fe->fe_logical = at;
        fe->fe_physical = 0;
        fe->fe_flags = kFeMerged;
    }
    r->open_at = at;
    r->recording = true;
}

void fiemap_close(FiemapRec *r, uint64_t at) {
    if (!r->recording)
        return;
    struct fiemap *fm = r->fieinfo;
    if (fm->fm_extent_count)
        fm->fm_extents[fm->fm_mapped_extents].fe_length = at - r->open_at;
    fm->fm_mapped_extents++;
    r->recording = false;
}

struct FiemapCtx {
    sparse_ctx base;
    FiemapRec *rec;
};

TAV_COROUTINE_FN int fiemap_page(tav_inode_info *inode, uint64_t offset, uint32_t index, uint64_t,
                                 uint64_t piece, sparse_ctx *ctx) {
    FiemapRec *r = (reinterpret_cast<FiemapCtx *>(ctx))->rec;
    int ok = addressable(inode, index, ctx);
    if (ok < 0)
        return -EIO;
    if (ok == 0) {
        fiemap_close(r, offset);
        return 0;
    }
    ext_page_t *page = walker_page(inode, index, ctx);
    if (!page) {
        log_error("can't get extent page with index %u", index);
        return -EIO;
    }
    const uint64_t end = offset + piece;
    const bool slices = tav_file_compressible(inode);
    const uint64_t segsize = slices ? kSlice : kBlock;
    for (uint64_t seg = offset / segsize; seg * segsize < end && !r->err; seg++) {
        const Segment sg = segment_of(inode, seg);
        blkmap_t *first = ext_page_blkmaps_get(page, sg.iblock);
        blkmap_t *map = sg.islice < 0 ? first : ext_blkmaps_at(first, sg.islice);
        uint64_t pb = ext_blkmap_get_pblock(map);
        if (pb) {
            fiemap_open(r, seg * segsize);
            if (!all_clear(map, sg.bits))
                r->ext_writen = true;
        } else {
            fiemap_close(r, seg * segsize);
        }
        if (!slices) {
            if (r->recording)
                r->blocks++;
        } else if (sg.islice == 0) {
            uint64_t fp = ext_blkmaps_first_pblock(first);
            if (fp && (r->pblk_cnt == 0 || r->pblks[r->pblk_cnt - 1] != fp) && r->pblk_cnt < r->pblk_max)
                r->pblks[r->pblk_cnt++] = fp;
        }
    }
    ext_page_put(page);
    return r->err;
}

TAV_COROUTINE_FN int fiemap_range(tav_inode_info *inode, struct fiemap *fm, uint64_t start, uint64_t length,
                                  uint64_t *blocks) {
    assert(start % kBlock == 0 && length % kBlock == 0);
    FiemapRec rec = {};
    rec.fieinfo = fm;
    if (length == 0) {
        *blocks = 0;
        return 0;
    }
    const bool slices = tav_file_compressible(inode);
    if (slices) {
        rec.pblk_max = length / kBlock;
        rec.pblks = static_cast<uint64_t *>(tav_malloc(sizeof(uint64_t) * rec.pblk_max, TAV_MEM_OTHER));
        if (!rec.pblks) {
            log_error("can't get mem");
            return -ENOMEM;
        }
    }
    FiemapCtx ctx = {};
    ctx.base.ext_page_size = TAV_EXTENT_PAGE_SIZE;
    ctx.rec = &rec;
    int ret;
    {
        InodeRangeGuard lock(inode, 0, TAV_MAX_FILE_SIZE);
        ret = sparse_common(inode, start, length, fiemap_page, &ctx.base);
    }
    if (ret == 0) {
        fiemap_close(&rec, start + length);
        uint32_t stored = std::min(fm->fm_mapped_extents, fm->fm_extent_count);
        if (fm->fm_extent_count && stored) {
            fm->fm_extents[stored - 1].fe_flags |= kFeLast;
            if (!rec.ext_writen)
                fm->fm_extents[0].fe_flags |= kFeUnwritten;
        }
        if (slices) {
            std::sort(rec.pblks, rec.pblks + rec.pblk_cnt);
            *blocks = static_cast<uint64_t>(std::unique(rec.pblks, rec.pblks + rec.pblk_cnt) - rec.pblks);
        } else {
            *blocks = rec.blocks;
        }
    }
    tav_free(rec.pblks);
    return ret;
}

// ---- truncate ------------------------------------------------------------------------------

TAV_COROUTINE_FN int truncate_shrink(tav_inode_info *inode, uint64_t length) {
    CoMutexGuard guard(&inode->lock);
    int ret = tav_file_read_inode(inode);
    if (ret < 0)
        return ret;
    tav_disk_inode *d = &inode->ondisk;
    if ((d->i_type & TAV_FILE_TYPE_BD) || length >= d->i_size)
        return 0;
    if (tav_file_inline(inode)) {
        if (length < TAV_INODE_INLINE_SIZE && inode->inline_buffer)
            memset(static_cast<char *>(inode->inline_buffer) + length, 0, TAV_INODE_INLINE_SIZE - length);
        return 0;
    }
    uint64_t old_end = round_up(d->i_size, kGran), new_end = round_up(length, kGran);
    if (new_end < old_end) {
        uint32_t released = 0;
        ret = tav_discard_ex(inode, new_end, old_end - new_end, &released);
        if (ret < 0)
            return ret;
        if (released)
            notify_free_blocks(inode->itable, static_cast<int64_t>(released) * static_cast<int64_t>(kBlock));
    }
    // The tail of the last page reads as zeros if the file grows again.
    if (length % kGran)
        ret = tav_zerofill(inode, TAV_ZEROFILL_DEFAULT, length, new_end - length);
    return ret;
}

// Zeros [offset, offset + length) of the inline buffer (offset < 2048).
void zero_inline(tav_inode_info *inode, uint64_t offset, uint64_t length) {
    uint64_t n = std::min(length, TAV_INODE_INLINE_SIZE - offset);
    memset(static_cast<char *>(inode->inline_buffer) + offset, 0, n);
}

} // namespace

// ---- building blocks -----------------------------------------------------------------------

TAV_COROUTINE_FN int tav_fallocate(tav_inode_info *inode, int mode, uint64_t offset, uint64_t length,
                                   uint32_t *blocks_allocated) {
    const bool slices = tav_file_compressible(inode);
    sparse_ctx ctx = {};
    ctx.mode = mode;
    ctx.ext_page_size = TAV_EXTENT_PAGE_SIZE;
    const uint64_t span8k = span_of(inode, TAV_EXTENT_PAGE_SIZE);
    uint64_t lock_off, lock_len;
    bool whole = slices && ext_cache_is_empty(&inode->extent_cache) && offset == 0 &&
                 length == inode->ondisk.i_size && length > span8k && mode != TAV_FALLOC_HARD_CACHED;
    if (whole) {
        lock_off = 0;
        lock_len = TAV_MAX_FILE_SIZE;
    } else {
        uint64_t unit = mode == TAV_FALLOC_HARD_CACHED ? span8k : slices ? kSlice : kBlock;
        lock_off = round_down(offset, unit);
        lock_len = round_up(offset + length, unit) - lock_off;
    }
    InodeRangeGuard lock(inode, lock_off, lock_len);
    // The cache may have filled while the lock was awaited.
    if (whole && ext_cache_is_empty(&inode->extent_cache)) {
        uint64_t pages = (length + span8k - 1) / span8k;
        ctx.ext_page_size =
            static_cast<size_t>(std::min<uint64_t>(pages * TAV_EXTENT_PAGE_SIZE, TAV_EXTENT_PAGE_MAXBIG));
    }
    if (mode == TAV_FALLOC_TEST) {
        uint64_t free = 0;
        int ret = free_blocks(inode, &free);
        if (ret < 0)
            return ret;
        ret = sparse_common(inode, offset, length, count_needed, &ctx);
        if (ret < 0)
            return ret;
        return free < ctx.blocks_allocated ? -ENOSPC : 0;
    }
    int ret = sparse_common(inode, offset, length, slices ? fallocate_slices : fallocate_blocks, &ctx);
    if (blocks_allocated)
        *blocks_allocated += ctx.blocks_allocated;
    return ret;
}

TAV_COROUTINE_FN int tav_discard_ex(tav_inode_info *inode, uint64_t offset, uint64_t length,
                                    uint32_t *blocks_released) {
    assert(offset % kGran == 0 && length % kGran == 0);
    int ret = read_and_flush(inode);
    if (ret < 0 || length == 0)
        return ret;
    sparse_ctx ctx = {};
    ctx.ext_page_size = TAV_EXTENT_PAGE_SIZE;
    {
        uint64_t a = round_down(offset, kBlock), b = round_up(offset + length, kBlock);
        InodeRangeGuard lock(inode, a, b - a);
        ret = sparse_common(inode, offset, length, discard_page, &ctx);
    }
    log_info("slices released: %u, blocks released: %u", ctx.slices_released, ctx.blocks_released);
    if (blocks_released)
        *blocks_released += ctx.blocks_released;
    return ret;
}

TAV_COROUTINE_FN int tav_discard(tav_inode_info *inode, uint64_t offset, uint64_t length) {
    const uint64_t isize = inode->ondisk.i_size;
    if (offset >= isize)
        return 0;
    if (offset + length > isize) {
        log_info("discard original offset (%lu), orginal size (%lu), orginal offset+size = (%lu) exceeds "
                 "filesize(%lu), new offset (%lu), new size (%lu), new offset + size = (%lu).",
                 (unsigned long)offset, (unsigned long)length, (unsigned long)(offset + length),
                 (unsigned long)isize, (unsigned long)offset, (unsigned long)(isize - offset),
                 (unsigned long)isize);
        uint64_t down = round_down(isize, kGran);
        if (isize % kGran) {
            // The partial last page is not discarded but zero-filled.
            length = down > offset ? down - offset : 0;
            int ret = tav_zerofill(inode, TAV_ZEROFILL_DEFAULT, down, isize - down);
            if (ret < 0) {
                char text[37];
                uuid_unparse(inode->ondisk.i_uuid, text);
                log_error(
                    "tav discard gfid = %s , not align 4k zerofill backward , begin offset = %lu, size = "
                    "%lu",
                    text, (unsigned long)down, (unsigned long)(isize - down));
                return ret;
            }
        } else {
            length = isize - offset;
        }
    }
    if (length == 0)
        return 0;
    return tav_discard_ex(inode, offset, length, nullptr);
}

TAV_COROUTINE_FN int tav_zerofill(tav_inode_info *inode, int mode, uint64_t offset, uint64_t length) {
    if (mode != TAV_ZEROFILL_DEFAULT && mode != TAV_ZEROFILL_HARD)
        return -EINVAL;
    int ret = read_and_flush(inode);
    if (ret < 0 || length == 0)
        return ret;
    sparse_ctx ctx = {};
    ctx.mode = mode;
    ctx.ext_page_size = TAV_EXTENT_PAGE_SIZE;
    InodeRangeGuard lock(inode, offset, length);
    return sparse_common(inode, offset, length, mode == TAV_ZEROFILL_HARD ? zerofill_hard : zerofill_default,
                         &ctx);
}

TAV_COROUTINE_FN int tav_fiemap(tav_inode_info *inode, struct fiemap *fm, uint64_t *blocks) {
    return fiemap_range(inode, fm, fm->fm_start, fm->fm_length, blocks);
}

TAV_COROUTINE_FN int tav_truncate_update_inode(tav_inode_info *inode, uint64_t length, struct stat *prestat,
                                               struct stat *poststat) {
    int ret = tav_file_read_inode(inode);
    if (ret < 0)
        return ret;
    tav_disk_inode *d = &inode->ondisk;
    if (prestat)
        tav_inode_get_stat(inode, prestat);
    tav_inode_update_amctime(inode, TAV_INODE_MTIME | TAV_INODE_CTIME, nullptr);
    bool write = false;
    if (length > d->i_size) {
        log_info("truncate size: %lu -> %lu (increase %lu)", (unsigned long)d->i_size, (unsigned long)length,
                 (unsigned long)(length - d->i_size));
        d->i_size = length;
        write = true;
    } else if (length == d->i_size) {
        log_trace("length(%ld) is equal to filesize, do nothing", (long)length);
    } else if (d->i_type & TAV_FILE_TYPE_BD) {
        log_warn("length(%ld) is smaller than filesize(%lu)", (long)length, (unsigned long)d->i_size);
    } else {
        log_info("truncate size: %lu -> %lu (decrease %lu)", (unsigned long)d->i_size, (unsigned long)length,
                 (unsigned long)(d->i_size - length));
        d->i_size = length;
        write = true;
    }
    if (poststat)
        tav_inode_get_stat(inode, poststat);
    return tav_file_store_inode(inode, write);
}

// ---- whole requests ---------------------------------------------------------------------

TAV_COROUTINE_FN int tav_file_truncate(tav_inode_info *inode, uint64_t length, struct stat *prestat,
                                       struct stat *poststat) {
    int ret = tav_file_read_inode(inode);
    if (ret == 0 && !(inode->ondisk.i_type & TAV_FILE_TYPE_BD) && length < inode->ondisk.i_size)
        ret = truncate_shrink(inode, length);
    if (ret == 0)
        ret = tav_truncate_update_inode(inode, length, prestat, poststat);
    log_result("truncate", ret);
    return ret;
}

TAV_COROUTINE_FN int tav_file_fallocate(tav_inode_info *inode, int mode, uint64_t offset, uint64_t length,
                                        struct stat *prestat, struct stat *poststat) {
    tav_file_iolog(inode, nullptr, 0, static_cast<int64_t>(offset), length, 0, TAV_FALLOC);
    uint32_t allocated = 0;
    int ret = 0;
    bool done = false;
    if (!valid_falloc_mode(mode)) {
        log_error("invalid fallocate mode: %d", mode);
        ret = -EINVAL;
        done = true;
    } else if (mode == TAV_FALLOC_TEST) {
        // A coarse check first: every block the range touches.
        uint64_t free = 0;
        ret = free_blocks(inode, &free);
        uint64_t needed = (offset + length - 1) / kBlock - offset / kBlock + 1;
        done = ret < 0 || free >= needed;
        // The exact check counts only what is not mapped yet, without
        // changing the file: an inline file maps nothing.
        if (!done && tav_file_inline(inode)) {
            ret = -ENOSPC;
            done = true;
        }
    } else {
        ret = tav_truncate_update_inode(inode, std::max<uint64_t>(inode->ondisk.i_size, offset + length),
                                        prestat, nullptr);
        done = ret < 0;
    }
    if (!done && tav_file_inline(inode)) {
        ret = tav_file_lock_inline(inode);
        if (ret == 1) {
            ret = tav_inline_transform(inode);
            co_mutex_unlock(&inode->lock);
        }
        done = ret < 0;
    }
    if (!done) {
        if (mode != TAV_FALLOC_TEST)
            ret = tav_prepare_extent_block(inode, offset, length);
        if (ret == 0)
            ret = tav_file_read_inode(inode);
        if (ret == 0) {
            if (mode == TAV_FALLOC_HARD_CACHED)
                inode->cacheing = 1;
            else
                ret = flush_if_cacheing(inode);
        }
        if (ret == 0)
            ret = tav_fallocate(inode, mode, offset, length, &allocated);
    }
    if (ret == 0 && mode != TAV_FALLOC_TEST) {
        ret = touch_inode(inode, poststat);
        if (ret == 0 && prestat && poststat) {
            blkcnt_t add = static_cast<blkcnt_t>(allocated) * TAV_SECTOR_UNITS;
            if (poststat->st_blocks >= add) {
                prestat->st_blocks = poststat->st_blocks - add;
            } else {
                prestat->st_blocks = poststat->st_blocks;
                poststat->st_blocks += add;
            }
        }
    }
    tav_file_iolog(inode, nullptr, 0, static_cast<int64_t>(offset), length, ret, TAV_FALLOC_CBK);
    log_result("fallocate", ret);
    return ret;
}

TAV_COROUTINE_FN int tav_file_discard(tav_inode_info *inode, uint64_t offset, uint64_t length,
                                      struct stat *prestat, struct stat *poststat) {
    int ret = flush_if_cacheing(inode);
    tav_file_iolog(inode, nullptr, 0, static_cast<int64_t>(offset), length, 0, TAV_DISCARD);
    if (ret == 0)
        ret = tav_file_read_inode(inode);
    if (ret == 0 && prestat)
        tav_inode_get_stat(inode, prestat);
    const uint64_t isize = inode->ondisk.i_size;
    if (ret < 0) {
    } else if (inode->ondisk.i_type & TAV_FILE_TYPE_LEGACY) {
        log_warn("discard for legacy file, do zerofill instead");
        if (offset < isize)
            ret = tav_zerofill(inode, TAV_ZEROFILL_HARD, offset, std::min(length, isize - offset));
    } else if (offset >= isize) {
        log_warn("discard offset (%lu) exceeds filesize(%lu),return 0,don't do discard in tav",
                 (unsigned long)offset, (unsigned long)isize);
    } else {
        bool extent = !tav_file_inline(inode);
        if (!extent) {
            int st = tav_file_lock_inline(inode);
            if (st == 1) {
                if (offset == 0 && inode->inline_buffer) {
                    memset(inode->inline_buffer, 0, TAV_INODE_INLINE_SIZE);
                    inode->ondisk.i_type &= ~static_cast<uint64_t>(TAV_FILE_TYPE_INLINE_DATA);
                }
                co_mutex_unlock(&inode->lock);
            }
            ret = st < 0 ? st : 0;
            extent = st == 0;
        }
        if (extent)
            ret = tav_discard(inode, offset, length);
    }
    return finish_request(inode, ret, poststat, offset, length, TAV_DISCARD_CBK, "discard");
}

TAV_COROUTINE_FN int tav_file_zerofill(tav_inode_info *inode, int mode, uint64_t offset, uint64_t length,
                                       struct stat *prestat, struct stat *poststat) {
    tav_file_iolog(inode, nullptr, 0, static_cast<int64_t>(offset), length, 0, TAV_ZEROFILL);
    int ret = 0;
    if (mode != TAV_ZEROFILL_DEFAULT && mode != TAV_ZEROFILL_HARD) {
        log_error("invalid zerofill mode: %d", mode);
        ret = -EINVAL;
    } else {
        ret = tav_file_read_inode(inode);
    }
    if (ret == 0 && prestat)
        tav_inode_get_stat(inode, prestat);
    const uint64_t isize = inode->ondisk.i_size;
    if (ret < 0) {
    } else if (offset >= isize) {
        log_warn("zerofill offset (%lu) exceeds filesize(%lu),return 0,don't do discard in tav",
                 (unsigned long)offset, (unsigned long)isize);
    } else {
        if (offset + length > isize) {
            log_info(
                "zerofill original offset (%lu), orginal size (%lu), orginal offset+size = (%lu) exceeds "
                "filesize(%lu), new offset (%lu), new size (%lu), new offset + size = (%lu).",
                (unsigned long)offset, (unsigned long)length, (unsigned long)(offset + length),
                (unsigned long)isize, (unsigned long)offset, (unsigned long)(isize - offset),
                (unsigned long)isize);
            length = isize - offset;
        }
        bool extent = !tav_file_inline(inode);
        if (!extent) {
            int st = tav_file_lock_inline(inode);
            if (st == 1) {
                if (offset < TAV_INODE_INLINE_SIZE && inode->inline_buffer)
                    zero_inline(inode, offset, length);
                co_mutex_unlock(&inode->lock);
            }
            ret = st < 0 ? st : 0;
            extent = st == 0;
        }
        if (extent)
            ret = tav_zerofill(inode, mode, offset, length);
    }
    return finish_request(inode, ret, poststat, offset, length, TAV_ZEROFILL_CBK, "zerofill");
}

TAV_COROUTINE_FN int tav_file_fiemap(tav_inode_info *inode, struct fiemap *fm, struct stat *prestat,
                                     struct stat *poststat) {
    int ret = tav_file_read_inode(inode);
    if (ret == 0 && prestat)
        tav_inode_get_stat(inode, prestat);
    const uint64_t isize = inode->ondisk.i_size;
    bool open_ended = fm->fm_length == 0;
    bool whole_file = false;
    uint64_t blocks = 0;
    if (ret == 0 && fm->fm_start < isize) {
        uint64_t length = open_ended ? isize - fm->fm_start : fm->fm_length;
        uint64_t start = round_down(fm->fm_start, kBlock);
        uint64_t end = fm->fm_start + length < fm->fm_start ? UINT64_MAX : fm->fm_start + length;
        end = round_up(std::min<uint64_t>(end, TAV_MAX_FILE_SIZE), kBlock);
        uint64_t limit = round_up(isize, kBlock);
        if (end > limit) {
            end = limit;
            log_info("fm_length adjusts to %lu", (unsigned long)(end - start));
        }
        fm->fm_mapped_extents = 0;
        whole_file = open_ended && start == 0;
        bool extent = !tav_file_inline(inode);
        if (!extent) {
            int st = tav_file_lock_inline(inode);
            if (st == 1 && start == 0 && (inode->ondisk.i_type & TAV_FILE_TYPE_INLINE_DATA)) {
                if (fm->fm_extent_count) {
                    struct fiemap_extent *fe = &fm->fm_extents[0];
                    memset(fe, 0, sizeof(*fe));
                    fe->fe_logical = 0;
                    fe->fe_physical = 0;
                    fe->fe_length = kSlice;
                    fe->fe_flags = kFeMerged | kFeLast;
                }
                fm->fm_mapped_extents = 1;
            }
            if (st == 1)
                co_mutex_unlock(&inode->lock);
            ret = st < 0 ? st : 0;
            extent = st == 0;
            whole_file = whole_file && extent; // an inline file keeps its count
        }
        if (extent)
            ret = fiemap_range(inode, fm, start, end - start, &blocks);
    }
    if (ret == 0) {
        ret = tav_file_read_inode(inode);
        if (ret == 0) {
            tav_inode_update_amctime(inode, TAV_INODE_CTIME, nullptr);
            // Only a walk over the whole file knows the file's block count.
            if (whole_file)
                inode->ondisk.i_blocks = blocks;
            tav_inode_mark_dirty(inode);
            if (poststat)
                tav_inode_get_stat(inode, poststat);
        }
    }
    log_result("fiemap", ret);
    return ret;
}
