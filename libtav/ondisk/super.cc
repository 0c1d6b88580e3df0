#include "super.h"

#include <assert.h>
#include <errno.h>
#include <md5.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <algorithm>

#include "clock.h"
#include "bitarray.h"
#include "checksum.h"
#include "logger.h"
#include "memory.h"
#include "xdict.h"
#include "zmap.h"

namespace {

uint64_t now_ns() {
    return tav_realtime_ns();
}

uint64_t div_round_up(uint64_t a, uint64_t b) {
    return a / b + (a % b != 0);
}

/* Page checksum: bytes 8..4095, everything after the checksum field. */
uint64_t sb_page_checksum(const void *page) {
    return xxhash_64(static_cast<const uint8_t *>(page) + sizeof(uint64_t),
                     TAV_SB_PAGE_SIZE - sizeof(uint64_t));
}

tav_sb_info *sb_from_mbuf(mbuf *mb) {
    return reinterpret_cast<tav_sb_info *>(reinterpret_cast<char *>(mb) - offsetof(tav_sb_info, mbuf));
}

/* Copy selection by generation; see the header. */
off_t sb_get_offset(mbuf *mb, int is_write) {
    tav_sb_info *sb = sb_from_mbuf(mb);
    meta_head *h = &sb->tav_disk_sb.s_header;
    if (is_write && sb->last_errno == 0)
        h->generation++;
    const uint64_t gen = h->generation;
    uint64_t g;
    if (is_write) {
        g = gen;
    } else {
        g = sb->last_errno == 0 ? gen : gen + 1;
    }
    log_trace("%s generation:%ld, last_errno:%d", is_write ? "write" : "read", static_cast<long>(gen),
              sb->last_errno);
    return (g & 1) ? TAV_SB_COPY_B_OFFSET : TAV_SB_COPY_A_OFFSET;
}

int sb_serialize(mbuf *mb, void *buffer, size_t size) {
    (void)size;
    tav_sb_page_encode(&sb_from_mbuf(mb)->tav_disk_sb, buffer);
    return 0;
}

/* A copy is taken only when it is legal and its geometry is possible on
 * the device as it is now (a volume may have grown since the start): a copy
 * that fails either is never trusted, nor written back. */
int sb_unserialize_into(tav_sb_ondisk *dsb, const void *buffer) {
    if (tav_sb_is_legal(buffer) != 0)
        return -1;
    ioengine_statdev dev = {};
    int ret = ioengine_statdev_get(ioengine_get_default(), &dev);
    if (ret < 0) {
        log_error("tav_sb: device size unknown: %d(%s)", ret, strerror(-ret));
        return -1;
    }
    if (tav_sb_check_layout(static_cast<const tav_sb_ondisk *>(buffer), dev.phy_length / TAV_BLOCK_SIZE,
                            true) != 0)
        return -1;
    memcpy(dsb, buffer, sizeof(*dsb));
    return 0;
}

int sb_unserialize(mbuf *mb, const void *buffer, size_t size) {
    (void)size;
    return sb_unserialize_into(&sb_from_mbuf(mb)->tav_disk_sb, buffer);
}

const mbuf_fops_t sb_mbuf_fops = {
    .get_offset = sb_get_offset,
    .serialize = sb_serialize,
    .unserialize = sb_unserialize,
};

int sb_check(const void *page, bool verbose) {
    const tav_sb_ondisk *dsb = static_cast<const tav_sb_ondisk *>(page);
    const meta_head *h = &dsb->s_header;
    const char *why = nullptr;
    char msg[128];

    if (memcmp(h->magic, TAV_SB_MAGIC, 7) != 0) {
        snprintf(msg, sizeof(msg), "tav_sb: invalid magic: %.8s", h->magic);
        why = msg;
    } else if (h->version != TAV_SB_VERSION_1 && h->version != TAV_SB_VERSION_2 &&
               h->version != TAV_SB_VERSION_UPGRADING) {
        snprintf(msg, sizeof(msg), "tav_sb: invalid version: %lu", h->version);
        why = msg;
    } else if (h->length != TAV_SB_LENGTH) {
        snprintf(msg, sizeof(msg), "tav_sb: invalid length: %lu", h->length);
        why = msg;
    } else if (h->type != TAV_META_SUPER) {
        snprintf(msg, sizeof(msg), "tav_sb: invalid type: %lu", static_cast<unsigned long>(h->type));
        why = msg;
    } else if (dsb->s_state != TAV_STAT_STOPPED && dsb->s_state != TAV_STAT_RUNNING) {
        snprintf(msg, sizeof(msg), "tav_sb: state is illegal: %lu", dsb->s_state);
        why = msg;
    } else if (h->checksum != sb_page_checksum(page)) {
        why = "tav_sb: checksum failed";
    }
    if (why == nullptr)
        return 0;
    if (verbose) {
        log_error("%s", why);
        tav_sb_dump_record("tav_sb check failed", dsb);
    }
    return 1;
}

const char *errstr(int err) {
    return strerror(err < 0 ? -err : err);
}

TAV_COROUTINE_FN int write_block_image(ioengine *engine, const void *buf, blkno_t blk) {
    return ioengine_co_pwriten(engine, buf, TAV_BLOCK_SIZE, static_cast<off_t>(blk << TAV_BLOCK_SHIFT));
}

void log_time_field(const char *name, uint64_t ns) {
    log_info("%-22s%s", name,
             time2str_nsec(static_cast<long>(ns / 1000000000ULL), static_cast<long>(ns % 1000000000ULL)));
}

} // namespace

/* ---- layout and format --------------------------------------------------- */

void tav_sb_geometry_of(uint64_t blocks_count, uint64_t inode_max_group, tav_sb_geometry *geo) {
    assert(inode_max_group >= 1 && inode_max_group <= TAV_SB_INODE_MAX_GROUPS);
    uint64_t pages = div_round_up(blocks_count, TAV_ZMAP_PAGE_BITMAP_SIZE);
    geo->inode_max_count = TAV_SB_INODE_PER_GROUP * inode_max_group;
    geo->inode_blocks = geo->inode_max_count * TAV_INODE_PAGESIZE * 2 / TAV_BLOCK_SIZE;
    geo->first_bitmap_block = TAV_SB_FIRST_INODE_BLOCK + geo->inode_blocks;
    geo->bitmap_blocks =
        std::max<uint64_t>(TAV_SB_MIN_BITMAP_BLOCKS, div_round_up(pages, TAV_ZMAP_PAGE_PER_BLOCK));
    geo->first_data_block = geo->first_bitmap_block + geo->bitmap_blocks + 1;
}

uint64_t tav_sb_blocks_covered(uint64_t bitmap_blocks) {
    const uint64_t per_block = TAV_ZMAP_PAGE_PER_BLOCK * TAV_ZMAP_PAGE_BITMAP_SIZE;
    return bitmap_blocks > UINT64_MAX / per_block ? UINT64_MAX : bitmap_blocks * per_block;
}

int tav_sb_check_layout(const tav_sb_ondisk *dsb, uint64_t device_blocks, bool verbose) {
    const char *field = nullptr;
    uint64_t value = 0;
    char expected[96];
    auto want = [&](const char *f, uint64_t v, uint64_t exp) {
        field = f;
        value = v;
        snprintf(expected, sizeof(expected), "%lu", exp);
        return false;
    };
    auto want_range = [&](const char *f, uint64_t v, uint64_t lo, uint64_t hi) {
        field = f;
        value = v;
        snprintf(expected, sizeof(expected), "%lu..%lu", lo, hi);
        return false;
    };
    // Each figure is checked before anything computed from it is trusted.
    auto check = [&]() {
        if (dsb->s_block_size != TAV_BLOCK_SIZE)
            return want("s_block_size", dsb->s_block_size, TAV_BLOCK_SIZE);
        if (dsb->s_first_inode_block != TAV_SB_FIRST_INODE_BLOCK)
            return want("s_first_inode_block", dsb->s_first_inode_block, TAV_SB_FIRST_INODE_BLOCK);
        if (dsb->s_inode_size != TAV_INODE_PAGESIZE)
            return want("s_inode_size", dsb->s_inode_size, TAV_INODE_PAGESIZE);
        if (dsb->s_inode_per_group != TAV_SB_INODE_PER_GROUP)
            return want("s_inode_per_group", dsb->s_inode_per_group, TAV_SB_INODE_PER_GROUP);
        if (dsb->s_inode_max_group < 1 || dsb->s_inode_max_group > TAV_SB_INODE_MAX_GROUPS)
            return want_range("s_inode_max_group", dsb->s_inode_max_group, 1, TAV_SB_INODE_MAX_GROUPS);
        if (dsb->s_inode_active_group < 1 || dsb->s_inode_active_group > dsb->s_inode_max_group)
            return want_range("s_inode_active_group", dsb->s_inode_active_group, 1, dsb->s_inode_max_group);
        tav_sb_geometry geo;
        tav_sb_geometry_of(dsb->s_blocks_count, dsb->s_inode_max_group, &geo);
        if (dsb->s_inode_max_count != geo.inode_max_count)
            return want("s_inode_max_count", dsb->s_inode_max_count, geo.inode_max_count);
        if (dsb->s_inode_blocks != geo.inode_blocks)
            return want("s_inode_blocks", dsb->s_inode_blocks, geo.inode_blocks);
        if (dsb->s_first_bitmap_block != geo.first_bitmap_block)
            return want("s_first_bitmap_block", dsb->s_first_bitmap_block, geo.first_bitmap_block);
        if (dsb->s_blocks_count > device_blocks)
            return want_range("s_blocks_count", dsb->s_blocks_count, geo.first_data_block + 1, device_blocks);
        // An expansion grows s_blocks_count only within what the zone map
        // made at format time describes; the map never moves or shrinks.
        if (dsb->s_bitmap_blocks < TAV_SB_MIN_BITMAP_BLOCKS ||
            tav_sb_blocks_covered(dsb->s_bitmap_blocks) < dsb->s_blocks_count ||
            dsb->s_bitmap_blocks >= device_blocks)
            return want_range("s_bitmap_blocks", dsb->s_bitmap_blocks, geo.bitmap_blocks, device_blocks - 1);
        uint64_t first_data = geo.first_bitmap_block + dsb->s_bitmap_blocks + 1;
        // A zone map larger than the format's figure is legal only in front
        // of the data area: one that would run into it names the map.
        if (dsb->s_bitmap_blocks > geo.bitmap_blocks && first_data > dsb->s_first_data_block &&
            dsb->s_first_data_block >= geo.first_data_block)
            return want_range("s_bitmap_blocks", dsb->s_bitmap_blocks, geo.bitmap_blocks,
                              dsb->s_first_data_block - geo.first_bitmap_block - 1);
        if (dsb->s_first_data_block != first_data)
            return want("s_first_data_block", dsb->s_first_data_block, first_data);
        if (dsb->s_blocks_count <= first_data)
            return want_range("s_blocks_count", dsb->s_blocks_count, first_data + 1, device_blocks);
        return true;
    };
    if (check())
        return 0;
    if (verbose) {
        log_error("tav_sb: invalid geometry: %s=%lu, expected %s", field, value, expected);
        tav_sb_dump_record("tav_sb check failed", dsb);
    }
    return 1;
}

void tav_sb_fill_default(tav_sb_ondisk *dsb) {
    meta_head *h = &dsb->s_header;
    memset(h, 0, sizeof(*h));
    memcpy(h->magic, TAV_SB_MAGIC, sizeof(TAV_SB_MAGIC)); /* with its zero byte */
    h->version = TAV_SB_VERSION_2;
    h->generation = 0;
    h->length = TAV_SB_LENGTH;
    h->type = TAV_META_SUPER;

    tav_sb_geometry geo;
    tav_sb_geometry_of(dsb->s_blocks_count, dsb->s_inode_max_group, &geo);
    dsb->s_state = TAV_STAT_STOPPED;
    dsb->s_block_size = TAV_BLOCK_SIZE;
    dsb->s_first_inode_block = TAV_SB_FIRST_INODE_BLOCK;
    dsb->s_inode_size = TAV_INODE_PAGESIZE;
    dsb->s_inode_per_group = TAV_SB_INODE_PER_GROUP;
    dsb->s_inode_max_count = geo.inode_max_count;
    dsb->s_inode_blocks = geo.inode_blocks;
    dsb->s_first_bitmap_block = geo.first_bitmap_block;
    dsb->s_bitmap_blocks = geo.bitmap_blocks;
    dsb->s_first_data_block = geo.first_data_block;
    dsb->s_inode_active_group = 1;
    dsb->s_fsck_interval = TAV_SB_FSCK_INTERVAL;
    dsb->s_crash_count = 0;
    dsb->s_crash_limit = TAV_SB_CRASH_LIMIT;
}

int tav_sb_check_geometry(const tav_sb_ondisk *dsb) {
    if (dsb->s_inode_max_group < 1 || dsb->s_inode_max_group > TAV_SB_INODE_MAX_GROUPS) {
        log_error("format inode max group must be between 1 and %llu, got %lu", TAV_SB_INODE_MAX_GROUPS,
                  dsb->s_inode_max_group);
        return -EINVAL;
    }
    if (dsb->s_blocks_count <= dsb->s_first_data_block) {
        log_error("format file min blocks_count is : %lu. format blocks count:%lu",
                  dsb->s_first_data_block + 1, dsb->s_blocks_count);
        return -EINVAL;
    }
    return 0;
}

int tav_sb_build(const tav_sb_format_args *args, uint64_t now, tav_sb_ondisk *dsb) {
    memset(dsb, 0, sizeof(*dsb));
    if (args == nullptr || args->path == nullptr || args->blocks_count == 0) {
        log_error("format arguments incomplete: blocks count and path are required");
        return -EINVAL;
    }
    dsb->s_blocks_count = args->blocks_count;
    dsb->s_inode_max_group = args->inode_max_group;
    /* Checked before the derived fields are trusted: a group count out of
     * range would overflow the inode area into the zone map. */
    if (args->inode_max_group < 1 || args->inode_max_group > TAV_SB_INODE_MAX_GROUPS)
        return tav_sb_check_geometry(dsb);
    tav_sb_fill_default(dsb);
    int ret = tav_sb_check_geometry(dsb);
    if (ret < 0)
        return ret;

    MD5_CTX ctx;
    MD5Init(&ctx);
    MD5Update(&ctx, reinterpret_cast<const uint8_t *>(args->path), strlen(args->path));
    MD5Final(dsb->s_uuid, &ctx);
    dsb->s_ts_modify = now;
    dsb->s_ts_fsck = now;
    dsb->s_ts_format = now;
    return 0;
}

void tav_sb_page_encode(tav_sb_ondisk *dsb, void *page) {
    memset(page, 0, TAV_SB_PAGE_SIZE);
    memcpy(page, dsb, sizeof(*dsb));
    uint64_t sum = sb_page_checksum(page);
    memcpy(page, &sum, sizeof(sum));
    dsb->s_header.checksum = sum;
}

int tav_sb_is_legal(const void *page) {
    return sb_check(page, true);
}
int tav_sb_is_legal_quiet(const void *page) {
    return sb_check(page, false);
}

TAV_COROUTINE_FN int tav_sb_format(const tav_sb_format_args *args) {
    tav_sb_ondisk dsb;
    int ret = tav_sb_build(args, now_ns(), &dsb);
    if (ret < 0)
        return ret;
    // A start accepts only blocks the device has: a larger count would be
    // formatted and then refused.
    ioengine_statdev dev = {};
    ret = ioengine_statdev_get(ioengine_get_default(), &dev);
    if (ret < 0)
        return ret;
    if (dsb.s_blocks_count > dev.phy_length / TAV_BLOCK_SIZE) {
        log_error("format blocks count:%lu exceeds the device: %lu blocks", dsb.s_blocks_count,
                  (unsigned long)(dev.phy_length / TAV_BLOCK_SIZE));
        return -EINVAL;
    }

    uint8_t *buf = static_cast<uint8_t *>(tav_iobuf_get(TAV_BLOCK_SIZE, TAV_MEM_IO_ALIGNED_BUFFER));
    if (buf == nullptr) {
        log_error("out of memory, PAGESIZE:%d, len:%d", TAV_SB_PAGE_SIZE, static_cast<int>(TAV_BLOCK_SIZE));
        return -ENOMEM;
    }
    memset(buf, 0, TAV_BLOCK_SIZE);
    tav_sb_page_encode(&dsb, buf + TAV_SB_COPY_A_OFFSET);
    tav_sb_page_encode(&dsb, buf + TAV_SB_COPY_B_OFFSET);

    ioengine *engine = ioengine_get_default();
    ret = write_block_image(engine, buf, 0);
    if (ret < 0) {
        log_error("write super block failed: %d(%s)", ret, errstr(ret));
    } else {
        blkno_t backup = dsb.s_first_data_block - 1;
        ret = write_block_image(engine, buf, backup);
        if (ret < 0)
            log_error("write super backup block(offset: %lu) failed: %d(%s)", backup, ret, errstr(ret));
    }
    tav_iobuf_put(buf);
    return ret;
}

TAV_COROUTINE_FN int tav_sb_format(const xdict *dic) {
    tav_sb_format_args args = {};
    if (xdict_get_uint64(dic, "s_blocks_count", &args.blocks_count) < 0 ||
        xdict_get_uint64(dic, "s_inode_max_group", &args.inode_max_group) < 0 ||
        (args.path = xdict_get_str(dic, "path")) == nullptr) {
        log_error("format arguments incomplete: s_blocks_count, s_inode_max_group and path are required");
        return -EINVAL;
    }
    return tav_sb_format(&args);
}

TAV_COROUTINE_FN int tav_sb_format_instance(const tav_sb_format_args *args, tav_inode_format_fn inode_format,
                                            void *priv) {
    tav_sb_ondisk dsb;
    int ret = tav_sb_build(args, 0, &dsb);
    if (ret < 0)
        return ret;
    ret = zmap_blocks_format(dsb.s_first_bitmap_block, dsb.s_bitmap_blocks);
    if (ret < 0) {
        log_error("format zmap failed: %d(%s)", ret, errstr(ret));
        return ret;
    }
    ret = inode_format(priv, dsb.s_first_inode_block, dsb.s_inode_per_group / TAV_INODE_SLOTS_PER_BLOCK);
    if (ret < 0) {
        log_error("format inode group 0 failed: %d(%s)", ret, errstr(ret));
        return ret;
    }
    return tav_sb_format(args);
}

/* ---- the in-memory superblock -------------------------------------------- */

TAV_COROUTINE_FN int tav_sb_load(tav_sb_info *sb) {
    uint8_t *buf = static_cast<uint8_t *>(tav_iobuf_get(2 * TAV_SB_PAGE_SIZE, TAV_MEM_IO_ALIGNED_BUFFER));
    if (buf == nullptr) {
        log_error("tav_iobuf_get: %s", strerror(ENOMEM));
        return -ENOMEM;
    }
    ioengine *engine = ioengine_get_default();
    tav_sb_ondisk a, b;
    int ret = ioengine_co_preadn(engine, buf, TAV_SB_PAGE_SIZE, TAV_SB_COPY_A_OFFSET);
    if (ret < 0) {
        log_error("read super block A failed: %d(%s)", ret, errstr(ret));
        goto out;
    }
    ret = ioengine_co_preadn(engine, buf + TAV_SB_PAGE_SIZE, TAV_SB_PAGE_SIZE, TAV_SB_COPY_B_OFFSET);
    if (ret < 0) {
        log_error("read super block B failed: %d(%s)", ret, errstr(ret));
        goto out;
    }
    ret = sb_unserialize_into(&a, buf);
    if (ret < 0) {
        log_error("init super block A failed: %d(%s)", ret, errstr(ret));
        goto out;
    }
    ret = sb_unserialize_into(&b, buf + TAV_SB_PAGE_SIZE);
    if (ret < 0) {
        log_error("init super block B failed: %d(%s)", ret, errstr(ret));
        goto out;
    }
    sb->tav_disk_sb = b.s_header.generation > a.s_header.generation ? b : a;
    sb->last_errno = 0;
    ret = mbuf_init(&sb->mbuf, nullptr, TAV_SB_PAGE_SIZE, &sb_mbuf_fops);
    if (ret < 0)
        log_error("super block init failed: %d(%s)\n", ret, errstr(ret));
out:
    tav_iobuf_put(buf);
    return ret;
}

TAV_COROUTINE_FN int tav_sb_read(tav_sb_info *sb) {
    int ret = mbuf_get(&sb->mbuf);
    if (ret == 0)
        sb->last_errno = 0;
    return ret;
}

TAV_COROUTINE_FN int tav_sb_write(tav_sb_info *sb) {
    sb->tav_disk_sb.s_ts_modify = now_ns();
    int ret = mbuf_set(&sb->mbuf);
    sb->last_errno = ret;
    return ret;
}

TAV_COROUTINE_FN int tav_sb_flush(tav_sb_info *sb) {
    for (int i = 0; i < 2; i++) {
        int ret = tav_sb_read(sb);
        if (ret == 0)
            ret = tav_sb_write(sb);
        if (ret != 0) {
            log_error("flush super failed");
            return ret;
        }
    }
    return 0;
}

TAV_COROUTINE_FN int tav_sb_mark_running(tav_sb_info *sb) {
    int ret = tav_sb_read(sb);
    if (ret < 0)
        return ret;
    if (sb->tav_disk_sb.s_state == TAV_STAT_RUNNING)
        sb->tav_disk_sb.s_crash_count++;
    else
        sb->tav_disk_sb.s_state = TAV_STAT_RUNNING;
    return tav_sb_write(sb);
}

TAV_COROUTINE_FN int tav_sb_mark_stopped(tav_sb_info *sb) {
    int ret = tav_sb_read(sb);
    if (ret < 0)
        return ret;
    sb->tav_disk_sb.s_state = TAV_STAT_STOPPED;
    return tav_sb_write(sb);
}

void tav_sb_destroy(tav_sb_info *sb) {
    mbuf_fini(&sb->mbuf);
}

void tav_sb_dump_record(const char *title, const tav_sb_ondisk *dsb) {
    const meta_head *h = &dsb->s_header;
    char uuid[33];
    for (int i = 0; i < 16; i++)
        snprintf(uuid + 2 * i, 3, "%02x", dsb->s_uuid[i]);

    log_info("[==]%s", title);
    log_info("[====================head=====================");
    log_info("%-22s%lu", "checksum:", h->checksum);
    log_info("%-22s%.8s", "magic:", h->magic);
    log_info("%-22s%lu", "version:", h->version);
    log_info("%-22s%lu", "generation:", h->generation);
    log_info("%-22s%lu", "length:", h->length);
    log_info("%-22s%u", "type:", h->type);
    log_info("[====================data=====================");
    log_info("%-22s%s", "s_uuid:", uuid);
    log_info("%-22s%lu", "s_state:", dsb->s_state);
    log_info("%-22s%lu", "s_block_size:", dsb->s_block_size);
    log_info("%-22s%lu", "s_blocks_count:", dsb->s_blocks_count);
    log_info("%-22s%lu", "s_first_inode_block:", dsb->s_first_inode_block);
    log_info("%-22s%lu", "s_inode_blocks:", dsb->s_inode_blocks);
    log_info("%-22s%lu", "s_first_bitmap_block:", dsb->s_first_bitmap_block);
    log_info("%-22s%lu", "s_bitmap_blocks:", dsb->s_bitmap_blocks);
    log_info("%-22s%lu", "s_first_data_block:", dsb->s_first_data_block);
    log_info("%-22s%lu", "s_inode_max_count:", dsb->s_inode_max_count);
    log_info("%-22s%lu", "s_inode_size:", dsb->s_inode_size);
    log_info("%-22s%lu", "s_inode_per_group:", dsb->s_inode_per_group);
    log_info("%-22s%lu", "s_inode_active_group:", dsb->s_inode_active_group);
    log_info("%-22s%lu", "s_inode_max_group:", dsb->s_inode_max_group);
    log_time_field("s_ts_modify:", dsb->s_ts_modify);
    log_time_field("s_ts_fsck:", dsb->s_ts_fsck);
    log_time_field("s_ts_format:", dsb->s_ts_format);
    log_info("%-22s%lu", "s_fsck_interval:", dsb->s_fsck_interval);
    log_info("%-22s%lu", "s_crash_count:", dsb->s_crash_count);
    log_info("%-22s%lu", "s_crash_limit:", dsb->s_crash_limit);
    log_info("[====================end=====================");
}

void tav_sb_dump(const char *title, const tav_sb_info *sb) {
    tav_sb_dump_record(title, &sb->tav_disk_sb);
}

TAV_COROUTINE_FN int tav_sb_blkno_limit(tav_sb_info *sb, blkno_t *min, blkno_t *max) {
    if (in_coroutine() && tav_sb_read(sb) < 0) {
        log_error("super access failed");
        return -EIO;
    }
    *min = sb->tav_disk_sb.s_first_data_block;
    *max = sb->tav_disk_sb.s_blocks_count - 1;
    return 0;
}

int tav_sb_statfs(const tav_sb_info *sb, ioengine *engine, uint64_t zmap_alloc_blocks, uint64_t inode_count,
                  struct statvfs *st) {
    const tav_sb_ondisk *dsb = &sb->tav_disk_sb;
    ioengine_statdev dev = {};
    int ret = ioengine_statdev_get(engine, &dev);
    if (ret < 0)
        return ret;
    memset(st, 0, sizeof(*st));
    st->f_bsize = TAV_BLOCK_SIZE;
    st->f_frsize = TAV_BLOCK_SIZE;
    st->f_blocks = dev.phy_avail_length / TAV_BLOCK_SIZE;
    /* Clamped: blocks marked in use for bad tracks count as allocated and
     * must never make the free figure wrap around. */
    uint64_t data_blocks =
        dsb->s_blocks_count > dsb->s_first_data_block ? dsb->s_blocks_count - dsb->s_first_data_block : 0;
    st->f_bfree = st->f_bavail = data_blocks > zmap_alloc_blocks ? data_blocks - zmap_alloc_blocks : 0;
    // Never more free blocks than the device has.
    if (st->f_bfree > st->f_blocks)
        st->f_bfree = st->f_bavail = st->f_blocks;
    st->f_files = dsb->s_inode_max_count;
    st->f_ffree = st->f_favail =
        dsb->s_inode_max_count > inode_count ? dsb->s_inode_max_count - inode_count : 0;
    st->f_namemax = 16;
    return 0;
}

/* ---- inode numbers ------------------------------------------------------- */

namespace {

/* Formats every group from the first unformatted one up to the group holding
 * `ino` and counts them in the superblock. */
TAV_COROUTINE_FN int sb_format_groups_upto(const tav_ino_ctx *ctx, uint64_t ino) {
    tav_sb_info *sb = ctx->sb;
    const tav_sb_ondisk *dsb = &sb->tav_disk_sb;
    const uint64_t per_group = dsb->s_inode_per_group;
    const uint64_t target = ino / per_group;

    while (dsb->s_inode_active_group <= target) {
        uint64_t group = dsb->s_inode_active_group;
        uint64_t first = group * per_group;
        blkno_t ibegin = dsb->s_first_inode_block + first / TAV_INODE_SLOTS_PER_BLOCK;
        uint64_t count = per_group / TAV_INODE_SLOTS_PER_BLOCK;
        log_trace("bit_id:%d ibegin: %d :format_count :%d", static_cast<int>(ino), static_cast<int>(ibegin),
                  static_cast<int>(count));
        int ret = ctx->inode_format(ctx->inode_format_priv, ibegin, count);
        if (ret < 0) {
            log_error("format inode group %lu failed: %d(%s)", group, ret, errstr(ret));
            return -EIO;
        }
        if (tav_sb_read(sb) < 0) {
            log_error("read super failed");
            return -EIO;
        }
        uint64_t counted = sb->tav_disk_sb.s_inode_active_group;
        sb->tav_disk_sb.s_inode_active_group = std::max(counted, group + 1);
        if (tav_sb_write(sb) < 0) {
            sb->tav_disk_sb.s_inode_active_group = counted;
            log_error("write super failed");
            return -EIO;
        }
    }
    return 0;
}

} // namespace

TAV_COROUTINE_FN int tav_sb_get_ino(const tav_ino_ctx *ctx, uint64_t *ino) {
    CoMutexGuard guard(ctx->format_lock);
    const tav_sb_ondisk *dsb = &ctx->sb->tav_disk_sb;
    const uint64_t max = std::min<uint64_t>(dsb->s_inode_max_count, ctx->imap_bits);
    const uint64_t active = std::min(dsb->s_inode_active_group * dsb->s_inode_per_group, max);
    const uint64_t last = std::min(*ctx->last_ino, active);
    uint64_t bit;

    int ret = bmap_bit_find_clr(ctx->imap, last, active, &bit);
    if (ret < 0)
        ret = bmap_bit_find_clr(ctx->imap, 0, last, &bit);
    if (ret < 0) {
        ret = bmap_bit_find_clr(ctx->imap, active, max, &bit);
        if (ret < 0) {
            log_warn("can not get inode unmber this is no space for create new file");
            return -ENOSPC;
        }
        /* Beyond the formatted groups: the slot has never been written, so
         * its group must be formatted before the number can be used. */
        ret = sb_format_groups_upto(ctx, bit);
        if (ret < 0)
            return ret;
    }
    bmap_bit_set(ctx->imap, bit);
    *ctx->last_ino = bit;
    *ino = bit;
    return 0;
}

int tav_sb_put_ino(const tav_ino_ctx *ctx, uint64_t ino) {
    if (ino >= ctx->imap_bits || bmap_is_bit_clr(ctx->imap, ino)) {
        log_error("put inode number %lu: not in use (bitmap size %lu)", ino, ctx->imap_bits);
        return -EINVAL;
    }
    bmap_bit_clr(ctx->imap, ino);
    return 0;
}
