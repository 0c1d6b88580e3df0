// The write path: inline data and the inline-to-extent transform, extent
// blocks, block and slice writers with 4 KiB padding where pages hold no
// data, batched allocation and bit updates per extent page, the end-of-file
// retry and the inode update after a write.
//
// Programming errors (broken preconditions) abort in every build type.
#include <assert.h>

#include <errno.h>
#include <string.h>

#include <algorithm>

#include "data.h"
#include "segment.h"
#include "ioengine.h"
#include "iovec.h"
#include "logger.h"
#include "memory.h"
#include "zmap.h"

using namespace tavfiles;

namespace {

constexpr int kBatchSlices = 64; // slice allocations served per pass

inline tav_inode_table *table_of(tav_inode_info *inode) {
    return inode->itable;
}
inline zmap_t *zmap_of(tav_inode_info *inode) {
    return inode->itable->host.zmap;
}

// ---- extent blocks ------------------------------------------------------------------

// ---- batch processing of an extent page ----------------------------------------------

inline extent_page_request *req_of(list_head *l) {
    return list_entry(l, extent_page_request, req.list);
}

// Moves the first `max` requests of `type` (and, when `iblock` is given, of
// that logical block) from `wait` to `out`, in order.
int take(list_head *wait, list_head *out, int type, const uint64_t *iblock, int max) {
    int n = 0;
    list_head *pos, *nx;
    list_for_each_safe(pos, nx, wait) {
        extent_page_request *r = req_of(pos);
        if (r->type != type || (iblock && r->iblock != *iblock))
            continue;
        list_move_tail(pos, out);
        if (++n == max)
            break;
    }
    return n;
}

void move_all(list_head *from, list_head *to) {
    while (!list_empty(from))
        list_move_tail(from->next, to);
}

void fail_all(list_head *reqs, int err) {
    list_head *pos;
    list_for_each(pos, reqs) req_of(pos)->ret = err;
}

// The queued block requests of one logical block, together.
TAV_COROUTINE_FN void alloc_one_block(tav_inode_info *inode, ext_page_t *page, uint64_t iblock,
                                      list_head *wait, list_head *out) {
    list_head mine;
    INIT_LIST_HEAD(&mine);
    int n = take(wait, &mine, EXTPAGE_REQ_ALLOC_BLOCKS, &iblock, INT32_MAX);
    int ret = ext_page_access(page) < 0 ? -EIO : 0;
    if (ret == 0) {
        blkmap_t *map = ext_page_blkmaps_get(page, iblock);
        if (!ext_blkmap_get_pblock(map)) {
            uint64_t goal = ext_page_find_goal(page, iblock);
            if (!goal)
                goal = TAV_DEFAULT_GOAL;
            blkno_t pblock = 0;
            uint32_t count = 1;
            // The zone map writes its page before returning: the allocation
            // is on the device before the extent page that maps it.
            ret = zmap_alloc_blocks(zmap_of(inode), goal, 0, &pblock, &count);
            if (ret < 0) {
                log_error("alloc blocks failed: %s", strerror(-ret));
            } else if (ext_blkmap_get_pblock(map)) {
                zmap_free_blocks(zmap_of(inode), pblock, 1); // mapped meanwhile
            } else {
                ext_blkmap_set_pblock(map, pblock, -1);
                log_trace("iblock: %lu, pblock: %lu", static_cast<unsigned long>(iblock),
                          static_cast<unsigned long>(pblock));
            }
        }
    }
    fail_all(&mine, ret);
    log_debug("complete %d requests, ret:%d", n, ret);
    move_all(&mine, out);
}

// Every logical block with a block request queued when the pass starts, in
// queue order, each with all its requests: the one extent-page write of the
// pass then maps them all.  Requests of other blocks queued while the pass
// allocates may wait for the next one.
TAV_COROUTINE_FN void batch_alloc_blocks(tav_inode_info *inode, ext_page_t *page, list_head *wait,
                                         list_head *out) {
    int queued = 0;
    list_head *pos;
    list_for_each(pos, wait) {
        if (req_of(pos)->type == EXTPAGE_REQ_ALLOC_BLOCKS)
            queued++;
    }
    while (queued > 0) {
        uint64_t iblock = 0;
        bool found = false;
        list_for_each(pos, wait) {
            if (req_of(pos)->type == EXTPAGE_REQ_ALLOC_BLOCKS) {
                iblock = req_of(pos)->iblock;
                found = true;
                break;
            }
        }
        if (!found)
            return;
        list_head *tail = out->prev;
        alloc_one_block(inode, page, iblock, wait, out);
        for (list_head *p = tail->next; p != out; p = p->next)
            queued--;
    }
}

// The physical block chosen for a logical block earlier in this pass.
struct Chosen {
    uint64_t iblock, pblock;
};

uint64_t chosen_for(const Chosen *c, int n, uint64_t iblock) {
    for (int i = 0; i < n; i++)
        if (c[i].iblock == iblock)
            return c[i].pblock;
    return 0;
}

// An earlier request of this pass already got this slice.
const extent_page_request *earlier_same(list_head *done, const extent_page_request *r) {
    list_head *pos;
    list_for_each(pos, done) {
        const extent_page_request *o = req_of(pos);
        if (o != r && o->ret == 0 && o->iblock == r->iblock && o->islice == r->islice)
            return o;
    }
    return nullptr;
}

// Holds at most one zone-map page for a pass.
struct PassZpage {
    zmap_page_t *page = nullptr;
    // The block's page, fetched if none is held yet: 1 held, 0 another page
    // is held (wait for a later pass), negative errno.
    TAV_COROUTINE_FN int hold(zmap_t *zmap, uint64_t pblock) {
        if (page)
            return zmap_page_has_pblock(page, pblock) ? 1 : 0;
        int ret = zmap_page_from_pblock(zmap, pblock, &page);
        if (ret < 0) {
            page = nullptr;
            return ret;
        }
        return 1;
    }
    TAV_COROUTINE_FN int put() {
        if (!page)
            return 0;
        int ret = zmap_page_put(page);
        page = nullptr;
        return ret;
    }
};

// A block for a new slice owner: at `goal` in the pass's page (fetched for
// the goal when none is held).  0 and *pblock, 1 when the request must wait
// for a later pass, or negative errno.
TAV_COROUTINE_FN int alloc_slice_block(tav_inode_info *inode, PassZpage *zp, uint64_t goal, bool first,
                                       uint64_t *pblock, iolog_type_t what) {
    if (!zp->page) {
        int ret = zmap_page_get(zmap_of(inode), goal, 1, &zp->page);
        if (ret < 0) {
            zp->page = nullptr;
            log_error("get zmap page failed: %d, goal: %lu", ret, static_cast<unsigned long>(goal));
            return ret;
        }
    } else if (!first && !zmap_page_has_pblock(zp->page, goal)) {
        return 1;
    }
    if (zmap_page_block_avail(zp->page) == 0) {
        log_trace("no space: zpage: %p", static_cast<void *>(zp->page));
        return first ? -ENOSPC : 1;
    }
    blkno_t pb = 0;
    uint32_t count = 1;
    int ret = zmap_page_alloc_blocks(zp->page, goal, 1, &pb, &count);
    if (ret < 0)
        return first ? ret : 1;
    zmap_page_slice_init(zp->page, pb);
    tav_file_iolog(inode, nullptr, 0, static_cast<int64_t>(pb), 1, 0, what);
    *pblock = pb;
    return 0;
}

// A request that cannot be served in this pass goes back to `wait` for a
// later one, or fails onto `out`; a full zone map stops the pass.
enum class Next { Serve, Skip, Stop };

Next settle(extent_page_request *r, int ret, bool later, list_head *wait, list_head *out, int *done) {
    if (later) {
        list_move_tail(&r->req.list, wait);
        return Next::Skip;
    }
    if (ret < 0) {
        r->ret = ret;
        list_move_tail(&r->req.list, out);
        (*done)++;
        return ret == -ENOSPC ? Next::Stop : Next::Skip;
    }
    return Next::Serve;
}

// The end of a slice pass: requests left in `batch` wait for the next one;
// the zone-map page goes to the device before any map names its slices;
// then the maps of the successful requests are set.
TAV_COROUTINE_FN void finish_slice_pass(ext_page_t *page, PassZpage *zp, list_head *batch, list_head *wait,
                                        list_head *ok, list_head *out, int done) {
    move_all(batch, wait);
    int ret = zp->put();
    if (ret < 0)
        log_error("put zmap page failed: %d", ret);
    if (ret == 0 && ext_page_access(page) < 0) {
        log_error("access extent page failed");
        ret = -EIO;
    }
    int failed = 0;
    list_head *pos;
    list_for_each(pos, ok) {
        extent_page_request *r = req_of(pos);
        if (ret < 0) {
            r->ret = ret;
            failed++;
            continue;
        }
        blkmap_t *map = ext_blkmaps_at(ext_page_blkmaps_get(page, r->iblock), r->islice);
        if (!ext_blkmap_get_pblock(map))
            ext_blkmap_set_pblock(map, r->pblock, r->pslice);
        r->pblock = ext_blkmap_get_pblock(map);
        r->pslice = ext_blkmap_get_pslice(map);
    }
    log_trace("complete %d requests, %d failed", done, failed);
    move_all(ok, out);
}

// Normal mode: logical slice k of a block lands in physical slice k of the
// block chosen for that logical block.
TAV_COROUTINE_FN void batch_alloc_slices_normal(tav_inode_info *inode, ext_page_t *page, list_head *batch,
                                                list_head *wait, list_head *out) {
    Chosen chosen[kBatchSlices];
    int nchosen = 0, done = 0;
    PassZpage zp;
    list_head ok;
    INIT_LIST_HEAD(&ok);
    while (!list_empty(batch)) {
        extent_page_request *r = req_of(batch->next);
        blkmap_t *first = ext_page_blkmaps_get(page, r->iblock);
        blkmap_t *map = ext_blkmaps_at(first, r->islice);
        if (ext_blkmap_get_pblock(map) || earlier_same(&ok, r)) {
            r->ret = 0;
            list_move_tail(&r->req.list, &ok);
            done++;
            continue;
        }
        uint64_t pblock = chosen_for(chosen, nchosen, r->iblock);
        if (!pblock)
            pblock = ext_blkmaps_first_pblock(first);
        int ret;
        if (!pblock) {
            uint64_t goal = r->iblock ? chosen_for(chosen, nchosen, r->iblock - 1) : 0;
            goal = goal ? goal + 1 : ext_page_find_goal(page, r->iblock);
            if (!goal)
                goal = TAV_DEFAULT_GOAL;
            ret = alloc_slice_block(inode, &zp, goal, done == 0, &pblock, TAV_ALLOC_BLOCK);
        } else {
            ret = zp.hold(zmap_of(inode), pblock);
            if (ret < 0)
                log_error("get zmap page from pblock(%lu) failed: %d", static_cast<unsigned long>(pblock),
                          ret);
            ret = ret < 0 ? ret : (ret == 1 ? 0 : 1);
        }
        Next next = settle(r, ret, ret == 1, wait, out, &done); // 1: another zone-map page
        if (next == Next::Stop)
            break;
        if (next == Next::Skip)
            continue;
        if (!chosen_for(chosen, nchosen, r->iblock))
            chosen[nchosen++] = {r->iblock, pblock};
        int pslice = r->islice;
        if (!zmap_page_slice_allocated(zp.page, pblock, pslice)) {
            zmap_page_alloc_slice(zp.page, pblock, pslice, &pslice);
            tav_file_iolog(inode, nullptr, 0, static_cast<int64_t>(pblock), static_cast<uint64_t>(pslice), 0,
                           TAV_ALLOC);
        }
        r->pblock = pblock;
        r->pslice = pslice;
        r->ret = 0;
        log_trace("iblock: %lu, islice: %d, pblock: %lu, pslice: %d, req_cnt: %d",
                  static_cast<unsigned long>(r->iblock), r->islice, static_cast<unsigned long>(pblock),
                  pslice, done + 1);
        list_move_tail(&r->req.list, &ok);
        done++;
    }
    finish_slice_pass(page, &zp, batch, wait, &ok, out, done);
}

// Compact mode: slices are packed in arrival order into the file's current
// block.
TAV_COROUTINE_FN void batch_alloc_slices_compact(tav_inode_info *inode, ext_page_t *page, list_head *batch,
                                                 list_head *wait, list_head *out) {
    tav_disk_inode *d = &inode->ondisk;
    PassZpage zp;
    int done = 0;
    list_head ok;
    INIT_LIST_HEAD(&ok);
    while (!list_empty(batch)) {
        extent_page_request *r = req_of(batch->next);
        blkmap_t *map = ext_blkmaps_at(ext_page_blkmaps_get(page, r->iblock), r->islice);
        if (ext_blkmap_get_pblock(map) || earlier_same(&ok, r)) {
            r->ret = 0;
            list_move_tail(&r->req.list, &ok);
            done++;
            continue;
        }
        int ret = 0;
        bool later = false;
        uint64_t cur;
        for (;;) {
            cur = d->i_cur_pblk;
            if (cur) {
                int held = zp.hold(zmap_of(inode), cur);
                if (held < 0) { // not a block of the map any more: start a new one
                    d->i_cur_pblk = 0;
                    continue;
                }
                if (d->i_cur_pblk != cur) {
                    log_debug("i_cur_pblk changed: %lu -> %lu", static_cast<unsigned long>(cur),
                              static_cast<unsigned long>(d->i_cur_pblk));
                    continue;
                }
                if (held == 0) { // in another zone-map page than the pass holds
                    later = true;
                    break;
                }
                // A block with no free slice is full; one with all eight free
                // is no longer the file's.
                int avail = zmap_page_slice_avail(zp.page, cur);
                if (avail > 0 && avail < TAV_SLICES_PER_BLOCK)
                    break;
            }
            uint64_t nb = 0;
            ret = alloc_slice_block(inode, &zp, cur ? cur + 1 : TAV_DEFAULT_GOAL, done == 0, &nb,
                                    TAV_ALLOC_BLOCK_COM);
            if (ret == 1) {
                later = true;
                ret = 0;
            } else if (ret == 0) {
                d->i_cur_pblk = cur = nb;
            }
            break;
        }
        Next next = settle(r, ret, later, wait, out, &done);
        if (next == Next::Stop)
            break;
        if (next == Next::Skip)
            continue;
        int pslice = -1;
        if (zmap_page_alloc_slice(zp.page, cur, 0, &pslice) < 0) {
            list_move_tail(&r->req.list, wait); // full meanwhile: next pass
            continue;
        }
        tav_file_iolog(inode, nullptr, 0, static_cast<int64_t>(cur), static_cast<uint64_t>(pslice), 0,
                       TAV_ALLOC_COM);
        r->pblock = cur;
        r->pslice = pslice;
        r->ret = 0;
        list_move_tail(&r->req.list, &ok);
        done++;
    }
    finish_slice_pass(page, &zp, batch, wait, &ok, out, done);
}

TAV_COROUTINE_FN void batch_alloc_slices(tav_inode_info *inode, ext_page_t *page, list_head *wait,
                                         list_head *out) {
    list_head batch;
    INIT_LIST_HEAD(&batch);
    if (take(wait, &batch, EXTPAGE_REQ_ALLOC_SLICES, nullptr, kBatchSlices) == 0)
        return;
    if (ext_page_access(page) < 0) {
        log_error("access extent page failed");
        fail_all(&batch, -EIO);
        move_all(&batch, out);
        return;
    }
    switch (inode->blkmap_mode) {
    case TAV_BLKMAP_MODE_NORMAL: batch_alloc_slices_normal(inode, page, &batch, wait, out); break;
    case TAV_BLKMAP_MODE_COMPACT: batch_alloc_slices_compact(inode, page, &batch, wait, out); break;
    default: assert(!"unknown slice allocation mode");
    }
}

TAV_COROUTINE_FN void batch_update_bits(ext_page_t *page, list_head *wait, list_head *out) {
    list_head mine;
    INIT_LIST_HEAD(&mine);
    if (take(wait, &mine, EXTPAGE_REQ_UPDATE_BITMAP, nullptr, INT32_MAX) == 0)
        return;
    int ret = ext_page_access(page);
    if (ret < 0)
        log_error("access extent page failed");
    list_head *pos;
    list_for_each(pos, &mine) {
        extent_page_request *r = req_of(pos);
        if (ret < 0) {
            r->ret = -EIO;
            continue;
        }
        blkmap_t *first = ext_page_blkmaps_get(page, r->iblock);
        blkmap_t *map = r->islice < 0 ? first : ext_blkmaps_at(first, r->islice);
        uint32_t sbit = static_cast<uint32_t>(r->offset / kGran);
        uint32_t ebit = static_cast<uint32_t>((static_cast<uint64_t>(r->offset) + r->size - 1) / kGran);
        log_trace("extpage_req: %p, iblock: %lu, islice: %d, offset: %lu, size: %lu, sbit: %u, ebit: %u",
                  static_cast<void *>(r), static_cast<unsigned long>(r->iblock), r->islice,
                  static_cast<unsigned long>(r->offset), static_cast<unsigned long>(r->size), sbit, ebit);
        if (ext_blkmap_get_pblock(map)) {
            ext_blkmap_set_bits(map, sbit, ebit - sbit + 1);
            r->ret = 0;
        } else {
            r->ret = -EIO; // unmapped under a writer: cannot happen under the range lock
        }
    }
    move_all(&mine, out);
}

// Queues one request on the page's batch runner and waits for its result.
TAV_COROUTINE_FN int run_request(tav_inode_info *inode, ext_page_t *page, extent_page_request *r) {
    r->ret = -1;
    ext_page_batch_run(page, &r->req, extent_page_batch_process, inode);
    return r->ret;
}

// ---- segment writers ----------------------------------------------------------------

// Writes [off, off + size) of segment `seg` (inside it) from the vector.
TAV_COROUTINE_FN ssize_t write_segment(tav_inode_info *inode, uint64_t seg, const struct iovec *iov,
                                       int iovcnt, uint64_t off, uint64_t size, void *) {
    const Segment sg = segment_of(inode, seg);
    const bool slices = sg.islice >= 0;
    assert(off + size <= sg.size);
    if (slices)
        log_trace("enter islice:%lu(iblock: %lu, islice: %u), offset: %lu, size: %lu",
                  static_cast<unsigned long>(seg), static_cast<unsigned long>(sg.iblock), sg.islice,
                  static_cast<unsigned long>(off), static_cast<unsigned long>(size));
    else
        log_trace("enter iblock: %lu, offset: %lu, size: %lu", static_cast<unsigned long>(sg.iblock),
                  static_cast<unsigned long>(off), static_cast<unsigned long>(size));
    ext_page_t *page = nullptr;
    blkmap_t *map = tav_segment_map(inode, seg, &page);
    if (!map) {
        log_error("blkmap not found for iblock: %lu", static_cast<unsigned long>(sg.iblock));
        return -EIO;
    }
    ssize_t result;
    if (!ext_blkmap_get_pblock(map)) {
        extent_page_request r = {};
        r.type = slices ? EXTPAGE_REQ_ALLOC_SLICES : EXTPAGE_REQ_ALLOC_BLOCKS;
        r.iblock = sg.iblock;
        r.islice = sg.islice;
        int ret = run_request(inode, page, &r);
        if (ret < 0) {
            log_error("block allocation failed: %s, iblock: %lu", strerror(-ret),
                      static_cast<unsigned long>(sg.iblock));
            ext_page_put(page);
            return ret;
        }
        assert(ext_blkmap_get_pblock(map));
    }
    if (slices)
        assert(ext_blkmap_get_pslice(map) >= 0 && ext_blkmap_get_pslice(map) < TAV_SLICES_PER_BLOCK);

    // Padding only into pages that hold no data yet: around a written page
    // the device bytes are the file's, and the engine merges a partial sector.
    const uint64_t end = off + size;
    const uint32_t fbit = static_cast<uint32_t>(off / kGran), lbit = static_cast<uint32_t>((end - 1) / kGran);

    uint64_t head = (off % kGran && !ext_blkmap_is_bits_set(map, fbit, 1)) ? off % kGran : 0;
    uint64_t tail = (end % kGran && !ext_blkmap_is_bits_set(map, lbit, 1)) ? kGran - end % kGran : 0;
    log_trace("align_flag: %d", (head ? 1 : 0) | (tail ? 2 : 0));
    IoAlign al;
    int ret = al.build(iov, iovcnt, off, head, tail);
    if (ret < 0) {
        ext_page_put(page);
        return ret;
    }
    const uint64_t total = al.total(size);
    log_trace("actual write offset: %lu, size: %lu", static_cast<unsigned long>(al.offset),
              static_cast<unsigned long>(total));
    const uint64_t pba = segment_pba(map) + al.offset;
    ssize_t written =
        ioengine_co_pwritev(ioengine_get_default(), al.iovec, al.iovcnt, static_cast<off_t>(pba));
    if (written < 0) {
        if (slices)
            log_error("write data failed: %s, pba: %lu, len: %lu", strerror(static_cast<int>(-written)),
                      static_cast<unsigned long>(pba), static_cast<unsigned long>(total));
        else
            log_error("write data failed: %s", strerror(static_cast<int>(-written)));
        ext_page_put(page);
        return written;
    }

    // The data is on the device: now its pages may be marked written.  A
    // short write marks only the pages it filled.
    uint64_t wend = al.offset + static_cast<uint64_t>(written);
    if (wend % kGran && !ext_blkmap_is_bits_set(map, static_cast<uint32_t>((wend - 1) / kGran), 1))
        wend = round_down(wend, kGran);
    if (wend > al.offset) {
        uint32_t sbit = static_cast<uint32_t>(al.offset / kGran),
                 ebit = static_cast<uint32_t>((wend - 1) / kGran);
        if (!ext_blkmap_is_bits_set(map, sbit, ebit - sbit + 1)) {
            extent_page_request r = {};
            r.type = EXTPAGE_REQ_UPDATE_BITMAP;
            r.iblock = sg.iblock;
            r.islice = sg.islice;
            r.offset = static_cast<int64_t>(al.offset);
            r.size = wend - al.offset;
            if (run_request(inode, page, &r) < 0) {
                log_error("block bitmap update failed, iblock: %lu, offset: %lu, size: %ld",
                          static_cast<unsigned long>(sg.iblock), static_cast<unsigned long>(al.offset),
                          static_cast<long>(r.size));
                ext_page_put(page);
                return -EIO;
            }
        }
    }
    result = static_cast<uint64_t>(written) > head
                 ? static_cast<ssize_t>(std::min<uint64_t>(size, static_cast<uint64_t>(written) - head))
                 : 0;
    ext_page_put(page);
    if (slices)
        log_trace("quit islice:%lu(iblock: %lu, islice: %u), offset: %lu, size: %lu, rsize: %ld",
                  static_cast<unsigned long>(seg), static_cast<unsigned long>(sg.iblock), sg.islice,
                  static_cast<unsigned long>(off), static_cast<unsigned long>(size),
                  static_cast<long>(result));
    else
        log_trace("quit iblock: %lu, offset: %lu, size: %lu, rsize: %ld",
                  static_cast<unsigned long>(sg.iblock), static_cast<unsigned long>(off),
                  static_cast<unsigned long>(size), static_cast<long>(result));
    return result;
}

// A failed write that ends unaligned exactly at end of file is tried once
// more as a 4 KiB-padded write.
TAV_COROUTINE_FN ssize_t retry_write_data(tav_inode_info *inode, const struct iovec *iov, int iovcnt,
                                          uint64_t offset, uint64_t size) {
    uint64_t end = offset + size;
    if (end != inode->ondisk.i_size || offset % kGran || end % kGran == 0)
        return -EIO;
    uint64_t aligned = round_up(size, kGran);
    void *buf = tav_iobuf_get(aligned, TAV_MEM_IO_ALIGNED_BUFFER);
    if (!buf) {
        log_error("application for alignment buf failed. aligned_size: %ld", static_cast<long>(aligned));
        return -ENOMEM;
    }
    memset(static_cast<char *>(buf) + size, 0, aligned - size);
    iov_to_buf(iov, static_cast<unsigned>(iovcnt), 0, buf, size);
    log_warn("Failed to write non aligned block at the end of the file. offset: %ld, aligned_size: %ld, "
             "size: %ld",
             static_cast<long>(offset), static_cast<long>(aligned), static_cast<long>(size));
    struct iovec v = {buf, aligned};
    ssize_t r = tav_rw_data(inode, &v, 1, offset, aligned, write_segment, nullptr);
    tav_iobuf_put(buf);
    return r == static_cast<ssize_t>(aligned) ? static_cast<ssize_t>(size) : -EIO;
}

// ---- inode update after a write ----------------------------------------------------------

TAV_COROUTINE_FN int update_inode_after_write(tav_inode_info *inode, uint64_t offset, uint64_t rsize,
                                              tav_data_req *req, uint32_t blocks) {
    if (tav_file_read_inode(inode) < 0)
        return -EIO;
    tav_disk_inode *d = &inode->ondisk;
    if (req->prestat) {
        tav_inode_get_stat(inode, req->prestat);
        blkcnt_t less = static_cast<blkcnt_t>(blocks) * TAV_SECTOR_UNITS;
        req->prestat->st_blocks = req->prestat->st_blocks > less ? req->prestat->st_blocks - less : 0;
    }
    tav_inode_update_amctime(inode, TAV_INODE_MTIME | TAV_INODE_CTIME, nullptr);
    bool grew = offset + rsize > d->i_size;
    if (grew)
        d->i_size = offset + rsize;
    if (req->poststat)
        tav_inode_get_stat(inode, req->poststat);
    return tav_file_store_inode(inode, grew || req->force_flush);
}

TAV_COROUTINE_FN ssize_t do_write_data(tav_inode_info *inode, const struct iovec *iov, int iovcnt,
                                       uint64_t offset, uint64_t size) {
    int ret = tav_prepare_extent_block(inode, offset, size);
    if (ret < 0)
        return ret;
    if (tav_file_read_inode(inode) < 0)
        return -EIO;
    if (inode->cacheing && flush_zmap_and_cache(table_of(inode), inode) < 0) {
        log_error("inode flush cache failed, return -EIO");
        return -EIO;
    }
    return tav_write_data(inode, iov, iovcnt, offset);
}

} // namespace

// ---- shared pieces -----------------------------------------------------------------------

TAV_COROUTINE_FN int tav_file_read_inode(tav_inode_info *inode) {
    if (tav_inode_read(inode) < 0) {
        log_error("inode access failed, return -EIO");
        return -EIO;
    }
    return 0;
}

TAV_COROUTINE_FN int tav_file_store_inode(tav_inode_info *inode, bool now) {
    if (!now) {
        tav_inode_mark_dirty(inode);
        return 0;
    }
    if (tav_inode_write(inode) < 0) {
        log_error("inode write failed, return -EIO");
        return -EIO;
    }
    return 0;
}

TAV_COROUTINE_FN int tav_file_lock_inline(tav_inode_info *inode) {
    co_mutex_lock(&inode->lock);
    int ret = tav_file_read_inode(inode);
    if (ret == 0 && tav_file_inline(inode))
        return 1;
    co_mutex_unlock(&inode->lock);
    return ret;
}

void tav_file_iolog(tav_inode_info *inode, const struct iovec *iov, int iovcnt, int64_t offset, uint64_t size,
                    int64_t result, iolog_type_t op) {
    const tav_itable_host &h = inode->itable->host;
    if (h.iolog)
        h.iolog(h.fs, inode->ondisk.i_uuid, iov, iovcnt, offset, size, result, static_cast<int>(op));
}

uint64_t tav_file_extent_span(tav_inode_info *inode) {
    return static_cast<uint64_t>(
               ext_iblocks_per_page(tav_inode_blkmap_type(&inode->ondisk), TAV_EXTENT_PAGE_SIZE)) *
           TAV_BLOCK_SIZE;
}

bool tav_pblock_in_data_area(const tav_inode_info *inode, uint64_t pblock) {
    const tav_sb_ondisk &sb = inode->itable->host.sb->tav_disk_sb;
    if (pblock >= sb.s_first_data_block && pblock < sb.s_blocks_count)
        return true;
    log_error("ino:%lu block map names block %lu outside the data area [%lu-%lu]",
              static_cast<unsigned long>(inode->ondisk.i_no), static_cast<unsigned long>(pblock),
              static_cast<unsigned long>(sb.s_first_data_block),
              static_cast<unsigned long>(sb.s_blocks_count - 1));
    return false;
}

TAV_COROUTINE_FN blkmap_t *tav_segment_map(tav_inode_info *inode, uint64_t seg, ext_page_t **page) {
    const Segment sg = segment_of(inode, seg);
    blkmap_t *map = sg.islice < 0 ? ext_blkmaps_get(&inode->extent_cache, sg.iblock, page)
                                  : ext_blkmap_get(&inode->extent_cache, sg.iblock, sg.islice, page);
    if (map && ext_blkmap_get_pblock(map) && !tav_pblock_in_data_area(inode, ext_blkmap_get_pblock(map))) {
        ext_page_put(*page);
        *page = nullptr;
        return nullptr;
    }
    return map;
}

TAV_COROUTINE_FN ssize_t tav_rw_data(tav_inode_info *inode, const struct iovec *iov, int iovcnt,
                                     uint64_t offset, uint64_t size, tav_segment_fn fn, void *ctx) {
    assert(size > 0);
    const uint64_t segsize = tav_file_segment(inode);
    const uint64_t first = offset / segsize, last = (offset + size - 1) / segsize;
    if (first == last && size == iov_size(iov, static_cast<unsigned>(iovcnt)))
        return fn(inode, first, iov, iovcnt, offset % segsize, size, ctx);
    // The part of the vector inside each segment, built in place.
    struct iovec local[kInlineVec];
    struct iovec *sub = local;
    if (iovcnt > kInlineVec) {
        sub = static_cast<struct iovec *>(
            tav_malloc(sizeof(struct iovec) * static_cast<size_t>(iovcnt), TAV_MEM_IOVEC));
        if (!sub)
            return -ENOMEM;
    }
    ssize_t total = 0, last_ret = 0;
    uint64_t done = 0;
    for (uint64_t s = first; s <= last; s++) {
        uint64_t soff = s == first ? offset % segsize : 0;
        uint64_t len = std::min(segsize - soff, size - done);
        unsigned n =
            iov_copy(sub, static_cast<unsigned>(iovcnt), iov, static_cast<unsigned>(iovcnt), done, len);
        last_ret = fn(inode, s, sub, static_cast<int>(n), soff, len, ctx);
        if (last_ret <= 0)
            break;
        total += last_ret;
        done += static_cast<uint64_t>(last_ret);
        if (static_cast<uint64_t>(last_ret) < len)
            break;
    }
    if (sub != local)
        tav_free(sub);
    return total > 0 ? total : last_ret;
}

TAV_COROUTINE_FN int extent_page_batch_process(batch_t *runner, list_head *wait, list_head *out, void *data) {
    tav_inode_info *inode = static_cast<tav_inode_info *>(data);
    ext_page_t *page = ext_page_from_batch(runner);
    // Requests of the other coroutines resumed by the same completion pass
    // (their data writes done at once) join this pass: one page write for
    // all of them instead of one for the first and one for the rest.
    ioengine_co_pass_yield();
    list_head pass;
    INIT_LIST_HEAD(&pass);
    if (tav_file_compressible(inode))
        batch_alloc_slices(inode, page, wait, &pass);
    else
        batch_alloc_blocks(inode, page, wait, &pass);
    batch_update_bits(page, wait, &pass);
    int n = 0;
    bool any_ok = false;
    list_head *pos;
    list_for_each(pos, &pass) {
        n++;
        any_ok |= req_of(pos)->ret == 0;
    }
    // One extent-page write for everything this pass changed.
    if (any_ok && ext_page_write(page) < 0) {
        log_error("write extent page failed");
        fail_all(&pass, -EIO);
    }
    move_all(&pass, out);
    return n;
}

// ---- extent blocks ------------------------------------------------------------------

TAV_COROUTINE_FN int tav_inode_alloc_extent_block(tav_inode_info *inode, uint32_t idx) {
    assert(idx < TAV_EXTENT_BLOCKS_PER_FILE);
    if (tav_file_read_inode(inode) < 0)
        return -EIO;
    if (inode->ondisk.i_extents[idx])
        return 0;
    zmap_t *zmap = zmap_of(inode);
    blkno_t pblock = 0;
    uint32_t count = 1;
    int ret = zmap_alloc_blocks(zmap, 0, 0, &pblock, &count);
    if (ret < 0) {
        log_error("allocate extent pblock for i_extents[%d] failed: %d(%s)", static_cast<int>(idx), ret,
                  strerror(-ret));
        return ret;
    }
    ret = ext_block_format(pblock, tav_inode_blkmap_type(&inode->ondisk));
    if (ret < 0) {
        // Nothing names the block yet: it goes straight back.
        log_error("format extent pblock[%lu] failed: %d(%s)", static_cast<unsigned long>(pblock), ret,
                  strerror(-ret));
        zmap_free_blocks(zmap, pblock, 1);
        return ret;
    }
    // Formatted on the device before the inode names it.
    if (tav_file_read_inode(inode) < 0) {
        zmap_free_blocks(zmap, pblock, 1);
        return -EIO;
    }
    inode->ondisk.i_extents[idx] = pblock;
    if (tav_inode_write(inode) < 0) {
        // The failed write may still have reached the device, so the block
        // stays named (in memory too, for a later inode write to record);
        // until then it is lost space, never a double use.
        tav_inode_mark_dirty(inode);
        log_error("inode write failed, return -EIO");
        return -EIO;
    }
    notify_alloc_extent(table_of(inode), static_cast<int64_t>(TAV_BLOCK_SIZE));
    log_info("allocate pblock[%lu] for i_extents[%d]", static_cast<unsigned long>(pblock),
             static_cast<int>(idx));
    return 0;
}

// ---- entry points --------------------------------------------------------------------------

TAV_COROUTINE_FN int tav_prepare_extent_block(tav_inode_info *inode, uint64_t offset, uint64_t size) {
    assert(size > 0);
    uint64_t span = tav_file_extent_span(inode) * TAV_EXTENT_PAGES_PER_BLOCK;
    uint64_t last = (offset + size - 1) / span, first = offset / span;
    if (last >= TAV_EXTENT_BLOCKS_PER_FILE) {
        log_error("offset(%lu) + size(%lu) = %lu is too large", static_cast<unsigned long>(offset),
                  static_cast<unsigned long>(size), static_cast<unsigned long>(offset + size));
        return -EFBIG;
    }
    if (tav_file_read_inode(inode) < 0)
        return -EIO;
    bool all = true;
    for (uint64_t i = first; i <= last; i++)
        all &= inode->ondisk.i_extents[i] != 0;
    if (all)
        return 0;
    int ret = 0;
    {
        CoMutexGuard guard(&inode->lock);
        for (uint64_t i = first; i <= last && ret == 0; i++)
            ret = tav_inode_alloc_extent_block(inode, static_cast<uint32_t>(i));
    }
    log_trace("allocate pblock for i_extents[%d] to i_extents[%d], ret=%d(%s)", static_cast<int>(first),
              static_cast<int>(last), ret, strerror(-ret));
    return ret;
}

TAV_COROUTINE_FN ssize_t tav_write_data(tav_inode_info *inode, const struct iovec *iov, int iovcnt,
                                        uint64_t offset) {
    uint64_t size = iov_size(iov, static_cast<unsigned>(iovcnt));
    InodeRangeGuard lock(inode, offset, size);
    ssize_t r = tav_rw_data(inode, iov, iovcnt, offset, size, write_segment, nullptr);
    if (r == -EIO)
        r = retry_write_data(inode, iov, iovcnt, offset, size);
    return r;
}

ssize_t tav_write_inline_data(tav_inode_info *inode, const struct iovec *iov, int iovcnt, uint64_t offset) {
    uint64_t size = iov_size(iov, static_cast<unsigned>(iovcnt));
    assert(tav_file_inline(inode) && inode->inline_buffer);
    assert(offset + size <= TAV_INODE_INLINE_SIZE);
    size_t n = iov_to_buf(iov, static_cast<unsigned>(iovcnt), 0,
                          static_cast<char *>(inode->inline_buffer) + offset, size);
    inode->ondisk.i_type |= TAV_FILE_TYPE_INLINE_DATA;
    return static_cast<ssize_t>(n);
}

TAV_COROUTINE_FN int tav_inline_transform(tav_inode_info *inode) {
    assert(tav_file_inline(inode) && inode->inline_buffer);
    log_trace("inline transform start");
    if (tav_file_read_inode(inode) < 0)
        return -EIO;
    int ret = tav_inode_alloc_extent_block(inode, 0);
    if (ret < 0)
        return ret;
    ext_cache_cleanup(&inode->extent_cache);
    if (inode->ondisk.i_type & TAV_FILE_TYPE_INLINE_DATA) {
        struct iovec v = {inode->inline_buffer, TAV_INODE_INLINE_SIZE};
        ssize_t r = tav_write_data(inode, &v, 1, 0);
        if (r != TAV_INODE_INLINE_SIZE) {
            ext_cache_cleanup(&inode->extent_cache);
            log_error("write inline data failed, rsize: %ld", static_cast<long>(r));
            return -EIO;
        }
    }
    // The data is in its extent block: only now may the inode stop being
    // INLINE.
    if (tav_file_read_inode(inode) < 0)
        return -EIO;
    uint64_t old_type = inode->ondisk.i_type;
    inode->ondisk.i_type &= ~static_cast<uint64_t>(TAV_FILE_TYPE_INLINE | TAV_FILE_TYPE_INLINE_DATA);
    if (tav_inode_write(inode) < 0) {
        inode->ondisk.i_type = old_type; // still INLINE on the device
        ext_cache_cleanup(&inode->extent_cache);
        log_error("inode write failed, return -EIO");
        return -EIO;
    }
    tav_free(inode->inline_buffer);
    inode->inline_buffer = nullptr;
    log_info("inline transform success, i_type:0x%x", static_cast<unsigned>(inode->ondisk.i_type));
    return 0;
}

TAV_COROUTINE_FN int64_t tav_file_pwritev(tav_inode_info *inode, tav_data_req *req) {
    const uint64_t offset = req->offset, size = req->size;
    const uint32_t charged0 = req->charged ? *req->charged : 0;
    log_trace("<==> pwritev begin. offset: %lu, size: %lu", static_cast<unsigned long>(offset),
              static_cast<unsigned long>(size));
    tav_file_iolog(inode, req->iov, req->iovcnt, static_cast<int64_t>(offset), size, 0, TAV_WRITE);
    req->transformed = 0;
    int64_t ret = 0;
    bool extent = !tav_file_inline(inode);
    if (!extent) {
        int st = tav_file_lock_inline(inode);
        if (st < 0) {
            ret = st;
        } else if (st == 0) {
            extent = true; // transformed by another request meanwhile
        } else if (offset + size <= TAV_INODE_INLINE_SIZE) {
            co_mutex_unlock(&inode->lock);
            ret = tav_write_inline_data(inode, req->iov, req->iovcnt, offset);
        } else {
            int r = tav_inline_transform(inode);
            co_mutex_unlock(&inode->lock);
            if (r < 0) {
                ret = r;
            } else {
                req->transformed = 1;
                extent = true;
            }
        }
    }
    if (extent)
        ret = do_write_data(inode, req->iov, req->iovcnt, offset, size);
    if (ret > 0) {
        uint32_t blocks = req->charged ? *req->charged - charged0 : 0;
        int r = update_inode_after_write(inode, offset, static_cast<uint64_t>(ret), req, blocks);
        if (r < 0) {
            log_error("update inode failed: %d(%s)", r, strerror(-r));
            ret = r;
        }
    }
    uint32_t err = ret < 0 ? static_cast<uint32_t>(-ret) : 0;
    if (ret < 0)
        log_error("pwritev end. offset: %lu, size: %lu, op_ret: %ld, op_errno: %u",
                  static_cast<unsigned long>(offset), static_cast<unsigned long>(size), -1L, err);
    else
        log_trace("pwritev end. offset: %lu, size: %lu, op_ret: %ld, op_errno: %u",
                  static_cast<unsigned long>(offset), static_cast<unsigned long>(size),
                  static_cast<long>(ret), err);
    tav_file_iolog(inode, req->iov, req->iovcnt, static_cast<int64_t>(offset), size, ret, TAV_WRITE_CBK);
    if (req->transformed && ret >= 0)
        notify_inline_transform(table_of(inode), ret);
    return ret;
}
