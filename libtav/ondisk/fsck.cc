// Consistency check: the decision, the reference map, the comparison with the
// zone map, the release of leaks and the superblock stamps.
#include "fsck.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <uuid/uuid.h>

#include <algorithm>

#include "progress.h"
#include "clock.h"
#include "logger.h"
#include "memory.h"
#include "paths.h"

namespace {

constexpr uint8_t kWhole = TAV_ZMAP_BLOCK_USED;
constexpr uint32_t kPagesPerExtentBlock = TAV_EXTENT_PAGES_PER_BLOCK;
/* Used-but-free blocks logged one by one before the summary line. */
constexpr uint64_t kUsedFreeLogged = 16;
/* Progress is looked at every so many zone-map pages. */
constexpr uint64_t kProgressStep = 64;

const char *errstr(int err) {
    return strerror(err < 0 ? -err : err);
}

struct Check {
    const tav_fsck_target *t;
    uint8_t *ref = nullptr;   /* one byte per block of the zone map */
    blkno_t min = 0, max = 0; /* the data area */
    pslice_t *leaks = nullptr;
    uint32_t leak_count = 0, leak_size = 0;
    uint64_t leaked_slices = 0;
    uint64_t files = 0, files_total = 0;
    tav_progress prog;
};

bool in_data_area(const Check *c, blkno_t b) {
    return b >= c->min && b <= c->max;
}

int outside_data_area(const Check *c, const tav_fsck_file *f, blkno_t b) {
    log_error("fatel error: data block:%lu used by ino:%lu, but outside the data area [%lu-%lu].", b, f->ino,
              c->min, c->max);
    return -EFAULT;
}

int mark_page(Check *c, const tav_fsck_file *f, ext_page_t *page, uint32_t first_index) {
    const bool whole = page->type == TAV_BLKMAP_TYPE_BLOCK;
    const uint32_t per_page = ext_blkmaps_per_page(page->type, TAV_EXTENT_PAGE_SIZE);
    for (uint32_t i = 0; i < page->count; i++) {
        blkmap_t *m = ext_page_blkmap_get_index(page, i);
        if (m->state != TAV_BLKMAP_STATE_MAPPED)
            continue;
        const uint32_t index = first_index + i / per_page;
        const blkno_t b = m->pblock;
        if (!in_data_area(c, b))
            return outside_data_area(c, f, b);
        uint8_t &byte = c->ref[b];
        if (whole) {
            if (byte != 0) {
                log_error("fatel error: pblock reuse, ino:%lu, index:%u, iblock:%lu, pblock:%lu", f->ino,
                          index, m->iblock, b);
                return -EFAULT;
            }
            byte = kWhole;
            continue;
        }
        const int ps = m->pslice;
        if (ps < 0 || ps >= TAV_SLICES_PER_BLOCK) {
            log_error("fatel error: invalid pslice, ino:%lu, index:%u, iblock:%lu, islice:%d, pblock:%lu, "
                      "pslice:%d",
                      f->ino, index, m->iblock, m->islice, b, ps);
            return -EFAULT;
        }
        if (byte & (1u << ps)) {
            log_error("fatel error: pslice reuse, ino:%lu, index:%u, iblock:%lu, islice:%d, pblock:%lu, "
                      "pslice:%d",
                      f->ino, index, m->iblock, m->islice, b, ps);
            return -EFAULT;
        }
        byte |= static_cast<uint8_t>(1u << ps);
    }
    return 0;
}

/* Marks the maps of extent block k of the file.  While the file has no
 * cached pages the whole block is read at once; otherwise, or when that read
 * fails, page by page (cached pages are the current ones, and a failure
 * names its page). */
TAV_COROUTINE_FN int mark_extent_block(Check *c, const tav_fsck_file *f, uint32_t k) {
    const uint32_t first = k * kPagesPerExtentBlock;
    if (ext_cache_is_empty(f->cache)) {
        ext_page_t *bulk = ext_page_get_nostd(f->cache, TAV_BLOCK_SIZE, k);
        if (bulk) {
            int ret = mark_page(c, f, bulk, first);
            ext_page_put(bulk);
            return ret;
        }
    }
    for (uint32_t index = first; index < first + kPagesPerExtentBlock; index++) {
        ext_page_t *page = ext_page_get_nocache(f->cache, index);
        if (page == nullptr) {
            log_error("get extent page failed, ino:%lu, index:%u", f->ino, index);
            return -EIO;
        }
        int ret = mark_page(c, f, page, index);
        ext_page_put(page);
        if (ret < 0)
            return ret;
    }
    return 0;
}

TAV_COROUTINE_FN int visit_file(void *ctx, const tav_fsck_file *f) {
    Check *c = static_cast<Check *>(ctx);
    char text[37];
    uuid_unparse(f->gfid, text);
    log_info("checking inode gfid:%s, ino:%lu, compressible:%s", text, f->ino,
             f->compressible ? "true" : "false");
    for (uint32_t k = 0; k < TAV_EXTENT_BLOCKS_PER_FILE; k++) {
        const blkno_t b = f->extents[k];
        if (b == 0)
            continue;
        if (!in_data_area(c, b))
            return outside_data_area(c, f, b);
        if (c->ref[b] != 0) {
            log_error("fatel error: pblock reuse, ino:%lu, i_extents[%u], pblock:%lu", f->ino, k, b);
            return -EFAULT;
        }
        c->ref[b] = kWhole;
    }
    for (uint32_t k = 0; k < TAV_EXTENT_BLOCKS_PER_FILE; k++) {
        if (f->extents[k] == 0)
            continue;
        int ret = mark_extent_block(c, f, k);
        if (ret < 0)
            return ret;
    }
    /* Every file: one file may take many extent-block reads. */
    tav_progress_update(&c->prog, ++c->files);
    return 0;
}

int add_leak(Check *c, blkno_t b, int32_t slice) {
    if (c->leak_count == c->leak_size) {
        uint32_t size = c->leak_size ? c->leak_size * 2 : TAV_FSCK_LEAKS_INITIAL;
        void *p = tav_realloc(c->leaks, static_cast<size_t>(size) * sizeof(pslice_t), TAV_MEM_OTHER);
        if (p == nullptr) {
            log_error("no memory for %lu tofree array", static_cast<unsigned long>(size));
            return -ENOMEM;
        }
        c->leaks = static_cast<pslice_t *>(p);
        c->leak_size = size;
    }
    c->leaks[c->leak_count++] = {b, slice};
    return 0;
}

/* Compares the data area of the zone map with the reference map; collects
 * the leaks; -EFAULT for blocks used but marked free. */
TAV_COROUTINE_FN int compare(Check *c) {
    zmap_t *zmap = c->t->zmap;
    const uint32_t pfirst = static_cast<uint32_t>(c->min / TAV_ZMAP_PAGE_BITMAP_SIZE);
    const uint32_t plast = static_cast<uint32_t>(c->max / TAV_ZMAP_PAGE_BITMAP_SIZE);
    uint64_t used_free = 0;
    tav_progress prog;
    tav_progress_start(&prog, "fsck zmap pages", plast - pfirst + 1);
    for (uint32_t p = pfirst; p <= plast; p++) {
        const blkno_t base = static_cast<blkno_t>(p) * TAV_ZMAP_PAGE_BITMAP_SIZE;
        zmap_page_t *page;
        int ret = zmap_page_from_index(zmap, p, &page);
        if (ret < 0) {
            log_warn("get zmap page from pblk %lu failed: %d", std::max(base, c->min), ret);
            continue;
        }
        const blkno_t lo = std::max(base, c->min);
        const blkno_t hi = std::min(base + TAV_ZMAP_PAGE_BITMAP_SIZE - 1, c->max);
        for (blkno_t b = lo; b <= hi; b++) {
            const uint8_t r = c->ref[b], z = page->bitmaps[b - base];
            if (r == z)
                continue;
            if (zmap_page_test_pblock(page, b, -1) == -EACCES)
                continue; /* a bad track stays in use, whoever maps it */
            if (r & ~z) {
                if (used_free++ < kUsedFreeLogged)
                    log_error("fatel error: data block:%lu used, but zmap marked unused.", b);
                continue;
            }
            const uint8_t leak = static_cast<uint8_t>(z & ~r);
            c->leaked_slices += static_cast<uint64_t>(__builtin_popcount(leak));
            if (used_free)
                continue; /* nothing will be freed: no need to collect */
            if (r == 0) {
                ret = add_leak(c, b, -1);
            } else {
                for (int s = 0; s < TAV_SLICES_PER_BLOCK && ret == 0; s++)
                    if (leak & (1u << s))
                        ret = add_leak(c, b, s);
            }
            if (ret < 0) {
                zmap_page_put(page);
                return ret;
            }
        }
        zmap_page_put(page);
        if ((p - pfirst + 1) % kProgressStep == 0)
            tav_progress_update(&prog, p - pfirst + 1);
    }
    tav_progress_end(&prog);
    log_info("slice leakage count: %d.", static_cast<int>(c->leaked_slices));
    if (used_free > 0) {
        log_error("fsck found %lu blocks used by files but marked unused in the zmap", used_free);
        return -EFAULT;
    }
    return 0;
}

TAV_COROUTINE_FN int check(Check *c, uint32_t *released) {
    const tav_fsck_target *t = c->t;
    int ret = zmap_get_blkno_limit(t->zmap, &c->min, &c->max);
    if (ret < 0)
        return ret;
    /* One byte per block up to the last block of the data area: the allowed
     * range comes from the superblock as checked against the device, so the
     * map never outgrows what the device holds, whatever the zone map's own
     * page count.  Every index into it is checked against the data area. */
    const size_t ref_size = static_cast<size_t>(c->max) + 1;
    c->ref = static_cast<uint8_t *>(tav_calloc(1, ref_size, TAV_MEM_OTHER));
    if (c->ref == nullptr) {
        log_error("no memory for the reference map of %lu blocks", static_cast<unsigned long>(ref_size));
        return -ENOMEM;
    }

    c->files_total = t->files.count ? t->files.count(t->files.owner) : 0;
    tav_progress_start(&c->prog, "fsck inodes", c->files_total);
    ret = t->files.foreach (t->files.owner, visit_file, c);
    if (ret < 0)
        return ret;
    tav_progress_end(&c->prog);

    ret = compare(c);
    if (ret < 0)
        return ret;
    if (c->leak_count > 0) {
        ret = zmap_batch_free_blocks(t->zmap, c->leaks, c->leak_count);
        if (ret < 0)
            return ret;
        *released = static_cast<uint32_t>(ret);
    }

    tav_sb_info *sb = t->sb;
    ret = tav_sb_read(sb);
    if (ret < 0)
        return ret;
    sb->tav_disk_sb.s_ts_fsck = tav_realtime_ns();
    sb->tav_disk_sb.s_crash_count = 0;
    return tav_sb_write(sb);
}

} // namespace

key_t tav_fsck_marker_key(const char *device_path, uint64_t sb_version) {
    return ftok(device_path, static_cast<int>(sb_version & 0xFF));
}

TAV_COROUTINE_FN int tav_fsck_decide(const tav_fsck_policy *p) {
    if (!p->writable)
        return 0;
    if (tav_cfg_flag(TAV_FSCK_DISABLE_FLAG)) {
        log_info("fsck is disabled due to flag file %s", tav_cfg_path(TAV_FSCK_DISABLE_FLAG).c_str());
        return 0;
    }
    if (tav_cfg_flag(TAV_FSCK_FORCE_FLAG)) {
        log_info("fsck triggered due to flag file %s", tav_cfg_path(TAV_FSCK_FORCE_FLAG).c_str());
        return 1;
    }
    if (p->error_inodes > 0) {
        log_warn("fsck is rejected because itable has %u error inodes", p->error_inodes);
        return 0;
    }
    int ret = tav_sb_read(p->sb);
    if (ret < 0) {
        log_error("read super block failed: %d(%s)", ret, errstr(ret));
        return 0;
    }
    const tav_sb_ondisk *d = &p->sb->tav_disk_sb;
    const uint64_t interval = d->s_fsck_interval ? d->s_fsck_interval : TAV_SB_FSCK_INTERVAL;
    const uint64_t limit = d->s_crash_limit ? d->s_crash_limit : TAV_SB_CRASH_LIMIT;
    const int64_t age = static_cast<int64_t>(tav_realtime_ns() / 1000000000ULL) -
                        static_cast<int64_t>(d->s_ts_fsck / 1000000000ULL);

    key_t key = tav_fsck_marker_key(p->device_path, d->s_header.version);
    if (key == -1) {
        /* Without a marker a restart cannot be told apart: check. */
        log_warn("power loss marker of %s unavailable: %s", p->device_path, strerror(errno));
        log_info("fsck triggered because of the recent power loss");
        return 1;
    }
    if (semget(key, 1, 0) < 0 && errno == ENOENT) {
        log_info("fsck triggered because of the recent power loss");
        return 1;
    }
    if (age > static_cast<int64_t>(interval)) {
        log_info("fsck triggered because last fsck is %lu seconds (%lu days) ago, and limit interval is %lu "
                 "seconds (%lu days)",
                 static_cast<uint64_t>(age), static_cast<uint64_t>(age) / 86400, interval, interval / 86400);
        return 1;
    }
    if (d->s_crash_count > limit) {
        log_info("fsck triggered because crash count since last fsck is %lu, and limit value is %lu",
                 d->s_crash_count, limit);
        return 1;
    }
    return 0;
}

TAV_COROUTINE_FN int tav_fsck_run(const tav_fsck_target *target) {
    const uint64_t t0 = tav_monotonic_ns();
    Check c;
    c.t = target;
    uint32_t released = 0;
    int ret = check(&c, &released);
    tav_free(c.ref);
    tav_free(c.leaks);
    if (ret == 0)
        log_info("fsck succeed, blocks released: %u, time consumed: %lu ms", released,
                 (tav_monotonic_ns() - t0) / 1000000);
    else
        log_error("fsck failed: %d(%s)", ret, errstr(ret));
    return ret;
}
