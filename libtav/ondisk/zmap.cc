// Zone map: load, page choice, whole-block allocation and release, bad-track
// marking, flush and format.  Page-level work is in zmap_page.cc.
#include "zmap.h"

#include <errno.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>

#include "ioengine.h"
#include "logger.h"
#include "memory.h"
#include "zmap_internal.h"

namespace {

const char *errstr(int err) {
    return strerror(err < 0 ? -err : err);
}

bool version_valid(uint64_t v) {
    return v == 1 || v == 2 || v == 0xFFFFFFFFFFFFFFFFULL;
}

/* Version-1 maps are only read (by the upgrade); nothing may allocate from
 * or release into them, since their bits do not mean what the allocator
 * writes. */
int check_writable(const zmap_t *zmap) {
    if (zmap->version == 1) {
        log_error("zmap: a version 1 map is read only");
        return -EROFS;
    }
    return 0;
}

/* Writes a page, keeping memory authoritative: on failure the page stays
 * dirty and up to date, so nothing re-reads its older disk image over the
 * newer in-memory map. */
TAV_COROUTINE_FN int page_write(zmap_page_t *page) {
    int ret = mbuf_get(&page->mbuf);
    if (ret < 0)
        return ret;
    page->dirty = 0;
    ret = mbuf_set(&page->mbuf);
    if (ret < 0) {
        page->dirty = 1;
        if (page->mbuf.state == MBUF_STATE_STALE)
            page->mbuf.state = MBUF_STATE_UPTODAY;
    }
    return ret;
}

/* Where memory and disk would disagree and nobody can be told: stop now. */
TAV_COROUTINE_FN void page_write_or_die(zmap_page_t *page) {
    int ret = page_write(page);
    if (ret < 0) {
        log_error("write zmap page %u failed: %d(%s)", page->index, ret, errstr(ret));
        _exit(ret);
    }
}

TAV_COROUTINE_FN int page_load(zmap_page_t *page) {
    int ret = mbuf_get(&page->mbuf);
    if (ret < 0)
        log_error("can't access zmap page %u: %d(%s)", page->index, ret, errstr(ret));
    return ret;
}

struct limits {
    blkno_t min, max;
};

TAV_COROUTINE_FN int get_limits(zmap_t *zmap, limits *l) {
    return zmap_get_blkno_limit(zmap, &l->min, &l->max);
}

bool range_inside(const limits &l, blkno_t start, uint64_t count) {
    return count > 0 && start >= l.min && start <= l.max && count - 1 <= l.max - start;
}

/* Page choice over in-memory counters; see zmap_page_get. */
zmap_page_t *choose_page(zmap_t *zmap, const tav_zmap_algo_args *args, uint32_t count) {
    if (args->goal_legal) {
        zmap_page_t *p = &zmap->pages[args->pgoal];
        zmap_page_set_range(p, args);
        if (zmap_page_has_free(p))
            return p;
    }
    if (count > 0) {
        const uint32_t from = args->goal_legal ? args->pgoal : 0;
        auto enough = [&](uint32_t i) {
            zmap_page_t *p = &zmap->pages[i];
            zmap_page_set_range(p, args);
            return zmap_page_block_avail(p) >= count && zmap_page_has_free(p);
        };
        for (uint32_t i = from; i <= args->pmax; i++)
            if (enough(i))
                return &zmap->pages[i];
        for (uint32_t i = 0; i < from; i++)
            if (enough(i))
                return &zmap->pages[i];
    }
    for (uint32_t i = 0; i <= args->pmax; i++) {
        zmap_page_t *p = &zmap->pages[i];
        zmap_page_set_range(p, args);
        if (zmap_page_has_free(p))
            return p;
    }
    return nullptr;
}

/* Marks the free blocks of [off, off + n) of a page in use, counting only
 * the blocks that change (a slice block becoming whole adds its free
 * slices).  Calls the allocation hook per run of newly used blocks. */
uint32_t mark_used(zmap_page_t *page, uint32_t off, uint32_t n) {
    zmap_t *zmap = page->zmap;
    blkno_t base = zmap_page_base(page);
    uint32_t newly = 0, run = 0, run_start = 0;
    int64_t slices = 0;
    auto flush_run = [&]() {
        if (run && zmap->fops->blocks_alloc_hook)
            zmap->fops->blocks_alloc_hook(zmap, base + run_start, run);
        run = 0;
    };
    for (uint32_t i = off; i < off + n; i++) {
        uint8_t v = page->bitmaps[i];
        if (v == 0) {
            if (run == 0)
                run_start = i;
            run++;
            newly++;
        } else {
            flush_run();
        }
        slices += TAV_SLICES_PER_BLOCK - __builtin_popcount(v);
        page->bitmaps[i] = TAV_ZMAP_BLOCK_USED;
    }
    flush_run();
    zmap_page_account(page, newly, slices);
    page->dirty = 1;
    return newly;
}

} // namespace

/* ---- life cycle ----------------------------------------------------------- */

void zmap_init(zmap_t *zmap, const tav_zmap_fops *fops, blkno_t pblock) {
    assert(fops != nullptr && fops->get_blkno_limit != nullptr);
    memset(zmap, 0, sizeof(*zmap));
    zmap->fops = fops;
    zmap->pblock = pblock;
    zmap->window = TAV_ZMAP_DEFAULT_WINDOW;
    zmap->version = 2;
}

void zmap_destroy(zmap_t *zmap) {
    if (zmap->pages) {
        for (uint32_t i = 0; i < zmap->page_count; i++)
            mbuf_fini(&zmap->pages[i].mbuf);
        tav_free(zmap->pages);
    }
    zmap->pages = nullptr;
    zmap->page_count = 0;
    zmap->alloc_blocks = 0;
}

TAV_COROUTINE_FN int zmap_load(zmap_t *zmap, uint64_t count) {
    assert(zmap->pages == nullptr);
    // Page numbers are 32-bit: a count beyond them is refused, never cut.
    if (count == 0 || count > UINT32_MAX) {
        log_error("zmap: cannot load %lu pages", (unsigned long)count);
        return -EINVAL;
    }
    const uint32_t page_cnt = static_cast<uint32_t>(count);
    uint64_t version = 2;
    if (zmap->fops->get_sb_version) {
        int ret = zmap->fops->get_sb_version(zmap, &version);
        if (ret < 0)
            return ret;
    }
    if (!version_valid(version)) {
        log_error("zmap: unknown map version %lu", version);
        abort();
    }
    zmap->version = version;

    uint8_t *buf = static_cast<uint8_t *>(tav_iobuf_get(TAV_BLOCK_SIZE, TAV_MEM_ZMAP_PAGE));
    zmap_page_t *pages =
        static_cast<zmap_page_t *>(tav_calloc(page_cnt, sizeof(zmap_page_t), TAV_MEM_ZMAP_PAGE));
    if (buf == nullptr || pages == nullptr) {
        log_error("out of memory, page_cnt: %u (%lu bytes)", page_cnt,
                  (unsigned long)(page_cnt * sizeof(zmap_page_t) + TAV_BLOCK_SIZE));
        if (buf)
            tav_iobuf_put(buf);
        tav_free(pages);
        return -ENOMEM;
    }
    zmap->pages = pages;
    zmap->page_count = page_cnt;
    zmap->alloc_blocks = 0;

    ioengine *engine = ioengine_get_default();
    int ret = 0;
    for (uint32_t first = 0; first < page_cnt && ret == 0; first += TAV_ZMAP_PAGE_PER_BLOCK) {
        uint32_t n = std::min<uint32_t>(TAV_ZMAP_PAGE_PER_BLOCK, page_cnt - first);
        off_t off = static_cast<off_t>((zmap->pblock + first / TAV_ZMAP_PAGE_PER_BLOCK) << TAV_BLOCK_SHIFT);
        size_t size = static_cast<size_t>(n) * TAV_ZMAP_PAGE_SIZE;
        ret = ioengine_co_preadn(engine, buf, size, off);
        if (ret < 0) {
            if (n == TAV_ZMAP_PAGE_PER_BLOCK)
                log_error("co_preadn offset(%lu) failed: %d(%s)", static_cast<unsigned long>(off), ret,
                          errstr(ret));
            else
                log_error("co_preadn offset(%lu) size(%lu) failed: %d(%s)", static_cast<unsigned long>(off),
                          size, ret, errstr(ret));
            break;
        }
        for (uint32_t i = 0; i < n; i++) {
            zmap_page_t *page = &pages[first + i];
            page->index = first + i;
            page->phy_addr = static_cast<off_t>((zmap->pblock * TAV_ZMAP_PAGE_PER_BLOCK + page->index) *
                                                TAV_ZMAP_PAGE_SIZE);
            page->zmap = zmap;
            ret = mbuf_init(&page->mbuf, buf + static_cast<size_t>(i) * TAV_ZMAP_PAGE_SIZE,
                            TAV_ZMAP_PAGE_SIZE, &zmap_page_mbuf_fops);
            if (ret < 0) {
                log_error("zmap page init failed: %d(%s), index: %u", ret, errstr(ret), page->index);
                break;
            }
        }
    }
    tav_iobuf_put(buf);
    if (ret < 0)
        zmap_destroy(zmap);
    return ret;
}

void zmap_set_window(zmap_t *zmap, uint32_t window) {
    if (window < 8 || window > TAV_ZMAP_PAGE_BITMAP_SIZE)
        zmap->window = 8;
    else
        zmap->window = window & ~7u;
}

uint64_t zmap_blocks_allocated(const zmap_t *zmap) {
    return zmap->alloc_blocks;
}

TAV_COROUTINE_FN int zmap_blocks_format(blkno_t pblock, uint64_t count) {
    uint8_t *image = static_cast<uint8_t *>(tav_iobuf_get(TAV_ZMAP_PAGE_SIZE, TAV_MEM_ZMAP_PAGE));
    if (image == nullptr) {
        log_error("tav_iobuf_get: %s", strerror(ENOMEM));
        return -ENOMEM;
    }
    static const uint8_t empty[TAV_ZMAP_PAGE_BITMAP_SIZE] = {};
    zmap_page_encode(empty, image);

    ioengine *engine = ioengine_get_default();
    struct iovec iov[TAV_ZMAP_PAGE_PER_BLOCK];
    int ret = 0;
    for (uint64_t b = 0; b < count; b++) {
        for (auto &v : iov)
            v = {image, TAV_ZMAP_PAGE_SIZE};
        off_t off = static_cast<off_t>((pblock + b) << TAV_BLOCK_SHIFT);
        ret = ioengine_co_pwritevn(engine, iov, TAV_ZMAP_PAGE_PER_BLOCK, off);
        if (ret < 0) {
            log_error("co_pwritevn offset(%lu) failed: %d(%s)", static_cast<unsigned long>(off), ret,
                      errstr(ret));
            break;
        }
    }
    tav_iobuf_put(image);
    return ret;
}

TAV_COROUTINE_FN int zmap_get_blkno_limit(zmap_t *zmap, blkno_t *min, blkno_t *max) {
    int ret = zmap->fops->get_blkno_limit(zmap, min, max);
    if (ret < 0)
        return ret;
    blkno_t top = static_cast<blkno_t>(zmap->page_count) * TAV_ZMAP_PAGE_BITMAP_SIZE;
    if (top == 0) {
        log_error("zmap: not loaded");
        return -EINVAL;
    }
    *max = std::min(*max, top - 1);
    if (*min == 0 || *min > *max) {
        log_error("zmap: empty block range [%lu-%lu]", *min, *max);
        return -EINVAL;
    }
    return 0;
}

/* ---- flush ------------------------------------------------------------------ */

TAV_COROUTINE_FN int zmap_page_flush(zmap_t *zmap, uint32_t idx) {
    assert(idx < zmap->page_count);
    zmap_page_t *page = &zmap->pages[idx];
    if (mbuf_get(&page->mbuf) < 0) {
        log_error("zmap page %u get failed", idx);
        return -1;
    }
    if (page_write(page) < 0) {
        log_error("zmap page %u set failed, exit", idx);
        return -2;
    }
    log_info("zmap page %u flush success", idx);
    return 0;
}

TAV_COROUTINE_FN int zmap_flush(zmap_t *zmap, int force) {
    int written = 0;
    for (uint32_t i = 0; i < zmap->page_count; i++) {
        if (!force && !zmap->pages[i].dirty)
            continue;
        int ret = zmap_page_flush(zmap, i);
        if (ret == -2 && !force) {
            log_error("zmap page flush fail, index = %u, exit", i);
            _exit(-EIO);
        }
        if (ret < 0)
            return -EIO;
        written++;
    }
    return written;
}

/* ---- pages -------------------------------------------------------------------- */

TAV_COROUTINE_FN int zmap_page_get(zmap_t *zmap, blkno_t goal, uint32_t count, zmap_page_t **page) {
    limits l;
    int ret = get_limits(zmap, &l);
    if (ret < 0)
        return ret;
    for (;;) {
        tav_zmap_algo_args args;
        zmap_algo_args_init(zmap, l.min, l.max, goal, &args);
        zmap_page_t *p = choose_page(zmap, &args, count);
        if (p == nullptr)
            return -ENOSPC;
        ret = page_load(p);
        if (ret < 0)
            return ret;
        /* A page that had to be read may turn out full: choose again. */
        zmap_page_set_range(p, &args);
        if (zmap_page_has_free(p)) {
            *page = p;
            return 0;
        }
    }
}

TAV_COROUTINE_FN int zmap_page_from_pblock(zmap_t *zmap, blkno_t pblock, zmap_page_t **page) {
    limits l;
    int ret = get_limits(zmap, &l);
    if (ret < 0)
        return ret;
    if (pblock < l.min || pblock > l.max)
        return -EINVAL;
    tav_zmap_algo_args args;
    zmap_algo_args_init(zmap, l.min, l.max, pblock, &args);
    zmap_page_t *p = &zmap->pages[pblock / TAV_ZMAP_PAGE_BITMAP_SIZE];
    zmap_page_set_range(p, &args);
    ret = page_load(p);
    if (ret == 0)
        *page = p;
    return ret;
}

TAV_COROUTINE_FN int zmap_page_from_index(zmap_t *zmap, uint32_t index, zmap_page_t **page) {
    if (index >= zmap->page_count)
        return -EINVAL;
    limits l;
    int ret = get_limits(zmap, &l);
    if (ret < 0)
        return ret;
    tav_zmap_algo_args args;
    zmap_algo_args_init(zmap, l.min, l.max, 0, &args);
    zmap_page_t *p = &zmap->pages[index];
    zmap_page_set_range(p, &args);
    ret = page_load(p);
    if (ret == 0)
        *page = p;
    return ret;
}

TAV_COROUTINE_FN int zmap_page_put(zmap_page_t *page) {
    if (page->dirty)
        page_write_or_die(page);
    return 0;
}

/* ---- whole blocks --------------------------------------------------------------- */

TAV_COROUTINE_FN int zmap_alloc_blocks(zmap_t *zmap, blkno_t goal, uint32_t window, blkno_t *pblock,
                                       uint32_t *count) {
    uint32_t wanted = *count;
    *count = 0;
    assert(wanted >= 1);
    int ret = check_writable(zmap);
    if (ret < 0)
        return ret;
    zmap_page_t *page;
    ret = zmap_page_get(zmap, goal, wanted, &page);
    if (ret < 0)
        return ret;
    uint32_t n = wanted;
    ret = zmap_page_alloc_blocks(page, goal, window, pblock, &n);
    if (ret == 0) {
        blkno_t bmin = zmap_page_base(page) + page->boff_min;
        blkno_t bmax = zmap_page_base(page) + page->boff_max;
        assert(*pblock >= bmin && *pblock + n - 1 <= bmax);
        *count = n;
    }
    zmap_page_put(page);
    return ret;
}

TAV_COROUTINE_FN int zmap_free_blocks(zmap_t *zmap, blkno_t start, uint64_t count) {
    int ret = check_writable(zmap);
    if (ret < 0)
        return ret;
    limits l;
    ret = get_limits(zmap, &l);
    if (ret < 0)
        return ret;
    // The range comes from block maps on the device: a damaged one must not
    // end the process, nor free what the zone map does not describe.
    if (!range_inside(l, start, count)) {
        log_error("free blocks [%lu-%lu]: outside [%lu-%lu]", start, start + count - 1, l.min, l.max);
        return -EINVAL;
    }
    log_trace("going to free %d blocks [%lu-%lu]", static_cast<int>(count), start, start + count - 1);

    const blkno_t end = start + count;
    for (blkno_t b = start; b < end;) {
        zmap_page_t *page = &zmap->pages[b / TAV_ZMAP_PAGE_BITMAP_SIZE];
        ret = page_load(page);
        if (ret < 0)
            return ret;
        blkno_t base = zmap_page_base(page);
        blkno_t part_end = std::min<blkno_t>(end, base + TAV_ZMAP_PAGE_BITMAP_SIZE);
        /* Refuse the page's part as a whole when a block is already free: a
         * double release would skew the counters and hides a broken map. */
        for (blkno_t p = b; p < part_end; p++) {
            if (page->bitmaps[p - base] == 0) {
                log_error("free blocks [%lu-%lu]: pblk %lu is not in use", start, end - 1, p);
                return -EINVAL;
            }
        }
        for (blkno_t p = b; p < part_end; p++) {
            if (zmap_block_badtrack(p)) {
                log_warn("skip badtrack block, page index: %u, pblk: %lu", page->index, p);
                continue;
            }
            zmap_page_free_block(page, p);
        }
        page_write_or_die(page);
        b = part_end;
    }
    return 0;
}

TAV_COROUTINE_FN int zmap_alloc_blocks_manual(zmap_t *zmap, blkno_t pblock, uint64_t count) {
    int ret = check_writable(zmap);
    if (ret < 0)
        return ret;
    limits l;
    ret = get_limits(zmap, &l);
    if (ret < 0)
        return ret;
    if (!range_inside(l, pblock, count)) {
        log_error("target pblocks(%lu-%lu) is beyond range, bmin: %lu, bmax: %lu", pblock, pblock + count - 1,
                  l.min, l.max);
        return -EINVAL;
    }

    /* Blocks this call turned from free to used, for the rollback. */
    pblock_ranges_t done = {};
    const blkno_t end = pblock + count;
    for (blkno_t b = pblock; b < end && ret == 0;) {
        zmap_page_t *page = &zmap->pages[b / TAV_ZMAP_PAGE_BITMAP_SIZE];
        ret = page_load(page);
        if (ret < 0)
            break;
        blkno_t base = zmap_page_base(page);
        blkno_t part_end = std::min<blkno_t>(end, base + TAV_ZMAP_PAGE_BITMAP_SIZE);
        uint32_t off = static_cast<uint32_t>(b - base), n = static_cast<uint32_t>(part_end - b);

        bool any_used = false;
        for (uint32_t i = off; i < off + n && !any_used; i++)
            any_used = page->bitmaps[i] != 0;
        if (any_used && !zmap_range_badtrack(b, n)) {
            log_error("some blocks in [%u-%u] of zmap page %u are already allocated", off, off + n - 1,
                      page->index);
            ret = -EFAULT;
            break;
        }
        uint32_t mark = done.count;
        for (uint32_t i = off; i < off + n && ret == 0;) {
            if (page->bitmaps[i] != 0) {
                i++;
                continue;
            }
            uint32_t j = i;
            while (j < off + n && page->bitmaps[j] == 0)
                j++;
            ret = pblock_ranges_record(&done, base + i, j - i);
            i = j;
        }
        if (ret < 0) {
            done.count = mark;
            break;
        }
        mark_used(page, off, n);
        page_write_or_die(page);
        log_trace("allocate %u blocks [%u-%u(%lu-%lu)] in zmap page %u", n, off, off + n - 1, b, part_end - 1,
                  page->index);
        b = part_end;
    }
    if (ret < 0) {
        for (uint32_t i = 0; i < done.count; i++) {
            const pblock_range_t &r = done.ranges[i];
            if (zmap_free_blocks(zmap, r.start, r.count) < 0)
                log_error("rollback free blocks[%lu-%lu] failed", r.start, r.start + r.count - 1);
        }
    }
    pblock_ranges_free(&done);
    return ret;
}

TAV_COROUTINE_FN int zmap_alloc_blocks_manual_batch(zmap_t *zmap, const pblock_ranges_t *ranges) {
    if (ranges == nullptr || ranges->count == 0) {
        log_warn("ranges is empty");
        return 0;
    }
    int ret = check_writable(zmap);
    if (ret < 0)
        return ret;
    limits l;
    ret = get_limits(zmap, &l);
    if (ret < 0)
        return ret;
    for (uint32_t i = 0; i < ranges->count; i++) {
        const pblock_range_t &r = ranges->ranges[i];
        if (!range_inside(l, r.start, r.count)) {
            log_error("target pblocks(%lu-%lu) is beyond range, bmin: %lu, bmax: %lu", r.start,
                      r.start + r.count - 1, l.min, l.max);
            return -EINVAL;
        }
    }
    for (uint32_t i = 0; i < ranges->count; i++) {
        const pblock_range_t &r = ranges->ranges[i];
        const blkno_t end = r.start + r.count;
        for (blkno_t b = r.start; b < end;) {
            zmap_page_t *page = &zmap->pages[b / TAV_ZMAP_PAGE_BITMAP_SIZE];
            ret = page_load(page);
            if (ret < 0)
                return ret;
            blkno_t base = zmap_page_base(page);
            blkno_t part_end = std::min<blkno_t>(end, base + TAV_ZMAP_PAGE_BITMAP_SIZE);
            mark_used(page, static_cast<uint32_t>(b - base), static_cast<uint32_t>(part_end - b));
            b = part_end;
        }
    }
    for (uint32_t i = 0; i < zmap->page_count; i++) {
        zmap_page_t *page = &zmap->pages[i];
        if (!page->dirty)
            continue;
        ret = page_write(page);
        if (ret < 0) {
            log_error("write zmap page %u failed: %d(%s)", page->index, ret, errstr(ret));
            return ret;
        }
    }
    return 0;
}

TAV_COROUTINE_FN int zmap_batch_free_blocks(zmap_t *zmap, pslice_t *tofree, uint32_t count) {
    log_debug("tofree count: %u", count);
    int ret = check_writable(zmap);
    if (ret < 0)
        return ret;
    std::sort(tofree, tofree + count, [](const pslice_t &a, const pslice_t &b) {
        return a.pblock != b.pblock ? a.pblock < b.pblock : a.pslice < b.pslice;
    });

    zmap_page_t *page = nullptr;
    uint32_t blocks = 0, slices = 0;
    for (uint32_t i = 0; i < count; i++) {
        const pslice_t &it = tofree[i];
        /* A repeated item would release a block or slice that may already
         * belong to someone else; it is reported and released only once. */
        if (i > 0 && it.pblock == tofree[i - 1].pblock && it.pslice == tofree[i - 1].pslice) {
            log_error("repeated release of pblk %lu slice %d ignored", it.pblock, it.pslice);
            continue;
        }
        if (page && !zmap_page_has_pblock(page, it.pblock)) {
            zmap_page_put(page);
            page = nullptr;
        }
        if (page == nullptr && zmap_page_from_pblock(zmap, it.pblock, &page) < 0) {
            log_error("get zmap page from pblock(%lu) failed", it.pblock);
            page = nullptr;
            continue;
        }
        if (it.pslice < 0) {
            if (zmap_block_badtrack(it.pblock)) {
                log_warn("skip badtrack block, page index: %u, pblk: %lu", page->index, it.pblock);
                continue;
            }
            if (zmap_page_free_block(page, it.pblock)) {
                blocks++;
                slices += TAV_SLICES_PER_BLOCK;
            }
        } else {
            if (zmap_block_badtrack(it.pblock)) {
                log_warn("skip badtrack block, page index: %u, pblk: %lu, pslice: %u", page->index, it.pblock,
                         static_cast<unsigned>(it.pslice));
                continue;
            }
            if (it.pslice >= TAV_SLICES_PER_BLOCK) {
                log_error("release of pblk %lu: slice %d out of range", it.pblock, it.pslice);
                continue;
            }
            bool was_set = zmap_page_slice_allocated(page, it.pblock, it.pslice);
            blocks += zmap_page_free_slice(page, it.pblock, it.pslice);
            slices += was_set;
        }
    }
    if (page)
        zmap_page_put(page);
    log_debug("slices released: %u, blocks released: %u", slices, blocks);
    return static_cast<int>(blocks);
}

TAV_COROUTINE_FN int zmap_mark_badtrack(zmap_t *zmap, blkno_t pblk, uint64_t cnt, int clear) {
    log_info("pblk:%lu, cnt:%lu, clear:%d", pblk, cnt, clear);
    ioengine *engine = ioengine_get_default();
    if (cnt == 0)
        return -EINVAL;
    if (clear)
        return ioengine_clear_badtrack(engine, pblk << TAV_BLOCK_SHIFT, cnt << TAV_BLOCK_SHIFT);
    int ret = check_writable(zmap);
    if (ret < 0)
        return ret;

    const blkno_t end = pblk + cnt;
    for (blkno_t b = pblk; b < end;) {
        uint64_t idx = b / TAV_ZMAP_PAGE_BITMAP_SIZE;
        blkno_t part_end = std::min<blkno_t>(end, (idx + 1) * TAV_ZMAP_PAGE_BITMAP_SIZE);
        zmap_page_t *page = nullptr;
        ret =
            idx < zmap->page_count ? zmap_page_from_index(zmap, static_cast<uint32_t>(idx), &page) : -EINVAL;
        if (ret < 0) {
            log_error("get zmap page from index(%u) failed: %d", static_cast<unsigned>(idx), ret);
            b = part_end;
            continue;
        }
        blkno_t base = zmap_page_base(page);
        for (blkno_t p = std::max<blkno_t>(b, TAV_ZMAP_BADTRACK_SCAN_FLOOR + 1); p < part_end; p++) {
            uint8_t &byte = page->bitmaps[p - base];
            if (byte == 0) {
                if (zmap->fops->blocks_alloc_hook)
                    zmap->fops->blocks_alloc_hook(zmap, p, 1);
                zmap_page_account(page, 1, TAV_SLICES_PER_BLOCK);
                log_info("alloc pblk:%lu", p);
            } else if (byte != TAV_ZMAP_BLOCK_USED) {
                unsigned freeslices = TAV_SLICES_PER_BLOCK - __builtin_popcount(byte);
                zmap_page_account(page, 0, freeslices);
                log_info("alloc %u slices in pblk:%lu", freeslices, p);
            }
            byte = TAV_ZMAP_BLOCK_USED;
        }
        page->dirty = 1;
        zmap_page_put(page);
        b = part_end;
    }
    return ioengine_mark_badtrack(engine, pblk << TAV_BLOCK_SHIFT, cnt << TAV_BLOCK_SHIFT);
}

/* ---- range lists -------------------------------------------------------------------- */

int pblock_ranges_record(pblock_ranges_t *ranges, blkno_t start, uint32_t count) {
    if (ranges->count == ranges->size) {
        uint32_t size = ranges->size + TAV_ZMAP_RANGES_GROW;
        void *p = tav_realloc(ranges->ranges, sizeof(pblock_range_t) * size, TAV_MEM_OTHER);
        if (p == nullptr)
            return -ENOMEM;
        ranges->ranges = static_cast<pblock_range_t *>(p);
        ranges->size = size;
    }
    ranges->ranges[ranges->count++] = {start, count};
    return 0;
}

void pblock_ranges_free(pblock_ranges_t *ranges) {
    tav_free(ranges->ranges);
    ranges->ranges = nullptr;
    ranges->size = ranges->count = 0;
}
