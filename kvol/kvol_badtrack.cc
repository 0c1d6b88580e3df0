// Bad-track bitmap: test, mark, clear, and the mapping states derived from it.
#include "kvol_badtrack.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "kvol_log.h"
#include "kvol_meta.h"
#include "kvol_notify.h"

namespace {

struct bit_pos {
    uint64_t block;
    uint64_t byte;
    unsigned bit;
};

bit_pos locate(uint64_t g) {
    uint64_t in_block = g % KVOL_BITS_PER_BLOCK;
    return {g / KVOL_BITS_PER_BLOCK, in_block / 8, static_cast<unsigned>(in_block % 8)};
}

void bt_put(kvol_t *kvol, uint64_t g, bool bad) {
    bit_pos p = locate(g);
    unsigned char &b = kvol->bmpblks[p.block].bt_bitmap[p.byte];
    if (bad)
        b |= static_cast<unsigned char>(1u << p.bit);
    else
        b &= static_cast<unsigned char>(~(1u << p.bit));
}

bool aligned_range(const kvol_t *kvol, uint64_t offset, uint64_t size) {
    return offset % KVOL_GRAN == 0 && size % KVOL_GRAN == 0 && kvol_range_valid(kvol, offset, size);
}

// Keeps the touched blocks [b0, b1] so a failed write can put them back.
struct block_backup {
    kvol_btbmp_t *saved = nullptr;
    uint64_t b0 = 0, n = 0;

    bool take(const kvol_t *kvol, uint64_t first_block, uint64_t last_block) {
        b0 = first_block;
        n = last_block - first_block + 1;
        saved = static_cast<kvol_btbmp_t *>(kvol_calloc(n * sizeof(kvol_btbmp_t)));
        if (saved == nullptr)
            return false;
        memcpy(saved, &kvol->bmpblks[b0], n * sizeof(kvol_btbmp_t));
        return true;
    }
    void restore(kvol_t *kvol) const { memcpy(&kvol->bmpblks[b0], saved, n * sizeof(kvol_btbmp_t)); }
    ~block_backup() { free(saved); }
};

// Writes blocks [b0, b1]; on failure the in-memory blocks are restored.
int write_blocks(kvol_t *kvol, const block_backup &bk) {
    for (uint64_t b = bk.b0; b < bk.b0 + bk.n; b++) {
        if (kvol_sync_btbmp(kvol, static_cast<uint32_t>(b)) < 0) {
            bk.restore(kvol);
            return -1;
        }
    }
    return 0;
}

} // namespace

bool kvol_bt_present(const kvol_t *kvol, uint64_t g) {
    bit_pos p = locate(g);
    return p.block < kvol->bmpblk_cnt && p.byte < kvol->bmpblks[p.block].bt_valid_len;
}

bool kvol_bt_get(const kvol_t *kvol, uint64_t g) {
    if (!kvol_bt_present(kvol, g))
        return false;
    bit_pos p = locate(g);
    return (kvol->bmpblks[p.block].bt_bitmap[p.byte] >> p.bit) & 1u;
}

int kvol_bt_count(const kvol_t *kvol, uint64_t first, uint64_t end, uint64_t *bad) {
    *bad = 0;
    for (uint64_t g = first; g < end; g++) {
        if (!kvol_bt_present(kvol, g))
            return -1;
        *bad += kvol_bt_get(kvol, g);
    }
    return 0;
}

namespace {

// Walks the granules covering [offset, offset + size) and collects runs of
// bad ones.  The end is rounded up, so a range that ends inside a granule
// still sees that granule.
int collect_runs(const kvol_t *kvol, uint64_t offset, uint64_t size, kvol_range_t *runs, int maxcnt,
                 bool stop_at_first) {
    uint64_t first = offset / KVOL_GRAN;
    uint64_t end = (offset + size + KVOL_GRAN - 1) / KVOL_GRAN;
    int found = 0;
    uint64_t run_start = 0;
    bool in_run = false;
    for (uint64_t g = first; g < end; g++) {
        // Skip whole clean bytes quickly.
        if (!in_run && g % 8 == 0 && end - g >= 8 && kvol_bt_present(kvol, g)) {
            bit_pos p = locate(g);
            if (kvol->bmpblks[p.block].bt_bitmap[p.byte] == 0) {
                g += 7;
                continue;
            }
        }
        bool bad = kvol_bt_get(kvol, g);
        if (bad && !in_run) {
            if (stop_at_first)
                return 1;
            in_run = true;
            run_start = g;
        } else if (!bad && in_run) {
            runs[found].start = run_start * KVOL_GRAN;
            runs[found].length = (g - run_start) * KVOL_GRAN;
            in_run = false;
            if (++found == maxcnt)
                return found;
        }
    }
    if (in_run) {
        runs[found].start = run_start * KVOL_GRAN;
        runs[found].length = (end - run_start) * KVOL_GRAN;
        found++;
    }
    return found;
}

} // namespace

int kvol_bt_first_run(kvol_t *kvol, uint64_t offset, uint64_t size, kvol_range_t *run) {
    if (!kvol_range_valid(kvol, offset, size))
        return -EINVAL;
    return collect_runs(kvol, offset, size, run, 1, false);
}

int kvol_recompute_states(kvol_t *kvol, uint64_t offset, uint64_t size) {
    int i0 = kvol_find_mapping(kvol, offset);
    int i1 = kvol_find_mapping(kvol, offset + size - 1);
    if (i0 < 0 || i1 < 0) {
        kvol_log_error("change mappings address not find in addressmap,offset=%lu,size=%zu", offset,
                       static_cast<size_t>(size));
        return -EINVAL;
    }
    for (int j = i0; j <= i1; j++) {
        kvol_mapping_t *m = kvol->mappings[j];
        if (kvol_mapping_empty(m) || m->state == KVOL_ST_RECYCLED)
            continue;
        kvol_range_t run;
        int found = kvol_bt_first_run(kvol, m->va_start, m->va_length, &run);
        if (found < 0)
            return -EINVAL;
        uint32_t old = m->state;
        if (found == 0) {
            m->state = KVOL_ST_OK;
        } else if (run.length < m->va_length) {
            m->state = KVOL_ST_BADTRACK;
        } else if (m->state != KVOL_ST_UNAVAILABLE) {
            m->state = KVOL_ST_UNAVAILABLE;
            kvol_mapping_close(kvol, m);
            kvol_log_warn("change mapping KVOL_ST_UNAVAILABLE index=%d,va_offset=%lu, va_size=%zu path=%s", j,
                          m->va_start, static_cast<size_t>(m->va_length), m->path);
        }
        m->ts_modify = kvol_now();
        if (m->state != old && kvol_sync_mapping(kvol, m) < 0) {
            kvol_log_error("ummap write badtrack failed index=%d,offset=%lu, size=%zu", j, m->va_start,
                           static_cast<size_t>(m->va_length));
            return -1;
        }
    }
    return 0;
}

extern "C" {

KVOL_API int kvol_test_badtrack(kvol_t *kvol, uint64_t offset, uint64_t size, kvol_range_t *badtracks,
                                int maxcnt) {
    if (kvol == nullptr || !kvol_range_valid(kvol, offset, size)) {
        kvol_log_error("test badtrack address invalid offset=%lu size=%lu", offset, size);
        return -EINVAL;
    }
    if (badtracks == nullptr || maxcnt <= 0)
        return collect_runs(kvol, offset, size, nullptr, 0, true);
    return collect_runs(kvol, offset, size, badtracks, maxcnt, false);
}

KVOL_API int kvol_mark_badtrack(kvol_t *kvol, uint64_t offset, uint64_t size) {
    if (kvol == nullptr || !aligned_range(kvol, offset, size)) {
        kvol_log_error("mark badtrack address invalid offset=%lu size=%lu", offset, size);
        return -EINVAL;
    }
    uint64_t first = offset / KVOL_GRAN, end = (offset + size) / KVOL_GRAN;
    uint64_t b0 = first / KVOL_BITS_PER_BLOCK, b1 = (end - 1) / KVOL_BITS_PER_BLOCK;
    if (b0 >= KVOL_MAX_BTBLOCKS || b1 >= KVOL_MAX_BTBLOCKS) {
        kvol_log_error("mark badtrack fail,address is bigger than 4064 address=%lu,size=%zu", offset,
                       static_cast<size_t>(size));
        return -EINVAL;
    }
    if (kvol_btbmp_grow(kvol, static_cast<uint32_t>(b1 + 1)) < 0)
        return -EINVAL;
    // Count first, so a refused mark leaves the bitmap untouched.
    uint64_t newly = 0;
    for (uint64_t g = first; g < end; g++)
        newly += kvol_bt_present(kvol, g) && !kvol_bt_get(kvol, g);
    if (newly == 0)
        return 0;
    uint64_t len = newly * KVOL_GRAN;
    if (len > kvol->sb.sb_va_len_avail) {
        kvol_log_error("mark badtrack failed length=%lu > avi=%lu, total=%lu, offset=%lu size=%zu", len,
                       kvol->sb.sb_va_len_avail, kvol->sb.sb_va_len_total, offset, static_cast<size_t>(size));
        return -EINVAL;
    }
    block_backup bk;
    if (!bk.take(kvol, b0, b1))
        return -EINVAL;
    for (uint64_t g = first; g < end; g++)
        if (kvol_bt_present(kvol, g))
            bt_put(kvol, g, true);
    if (write_blocks(kvol, bk) < 0)
        return -1;
    if (kvol_recompute_states(kvol, offset, size) < 0)
        return -1;
    kvol->sb.sb_va_len_avail -= len;
    if (kvol_sync_super(kvol) < 0)
        return -1;
    kvol_notify(kvol, KVOL_EVENT_BITMAP_MODIFIED);
    kvol_log_info("kvol mark badtrack success offset=%lu, size=%lu", offset, size);
    return 0;
}

KVOL_API int kvol_clear_badtrack(kvol_t *kvol, uint64_t offset, uint64_t size) {
    if (kvol == nullptr || !aligned_range(kvol, offset, size)) {
        kvol_log_error("clear badtrack address invalid offset=%lu size=%lu", offset, size);
        return -EINVAL;
    }
    uint64_t first = offset / KVOL_GRAN, end = (offset + size) / KVOL_GRAN;
    const uint64_t ends[2] = {first, end - 1};
    for (int i = 0; i < 2; i++) {
        if (!kvol_bt_present(kvol, ends[i])) {
            bit_pos p = locate(ends[i]);
            if (i == 0)
                kvol_log_error("btmap check startbit=%lu,arr=%u bt_num=%d, bmpblkcnt=%u", ends[i],
                               unsigned(p.byte), int(p.block), kvol->bmpblk_cnt);
            else
                kvol_log_error("btmap check endbit=%lu,arr=%u bt_num=%d, bmpblkcnt=%u", ends[i],
                               unsigned(p.byte), int(p.block), kvol->bmpblk_cnt);
            kvol_log_error("clear_badtrack not find address in badtrack map offset=%lu size=%zu bmblkcnt=%u",
                           offset, static_cast<size_t>(size), kvol->bmpblk_cnt);
            return -EINVAL;
        }
    }
    uint64_t cleared = 0;
    for (uint64_t g = first; g < end; g++)
        cleared += kvol_bt_get(kvol, g);
    uint64_t len = cleared * KVOL_GRAN;
    if (kvol->sb.sb_va_len_avail + len > kvol->sb.sb_va_len_total) {
        kvol_log_error("clear badtrack failed length=%lu + avi=%lu > total=%lu, offset=%lu size=%zu", len,
                       kvol->sb.sb_va_len_avail, kvol->sb.sb_va_len_total, offset, static_cast<size_t>(size));
        return -EINVAL;
    }
    block_backup bk;
    if (!bk.take(kvol, locate(first).block, locate(end - 1).block))
        return -EINVAL;
    for (uint64_t g = first; g < end; g++)
        if (kvol_bt_present(kvol, g))
            bt_put(kvol, g, false);
    if (write_blocks(kvol, bk) < 0)
        return -1;
    kvol->sb.sb_va_len_avail += len;
    if (kvol_sync_super(kvol) < 0)
        return -1;
    if (kvol_recompute_states(kvol, offset, size) < 0)
        return -1;
    kvol_notify(kvol, KVOL_EVENT_BITMAP_MODIFIED);
    kvol_log_info("kvol clear badtrack success offset=%lu, size=%lu", offset, size);
    return 0;
}

} // extern "C"
