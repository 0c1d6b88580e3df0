// Format upgrade 1 -> 2 in place, its backup and its rollback.
#include "upgrade.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>
#include <uuid/uuid.h>
#define XXH_STATIC_LINKING_ONLY
#include <xxhash.h>

#include <algorithm>
#include <string>

#include "ioengine.h"
#include "progress.h"
#include "checksum.h"
#include "clock.h"
#include "logger.h"
#include "memory.h"

namespace {

constexpr uint64_t kBlock = TAV_BLOCK_SIZE;
/* Zone-map blocks moved per transfer: the memory a backup or restore needs
 * stays the same for every device size. */
constexpr uint64_t kChunkBlocks = 16;
/* Dropped runs logged one by one before the summary line. */
constexpr uint32_t kDroppedRunsLogged = 8;

/* XXH64 with the metadata seed over data that arrives in pieces; the same
 * value as xxhash_64 over the whole. */
class Xxh64 {
public:
    Xxh64() { XXH64_reset(&state_, TAV_XXHASH_SEED); }
    void update(const void *p, size_t n) { XXH64_update(&state_, p, n); }
    uint64_t digest() const { return XXH64_digest(&state_); }

private:
    XXH64_state_t state_;
};

/* An engine of its own for the backup file, closed on every path. */
class FileEngine {
public:
    FileEngine(ev_driver *driver, const char *path, int oflag)
        : engine_(ioengine_init(driver, "libaio", path, oflag | O_DIRECT)) {}
    ~FileEngine() {
        if (engine_)
            ioengine_fini(engine_);
    }
    FileEngine(const FileEngine &) = delete;
    FileEngine &operator=(const FileEngine &) = delete;
    ioengine *get() const { return engine_; }

private:
    ioengine *engine_;
};

/* A 4096-aligned I/O buffer returned on every path. */
class IoBuf {
public:
    explicit IoBuf(size_t size)
        : p_(static_cast<uint8_t *>(tav_iobuf_get(size, TAV_MEM_IO_ALIGNED_BUFFER))) {}
    ~IoBuf() {
        if (p_)
            tav_iobuf_put(p_);
    }
    IoBuf(const IoBuf &) = delete;
    IoBuf &operator=(const IoBuf &) = delete;
    uint8_t *get() const { return p_; }

private:
    uint8_t *p_;
};

uint64_t header_checksum(const uint8_t *block) {
    return xxhash_64(block + sizeof(uint64_t), TAV_UPGRADE_HEADER_SIZE - sizeof(uint64_t));
}

/* The copy on stable storage before the device is changed: the file and the
 * directory entry that names it. */
int sync_backup(const char *path) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0 || fsync(fd) < 0) {
        int err = errno;
        log_error("fsync %s failed: %s", path, strerror(err));
        if (fd >= 0)
            close(fd);
        return -err;
    }
    close(fd);
    std::string dir(path);
    size_t slash = dir.rfind('/');
    dir = slash == std::string::npos ? "." : slash == 0 ? "/" : dir.substr(0, slash);
    fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 || fsync(fd) < 0) {
        int err = errno;
        log_error("fsync %s failed: %s", dir.c_str(), strerror(err));
        if (fd >= 0)
            close(fd);
        return -err;
    }
    close(fd);
    return 0;
}

/* Streams `count` blocks of `src` from byte `src_off` through `buf` (chunk
 * blocks), writing them to `dst` at `dst_off` when `dst` is set; the checksum
 * of what was read in *sum.  Read failures log `read_what` (with the block
 * number when it is a pblock message). */
struct StreamArgs {
    ioengine *src;
    uint64_t src_off;
    ioengine *dst; /* null: read only */
    uint64_t dst_off;
    uint64_t count, chunk;
    uint8_t *buf;
    uint64_t first_block;         /* named in the pblock messages */
    const char *read_failed_path; /* non-null: "failed to read %s" instead of the pblock form */
    const char *progress_what;
};

TAV_COROUTINE_FN int stream_blocks(const StreamArgs &a, uint64_t *sum) {
    Xxh64 h;
    tav_progress prog;
    tav_progress_start(&prog, a.progress_what, a.count);
    for (uint64_t i = 0; i < a.count;) {
        uint64_t n = std::min(a.chunk, a.count - i);
        int ret = ioengine_co_preadn(a.src, a.buf, n * kBlock, static_cast<off_t>(a.src_off + i * kBlock));
        if (ret < 0) {
            if (a.read_failed_path)
                log_error("failed to read %s, ret:%d", a.read_failed_path, ret);
            else
                log_error("failed to read pblock %lu, ret:%d", a.first_block + i, ret);
            return ret;
        }
        h.update(a.buf, n * kBlock);
        if (a.dst) {
            ret = ioengine_co_pwriten(a.dst, a.buf, n * kBlock, static_cast<off_t>(a.dst_off + i * kBlock));
            if (ret < 0) {
                log_error("failed to write pblock %lu, ret:%d", a.first_block + i, ret);
                return ret;
            }
        }
        i += n;
        tav_progress_update(&prog, i);
    }
    tav_progress_end(&prog);
    *sum = h.digest();
    return 0;
}

/* A superblock without zone-map blocks has nothing to save or restore. */
int check_count(const tav_sb_ondisk *dsb) {
    if (dsb->s_bitmap_blocks == 0) {
        log_error("superblock names no zone-map blocks");
        return -EINVAL;
    }
    return 0;
}

TAV_COROUTINE_FN int backup_checked(ev_driver *driver, const tav_sb_ondisk *dsb, const char *path,
                                    tav_upgrade_variant variant, uint64_t *cksum_header,
                                    uint64_t *cksum_data) {
    const uint64_t start = dsb->s_first_bitmap_block, count = dsb->s_bitmap_blocks;
    if (check_count(dsb) < 0)
        return -EINVAL;
    ioengine *dev = ioengine_get_default();
    FileEngine file(driver, path, O_RDWR | O_CREAT);
    if (file.get() == nullptr) {
        log_error("invalid destination path: %s", path);
        return -EINVAL;
    }
    int ret = ioengine_truncate(file.get(), (count + 1) * kBlock);
    if (ret < 0) {
        log_error("failed to truncate %s to %lu", path, count * kBlock);
        return ret;
    }
    const uint64_t chunk = std::min(count, kChunkBlocks);
    IoBuf data(chunk * kBlock), hdr(TAV_UPGRADE_HEADER_SIZE);
    if (data.get() == nullptr || hdr.get() == nullptr) {
        log_error("posix_memalign: %s", strerror(ENOMEM));
        return -ENOMEM;
    }

    StreamArgs copy = {dev,   start * kBlock, file.get(), kBlock,  count,
                       chunk, data.get(),     start,      nullptr, "upgrade backup"};
    ret = stream_blocks(copy, cksum_data);
    if (ret < 0)
        return ret;

    memset(hdr.get(), 0, TAV_UPGRADE_HEADER_SIZE);
    backup_header_t *h = reinterpret_cast<backup_header_t *>(hdr.get());
    h->cksum_data = *cksum_data;
    h->block_start = start;
    h->block_count = count;
    h->timestamp = tav_realtime_ns();
    memcpy(h->tav_uuid, dsb->s_uuid, sizeof(h->tav_uuid));
    strncpy(h->tav_path, ioengine_get_path(dev), sizeof(h->tav_path) - 1);
    h->cksum_header = header_checksum(hdr.get());
    *cksum_header = h->cksum_header;
    ret = ioengine_co_pwriten(file.get(), hdr.get(), TAV_UPGRADE_HEADER_SIZE, 0);
    if (ret < 0) {
        log_error("failed to write backup header, ret:%d", ret);
        return ret;
    }

    /* The copy is trusted only as read back from the file. */
    if (variant == TAV_UPGRADE_LIBRARY) {
        ret = ioengine_co_preadn(file.get(), hdr.get(), TAV_UPGRADE_HEADER_SIZE, 0);
        if (ret < 0) {
            log_error("failed to read %s, ret:%d", path, ret);
            return ret;
        }
        uint64_t got = header_checksum(hdr.get());
        if (got != *cksum_header || h->cksum_header != *cksum_header) {
            log_error("backup failed: header checksum(%lx) not matched, expected:%lx\n", got, *cksum_header);
            return -EFAULT;
        }
    }
    StreamArgs verify = {file.get(), kBlock,     nullptr, 0,    count,
                         chunk,      data.get(), start,   path, "upgrade backup check"};
    uint64_t got = 0;
    ret = stream_blocks(verify, &got);
    if (ret < 0)
        return ret;
    if (got != *cksum_data) {
        if (variant == TAV_UPGRADE_LIBRARY)
            log_error("backup failed: data checksum(%lx) not matched, expected:%lx\n", got, *cksum_data);
        else
            log_error("backup failed: checksum(%lx) not matched, expected:%lx\n", got, *cksum_data);
        return -EFAULT;
    }
    return sync_backup(path);
}

TAV_COROUTINE_FN int restore_checked(ev_driver *driver, const tav_sb_ondisk *dsb, const char *path) {
    const uint64_t start = dsb->s_first_bitmap_block, count = dsb->s_bitmap_blocks;
    if (check_count(dsb) < 0)
        return -EINVAL;
    ioengine *dev = ioengine_get_default();
    FileEngine file(driver, path, O_RDONLY);
    if (file.get() == nullptr) {
        log_error("invalid source path: %s", path);
        return -EINVAL;
    }
    const uint64_t chunk = std::min(count, kChunkBlocks);
    IoBuf data(chunk * kBlock), hdr(TAV_UPGRADE_HEADER_SIZE);
    if (data.get() == nullptr || hdr.get() == nullptr) {
        log_error("posix_memalign: %s", strerror(ENOMEM));
        return -ENOMEM;
    }
    int ret = ioengine_co_preadn(file.get(), hdr.get(), TAV_UPGRADE_HEADER_SIZE, 0);
    if (ret < 0) {
        log_error("failed to read backup header, ret:%d", ret);
        return ret;
    }
    const backup_header_t *h = reinterpret_cast<const backup_header_t *>(hdr.get());
    uint64_t computed = header_checksum(hdr.get());
    if (h->cksum_header != computed) {
        log_error("invalid backup file: header checksum(%lx) not matched, expected:%lx\n", h->cksum_header,
                  computed);
        return -EFAULT;
    }
    if (h->block_start != start || h->block_count != count) {
        log_error("invalid backup file: pblocks start(%lu) or count(%u) not matched, expected:%lu, %u\n",
                  h->block_start, static_cast<unsigned>(h->block_count), start, static_cast<unsigned>(count));
        return -EFAULT;
    }
    if (memcmp(h->tav_uuid, dsb->s_uuid, sizeof(h->tav_uuid)) != 0) {
        char stored[TAV_UPGRADE_PATH_MAX];
        memcpy(stored, h->tav_path, sizeof(stored));
        stored[sizeof(stored) - 1] = '\0';
        log_error("invalid backup file: tav uuid not matched, tav path: %s, expected: %s\n",
                  ioengine_get_path(dev), stored);
        return -EFAULT;
    }
    const uint64_t expected = h->cksum_data;

    /* Nothing reaches the device before the whole copy checked out. */
    StreamArgs check = {file.get(), kBlock,     nullptr, 0,       count,
                        chunk,      data.get(), start,   nullptr, "restore check"};
    uint64_t got = 0;
    ret = stream_blocks(check, &got);
    if (ret < 0)
        return ret;
    if (got != expected) {
        log_error("invalid backup file: data checksum(%lx) not matched, expected:%lx\n", got, expected);
        return -EFAULT;
    }
    if (count <= chunk) {
        ret = ioengine_co_pwriten(dev, data.get(), count * kBlock, static_cast<off_t>(start * kBlock));
        if (ret < 0) {
            log_error("failed to write pblock %lu, ret:%d", start, ret);
            return ret;
        }
    } else {
        StreamArgs copy = {file.get(), kBlock,     dev,   start * kBlock, count,
                           chunk,      data.get(), start, nullptr,        "restore"};
        ret = stream_blocks(copy, &got);
        if (ret < 0)
            return ret;
    }
    StreamArgs verify = {dev,   start * kBlock,         nullptr,         0, count, chunk, data.get(),
                         start, ioengine_get_path(dev), "restore verify"};
    ret = stream_blocks(verify, &got);
    if (ret < 0)
        return ret;
    if (got != expected) {
        log_error("restore failed: checksum(%lx) not matched, expected:%lx\n", got, expected);
        return -EFAULT;
    }
    log_info("restore zmap(pblock start: %lu, count: %u) from %s succeed", start,
             static_cast<unsigned>(count), path);
    return 0;
}

/* The map while it is being read as version 1 and refilled as version 2:
 * the data area of the superblock, its version. */
int upgrade_limit(zmap_t *zmap, blkno_t *min, blkno_t *max) {
    const tav_sb_ondisk *d = &static_cast<tav_sb_info *>(zmap->priv)->tav_disk_sb;
    *min = d->s_first_data_block;
    *max = d->s_blocks_count - 1;
    return 0;
}

int upgrade_version(zmap_t *zmap, uint64_t *version) {
    *version = static_cast<tav_sb_info *>(zmap->priv)->tav_disk_sb.s_header.version;
    return 0;
}

const tav_zmap_fops kUpgradeZmapFops = {upgrade_limit, nullptr, nullptr, upgrade_version};

/* The geometry a version-2 map can describe; -1 (logged) otherwise. */
int check_geometry(const tav_sb_ondisk *d, uint32_t *pages) {
    if (d->s_blocks_count >= TAV_UPGRADE_MAX_BLOCKS) {
        log_error("can not upgrade: blocks count(%lu) larger than %lu", d->s_blocks_count,
                  static_cast<uint64_t>(TAV_UPGRADE_MAX_BLOCKS));
        return -1;
    }
    const uint64_t max_bitmap_blocks = UINT32_MAX / TAV_ZMAP_PAGE_PER_BLOCK;
    const uint64_t bitmap_blocks = std::min<uint64_t>(d->s_bitmap_blocks, max_bitmap_blocks);
    const uint64_t describable = bitmap_blocks * TAV_ZMAP_PAGE_PER_BLOCK * TAV_ZMAP_PAGE_BITMAP_SIZE;
    if (d->s_bitmap_blocks == 0 || d->s_bitmap_blocks > max_bitmap_blocks ||
        describable < d->s_blocks_count) {
        log_error("can not upgrade: blocks count(%lu) larger than %lu", d->s_blocks_count, describable);
        return -1;
    }
    if (d->s_first_data_block == 0 || d->s_first_data_block >= d->s_blocks_count) {
        log_error("can not upgrade: no data blocks, first data block %lu, blocks count %lu",
                  d->s_first_data_block, d->s_blocks_count);
        return -1;
    }
    *pages = static_cast<uint32_t>(d->s_bitmap_blocks * TAV_ZMAP_PAGE_PER_BLOCK);
    return 0;
}

/* Keeps the parts of the runs inside [lo, hi] and logs what it drops. */
void clip_ranges(pblock_ranges_t *r, blkno_t lo, blkno_t hi) {
    uint32_t kept = 0, dropped_runs = 0;
    uint64_t dropped_blocks = 0;
    auto drop = [&](blkno_t s, blkno_t e) {
        if (dropped_runs++ < kDroppedRunsLogged)
            log_warn("drop pblocks [%lu-%lu] of the old zmap: outside the data area [%lu-%lu]", s, e, lo, hi);
        dropped_blocks += e - s + 1;
    };
    for (uint32_t i = 0; i < r->count; i++) {
        const blkno_t s = r->ranges[i].start, e = s + r->ranges[i].count - 1;
        if (s < lo)
            drop(s, std::min(e, lo - 1));
        if (e > hi)
            drop(std::max(s, hi + 1), e);
        const blkno_t ks = std::max(s, lo), ke = std::min(e, hi);
        if (ks <= ke)
            r->ranges[kept++] = {ks, static_cast<uint32_t>(ke - ks + 1)};
    }
    r->count = kept;
    if (dropped_runs)
        log_warn("dropped %lu blocks in %u runs of the old zmap outside the data area [%lu-%lu]",
                 dropped_blocks, dropped_runs, lo, hi);
}

TAV_COROUTINE_FN int gather(zmap_t *zmap, pblock_ranges_t *ranges) {
    tav_progress prog;
    tav_progress_start(&prog, "upgrade scan", zmap->page_count);
    for (uint32_t i = 0; i < zmap->page_count; i++) {
        zmap_page_t *page;
        int ret = zmap_page_from_index(zmap, i, &page);
        if (ret < 0) {
            log_error("get zmap page failed: %d", ret);
            return ret;
        }
        ret = zmap_page_bitmaps_traversal(page, tav_upgrade_gather_pblocks, ranges);
        zmap_page_put(page);
        if (ret < 0) {
            log_error("analyze zmap bitmap failed: %d", ret);
            return ret;
        }
        tav_progress_update(&prog, i + 1);
    }
    tav_progress_end(&prog);
    return 0;
}

TAV_COROUTINE_FN int format_zmap(const tav_sb_ondisk *d) {
    const uint64_t step = 64;
    tav_progress prog;
    tav_progress_start(&prog, "upgrade format", d->s_bitmap_blocks);
    for (uint64_t i = 0; i < d->s_bitmap_blocks; i += step) {
        int ret = zmap_blocks_format(d->s_first_bitmap_block + i, std::min(step, d->s_bitmap_blocks - i));
        if (ret < 0)
            return ret;
        tav_progress_update(&prog, std::min(i + step, d->s_bitmap_blocks));
    }
    tav_progress_end(&prog);
    return 0;
}

TAV_COROUTINE_FN int load_map(zmap_t *zmap, tav_sb_info *sb, uint32_t pages) {
    zmap_init(zmap, &kUpgradeZmapFops, sb->tav_disk_sb.s_first_bitmap_block);
    zmap->priv = sb;
    int ret = zmap_load(zmap, pages);
    if (ret < 0)
        log_error("load zmap failed: %d", ret);
    return ret;
}

} // namespace

int tav_upgrade_gather_pblocks(uint32_t index, uint32_t bstart, uint32_t bcnt, void *priv) {
    pblock_ranges_t *ranges = static_cast<pblock_ranges_t *>(priv);
    blkno_t start = static_cast<blkno_t>(index) * TAV_ZMAP_V1_BLOCKS_PER_PAGE + bstart;
    if (pblock_ranges_record(ranges, start, bcnt) < 0) {
        log_error("no memory for pblock_range_t");
        return -ENOMEM;
    }
    log_debug("[%u] record pblock:%lu, count:%u", ranges->count - 1, start, bcnt);
    return 0;
}

char *tav_upgrade_get_backup_path(const char *backup_dir, const uint8_t *uuid) {
    char text[37];
    uuid_unparse(uuid, text);
    char *path = nullptr;
    if (asprintf(&path, "%s/tav-zmap-%s.backup", backup_dir, text) < 0) {
        log_error("asprintf failed: %s", strerror(errno));
        return nullptr;
    }
    return path;
}

TAV_COROUTINE_FN int tav_upgrade_backup_zmap(ev_driver *driver, const tav_sb_ondisk *dsb,
                                             const char *backup_path, tav_upgrade_variant variant) {
    uint64_t cksum_header = 0, cksum_data = 0;
    int ret = backup_checked(driver, dsb, backup_path, variant, &cksum_header, &cksum_data);
    const unsigned count = static_cast<unsigned>(dsb->s_bitmap_blocks);
    if (ret < 0) {
        if (variant == TAV_UPGRADE_LIBRARY)
            log_error("backup zmap(pblock start: %lu, count: %u) to %s failed: %d", dsb->s_first_bitmap_block,
                      count, backup_path, ret);
        return ret;
    }
    log_info(
        "backup zmap(pblock start: %lu, count: %u) to %s succeed, header checksum: %lx, data checksum: %lx",
        dsb->s_first_bitmap_block, count, backup_path, cksum_header, cksum_data);
    return 0;
}

TAV_COROUTINE_FN int tav_upgrade_restore_zmap(ev_driver *driver, const tav_sb_ondisk *dsb,
                                              const char *backup_path, tav_upgrade_variant variant) {
    int ret = restore_checked(driver, dsb, backup_path);
    if (ret < 0 && variant == TAV_UPGRADE_LIBRARY)
        log_error("restore zmap(pblock start: %lu, count: %u) from %s failed: %d", dsb->s_first_bitmap_block,
                  static_cast<unsigned>(dsb->s_bitmap_blocks), backup_path, ret);
    return ret;
}

TAV_COROUTINE_FN int tav_upgrade_allocate_pblocks(zmap_t *zmap, const pblock_ranges_t *ranges) {
    /* Handed to the map one zone-map block of pages at a time, split at the
     * group boundaries: every page is still written once, and the progress
     * of a large refill can be reported. */
    const blkno_t group_blocks = static_cast<blkno_t>(TAV_ZMAP_PAGE_PER_BLOCK) * TAV_ZMAP_PAGE_BITMAP_SIZE;
    pblock_ranges_t part = {};
    blkno_t part_group = 0;
    int ret = 0;
    tav_progress prog;
    tav_progress_start(&prog, "upgrade refill", ranges->count);
    auto flush = [&]() -> int {
        int r = zmap_alloc_blocks_manual_batch(zmap, &part);
        part.count = 0;
        return r;
    };
    if (ranges->count == 0)
        ret = zmap_alloc_blocks_manual_batch(zmap, ranges);
    for (uint32_t i = 0; i < ranges->count && ret == 0; i++) {
        blkno_t s = ranges->ranges[i].start;
        uint64_t left = ranges->ranges[i].count;
        while (left > 0 && ret == 0) {
            blkno_t g = s / group_blocks;
            uint64_t n = std::min<uint64_t>(left, (g + 1) * group_blocks - s);
            if (part.count > 0 && g != part_group)
                ret = flush();
            if (ret == 0 && pblock_ranges_record(&part, s, static_cast<uint32_t>(n)) < 0)
                ret = -ENOMEM;
            part_group = g;
            s += n;
            left -= n;
        }
        tav_progress_update(&prog, i + 1);
    }
    if (ret == 0 && part.count > 0)
        ret = flush();
    pblock_ranges_free(&part);
    tav_progress_end(&prog);
    if (ret < 0)
        log_error("failed to allocate pblocks, range count: %u", ranges->count);
    else
        log_info("allocate pblocks done, range count: %u", ranges->count);
    return ret;
}

TAV_COROUTINE_FN int tav_upgrade_update_super(tav_sb_info *sb, uint64_t version) {
    for (int pass = 0; pass < 2; pass++) {
        int ret = tav_sb_read(sb);
        if (ret < 0) {
            log_error("read super block failed: %d", ret);
            return ret;
        }
        const uint64_t before = sb->tav_disk_sb.s_header.version;
        sb->tav_disk_sb.s_header.version = version;
        ret = tav_sb_write(sb);
        if (ret < 0) {
            log_error("write super block failed: %d", ret);
            /* Memory keeps what a reload would find: the old version when no
             * copy was written yet. */
            if (pass == 0)
                sb->tav_disk_sb.s_header.version = before;
            return ret;
        }
    }
    return 0;
}

TAV_COROUTINE_FN int tav_upgrade_run(ev_driver *driver, tav_sb_info *sb, const char *backup_path,
                                     tav_upgrade_variant variant) {
    const tav_sb_ondisk *d = &sb->tav_disk_sb;
    uint32_t pages = 0;
    int ret = check_geometry(d, &pages);
    if (ret < 0)
        return ret;

    zmap_t zmap;
    pblock_ranges_t ranges = {};
    ret = load_map(&zmap, sb, pages);
    if (ret == 0)
        ret = gather(&zmap, &ranges);
    if (ret == 0) {
        clip_ranges(&ranges, d->s_first_data_block,
                    std::min<blkno_t>(d->s_blocks_count - 1,
                                      static_cast<blkno_t>(pages) * TAV_ZMAP_PAGE_BITMAP_SIZE - 1));
        ret = tav_upgrade_backup_zmap(driver, d, backup_path, variant);
        if (ret < 0)
            log_error("backup zmap to %s failed: %d", backup_path, ret);
    }
    if (ret == 0) {
        ret = tav_upgrade_update_super(sb, TAV_SB_VERSION_UPGRADING);
        if (ret < 0)
            log_error("upgrade TAV version to %d failed: %d", -1, ret);
    }
    zmap_destroy(&zmap);
    /* From here on the backup is the only copy of the old map. */
    if (ret == 0) {
        ret = format_zmap(d);
        if (ret < 0)
            log_error("format zmap failed: %d", ret);
    }
    if (ret == 0)
        ret = load_map(&zmap, sb, pages);
    if (ret == 0) {
        ret = tav_upgrade_allocate_pblocks(&zmap, &ranges);
        if (ret < 0)
            log_error("allocate pblocks failed: %d", ret);
        zmap_destroy(&zmap);
    }
    if (ret == 0) {
        ret = tav_upgrade_update_super(sb, TAV_SB_VERSION_2);
        if (ret < 0)
            log_error("upgrade TAV version to %d failed: %d", 2, ret);
    }
    pblock_ranges_free(&ranges);
    return ret;
}

namespace {

/* mkdir -p with `mode` for the directories it creates. */
int make_dirs(const char *dir, mode_t mode) {
    std::string p(dir);
    for (size_t i = 1; i <= p.size(); i++) {
        if (i < p.size() && p[i] != '/')
            continue;
        std::string part = p.substr(0, i);
        if (mkdir(part.c_str(), mode) < 0 && errno != EEXIST) {
            int err = errno;
            log_error("mkdir %s failed: %s", part.c_str(), strerror(err));
            return -err;
        }
    }
    return 0;
}

} // namespace

TAV_COROUTINE_FN int tav_upgrade(ev_driver *driver, tav_sb_info *sb, const char *backup_dir) {
    const uint64_t version = sb->tav_disk_sb.s_header.version;
    if (version == TAV_SB_VERSION_2) {
        log_trace("tav has been upgraded, do nothing");
        return 0;
    }
    if (version != TAV_SB_VERSION_1 && version != TAV_SB_VERSION_UPGRADING) {
        log_error("unknown tav version %lu", version);
        abort();
    }
    char *path = tav_upgrade_get_backup_path(backup_dir, sb->tav_disk_sb.s_uuid);
    if (path == nullptr)
        return -ENOMEM;
    int ret = 0;
    if (version == TAV_SB_VERSION_UPGRADING) {
        log_info("last upgrade was interrupted, run resotre first");
        ret = tav_upgrade_restore_zmap(driver, &sb->tav_disk_sb, path, TAV_UPGRADE_LIBRARY);
        if (ret == 0) {
            ret = tav_upgrade_update_super(sb, TAV_SB_VERSION_1);
            if (ret < 0)
                log_error("upgrade TAV version to %d failed: %d", 1, ret);
        }
    }
    if (ret == 0) {
        log_info("old tav version %lu detected, starting upgrade", sb->tav_disk_sb.s_header.version);
        const uint64_t t0 = tav_monotonic_ns();
        ret = make_dirs(backup_dir, 0775);
        if (ret == 0)
            ret = tav_upgrade_run(driver, sb, path, TAV_UPGRADE_LIBRARY);
        if (ret == 0)
            log_info("tav upgrade succeed, time consumed: %lu ms", (tav_monotonic_ns() - t0) / 1000000);
    }
    free(path);
    return ret;
}
