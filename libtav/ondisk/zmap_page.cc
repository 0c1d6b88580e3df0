// Zone-map pages: the on-disk codec, the usable range of a page, the goal
// and window strategies, slice operations and the version-1 walk.  Nothing
// here yields: these functions only change the page in memory (and mark it
// dirty); the map-level functions of zmap.cc load and write pages.
#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "ioengine.h"
#include "bitarray.h"
#include "checksum.h"
#include "logger.h"
#include "zmap.h"
#include "zmap_internal.h"

/* ---- helpers shared with zmap.cc ------------------------------------------ */

bool zmap_block_badtrack(blkno_t pblk) {
    ioengine *engine = ioengine_get_default();
    if (engine == nullptr)
        return false;
    int ret = ioengine_test_badtrack(engine, pblk << TAV_BLOCK_SHIFT, TAV_BLOCK_SIZE, nullptr, 0);
    if (ret < 0) {
        /* Unknown is treated as bad: the block is then neither handed out
         * nor freed, which can leak it but never hands out a bad block. */
        log_warn("test badtrack of pblk %lu failed: %d, treated as bad", pblk, ret);
        return true;
    }
    return ret > 0;
}

bool zmap_range_badtrack(blkno_t pblk, uint64_t cnt) {
    ioengine *engine = ioengine_get_default();
    if (engine == nullptr || cnt == 0)
        return false;
    int ret = ioengine_test_badtrack(engine, pblk << TAV_BLOCK_SHIFT, cnt << TAV_BLOCK_SHIFT, nullptr, 0);
    if (ret < 0) {
        log_warn("test badtrack of pblk %lu count %lu failed: %d, treated as bad", pblk, cnt, ret);
        return true;
    }
    return ret > 0;
}

void zmap_page_account(zmap_page_t *page, int64_t blocks, int64_t slices) {
    page->alloc_blocks = static_cast<uint32_t>(static_cast<int64_t>(page->alloc_blocks) + blocks);
    page->alloc_slices = static_cast<uint32_t>(static_cast<int64_t>(page->alloc_slices) + slices);
    page->zmap->alloc_blocks = static_cast<uint64_t>(static_cast<int64_t>(page->zmap->alloc_blocks) + blocks);
}

/* ---- codec ----------------------------------------------------------------- */

int zmap_page_check(const tav_zmap_page_ondisk *ondisk, uint32_t index, off_t phy_addr) {
    bool legal = true;
    if (memcmp(ondisk->magic, TAV_ZMAP_MAGIC, sizeof(ondisk->magic)) != 0) {
        uint64_t magic;
        memcpy(&magic, ondisk->magic, sizeof(magic));
        log_error("zmap_page: invalid magic 0x%lx", magic);
        legal = false;
    } else if (ondisk->checksum != xxhash_64(ondisk->bitmaps, sizeof(ondisk->bitmaps))) {
        log_error("zmap_page: checksum failed 0x%lx", ondisk->checksum);
        legal = false;
    }
    if (legal)
        return 0;
    log_error("illegal zmap page, index: %u, phyaddr: %lu", index, static_cast<unsigned long>(phy_addr));
    return -EACCES;
}

void zmap_page_encode(const uint8_t *bitmaps, void *image) {
    tav_zmap_page_ondisk *ondisk = static_cast<tav_zmap_page_ondisk *>(image);
    memcpy(ondisk->magic, TAV_ZMAP_MAGIC, sizeof(ondisk->magic));
    memmove(ondisk->bitmaps, bitmaps, sizeof(ondisk->bitmaps));
    ondisk->checksum = xxhash_64(ondisk->bitmaps, sizeof(ondisk->bitmaps));
}

namespace {

zmap_page_t *page_from_mbuf(mbuf *mb) {
    return reinterpret_cast<zmap_page_t *>(reinterpret_cast<char *>(mb) - offsetof(zmap_page_t, mbuf));
}

/* Blocks of [first, end) of this page's numbering that the device reports
 * bad, for the load.  Blocks up to the scan floor and beyond the device's
 * usable length are not asked about. */
template <typename Mark> void mark_badtracks(blkno_t base, uint64_t nblocks, Mark mark) {
    ioengine *engine = ioengine_get_default();
    if (engine == nullptr)
        return;
    blkno_t first = std::max<blkno_t>(base, TAV_ZMAP_BADTRACK_SCAN_FLOOR + 1);
    blkno_t end = base + nblocks;
    if (first >= end)
        return;
    ioengine_statdev dev = {};
    if (ioengine_statdev_get(engine, &dev) < 0)
        return;
    end = std::min<blkno_t>(end, dev.phy_avail_length >> TAV_BLOCK_SHIFT);
    if (first >= end || !zmap_range_badtrack(first, end - first))
        return;
    for (blkno_t p = first; p < end; p++)
        if (zmap_block_badtrack(p))
            mark(p - base);
}

off_t zmap_page_get_offset(mbuf *mb, int is_write) {
    (void)is_write;
    return page_from_mbuf(mb)->phy_addr;
}

int zmap_page_serialize(mbuf *mb, void *buffer, size_t size) {
    (void)size;
    zmap_page_encode(page_from_mbuf(mb)->bitmaps, buffer);
    return 0;
}

int zmap_page_unserialize(mbuf *mb, const void *buffer, size_t size) {
    (void)size;
    zmap_page_t *page = page_from_mbuf(mb);
    const tav_zmap_page_ondisk *ondisk = static_cast<const tav_zmap_page_ondisk *>(buffer);
    int ret = zmap_page_check(ondisk, page->index, page->phy_addr);
    if (ret < 0)
        return ret;
    memcpy(page->bitmaps, ondisk->bitmaps, sizeof(page->bitmaps));

    uint8_t *map = page->bitmaps;
    uint32_t blocks = 0, slices = 0;
    switch (page->zmap->version) {
    case 2:
    case 0xFFFFFFFFFFFFFFFFULL:
        mark_badtracks(static_cast<blkno_t>(page->index) * TAV_ZMAP_PAGE_BITMAP_SIZE,
                       TAV_ZMAP_PAGE_BITMAP_SIZE, [&](uint64_t off) { map[off] = TAV_ZMAP_BLOCK_USED; });
        // Most of a map is free: whole free words are skipped, so that the
        // load of a large zone map does not count bits one byte at a time.
        static_assert(TAV_ZMAP_PAGE_BITMAP_SIZE % 8 == 0);
        for (uint32_t i = 0; i < TAV_ZMAP_PAGE_BITMAP_SIZE; i += 8) {
            uint64_t word;
            memcpy(&word, map + i, sizeof(word));
            if (word == 0)
                continue;
            for (uint32_t j = i; j < i + 8; j++) {
                blocks += map[j] != 0;
                slices += __builtin_popcount(map[j]);
            }
        }
        break;
    case 1:
        mark_badtracks(static_cast<blkno_t>(page->index) * TAV_ZMAP_V1_BLOCKS_PER_PAGE,
                       TAV_ZMAP_V1_BLOCKS_PER_PAGE, [&](uint64_t off) {
                           bmap_bit_set(map, off);
                           slices++;
                       });
        blocks = static_cast<uint32_t>(bmap_set_bits_num(map, 0, TAV_ZMAP_V1_BLOCKS_PER_PAGE));
        break;
    default: log_error("zmap: unknown map version %lu", page->zmap->version); abort();
    }
    zmap_page_account(page, static_cast<int64_t>(blocks) - page->alloc_blocks,
                      static_cast<int64_t>(slices) - page->alloc_slices);
    return 0;
}

} // namespace

const mbuf_fops_t zmap_page_mbuf_fops = {
    .get_offset = zmap_page_get_offset,
    .serialize = zmap_page_serialize,
    .unserialize = zmap_page_unserialize,
};

/* ---- usable range ----------------------------------------------------------- */

void zmap_algo_args_init(const zmap_t *zmap, blkno_t min, blkno_t max, blkno_t goal,
                         tav_zmap_algo_args *args) {
    (void)zmap;
    const blkno_t per = TAV_ZMAP_PAGE_BITMAP_SIZE;
    args->goal_legal = goal >= min && goal <= max;
    args->pgoal = args->goal_legal ? static_cast<uint32_t>(goal / per) : 0;
    args->pgoal_boff = args->goal_legal ? static_cast<uint32_t>(goal % per) : 0;
    args->pmin = static_cast<uint32_t>(min / per);
    args->pmin_boff = static_cast<uint32_t>(min % per);
    args->pmax = static_cast<uint32_t>(max / per);
    args->pmax_boff = static_cast<uint32_t>(max % per);
}

void zmap_page_set_range(zmap_page_t *page, const tav_zmap_algo_args *args) {
    if (page->index < args->pmin || page->index > args->pmax) {
        page->boff_min = 1;
        page->boff_max = 0;
        page->capacity = 0;
        return;
    }
    page->boff_min = page->index == args->pmin ? args->pmin_boff : 0;
    page->boff_max = page->index == args->pmax ? args->pmax_boff : TAV_ZMAP_PAGE_BITMAP_SIZE - 1;
    page->capacity = page->boff_max - page->boff_min + 1;
}

bool zmap_page_has_free(const zmap_page_t *page) {
    if (page->capacity == 0 || page->alloc_blocks >= TAV_ZMAP_PAGE_BITMAP_SIZE)
        return false;
    return memchr(page->bitmaps + page->boff_min, 0, page->capacity) != nullptr;
}

uint32_t zmap_page_block_avail(const zmap_page_t *page) {
    return page->capacity > page->alloc_blocks ? page->capacity - page->alloc_blocks : 0;
}

bool zmap_page_has_pblock(const zmap_page_t *page, blkno_t pblock) {
    blkno_t base = zmap_page_base(page);
    if (page->capacity == 0 || pblock < base || pblock >= base + TAV_ZMAP_PAGE_BITMAP_SIZE)
        return false;
    uint32_t off = static_cast<uint32_t>(pblock - base);
    return off >= page->boff_min && off <= page->boff_max;
}

/* ---- strategies -------------------------------------------------------------- */

namespace {

bool bytes_zero(const uint8_t *p, uint32_t n) {
    uint32_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t w;
        memcpy(&w, p + i, sizeof(w));
        if (w)
            return false;
    }
    for (; i < n; i++)
        if (p[i])
            return false;
    return true;
}

/* Takes blocks g, g+1, ... while free, usable and without a bad track. */
uint32_t goal_strategy(zmap_page_t *page, uint32_t g, uint32_t n) {
    blkno_t base = zmap_page_base(page);
    uint32_t lim = std::min<uint32_t>(g + n, page->boff_max + 1);
    uint32_t k = g;
    while (k < lim && page->bitmaps[k] == 0 && !zmap_block_badtrack(base + k)) {
        page->bitmaps[k] = TAV_ZMAP_BLOCK_USED;
        k++;
    }
    return k - g;
}

/* The first window-aligned start whose window is empty and whose first block
 * is sound; from it, up to n consecutive free and sound blocks. */
uint32_t window_strategy(zmap_page_t *page, uint32_t w, uint32_t n, uint32_t *first) {
    if (page->capacity == 0)
        return 0;
    blkno_t base = zmap_page_base(page);
    uint32_t start = (page->boff_min + w - 1) / w * w;
    for (; start <= page->boff_max; start += w) {
        uint32_t wlen = std::min(w, page->boff_max - start + 1);
        if (!bytes_zero(page->bitmaps + start, wlen) || zmap_block_badtrack(base + start))
            continue;
        uint32_t k = start;
        page->bitmaps[k++] = TAV_ZMAP_BLOCK_USED;
        while (k <= page->boff_max && k - start < n && page->bitmaps[k] == 0 &&
               !zmap_block_badtrack(base + k))
            page->bitmaps[k++] = TAV_ZMAP_BLOCK_USED;
        *first = start;
        return k - start;
    }
    return 0;
}

} // namespace

int zmap_page_alloc_blocks(zmap_page_t *page, blkno_t goal, uint32_t window, blkno_t *pblock,
                           uint32_t *count) {
    zmap_t *zmap = page->zmap;
    const uint32_t n = *count;
    assert(n >= 1);
    blkno_t base = zmap_page_base(page);
    uint32_t first = 0, got = 0;
    const char *how = "goal";
    uint32_t how_arg = 0;

    if (zmap_page_has_pblock(page, goal)) {
        first = static_cast<uint32_t>(goal - base);
        got = goal_strategy(page, first, n);
        how_arg = first;
        zmap->status.alloc_by_goal += got;
    }
    if (got == 0) {
        uint32_t w = window ? window : zmap->window;
        how = "window";
        if (w >= 2) {
            got = window_strategy(page, w, n, &first);
            how_arg = w;
        }
        if (got == 0) {
            got = window_strategy(page, 1, n, &first);
            how_arg = 1;
        }
        zmap->status.alloc_by_window += got;
    }
    if (got == 0) {
        *count = 0;
        return -ENOSPC;
    }
    if (zmap->fops->blocks_alloc_hook)
        zmap->fops->blocks_alloc_hook(zmap, base + first, got);
    zmap_page_account(page, got, 8 * static_cast<int64_t>(got));
    page->dirty = 1;
    log_trace("allocate %d blocks [%d-%d(%lu-%lu)] in zmap page %u by %s [%d]", static_cast<int>(got),
              static_cast<int>(first), static_cast<int>(first + got - 1), base + first,
              base + first + got - 1, page->index, how, static_cast<int>(how_arg));
    *pblock = base + first;
    *count = got;
    return 0;
}

/* ---- slices -------------------------------------------------------------------- */

namespace {

/* Byte of a block that must lie in this page (programming error otherwise). */
uint8_t *block_byte(zmap_page_t *page, blkno_t pblock) {
    blkno_t base = zmap_page_base(page);
    assert(pblock >= base && pblock < base + TAV_ZMAP_PAGE_BITMAP_SIZE);
    return &page->bitmaps[pblock - base];
}

uint8_t block_value(const zmap_page_t *page, blkno_t pblock) {
    return *block_byte(const_cast<zmap_page_t *>(page), pblock);
}

bool slice_valid(int pslice) {
    return pslice >= 0 && pslice < TAV_SLICES_PER_BLOCK;
}

} // namespace

void zmap_page_slice_init(zmap_page_t *page, blkno_t pblock) {
    uint8_t *b = block_byte(page, pblock);
    assert(*b == TAV_ZMAP_BLOCK_USED);
    *b = 0;
    zmap_page_account(page, 0, -TAV_SLICES_PER_BLOCK);
    page->dirty = 1;
}

int zmap_page_alloc_slice(zmap_page_t *page, blkno_t pblock, int goal, int *pslice) {
    uint8_t *b = block_byte(page, pblock);
    if (*b == TAV_ZMAP_BLOCK_USED)
        return -ENOSPC;
    int s = slice_valid(goal) && !(*b & (1u << goal)) ? goal : __builtin_ctz(~*b & 0xFFu);
    *b |= static_cast<uint8_t>(1u << s);
    zmap_page_account(page, 0, 1);
    page->dirty = 1;
    *pslice = s;
    return 0;
}

int zmap_page_slice_allocated(const zmap_page_t *page, blkno_t pblock, int pslice) {
    assert(slice_valid(pslice));
    return (block_value(page, pblock) >> pslice) & 1;
}

int zmap_page_slice_avail(const zmap_page_t *page, blkno_t pblock) {
    return TAV_SLICES_PER_BLOCK - __builtin_popcount(block_value(page, pblock));
}

int zmap_page_test_pblock(const zmap_page_t *page, blkno_t pblock, int pslice) {
    uint8_t b = block_value(page, pblock);
    if (zmap_block_badtrack(pblock))
        return -EACCES;
    if (pslice < 0)
        return b != 0;
    assert(slice_valid(pslice));
    return (b >> pslice) & 1;
}

int zmap_page_free_slice(zmap_page_t *page, blkno_t pblock, int pslice) {
    assert(slice_valid(pslice));
    zmap_t *zmap = page->zmap;
    uint8_t *b = block_byte(page, pblock);
    if (!(*b & (1u << pslice))) {
        log_error("free slice %d of pblk %lu: not in use (0x%02x)", pslice, pblock, *b);
        return 0;
    }
    *b &= static_cast<uint8_t>(~(1u << pslice));
    page->dirty = 1;
    if (*b != 0) {
        zmap_page_account(page, 0, -1);
        return 0;
    }
    zmap_page_account(page, -1, -1);
    if (zmap->fops->blocks_free_hook)
        zmap->fops->blocks_free_hook(zmap, pblock, 1);
    return 1;
}

int zmap_page_free_block(zmap_page_t *page, blkno_t pblock) {
    zmap_t *zmap = page->zmap;
    uint8_t *b = block_byte(page, pblock);
    if (*b == 0) {
        log_error("free pblk %lu: not in use", pblock);
        return 0;
    }
    zmap_page_account(page, -1, -__builtin_popcount(*b));
    *b = 0;
    page->dirty = 1;
    if (zmap->fops->blocks_free_hook)
        zmap->fops->blocks_free_hook(zmap, pblock, 1);
    return 1;
}

/* ---- version-1 walk and dumps ---------------------------------------------- */

int zmap_page_bitmaps_traversal(const zmap_page_t *page, zmap_traversal_fn fn, void *priv) {
    const uint64_t total = TAV_ZMAP_V1_BLOCKS_PER_PAGE;
    uint64_t bit = 0;
    while (bit < total) {
        uint64_t s, e;
        if (bmap_bit_find_set(page->bitmaps, bit, total, &s) < 0)
            break;
        if (bmap_bit_find_clr(page->bitmaps, s, total, &e) < 0)
            e = total;
        int ret = fn(page->index, static_cast<uint32_t>(s), static_cast<uint32_t>(e - s), priv);
        if (ret < 0)
            return ret;
        bit = e;
    }
    return static_cast<int>(total);
}

namespace {

void printf_line(zmap_print_fn out, void *ctx, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
void printf_line(zmap_print_fn out, void *ctx, const char *fmt, ...) {
    char line[256];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof(line), fmt, ap);
    va_end(ap);
    out(ctx, line);
}

} // namespace

void zmap_page_dump(const zmap_page_t *page, zmap_print_fn out, void *ctx) {
    blkno_t base = zmap_page_base(page);
    printf_line(out, ctx,
                "page %u phy_addr %lu dirty %d alloc_blocks %u alloc_slices %u capacity %u "
                "usable [%u-%u]",
                page->index, static_cast<unsigned long>(page->phy_addr), page->dirty, page->alloc_blocks,
                page->alloc_slices, page->capacity, page->boff_min, page->boff_max);
    /* Runs of equal non-zero bytes: whole blocks and slice blocks. */
    uint32_t i = 0;
    while (i < TAV_ZMAP_PAGE_BITMAP_SIZE) {
        uint8_t v = page->bitmaps[i];
        uint32_t j = i + 1;
        while (j < TAV_ZMAP_PAGE_BITMAP_SIZE && page->bitmaps[j] == v)
            j++;
        if (v == TAV_ZMAP_BLOCK_USED)
            printf_line(out, ctx, "  used  [%lu-%lu] %u blocks", base + i, base + j - 1, j - i);
        else if (v != 0)
            printf_line(out, ctx, "  slice [%lu-%lu] %u blocks, slices 0x%02x", base + i, base + j - 1, j - i,
                        v);
        i = j;
    }
}

void zmap_dump(const zmap_t *zmap, zmap_print_fn out, void *ctx) {
    printf_line(out, ctx,
                "zmap pblock %lu pages %u version %lu window %u alloc_blocks %lu "
                "alloc_by_goal %lu alloc_by_window %lu",
                zmap->pblock, zmap->page_count, zmap->version, zmap->window, zmap->alloc_blocks,
                zmap->status.alloc_by_goal, zmap->status.alloc_by_window);
    for (uint32_t i = 0; i < zmap->page_count; i++) {
        const zmap_page_t *p = &zmap->pages[i];
        if (p->alloc_blocks || p->dirty)
            printf_line(out, ctx, "page %u alloc_blocks %u alloc_slices %u dirty %d", p->index,
                        p->alloc_blocks, p->alloc_slices, p->dirty);
    }
}
